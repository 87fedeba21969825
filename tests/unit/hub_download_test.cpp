// DownloadFile over a scripted exchange: the progress throttle on an injected clock, the announced
// length, and a redirect from https to plain http (where an API request stops).
#include <gtest/gtest.h>

#include "hub/download.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

namespace {
uint64_t g_now = 1000, g_step = 0;
uint64_t FakeClock() { return g_now += g_step; }  // read once for each piece of the body
using Reports = std::vector<std::pair<int64_t, int64_t>>;  // (done, total)
}  // namespace

TEST(DownloadFile, ReportsEachPercentChangeOrAfter100MsAndChecksTheLength) {
  ScriptedHub hub;
  SetDownloadTickSourceForTesting(&FakeClock);
  const std::u16string target = JoinFsPath(MakeTempFolder("hub-download-unit"), u"out.bin");
  ScriptedResponse& body = hub.Answer("https://hub.test:443/o/m/resolve/main/w.bin", "");
  Reports reports;
  const ProgressFn record = [&](int64_t done, int64_t total) { reports.push_back({done, total}); return true; };
  // 200 one-byte pieces while the clock stands still: a report for each new percent, then the final one.
  body.chunks.assign(200, "x");
  body.head.has_content_length = true;
  body.head.content_length = "200";
  ASSERT_EQ(DownloadFile("o/m", "w.bin", target, "", record, 0), DownloadOk);
  Reports expected = {{1, 200}};
  for (int64_t percent = 1; percent <= 100; ++percent) expected.push_back({2 * percent, 200});
  expected.push_back({200, 200});
  EXPECT_EQ(reports, expected);
  // Without a length the percent never changes: a piece every 40 ms brings a report every third piece.
  body.chunks.assign(10, "y");
  body.head.has_content_length = false;
  g_step = 40;
  reports.clear();
  ASSERT_EQ(DownloadFile("o/m", "w.bin", target, "", record, 0), DownloadOk);
  EXPECT_EQ(reports, (Reports{{1, -1}, {4, -1}, {7, -1}, {10, -1}, {10, -1}}));
  // A body shorter or longer than its Content-Length is damaged, even when the exchange completes.
  body.head.has_content_length = true;
  for (const char* length : {"11", "9"}) {
    body.head.content_length = length;
    EXPECT_EQ(DownloadFile("o/m", "w.bin", target, "", nullptr, 0), DownloadFailed) << length;
  }
  SetDownloadTickSourceForTesting(nullptr);
}

TEST(DownloadFile, FollowsARedirectToPlainHttpWithoutTheKeyWhereAnApiRequestStops) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/o/m/resolve/main/w.bin", "moved", 302, "http://cdn.test/blob");
  hub.Answer("http://cdn.test:80/blob", "payload");
  EXPECT_EQ(HttpGet(u"https://hub.test/o/m/resolve/main/w.bin", "hf_secret"), "moved");
  const std::u16string target = JoinFsPath(MakeTempFolder("hub-download-redirect"), u"out.bin");
  EXPECT_EQ(DownloadFile("o/m", "w.bin", target, "hf_secret", nullptr, 0), DownloadOk);
  EXPECT_EQ(ReadTextFile(target), "payload");
  EXPECT_EQ(hub.requests.at(1).bearer_key, "hf_secret");
  EXPECT_EQ(hub.requests.at(2).bearer_key, "");  // another origin never sees the key
}
