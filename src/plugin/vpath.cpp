// Host paths: components, prefixes, repository sub-paths and entry look-up by display name.
#include "plugin/vpath.h"

#include "core/state.h"
#include "core/text.h"

const std::u16string kAddNewEntryName = u"[Add New Entry]";
const std::u16string kSettingsName = u"[Settings]";
const std::u16string kTemporaryName = u"***_TEMPORARY_***";

VirtualPath SplitPath(const std::u16string& path) {
  VirtualPath out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find(u'\\', start);
    if (end == std::u16string::npos) end = path.size();
    if (end > start) out.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::u16string PathPrefix(const VirtualPath& components, size_t n) {
  if (n == 0 || components.empty()) return u"\\";
  std::u16string out;
  for (size_t i = 0; i < n && i < components.size(); ++i) {
    out.push_back(u'\\');
    out += components[i];
  }
  return out;
}

std::string JoinRepoPath(const VirtualPath& components, size_t k) {
  std::string out;
  for (size_t i = k; i < components.size(); ++i) {
    if (i > k) out.push_back('/');
    out += WideToUtf8(components[i]);
  }
  return out;
}

bool IsSpecialName(const std::u16string& component) {
  return component == kAddNewEntryName || component == kSettingsName || component == kTemporaryName;
}

bool IsNameTaken(const std::u16string& name) {
  StateLock guard(g_state.lock);
  return IsSpecialName(name) || FindEntryByName(name) != nullptr;
}
