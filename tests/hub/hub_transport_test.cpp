// HttpGet against the fake hub: the request as the server saw it, statuses and bodies, no response.
#include <gtest/gtest.h>

#include "hub/http.h"
#include "core/text.h"
#include "support/fakehub_client.h"

using HubTransport = FakeHubTest;

TEST_F(HubTransport, SendsTheRequestLineAndHeadersExactly) {
  const std::string query = "api/models?author=space%20owner&limit=2&expand[]=lastModified&x=%2F%3F~";
  HttpGet(At(query), "");
  HttpGet(At("api/whoami-v2"), "hf_test_good");
  const std::vector<LoggedRequest> log = FetchHubLog();
  EXPECT_EQ(log.at(0).method + " " + log[0].path, "GET /" + query);  // the query reaches the server unchanged
  EXPECT_EQ(log[0].Header("user-agent"), "tarnfs/1.0");
  EXPECT_EQ(log[0].Header("authorization"), "(absent)");  // an empty key sends no "Bearer " at all
  EXPECT_EQ(log.at(1).Header("authorization"), "Bearer hf_test_good");
}

TEST_F(HubTransport, AnyResponseGivesItsBodyAndStatusAndTenRedirectsAreFollowed) {
  const std::string refused = "{\"error\":\"Invalid username or password.\"}";
  const struct {
    std::string url, body;
    uint32_t status;  // 77: untouched, no response
    size_t requests;  // as the hub saw them
  } cases[] = {
      {HubUrl() + "api/whoami-v2", refused, 401, 1},
      {HubUrl() + "files-org/basic/resolve/main/no-such-file", "Entry not found", 404, 1},
      {HubUrl() + "__fault/redirects=10/api/whoami-v2", refused, 401, 11},
      {HubUrl() + "__fault/redirects=11/api/whoami-v2", "", 77, 11},
      {HubUrl() + "__fault/redirect_loop/api/whoami-v2", "", 77, 11},
      {"http://127.0.0.1:1/api/whoami-v2", "", 77, 0},  // nothing listens on port 1
  };
  for (const auto& c : cases) {
    ResetHubLog();
    uint32_t status = 77;
    std::u16string next = u"unchanged";
    EXPECT_EQ(HttpGet(Utf8ToWide(c.url), "", &status, &next), c.body) << c.url;
    EXPECT_EQ(status, c.status) << c.url;
    EXPECT_EQ(next, u"unchanged") << c.url;
    EXPECT_EQ(FetchHubLog().size(), c.requests) << c.url;
  }
}

// Fault: a key holding a line break injected request headers of its own choosing.
TEST_F(HubTransport, AKeyWithALineBreakSendsNothing) {
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(At("api/whoami-v2"), "hf_test_good\r\nX-Evil: 1", &status), "");
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(FetchHubLog().empty());
}

// Fault: WinHTTP waited 90 s for a response head whatever the receive timeout said.
// Fault: WinHTTP's timeouts were set on the session after the request existed, so they never reached
// it: a body that stalled was waited for 30 s (and name resolution had no limit at all).
TEST_F(HubTransport, AStalledAnswerEndsAfterTheRequestsReceiveTimeout) {
  const struct {
    const char* fault;  // the stall: before the head, or after it
    HttpExchangeResult expected;
  } cases[] = {
      {"delay=15000", HttpExchangeResult::NoResponse},
      {"slow=15000", HttpExchangeResult::BodyFailed},
  };
  for (const auto& c : cases) {
    HttpFetchOptions options;
    options.receive_timeout_ms = 1000;
    std::string body;
    const HttpExchangeResult result =
        HttpFetch(At(std::string("__fault/") + c.fault + "/files-org/basic/resolve/main/README.md"), "", options,
                  nullptr, nullptr, [&body](const char* data, size_t size) {
                    body.append(data, size);
                    return true;
                  });
    EXPECT_EQ(result, c.expected) << c.fault;
    EXPECT_EQ(body, "") << c.fault;  // ended before the server sent a byte of it
  }
}
