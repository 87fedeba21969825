// UTF-8 <-> UTF-16 conversion and file-name sanitising; the same results on every platform, and on
// Windows those of the system's own conversion.
#if defined(_WIN32)
#include <windows.h>
#endif

#include <gtest/gtest.h>

#include "core/text.h"

#if defined(_WIN32)
namespace {

// The system's conversion: code page 65001, flags 0.
std::u16string SystemToWide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return std::u16string(w.begin(), w.end());
}

std::string SystemToUtf8(const std::u16string& s) {
  if (s.empty()) return {};
  std::wstring w(s.begin(), s.end());
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace
#endif

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
      {"\xed\xbf\xbf", u"\uFFFD\uFFFD"},            // the last surrogate
      {"\xf8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // a five-byte form: each byte
      {"\xfe\xff", u"\uFFFD\uFFFD"},
      {"\xc2\x41", u"\uFFFDA"}, {"\xe1\x80\x41", u"\uFFFDA"}, {"\xf1\x80\x80\x41", u"\uFFFDA"},  // cut by ASCII
      {"\xe0\xa0", u"\uFFFD"},
      {"\xf5\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // a lead byte above U+10FFFF's
      {"\xef\xbf\xbf", u"\uFFFF"},                      // a noncharacter is well-formed
      {"abc\xc3\xa9\x80z", u"abc\u00e9\uFFFDz"},
  };
  for (const auto& [in, out] : ill_formed) EXPECT_EQ(Utf8ToWide(in), out) << "input bytes: " << in.size();
  const std::pair<std::u16string, std::string> lone[] = {
      {{0xD800}, "\xef\xbf\xbd"}, {{u'a', 0xDC00, u'b'}, "a\xef\xbf\xbd" "b"},
      {{0xDC00, 0xD800}, "\xef\xbf\xbd\xef\xbf\xbd"}, {{u'a', 0xD83D}, "a\xef\xbf\xbd"},
      {{0xDBFF, 0xDBFF, 0xDFFF}, "\xef\xbf\xbd\xf4\x8f\xbf\xbf"}};
  for (const auto& [in, out] : lone) EXPECT_EQ(WideToUtf8(in), out) << in.size() << " units";
#if defined(_WIN32)
  for (const auto& [in, out] : ill_formed) EXPECT_EQ(SystemToWide(in), out) << "input bytes: " << in.size();
  for (const auto& [in, out] : lone) EXPECT_EQ(SystemToUtf8(in), out) << in.size() << " units";
#endif
}

TEST(SanitizeFileName, ReplacesOnlyTheNineReservedCharacters) {
  EXPECT_EQ(SanitizeFileName("org/name:a\"*<>?\\|b"), "org_name_a_______b");
  EXPECT_EQ(SanitizeFileName("Caf\xc3\xa9\t.x"), "Caf\xc3\xa9\t.x");
}

TEST(HostSafeNames, AreOneComponentAndMadeSafeTheSameWayInBothEncodings) {
  const std::pair<std::string, std::string> names[] = {  // name, its safe form (equal when already safe)
      {"model one", "model one"}, {"caf\xc3\xa9", "caf\xc3\xa9"}, {"...", "..."}, {".x", ".x"},
      {"", "_"},                  {".", "_"},                     {"..", "__"},  {"evil/name", "evil_name"},
      {"back\\slash", "back_slash"}, {"tab\there", "tab_here"},   {"a\x7f" "b", "a\x7f" "b"}};
  for (const auto& [name, safe] : names) {
    EXPECT_EQ(SafeFolderName(name), safe) << name;
    EXPECT_EQ(SafeFolderName(Utf8ToWide(name)), Utf8ToWide(safe)) << name;
    EXPECT_EQ(IsHostSafeName(Utf8ToWide(name)), name == safe) << name;
  }
}

TEST(EqualsNoCaseAscii, FoldsOnlyAsciiLetters) {
  EXPECT_TRUE(EqualsNoCaseAscii(std::string("HTTPS"), std::string("https")));
  EXPECT_TRUE(EqualsNoCaseAscii(u"Quote Export", u"quote EXPORT"));
  EXPECT_FALSE(EqualsNoCaseAscii(std::string("http"), std::string("https")));
  EXPECT_FALSE(EqualsNoCaseAscii(std::string("@"), std::string("`")));  // the neighbours of 'A' and 'a'
  EXPECT_FALSE(EqualsNoCaseAscii(std::string("["), std::string("{")));  // and of 'Z' and 'z'
  EXPECT_FALSE(EqualsNoCaseAscii(u"\u00C9", u"\u00E9"));  // no Unicode folding
  EXPECT_FALSE(EqualsNoCaseAscii(u"K", u"\u212A"));        // nor the Kelvin sign
}
