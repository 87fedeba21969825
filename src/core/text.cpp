// One UTF-8 <-> UTF-16 conversion for both platforms. Ill-formed input is not rejected: each ill-formed
// subpart of UTF-8, and each lone surrogate of UTF-16, becomes U+FFFD, as the system conversion
// (code page 65001, flags 0) does.
#include "core/text.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace {

constexpr char16_t kReplacement = 0xFFFD;

void AppendUtf16(std::u16string* out, uint32_t cp) {
  if (cp < 0x10000) {
    out->push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out->push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out->push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

template <typename Char>
bool EqualsNoCase(const std::basic_string<Char>& a, const std::basic_string<Char>& b) {
  const auto lower = [](Char c) { return c >= 'A' && c <= 'Z' ? static_cast<Char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](Char x, Char y) {
           return lower(x) == lower(y);
         });
}

template <typename Char>
bool IsUnsafeUnit(Char c) {
  return static_cast<std::make_unsigned_t<Char>>(c) < 0x20 || c == '/' || c == '\\';
}

template <typename Text>
Text SafeName(Text text) {
  for (auto& c : text) {
    if (IsUnsafeUnit(c)) c = '_';
  }
  if (text.empty() || text == Text(1, '.') || text == Text(2, '.')) text.assign(std::max<size_t>(text.size(), 1), '_');
  return text;
}

}  // namespace

std::u16string Utf8ToWide(const std::string& utf8) { return Utf8ToWide(utf8.data(), utf8.size()); }

std::u16string Utf8ToWide(const char* utf8, size_t n) {
  std::u16string out;
  out.reserve(n);
  size_t i = 0;
  while (i < n) {
    const uint8_t b0 = static_cast<uint8_t>(utf8[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    // The allowed range of the second byte excludes overlongs, surrogates and values above U+10FFFF.
    size_t len = 0;
    uint8_t lo = 0x80, hi = 0xBF;
    uint32_t cp = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2; cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3; cp = b0 & 0x0F;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4; cp = b0 & 0x07;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      out.push_back(kReplacement);
      ++i;
      continue;
    }
    size_t k = 1;
    bool ok = true;
    for (; k < len; ++k) {
      if (i + k >= n) { ok = false; break; }
      const uint8_t b = static_cast<uint8_t>(utf8[i + k]);
      if (b < 0x80 || b > 0xBF) { ok = false; break; }
      // A continuation byte that makes an overlong, a surrogate or a value above U+10FFFF ends the
      // subpart after itself, as the system conversion does.
      if (k == 1 && (b < lo || b > hi)) { k = 2; ok = false; break; }
      cp = (cp << 6) | (b & 0x3F);
    }
    if (!ok) {
      out.push_back(kReplacement);
      i += k;
      continue;
    }
    AppendUtf16(&out, cp);
    i += len;
  }
  return out;
}

std::string WideToUtf8(const std::u16string& wide) {
  std::string out;
  out.reserve(wide.size());
  const size_t n = wide.size();
  for (size_t i = 0; i < n; ++i) {
    const uint32_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      AppendUtf8(&out, 0x10000 + ((u - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(&out, kReplacement);
    } else {
      AppendUtf8(&out, u);
    }
  }
  return out;
}

std::string SanitizeFileName(const std::string& name) {
  std::string out = name;
  for (char& c : out) {
    switch (c) {
      case '"': case '*': case '/': case ':': case '<': case '>': case '?': case '\\': case '|':
        c = '_';
        break;
      default:
        break;
    }
  }
  return out;
}

std::u16string WideDecimal(int64_t value) {
  const std::string s = std::to_string(value);
  return std::u16string(s.begin(), s.end());
}

bool EqualsNoCaseAscii(const std::string& a, const std::string& b) { return EqualsNoCase(a, b); }

bool EqualsNoCaseAscii(const std::u16string& a, const std::u16string& b) { return EqualsNoCase(a, b); }

bool IsHostSafeName(const std::u16string& name) { return !name.empty() && SafeName(name) == name; }

std::string SafeFolderName(std::string text) { return SafeName(std::move(text)); }

std::u16string SafeFolderName(std::u16string text) { return SafeName(std::move(text)); }
