// DownloadFile over a scripted exchange: a redirect from https to plain http (where an API request
// stops), how many pieces a length is cut into, and what the hub's redirect and the announced length say.
// Which hash of a listing is checked, and the hashes computing it (BCrypt under Wine, the processor's
// SHA extensions for SHA-256 where present).
#include <gtest/gtest.h>

#include <algorithm>

#include "hub/content_hash.h"
#include "hub/download.h"
#include "hub/transfer.h"
#include "hub_scripted_exchange.h"
#include "support/test_env.h"

TEST(DownloadFile, FollowsARedirectToPlainHttpWithoutTheKeyWhereAnApiRequestStops) {
  ScriptedHub hub;
  hub.Answer("https://hub.test:443/o/m/resolve/main/w.bin", "moved", 302, "http://cdn.test/blob");
  hub.Answer("http://cdn.test:80/blob", "payload");
  EXPECT_EQ(HttpGet(u"https://hub.test/o/m/resolve/main/w.bin", "hf_secret"), "moved");
  const std::u16string target = JoinFsPath(MakeTempFolder("hub-download-redirect"), u"out.bin");
  EXPECT_EQ(DownloadFile("o/m", "w.bin", target, "hf_secret", nullptr, ModelRepo), DownloadOk);
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

// Where the listing names nothing, a large file's redirect from the hub does (X-Linked-Etag, the
// SHA-256; X-Linked-Size): the bytes are checked against it. A storage host's own ETag (a hash of its
// own), a small file's git blob id and what a host off the hub's origin says are never taken for it.
TEST(DownloadFile, WithoutAListingTheHubsRedirectNamesTheFile) {
  const std::string sha = "239f59ed55e737c77147cf55ad0c1b030b6d7ee748a7426952f9b852d5a935e5";  // of "payload"
  const std::string other = std::string(64, 'a');
  const struct {
    std::string linked;     // the hub's redirect's X-Linked-* header lines
    bool bounce;            // the storage host redirects once more, saying something of its own
    bool listed;            // the listing names the file's hash
    const char* length;     // announced by the storage host; the body has 7 bytes
    DownloadResult expected;
    std::string log;        // a line the copy must log; "" none
  } cases[] = {
      {"X-Linked-Etag: \"" + sha + "\"\r\nX-Linked-Size: 7\r\n", false, false, "7", DownloadOk, ""},
      {"X-Linked-Etag: \"" + other + "\"\r\n", false, false, "7", DownloadFailed,
       "Download content mismatch: o/m/w.bin expected=" + other + " got=" + sha},
      {"X-Linked-Etag: W/\"" + std::string(40, 'b') + "\"\r\n", false, false, "7", DownloadOk, ""},
      {"X-Linked-Size: 8\r\n", false, false, "7", DownloadFailed,
       "Download size differs from the hub's: o/m/w.bin linked size=8 size=7"},
      {"", true, false, "7", DownloadOk, ""},
      {"X-Linked-Etag: \"" + other + "\"\r\n", false, true, "7", DownloadOk, ""},  // the listing's hash wins
      // A body of another length than announced is damaged, whichever is the longer.
      {"", false, false, "8", DownloadFailed, ""},
      {"", false, false, "6", DownloadFailed, ""},
  };
  const std::u16string target = JoinFsPath(MakeTempFolder("hub-download-linked"), u"out.bin");
  g_state.log = RecordLog;
  for (const auto& c : cases) {
    ScriptedHub hub;
    g_host.Clear();
    hub.Answer("https://hub.test:443/o/m/resolve/main/w.bin", "Found", 302, "https://cdn.test/blob").head.raw_headers =
        c.linked;
    ScriptedResponse* blob = &hub.Answer("https://cdn.test:443/blob", "payload");
    if (c.bounce) {
      hub.Answer("https://cdn.test:443/blob", "", 302, "https://cdn2.test/blob").head.raw_headers =
          "X-Linked-Etag: \"" + other + "\"\r\nX-Linked-Size: 9\r\n";
      blob = &hub.Answer("https://cdn2.test:443/blob", "payload");
    }
    blob->chunks = {"pay", "load"};
    blob->head.has_content_length = true;
    blob->head.content_length = c.length;
    blob->head.etag = "\"" + std::string(64, 'c') + "\"";  // the storage's own hash, not the content's
    blob->head.raw_headers = "ETag: " + blob->head.etag + "\r\n";
    DownloadRequest request;
    request.repo_id = "o/m";
    request.file_path = "w.bin";
    request.local_path = target;
    if (c.listed) request.listed.lfs_oid = sha;
    WriteTextFile(target, "mine");
    EXPECT_EQ(DownloadFile(std::move(request)), c.expected) << c.linked;
    EXPECT_EQ(ReadTextFile(target), c.expected == DownloadOk ? "payload" : "mine") << c.linked;
    if (!c.log.empty()) EXPECT_TRUE(g_host.HasLogLine(c.log)) << c.linked;
  }
  g_state.log = nullptr;
}

TEST(ContentCheck, TheLargeFileHashWinsAndAMaskedOneChecksNothing) {
  const std::string sha256 = "2CF24DBA5FB0A30E26E83B2AC5B9E29E1B161E5C1FA7425E73043362938B9824";  // of "hello"
  const std::string blob = "b6fc4c620b67d95f953a5c1c1230aaab5db5a1b0";  // git blob id of "hello"
  const struct {
    ListedContent listed;
    std::string hex;  // the check's digest; empty: nothing to check
  } cases[] = {
      {{5, 0, "1111111111111111111111111111111111111111", sha256}, "2cf24dba5fb0a30e26e83b2ac5b9e29e1b161e5c1fa7425e73043362938b9824"},
      {{5, 0, blob, ""}, blob},
      {{5, 0, "1111111111111111111111111111111111111111", std::string(64, '*')}, ""},  // not the pointer's id
      {{5, 0, "b6fc4c62", ""}, ""},
      {{5, 0, "", ""}, ""},
  };
  for (const auto& c : cases) {
    const ContentCheck check = ContentCheckFor(c.listed);
    EXPECT_EQ(check.hex, c.hex) << c.listed.oid << " " << c.listed.lfs_oid;
    if (check.hex.empty()) continue;
    ContentHasher hasher;
    ASSERT_TRUE(hasher.Begin(check, 5));
    hasher.Update("hel", 3);
    hasher.Update("lo", 2);
    EXPECT_EQ(hasher.EndHex(), c.hex);
  }
}

// The processor's SHA-256 against the platform's, over every padding case and uneven pieces.
TEST(ContentCheck, TheProcessorsSha256MatchesThePlatforms) {
  if (!CpuHasSha256()) GTEST_SKIP() << "no SHA extensions on this processor";
  std::string bytes(1 << 20, '\0');
  uint32_t seed = 7;
  for (char& c : bytes) c = static_cast<char>((seed = seed * 1103515245u + 12345u) >> 24);
  for (size_t size : {size_t(0), size_t(1), size_t(55), size_t(56), size_t(63), size_t(64), size_t(65), size_t(119),
                      size_t(120), size_t(200), bytes.size()}) {
    PlatformHashState* platform = PlatformHashBegin(HashAlgorithm::Sha256);
    ASSERT_NE(platform, nullptr);
    PlatformHashUpdate(platform, bytes.data(), size);
    Sha256Cpu cpu;
    Sha256CpuBegin(&cpu);
    for (size_t at = 0, piece = 1; at < size; at += piece, piece = piece * 3 % 997 + 1) {
      Sha256CpuUpdate(&cpu, bytes.data() + at, std::min(piece, size - at));
    }
    EXPECT_EQ(Sha256CpuEnd(&cpu), PlatformHashEnd(platform)) << size << " bytes";
  }
}
