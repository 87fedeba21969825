// Talking to tools/fakehub from C++ tests: its address, its request log, a base for hub tests.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

// One request as the fake hub saw it.
struct LoggedRequest {
  std::string host;  // "hub" or "host2"
  std::string method;
  std::string path;  // request target with its query, escapes as sent
  std::map<std::string, std::string> headers;  // names in lower case
  int status = -1;   // what the hub answered; -1 while in progress

  std::string Header(const std::string& lower_name) const {
    const auto found = headers.find(lower_name);
    return found == headers.end() ? "(absent)" : found->second;
  }
};

// TARN_HUB_URL ("http://127.0.0.1:PORT/"); empty when the suite runs without a hub.
std::string HubUrl();
// GET /__admin/limits?`query` ("api=3&window=2", "lift=true"): the hub's quotas, every window anew.
bool SetHubLimits(const std::string& query);
// The log since the last reset, in arrival order; empty when it cannot be read.
std::vector<LoggedRequest> FetchHubLog();
void ResetHubLog();
// Answers every request the "hold" fault mode is keeping waiting.
void ReleaseHeldRequests();
// POST /__admin/commit with `body` ({"repo", "files", "delete", ...}): the commit the branch moved to,
// empty when the hub refused it. The module has no way to send a body, so this speaks HTTP itself.
std::string CommitOnHub(const std::string& body);
// The commit a revision of a repository ("models", "datasets", "spaces") is at now (the hub's admin
// endpoint: not logged, not limited); empty when the hub has no such revision.
std::string HubCommitOf(const std::string& kind, const std::string& repo_id, const std::string& revision = "main");
// Waits (up to 30 s) until the fake hub has received a request whose target contains `part` and not
// answered it.
bool WaitForRequestInProgress(const std::string& part);

// The core (no module) pointed at the fake hub, its log cleared. WithFault puts "__fault/MODE/" in
// front of every request (next-page links too), "" removes it, and forgets what the hub's rate-limit
// headers said (a fault's 429 pauses API requests for minutes); At(rest) is the fake hub's URL rest.
class FakeHubTest : public ::testing::Test {
 public:
  static void WithFault(const std::string& mode);
  static std::u16string At(const std::string& rest);

 protected:
  void SetUp() override;
  void TearDown() override { WithFault(""); }
};
