// UTF-16 as the Windows API's wchar_t text and back; both are 16-bit units, so this is a copy.
#pragma once

#include <string>

inline std::wstring W(const std::u16string& s) { return std::wstring(s.begin(), s.end()); }
inline std::u16string U(const std::wstring& s) { return std::u16string(s.begin(), s.end()); }
