// UTF-8 <-> UTF-16 conversion and file-name sanitising; the same results on every platform.
#include <gtest/gtest.h>

#include "core/text.h"

TEST(Conversion, RoundTripsWellFormedText) {
  const std::string samples[] = {"", "abc", "caf\xc3\xa9", "\xe2\x80\x94", "\xf0\x9f\x98\x80 emoji",
                                 std::string("nul\0inside", 10)};
  for (const std::string& s : samples) {
    EXPECT_EQ(WideToUtf8(Utf8ToWide(s)), s);
  }
  EXPECT_EQ(Utf8ToWide("\xf0\x9f\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
}

TEST(Conversion, ReplacesEachIllFormedSubpartWithOneReplacementCharacter) {
  struct Case {
    std::string in;
    std::u16string out;
  } cases[] = {
      {"\x80", u"\uFFFD"},                      // lone continuation byte
      {"a\xff" "b", u"a\uFFFDb"},               // byte that never occurs
      {"\xc3", u"\uFFFD"},                      // truncated at the end
      {"\xe2\x82" "x", u"\uFFFDx"},             // truncated three-byte sequence is one subpart
      {"\xc0\xaf", u"\uFFFD\uFFFD"},            // overlong: lead byte is never valid
      {"\xe0\x80\xaf", u"\uFFFD\uFFFD"},        // overlong: lead and second byte are one subpart
      {"\xed\xa0\x80", u"\uFFFD\uFFFD"},        // encoded surrogate, likewise
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xf0\x9f\x98", u"\uFFFD"},              // truncated four-byte sequence
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf8ToWide(c.in), c.out) << "input bytes: " << c.in.size();
  }
}

TEST(Conversion, ReplacesLoneSurrogates) {
  EXPECT_EQ(WideToUtf8(std::u16string{0xD800}), "\xef\xbf\xbd");
  EXPECT_EQ(WideToUtf8(std::u16string{u'a', 0xDC00, u'b'}), "a\xef\xbf\xbd" "b");
  EXPECT_EQ(WideToUtf8(std::u16string{0xDC00, 0xD800}), "\xef\xbf\xbd\xef\xbf\xbd");
}

TEST(SanitizeFileName, ReplacesOnlyTheNineReservedCharacters) {
  EXPECT_EQ(SanitizeFileName("org/name:beta"), "org_name_beta");
  EXPECT_EQ(SanitizeFileName("a\"*/:<>?\\|b"), "a_________b");
  EXPECT_EQ(SanitizeFileName("Caf\xc3\xa9\t.x"), "Caf\xc3\xa9\t.x");
}
