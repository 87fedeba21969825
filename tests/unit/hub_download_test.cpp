// DownloadFile over a scripted exchange: the announced length, and a redirect from https to plain http
// (where an API request stops), and how many pieces a length is cut into.
#include <gtest/gtest.h>

#include "hub/download.h"
#include "hub/transfer.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

TEST(DownloadFile, ABodyOfAnotherLengthThanAnnouncedIsDamaged) {
  ScriptedHub hub;
  const std::u16string target = JoinFsPath(MakeTempFolder("hub-download-unit"), u"out.bin");
  ScriptedResponse& body = hub.Answer("https://hub.test:443/o/m/resolve/main/w.bin", "");
  body.chunks.assign(10, "y");
  body.head.has_content_length = true;
  for (const char* length : {"11", "9", "10"}) {
    body.head.content_length = length;
    std::vector<std::pair<int64_t, int64_t>> reports;
    const DownloadResult result = DownloadFile("o/m", "w.bin", target, "", [&](int64_t done, int64_t total) {
      reports.push_back({done, total});
      return true;
    }, 0);
    EXPECT_EQ(result, length == std::string("10") ? DownloadOk : DownloadFailed) << length;
    if (result == DownloadOk) EXPECT_EQ(reports.back(), std::make_pair(int64_t(10), int64_t(10)));
  }
  EXPECT_EQ(ReadTextFile(target), "yyyyyyyyyy");
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

// Fault: an announced length near INT64_MAX was cut into billions of pieces, which filled the memory.
TEST(PieceSize, NoAnnouncedLengthMakesMorePiecesThanTheCap) {
  for (const int64_t total : {int64_t(16) << 20, int64_t(3) << 30, int64_t(100000000000000), INT64_MAX}) {
    for (const int connections : {1, 8, 16}) {
      const int64_t piece = PieceSizeFor(total, connections);
      ASSERT_GT(piece, 0);
      EXPECT_LE((total - 1) / piece + 1, kMaxPieces) << total << " " << connections;
    }
  }
  EXPECT_EQ(PieceSizeFor(int64_t(2) << 30, 8), 32 << 20);  // a 2 GiB file at 8 connections: 64 pieces
}
