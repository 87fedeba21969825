// The transport above the seam: encoding, paging links, URL splitting, redirects and the key's reach.
#include <gtest/gtest.h>

#include "hub/http.h"
#include "hub_scripted_exchange.h"

TEST(UrlEncode, KeepsTheUnreservedSetAndEscapesEveryOtherByte) {
  EXPECT_EQ(UrlEncode("org/model name", false), "org%2Fmodel%20name");
  EXPECT_EQ(UrlEncode("org/model name", true), "org/model%20name");
  EXPECT_EQ(UrlEncode("a~b-c.d_e", false), "a~b-c.d_e");
  EXPECT_EQ(UrlEncode("caf\xc3\xa9", true), "caf%C3%A9");
  EXPECT_EQ(UrlEncode(std::string("\0\n\x7f\xff", 4), false), "%00%0A%7F%FF");
  EXPECT_EQ(UrlEncode("?&=#%+", true), "%3F%26%3D%23%25%2B");
  for (int b = 0; b < 256; ++b) {
    const std::string one(1, static_cast<char>(b));
    const bool unreserved = isalnum(b) || b == '-' || b == '.' || b == '_' || b == '~';
    EXPECT_EQ(UrlEncode(one, false).size(), unreserved ? 1u : 3u) << b;
  }
}

TEST(ParseNextLink, FindsTheNextRelationAmongEntries) {
  EXPECT_EQ(ParseNextLink(u"<u1>; rel=\"next\""), u"u1");
  EXPECT_EQ(ParseNextLink(u"<u0>; rel=\"prev\", <u2>; rel=\"next\""), u"u2");
  EXPECT_EQ(ParseNextLink(u"<u3>; rel=next"), u"u3");
  EXPECT_EQ(ParseNextLink(u"<u4>; REL=\"next\""), u"");
  EXPECT_EQ(ParseNextLink(u"no brackets; rel=\"next\""), u"");
  EXPECT_EQ(ParseNextLink(u"<a,b>; rel=\"next\""), u"a,b");         // comma inside the target
  EXPECT_EQ(ParseNextLink(u"< spaced >; rel=\"next\""), u" spaced ");  // taken verbatim
  EXPECT_EQ(ParseNextLink(u"<u5; rel=\"next\""), u"");                // no closing bracket
  EXPECT_EQ(ParseNextLink(u"<u6>; rel=\"prev\","), u"");
  EXPECT_EQ(ParseNextLink(u""), u"");
  // The relation belongs to the entry it follows, not to the next one.
  EXPECT_EQ(ParseNextLink(u"<x>; rel=\"xet-auth\", <y>; rel=\"xet-reconstruction-info\""), u"");
}

TEST(SplitHttpUrl, SplitsSchemeHostPortPathAndQuery) {
  SplitUrl u;
  ASSERT_TRUE(SplitHttpUrl(u"https://huggingface.co/api/models?author=a&limit=5", &u));
  EXPECT_TRUE(u.secure);
  EXPECT_EQ(u.host, u"huggingface.co");
  EXPECT_EQ(u.port, 443);
  EXPECT_EQ(u.path, u"/api/models");
  EXPECT_EQ(u.extra, u"?author=a&limit=5");

  ASSERT_TRUE(SplitHttpUrl(u"HTTP://127.0.0.1:8123", &u));
  EXPECT_FALSE(u.secure);
  EXPECT_EQ(u.scheme, u"http");
  EXPECT_EQ(u.port, 8123);
  EXPECT_EQ(u.path, u"/");
  EXPECT_EQ(u.extra, u"");

  ASSERT_TRUE(SplitHttpUrl(u"http://h?q=1#frag", &u));
  EXPECT_EQ(u.port, 80);
  EXPECT_EQ(u.path, u"/");
  EXPECT_EQ(u.extra, u"?q=1");

  ASSERT_TRUE(SplitHttpUrl(u"https://user:pw@host.test:444/p", &u));
  EXPECT_EQ(u.host, u"host.test");
  EXPECT_EQ(u.port, 444);

  ASSERT_TRUE(SplitHttpUrl(u"http://[::1]:9/x", &u));
  EXPECT_EQ(u.host, u"[::1]");
  EXPECT_EQ(u.port, 9);
}

TEST(SplitHttpUrl, EscapesSpacesAndNonAsciiAndRefusesControls) {
  SplitUrl u;
  ASSERT_TRUE(SplitHttpUrl(u"http://h/a b/caf\u00e9?q=\u00e9 x", &u));
  EXPECT_EQ(u.path, u"/a%20b/caf%C3%A9");
  EXPECT_EQ(u.extra, u"?q=%C3%A9%20x");
  // A line break would let a Location header write request lines of its own.
  EXPECT_FALSE(SplitHttpUrl(u"http://h/a\r\nX-Injected: 1", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h/?a=\n", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h\r/", &u));
}

TEST(SplitHttpUrl, RefusesWhatCannotBeSplit) {
  SplitUrl u;
  EXPECT_FALSE(SplitHttpUrl(u"ftp://h/x", &u));
  EXPECT_FALSE(SplitHttpUrl(u"huggingface.co/api", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http:///path", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h:0/", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h:65536/", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h:8x/", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://[::1/", &u));
  EXPECT_FALSE(SplitHttpUrl(u"", &u));
}

TEST(SplitHttpUrl, HonoursTheBufferLimits) {
  SplitUrl u;
  const std::u16string host255(255, u'h');
  EXPECT_TRUE(SplitHttpUrl(u"http://" + host255 + u"/", &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://" + host255 + u"h/", &u));
  const std::u16string path4095 = u"/" + std::u16string(4094, u'p');
  EXPECT_TRUE(SplitHttpUrl(u"http://h" + path4095, &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h" + path4095 + u"p", &u));
  const std::u16string query4095 = u"?" + std::u16string(4094, u'q');
  EXPECT_TRUE(SplitHttpUrl(u"http://h/" + query4095, &u));
  EXPECT_FALSE(SplitHttpUrl(u"http://h/" + query4095 + u"q", &u));
}

TEST(ResolveRedirect, ResolvesEveryFormOfLocation) {
  const std::u16string base = u"https://hub.test:8443/a/b/c?x=1";
  EXPECT_EQ(ResolveRedirect(base, u"http://cdn.test/f?sig=2"), u"http://cdn.test/f?sig=2");
  EXPECT_EQ(ResolveRedirect(base, u"//cdn.test/f"), u"https://cdn.test/f");
  EXPECT_EQ(ResolveRedirect(base, u"/api/resolve-cache/x"), u"https://hub.test:8443/api/resolve-cache/x");
  EXPECT_EQ(ResolveRedirect(base, u"d?y=2"), u"https://hub.test:8443/a/b/d?y=2");
  EXPECT_EQ(ResolveRedirect(base, u"../e"), u"https://hub.test:8443/a/e");
  EXPECT_EQ(ResolveRedirect(base, u"./"), u"https://hub.test:8443/a/b/");
  EXPECT_EQ(ResolveRedirect(base, u"../../../../g"), u"https://hub.test:8443/g");
  EXPECT_EQ(ResolveRedirect(base, u"/p/./q/../r"), u"https://hub.test:8443/p/r");
  EXPECT_EQ(ResolveRedirect(base, u"?z=3"), u"https://hub.test:8443/a/b/c?z=3");
  EXPECT_EQ(ResolveRedirect(base, u"  /trimmed  "), u"https://hub.test:8443/trimmed");
  EXPECT_EQ(ResolveRedirect(u"http://h", u"x"), u"http://h/x");
  EXPECT_EQ(ResolveRedirect(base, u""), u"");
  EXPECT_EQ(ResolveRedirect(u"not a url", u"/x"), u"");
}

TEST(HttpGet, ReturnsBodyAndStatusOfAnyResponse) {
  ScriptedHub hub;
  hub.Answer("https://hub.test/api/x", "{\"error\":\"Repository not found\"}", 404);
  uint32_t status = 0;
  std::u16string next;
  EXPECT_EQ(HttpGet(u"https://hub.test/api/x", "", &status, &next), "{\"error\":\"Repository not found\"}");
  EXPECT_EQ(status, 404u);
  EXPECT_EQ(next, u"");
  ASSERT_EQ(hub.requests.size(), 1u);
  const HttpExchangeRequest& r = hub.requests[0];
  EXPECT_TRUE(r.secure);
  EXPECT_EQ(r.object, u"/api/x");
  EXPECT_EQ(r.bearer_key, "");
  EXPECT_EQ(r.resolve_timeout_ms, 15000u);
  EXPECT_EQ(r.connect_timeout_ms, 15000u);
  EXPECT_EQ(r.send_timeout_ms, 30000u);
  EXPECT_EQ(r.receive_timeout_ms, 30000u);
}

TEST(HttpGet, WritesTheNextLinkOnlyForANextRelation) {
  ScriptedHub hub;
  hub.Answer("https://hub.test/p1", "[]").link = u"<https://hub.test/p2>; rel=\"next\"";
  hub.Answer("https://hub.test/p2", "[]").link = u"<https://hub.test/p0>; rel=\"prev\"";
  uint32_t status = 0;
  std::u16string next;
  HttpGet(u"https://hub.test/p1", "", &status, &next);
  EXPECT_EQ(next, u"https://hub.test/p2");
  next = u"untouched";
  HttpGet(u"https://hub.test/p2", "", &status, &next);
  EXPECT_EQ(next, u"untouched");
}

// Fault: a key holding a line break injected request headers of its own choosing.
TEST(HttpGet, RefusesAKeyThatWouldSplitTheHeader) {
  ScriptedHub hub;
  hub.Answer("https://hub.test/x", "ok");
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/x", "key\r\nX-Evil: 1", &status), "");
  EXPECT_EQ(status, 0u);
  EXPECT_TRUE(hub.requests.empty());
  EXPECT_EQ(HttpGet(u"https://hub.test/x", "hf_key", &status), "ok");
  ASSERT_EQ(hub.requests.size(), 1u);
  EXPECT_EQ(hub.requests[0].bearer_key, "hf_key");
}

TEST(HttpGetRedirects, FollowsSameOriginWithTheKeyAndDropsItElsewhere) {
  ScriptedHub hub;
  hub.Redirect("https://hub.test/api/models/old", "/api/models/new", 307);
  hub.Redirect("https://hub.test/api/models/new", "https://cdn.test/blob?sig=1");
  hub.Redirect("https://cdn.test/blob?sig=1", "https://hub.test/api/back");
  hub.Answer("https://hub.test/api/back", "final");
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/api/models/old", "secret", &status), "final");
  EXPECT_EQ(status, 200u);
  ASSERT_EQ(hub.requests.size(), 4u);
  EXPECT_EQ(hub.requests[0].bearer_key, "secret");
  EXPECT_EQ(hub.requests[1].bearer_key, "secret");  // relative: same origin
  EXPECT_EQ(hub.requests[2].bearer_key, "");        // another host
  EXPECT_EQ(hub.requests[3].bearer_key, "");        // once given up, never restored
}

TEST(HttpGetRedirects, AnotherPortOrSchemeIsAnotherOrigin) {
  ScriptedHub hub;
  hub.Redirect("http://hub.test/a", "http://hub.test:8080/b");
  hub.Answer("http://hub.test:8080/b", "b");
  hub.Redirect("http://hub.test/c", "https://hub.test/d");
  hub.Answer("https://hub.test/d", "d");
  EXPECT_EQ(HttpGet(u"http://hub.test/a", "k"), "b");
  EXPECT_EQ(HttpGet(u"http://hub.test/c", "k"), "d");
  ASSERT_EQ(hub.requests.size(), 4u);
  EXPECT_EQ(hub.requests[1].bearer_key, "");
  EXPECT_EQ(hub.requests[3].bearer_key, "");
}

TEST(HttpGetRedirects, NeverFollowsFromHttpsToHttp) {
  ScriptedHub hub;
  hub.Redirect("https://hub.test/a", "http://hub.test/b", 301);
  hub.Answer("http://hub.test/b", "plain");
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/a", "k", &status), "redirect body");
  EXPECT_EQ(status, 301u);
  EXPECT_EQ(hub.requests.size(), 1u);
}

TEST(HttpGetRedirects, GivesUpAfterTenHops) {
  ScriptedHub hub;
  for (int i = 0; i < 10; ++i) {
    hub.Redirect("https://hub.test/r" + std::to_string(i), "/r" + std::to_string(i + 1));
  }
  hub.Answer("https://hub.test/r10", "arrived");
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/r0", "", &status), "arrived");
  EXPECT_EQ(status, 200u);

  hub.Redirect("https://hub.test/r10", "/r11");
  hub.Answer("https://hub.test/r11", "too far");
  status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/r0", "", &status), "");
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(hub.requests.size(), 11u + 11u);
}

TEST(HttpGetRedirects, ARedirectWithoutAUsableLocation) {
  ScriptedHub hub;
  hub.Answer("https://hub.test/none", "no location", 302);
  hub.Redirect("https://hub.test/bad", "http://bad\nhost/");
  uint32_t status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/none", "", &status), "no location");
  EXPECT_EQ(status, 302u);
  status = 0;
  EXPECT_EQ(HttpGet(u"https://hub.test/bad", "", &status), "");
  EXPECT_EQ(status, 0u);
}

TEST(MakeApiUrl, PutsTheApiRootInFront) {
  ScriptedHub hub;
  EXPECT_EQ(MakeApiUrl("/models/caf\xc3\xa9"), u"https://hub.test/api/models/caf\u00e9");
}
