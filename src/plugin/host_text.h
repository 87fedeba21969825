// Moving UTF-16 text across the host boundary, where the wide char is wchar_t or char16_t.
#pragma once

#include <string>

#include "plugin/host_abi.h"

inline std::u16string FromHost(const HostChar* text) {
  std::u16string out;
  if (!text) return out;
  for (; *text; ++text) out.push_back(static_cast<char16_t>(*text));
  return out;
}

// Copies at most capacity - 1 units and a terminating zero.
inline void CopyToHost(HostChar* dest, size_t capacity, const std::u16string& text) {
  if (!dest || capacity == 0) return;
  size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
  for (size_t i = 0; i < n; ++i) dest[i] = static_cast<HostChar>(text[i]);
  dest[n] = 0;
}

inline HostChar* ToHostPointer(std::u16string& text) { return reinterpret_cast<HostChar*>(text.data()); }
