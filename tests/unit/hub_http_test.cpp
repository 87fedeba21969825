// The transport above the seam: encoding, paging links, what makes a URL unusable.
#include <gtest/gtest.h>

#include "hub/http.h"
#include "hub_scripted_exchange.h"

TEST(UrlEncode, EscapesEveryByteOutsideTheUnreservedSet) {
  EXPECT_EQ(UrlEncode("org/model name", false), "org%2Fmodel%20name");
  EXPECT_EQ(UrlEncode("org/model name", true), "org/model%20name");
  EXPECT_EQ(UrlEncode("AZaz09-._~", false), "AZaz09-._~");
  EXPECT_EQ(UrlEncode("caf\xc3\xa9?&=%+", true), "caf%C3%A9%3F%26%3D%25%2B");
}

TEST(ParseNextLink, TakesTheTargetOfTheEntryWithRelNext) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"<u1>; rel=\"next\"", u"u1"}, {u"<u2>; rel=next", u"u2"}, {u"<u0>; rel=\"prev\", <u3>; rel=\"next\"", u"u3"},
      {u"<a,b>; rel=\"next\"", u"a,b"},  // a comma inside the brackets does not end the entry
      {u"<u4>; REL=\"next\"", u""}, {u"u5; rel=\"next\"", u""}, {u"<u6; rel=\"next\"", u""},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseNextLink(c.first), c.second) << WideToUtf8(c.first);
}

TEST(HttpGet, MakesNoRequestForAnUnusableUrl) {
  ScriptedHub hub;
  const std::u16string host = u"https://" + std::u16string(255, u'h'), path = u"/" + std::u16string(4094, u'p'),
                       query = u"?" + std::u16string(4094, u'q');
  const std::pair<std::u16string, size_t> cases[] = {  // URL, requests made
      {host + u"/", 1},          {host + u"h/", 0},
      {u"https://h" + path, 1},  {u"https://h" + path + u"p", 0},
      {u"https://h/" + query, 1}, {u"https://h/" + query + u"q", 0},
      {u"https://h/a\r\nX-Injected: 1", 0},  // a line break would write request lines of its own
  };
  for (const auto& c : cases) {
    hub.requests.clear();
    uint32_t status = 7;
    EXPECT_EQ(HttpGet(c.first, "", &status), c.second ? "Entry not found" : "") << c.first.size();
    EXPECT_EQ(hub.requests.size(), c.second) << c.first.size();
    EXPECT_EQ(status, c.second ? 404u : 7u) << c.first.size();  // no response: the status is left alone
  }
  HttpGet(u"https://h/a b/caf\u00e9?q=\u00e9 x", "");
  EXPECT_EQ(hub.requests.back().object, u"/a%20b/caf%C3%A9?q=%C3%A9%20x");
}
