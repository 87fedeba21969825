// Talking to tools/fakehub from C++ tests; see fakehub_client.h.
#include "fakehub_client.h"

#include <cctype>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "hub/http.h"
#include "plugin/state.h"
#include "plugin/text.h"

namespace {
std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool SameNameIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}
}  // namespace

std::string LoggedRequest::Header(const std::string& name, bool* found) const {
  for (const auto& entry : headers) {
    if (SameNameIgnoringCase(entry.first, name)) {
      if (found) *found = true;
      return entry.second;
    }
  }
  if (found) *found = false;
  return std::string();
}

std::string HubUrl() { return Env("TARN_HUB_URL"); }
std::string Hub2Url() { return Env("TARN_HUB2_URL"); }

void UseFakeHub() {
  StateLock guard(g_state.lock);
  g_state.hub_site_url = HubUrl();
}

std::vector<LoggedRequest> FetchHubLog() {
  std::vector<LoggedRequest> log;
  uint32_t status = 0;
  const std::string body = HttpGet(Utf8ToWide(HubUrl() + "__admin/log"), "", &status);
  if (status != 200) return log;
  const nlohmann::json entries = nlohmann::json::parse(body, nullptr, false);
  if (!entries.is_array()) return log;
  for (const nlohmann::json& e : entries) {
    LoggedRequest r;
    r.host = e.value("host", "");
    r.method = e.value("method", "");
    r.path = e.value("path", "");
    const auto headers = e.find("headers");
    if (headers != e.end() && headers->is_object()) {
      for (const auto& h : headers->items()) r.headers[h.key()] = h.value().is_string() ? h.value().get<std::string>() : "";
    }
    const auto status_member = e.find("status");
    if (status_member != e.end() && status_member->is_number_integer()) r.status = status_member->get<int>();
    log.push_back(std::move(r));
  }
  return log;
}

void ResetHubLog() { HttpGet(Utf8ToWide(HubUrl() + "__admin/reset"), ""); }
