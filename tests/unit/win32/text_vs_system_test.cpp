// The portable conversion must give what the system conversion (code page 65001, flags 0) gives.
#include <windows.h>

#include <gtest/gtest.h>

#include "core/text.h"

namespace {

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

TEST(ConversionVsSystem, InvalidUtf8) {
  const std::string inputs[] = {
      "\x80", "a\xff" "b", "\xc3", "\xe2\x82" "x", "\xc0\xaf", "\xe0\x80\xaf", "\xed\xa0\x80", "\xed\xbf\xbf",
      "\xf4\x90\x80\x80", "\xf0\x9f\x98", "\xf0\x9f\x98\x80", "\xf8\x88\x80\x80\x80", "\xfe\xff", "\xc2\x41",
      "\xe1\x80\x41", "\xf1\x80\x80\x41", "\xe0\xa0", "\xef\xbf\xbf", "\xf5\x80\x80\x80", "abc\xc3\xa9\x80z",
  };
  for (const std::string& in : inputs) {
    EXPECT_EQ(Utf8ToWide(in), SystemToWide(in)) << "input of " << in.size() << " bytes starting "
                                                 << static_cast<int>(static_cast<unsigned char>(in[0]));
  }
}

TEST(ConversionVsSystem, LoneSurrogates) {
  const std::u16string inputs[] = {
      std::u16string{0xD800}, std::u16string{0xDC00}, std::u16string{u'a', 0xD83D}, std::u16string{0xDE00, u'b'},
      std::u16string{0xD83D, 0xDE00}, std::u16string{0xDBFF, 0xDBFF, 0xDFFF},
  };
  for (const std::u16string& in : inputs) {
    EXPECT_EQ(WideToUtf8(in), SystemToUtf8(in)) << "input of " << in.size() << " units";
  }
}
