// Which hash of a listing is checked, and the hashes computing it (BCrypt under Wine, the processor's
// SHA extensions for SHA-256 where present).
#include <gtest/gtest.h>

#include <algorithm>

#include "hub/content_hash.h"

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
