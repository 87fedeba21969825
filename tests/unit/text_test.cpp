// UTF-8 <-> UTF-16 conversion and file-name sanitising; the same results on every platform.
#include <gtest/gtest.h>

#include "core/text.h"

TEST(Conversion, RoundTripsWellFormedTextAndReplacesEachIllFormedSubpartOnce) {
  for (const std::string& s : {std::string(), std::string("caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80"),
                               std::string("nul\0inside", 10)}) {
    EXPECT_EQ(WideToUtf8(Utf8ToWide(s)), s);
  }
  EXPECT_EQ(Utf8ToWide("\xf0\x9f\x98\x80"), (std::u16string{0xD83D, 0xDE00}));
  const std::pair<std::string, std::u16string> ill_formed[] = {
      {"\x80", u"\uFFFD"},                          // lone continuation byte
      {"a\xff" "b", u"a\uFFFDb"},                   // byte that never occurs
      {"\xc3", u"\uFFFD"},                          // truncated at the end
      {"\xe2\x82" "x", u"\uFFFDx"},                 // truncated three-byte sequence is one subpart
      {"\xc0\xaf", u"\uFFFD\uFFFD"},                // overlong: lead byte is never valid
      {"\xe0\x80\xaf", u"\uFFFD\uFFFD"},            // overlong: lead and second byte are one subpart
      {"\xed\xa0\x80", u"\uFFFD\uFFFD"},            // encoded surrogate, likewise
      {"\xf4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD"},  // above U+10FFFF
      {"\xf0\x9f\x98", u"\uFFFD"},                  // truncated four-byte sequence
  };
  for (const auto& [in, out] : ill_formed) EXPECT_EQ(Utf8ToWide(in), out) << "input bytes: " << in.size();
  const std::pair<std::u16string, std::string> lone[] = {
      {{0xD800}, "\xef\xbf\xbd"}, {{u'a', 0xDC00, u'b'}, "a\xef\xbf\xbd" "b"},
      {{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd"}};
  for (const auto& [in, out] : lone) EXPECT_EQ(WideToUtf8(in), out) << in.size() << " units";
}

TEST(SanitizeFileName, ReplacesOnlyTheNineReservedCharacters) {
  EXPECT_EQ(SanitizeFileName("org/name:a\"*<>?\\|b"), "org_name_a_______b");
  EXPECT_EQ(SanitizeFileName("Caf\xc3\xa9\t.x"), "Caf\xc3\xa9\t.x");
}
