// Small helpers shared by the listing files of this folder only.
#pragma once

#include <string>

// A name the host can address as one path component: not empty, not "." or "..", no backslash.
// Hub names are free text (collection titles) or git names (which may hold a backslash); listing
// anything else would hand the host a folder it can never open and, on a recursive copy, a local
// path that climbs out of the target folder.
inline bool IsHostSafeName(const std::u16string& name) {
  return !name.empty() && name != u"." && name != u".." && name.find(u'\\') == std::u16string::npos;
}
