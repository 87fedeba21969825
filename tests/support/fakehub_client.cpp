// Talking to tools/fakehub from C++ tests; see fakehub_client.h.
#include "fakehub_client.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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

#if defined(_WIN32)
using Socket = SOCKET;
const Socket kNoSocket = INVALID_SOCKET;
void CloseSocket(Socket s) { closesocket(s); }
#else
using Socket = int;
const Socket kNoSocket = -1;
void CloseSocket(Socket s) { close(s); }
#endif

// One POST to the hub's own listener, answered with Connection: close; the body of the answer.
std::string Post(const std::string& rest, const std::string& body, int* status) {
  *status = 0;
  const std::string url = HubUrl();  // http://HOST:PORT/
  const size_t host_start = url.find("//") + 2, colon = url.find(':', host_start), end = url.find('/', host_start);
  if (host_start < 2 || colon == std::string::npos || end == std::string::npos) return "";
  const std::string host = url.substr(host_start, colon - host_start), port = url.substr(colon + 1, end - colon - 1);
#if defined(_WIN32)
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  if (!started) return "";
#endif
  addrinfo hints{}, *found = nullptr;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0) return "";
  Socket s = kNoSocket;
  for (addrinfo* a = found; a && s == kNoSocket; a = a->ai_next) {
    s = socket(a->ai_family, a->ai_socktype, a->ai_protocol);
    if (s != kNoSocket && connect(s, a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
      CloseSocket(s);
      s = kNoSocket;
    }
  }
  freeaddrinfo(found);
  if (s == kNoSocket) return "";
  const std::string request = "POST /" + rest + " HTTP/1.1\r\nHost: " + host + ":" + port +
                              "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
                              "\r\nConnection: close\r\n\r\n" + body;
  for (size_t sent = 0; sent < request.size();) {
#if defined(MSG_NOSIGNAL)
    const int flags = MSG_NOSIGNAL;  // a hub that hung up must not end the test process
#else
    const int flags = 0;
#endif
    const int n = static_cast<int>(send(s, request.data() + sent, static_cast<int>(request.size() - sent), flags));
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  std::string answer;
  char buffer[4096];
  for (int n; (n = static_cast<int>(recv(s, buffer, sizeof buffer, 0))) > 0;) answer.append(buffer, static_cast<size_t>(n));
  CloseSocket(s);
  const size_t head_end = answer.find("\r\n\r\n");
  if (answer.compare(0, 7, "HTTP/1.") != 0 || head_end == std::string::npos) return "";
  *status = std::atoi(answer.c_str() + 9);
  return answer.substr(head_end + 4);
}

}  // namespace

std::string CommitOnHub(const std::string& body) {
  int status = 0;
  const auto answer = nlohmann::json::parse(Post("__admin/commit", body, &status), nullptr, false);
  if (status != 200 || !answer.is_object()) {
    ADD_FAILURE() << "the hub refused the commit " << body << ": " << status << " " << answer.dump();
    return "";
  }
  return answer.value("sha", "");
}

std::string HubCommitOf(const std::string& kind, const std::string& repo_id, const std::string& revision) {
  const auto encoded = [](const std::string& text, bool keep_slash) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
      if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || (keep_slash && c == '/')) out += static_cast<char>(c);
      else out += std::string("%") + kHex[c >> 4] + kHex[c & 15];
    }
    return out;
  };
  const auto answer = nlohmann::json::parse(
      AdminGet("__admin/sha/" + kind + "/" + encoded(repo_id, true) + "?rev=" + encoded(revision, false)), nullptr,
      false);
  return answer.is_object() ? answer.value("sha", "") : "";
}

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
