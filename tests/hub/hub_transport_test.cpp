// HttpGet against the fake hub: the request as the server saw it, statuses, bodies, redirects.
#include <gtest/gtest.h>

#include "hub/http.h"
#include "plugin/text.h"
#include "support/fakehub_client.h"

namespace {

class HubTransport : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(HubUrl().empty()) << "run through tools/fakehub/run_with_hub.py";
    UseFakeHub();
    ResetHubLog();
  }
  static std::u16string At(const std::string& rest) { return Utf8ToWide(HubUrl() + rest); }
};

// Headers a client may add on its own without changing what the request means.
bool IsTransportHeader(const std::string& name) {
  std::string lower;
  for (char c : name) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  return lower == "host" || lower == "user-agent" || lower == "authorization" || lower == "connection" ||
         lower == "cache-control" || lower == "pragma";
}

}  // namespace

TEST_F(HubTransport, SendsTheRequestLineAndHeadersExactly) {
  uint32_t status = 0;
  const std::string query = "api/models?author=space%20owner&limit=2&sort=lastModified&expand[]=lastModified&x=%2F%3F~";
  HttpGet(At(query), "", &status);
  EXPECT_EQ(status, 200u);
  HttpGet(At("api/whoami-v2"), "hf_test_good", &status);
  EXPECT_EQ(status, 200u);

  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].method, "GET");
  EXPECT_EQ(log[0].path, "/" + query);  // the query reaches the server unchanged
  EXPECT_EQ(log[0].Header("User-Agent"), "tarnfs/1.0");
  bool found = true;
  log[0].Header("Authorization", &found);
  EXPECT_FALSE(found) << "an empty key sends no Authorization header at all";
  EXPECT_EQ(log[1].path, "/api/whoami-v2");
  EXPECT_EQ(log[1].Header("Authorization"), "Bearer hf_test_good");
  for (const LoggedRequest& r : log) {
    for (const auto& header : r.headers) {
      EXPECT_TRUE(IsTransportHeader(header.first)) << header.first << ": " << header.second;
    }
  }
}

TEST_F(HubTransport, ErrorResponsesKeepTheirBodyAndStatus) {
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(At("api/whoami-v2"), "", &status), "{\"error\":\"Invalid username or password.\"}");
  EXPECT_EQ(status, 401u);
  status = 0;
  const std::string missing = HttpGet(At("files-org/basic/resolve/main/no-such-file"), "", &status);
  EXPECT_EQ(status, 404u);
  EXPECT_EQ(missing, "Entry not found");
  status = 0;
  EXPECT_NE(HttpGet(At("__fault/status=503/api/models?author=big-org"), "", &status), "");
  EXPECT_EQ(status, 503u);
}

TEST_F(HubTransport, NoAnswerLeavesTheOutputsAlone) {
  uint32_t status = 77;
  std::u16string next = u"unchanged";
  // Port 1 on loopback: nothing listens, the connection is refused.
  EXPECT_EQ(HttpGet(u"http://127.0.0.1:1/api/models", "k", &status, &next), "");
  EXPECT_EQ(status, 77u);
  EXPECT_EQ(next, u"unchanged");
  EXPECT_EQ(HttpGet(At("api/" + std::string(4100, 'p')), "", &status), "");
  EXPECT_EQ(status, 77u);
  EXPECT_TRUE(FetchHubLog().empty());
}

TEST_F(HubTransport, BodiesWithoutLengthOrCutShort) {
  uint32_t status = 0;
  const std::string whole = HttpGet(At("api/models?author=big-org&limit=50&sort=lastModified"), "", &status);
  ASSERT_GT(whole.size(), 1000u);
  EXPECT_EQ(HttpGet(At("__fault/no_length/api/models?author=big-org&limit=50&sort=lastModified"), "", &status),
            whole);
  status = 0;
  EXPECT_EQ(HttpGet(At("__fault/cut_at=100/api/models?author=big-org&limit=50&sort=lastModified"), "", &status),
            whole.substr(0, 100));
  EXPECT_EQ(status, 200u);
}

TEST_F(HubTransport, PagesThroughTheLinkHeader) {
  uint32_t status = 0;
  std::u16string next;
  HttpGet(At("api/models?author=boundary-org&limit=500&sort=lastModified"), "", &status, &next);
  const std::string next_utf8 = WideToUtf8(next);
  ASSERT_EQ(next_utf8.rfind(HubUrl() + "api/models?author=boundary-org&limit=500&sort=lastModified&cursor=", 0), 0u)
      << next_utf8;
  std::u16string after = u"none";
  HttpGet(next, "", &status, &after);
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(after, u"none");  // the last page has no Link
  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(HubUrl() + log[1].path.substr(1), next_utf8);
}

TEST_F(HubTransport, RedirectsKeepTheKeyOnlyOnTheSameOrigin) {
  uint32_t status = 0;
  // Same host, relative Location: followed with the key.
  HttpGet(At("__fault/redirect_relative/api/whoami-v2"), "hf_test_good", &status);
  EXPECT_EQ(status, 200u);
  // Another host (port): followed without the key, so host 2 refuses.
  status = 0;
  HttpGet(At("__fault/redirect_host2/api/whoami-v2"), "hf_test_good", &status);
  EXPECT_EQ(status, 401u);

  const std::vector<LoggedRequest> log = FetchHubLog();
  ASSERT_EQ(log.size(), 4u);
  EXPECT_EQ(log[0].status, 307);
  EXPECT_EQ(log[1].host, "hub");
  EXPECT_EQ(log[1].path, "/api/whoami-v2");
  EXPECT_EQ(log[1].Header("Authorization"), "Bearer hf_test_good");
  EXPECT_EQ(log[2].Header("Authorization"), "Bearer hf_test_good");
  EXPECT_EQ(log[3].host, "host2");
  EXPECT_EQ(log[3].path, "/api/whoami-v2");
  bool found = true;
  log[3].Header("Authorization", &found);
  EXPECT_FALSE(found);
}

TEST_F(HubTransport, FollowsTenRedirectsAndNoMore) {
  uint32_t status = 0;
  EXPECT_NE(HttpGet(At("__fault/redirects=10/api/whoami-v2"), "", &status), "");
  EXPECT_EQ(status, 401u);
  EXPECT_EQ(FetchHubLog().size(), 11u);

  ResetHubLog();
  status = 0;
  EXPECT_EQ(HttpGet(At("__fault/redirect_loop/api/whoami-v2"), "", &status), "");
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(FetchHubLog().size(), 11u);
}

// Fault: WinHTTP waited 90 s for a response head whatever the receive timeout said.
TEST_F(HubTransport, TheSeamGivesUpOnASilentServer) {
  // A head that does not come within the receive timeout is no response; a body that stalls after
  // its head is a broken body.
  SplitUrl url;
  HttpExchangeRequest request;
  HttpResponseHead head;
  ASSERT_TRUE(SplitHttpUrl(At("__fault/delay=5000/api/whoami-v2"), &url));
  request.host = url.host;
  request.port = url.port;
  request.object = url.path + url.extra;
  request.receive_timeout_ms = 1000;
  EXPECT_EQ(PlatformHttpGet(request, &head, nullptr, nullptr), HttpExchangeResult::NoResponse);

  ASSERT_TRUE(SplitHttpUrl(At("__fault/slow=5000/files-org/basic/resolve/main/README.md"), &url));
  request.object = url.path + url.extra;
  std::string body;
  EXPECT_EQ(PlatformHttpGet(request, &head, nullptr,
                            [&body](const char* data, size_t size) {
                              body.append(data, size);
                              return true;
                            }),
            HttpExchangeResult::BodyFailed);
  EXPECT_EQ(head.status, 200u);
  EXPECT_EQ(body, "");
}
