// Talking to tools/fakehub from C++ tests; see fakehub_client.h.
#include "fakehub_client.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <thread>

#include <nlohmann/json.hpp>

#include "hub/http.h"
#include "core/state.h"
#include "core/text.h"
#include "test_env.h"

std::string HubUrl() {
  const char* value = std::getenv("TARN_HUB_URL");
  return value ? std::string(value) : std::string();
}

std::vector<LoggedRequest> FetchHubLog() {
  std::vector<LoggedRequest> log;
  uint32_t status = 0;
  const auto entries =
      nlohmann::json::parse(HttpGet(Utf8ToWide(HubUrl() + "__admin/log"), "", &status), nullptr, false);
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

void ResetHubLog() { HttpGet(Utf8ToWide(HubUrl() + "__admin/reset"), ""); }

void ReleaseHeldRequests() { HttpGet(Utf8ToWide(HubUrl() + "__admin/release"), ""); }

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
  StateLock guard(g_state.lock);
  g_state.hub_site_url = mode.empty() ? HubUrl() : HubUrl() + "__fault/" + mode + "/";
}

std::u16string FakeHubTest::At(const std::string& rest) { return Utf8ToWide(HubUrl() + rest); }
