// Talking to tools/fakehub from C++ tests; see fakehub_client.h.
#include "fakehub_client.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "hub/http.h"
#include "hub/ratelimit.h"
#include "core/state.h"
#include "core/text.h"
#include "test_env.h"

namespace {

// The admin endpoints through HttpFetch: HttpGet is the API's path, which the hub's rate limit may
// be pausing in the very test that reads the log.
std::string AdminGet(const std::string& rest, uint32_t* status = nullptr) {
  std::string body;
  HttpResponseHead head;
  const HttpExchangeResult result =
      HttpFetch(Utf8ToWide(HubUrl() + rest), "", HttpFetchOptions(), &head, nullptr, [&body](const char* d, size_t n) {
        body.append(d, n);
        return true;
      });
  if (status) *status = result == HttpExchangeResult::Complete ? head.status : 0;
  return body;
}

}  // namespace

std::string HubUrl() {
  const char* value = std::getenv("TARN_HUB_URL");
  return value ? std::string(value) : std::string();
}

std::vector<LoggedRequest> FetchHubLog() {
  std::vector<LoggedRequest> log;
  uint32_t status = 0;
  const auto entries =
      nlohmann::json::parse(AdminGet("__admin/log", &status), nullptr, false);
  if (status != 200 || !entries.is_array()) return log;
  for (const nlohmann::json& e : entries) {
    LoggedRequest r{e.value("host", ""), e.value("method", ""), e.value("path", "")};
    const nlohmann::json headers = e.value("headers", nlohmann::json::object());
    for (const auto& h : headers.items()) {
      std::string name = h.key();
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      r.headers[name] = h.value().is_string() ? h.value().get<std::string>() : "";
    }
    if (e.contains("status") && e["status"].is_number_integer()) r.status = e["status"].get<int>();
    log.push_back(std::move(r));
  }
  return log;
}

void ResetHubLog() { AdminGet("__admin/reset"); }

void ReleaseHeldRequests() { AdminGet("__admin/release"); }

bool SetHubLimits(const std::string& query) {
  uint32_t status = 0;
  AdminGet("__admin/limits?" + query, &status);
  return status == 200;
}

bool WaitForRequestInProgress(const std::string& part) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    for (const LoggedRequest& r : FetchHubLog()) {
      if (r.path.find(part) != std::string::npos && r.status == -1) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void FakeHubTest::SetUp() {
  ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
  IsolateLocalHfCache();
  WithFault("");
  ResetHubLog();
}

void FakeHubTest::WithFault(const std::string& mode) {
  ForgetRateLimits();  // a fault's 429 pauses the API; the next fault starts without it
  StateLock guard(g_state.lock);
  g_state.hub_site_url = mode.empty() ? HubUrl() : HubUrl() + "__fault/" + mode + "/";
}

std::u16string FakeHubTest::At(const std::string& rest) { return Utf8ToWide(HubUrl() + rest); }
