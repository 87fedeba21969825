// Talking to tools/fakehub from C++ tests: its addresses and its request log.
#pragma once

#include <map>
#include <string>
#include <vector>

// One request as the fake hub saw it.
struct LoggedRequest {
  std::string host;     // "hub" or "host2"
  std::string method;
  std::string path;     // request target with its query, escapes as sent
  std::map<std::string, std::string> headers;  // names as sent
  int status = -1;      // what the hub answered; -1 while in progress

  // Case-insensitive header lookup; `found` tells an empty value from a missing header.
  std::string Header(const std::string& name, bool* found = nullptr) const;
};

// TARN_HUB_URL / TARN_HUB2_URL ("http://127.0.0.1:PORT/"); empty when the suite runs without a hub.
std::string HubUrl();
std::string Hub2Url();
// Points the core's hub address at the fake hub (tests link the core, so no module is loaded).
void UseFakeHub();
// The log since the last reset, in arrival order; empty when it cannot be read.
std::vector<LoggedRequest> FetchHubLog();
void ResetHubLog();
