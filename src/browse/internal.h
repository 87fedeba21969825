// Small helpers shared by the listing files of this folder only.
#pragma once

#include <algorithm>
#include <string>

// A name the host can address as one path component: not empty, not "." or "..", no "/", "\" or
// control character. Hub names are free text (collection titles) or git names; listing anything else
// would hand the host a folder it can never open and, on a recursive copy, a local path that climbs
// out of the target folder (both Windows and POSIX file calls take "/" as a separator).
inline bool IsHostSafeName(const std::u16string& name) {
  if (name.empty() || name == u"." || name == u"..") return false;
  for (char16_t c : name) {
    if (c < 0x20 || c == u'/' || c == u'\\') return false;
  }
  return true;
}

// `text` made host-safe: "_" for each "/", "\" and control character, "_" for each dot of "." and
// "..", "_" for nothing. Folder names built this way are found again by building them the same way.
inline std::string SafeFolderName(std::string text) {
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\') c = '_';
  }
  if (text.empty() || text == "." || text == "..") text.assign(std::max<size_t>(text.size(), 1), '_');
  return text;
}
