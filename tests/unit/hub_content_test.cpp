// Which hash of a listing is checked, and the platform's hashes computing it (BCrypt under Wine).
#include <gtest/gtest.h>

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
