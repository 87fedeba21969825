// Host paths: components, prefixes, repository sub-paths and entry look-up by display name.
#include "plugin/vpath.h"

#include "core/state.h"
#include "core/text.h"
#include "platform/platform.h"


VirtualPath SplitPath(const std::u16string& path) {
  // "\" always; hosts on a platform whose separator is "/" send that too ("/", "/E/repo/").
  const char16_t separators[] = {u'\\', PlatformPathSeparator(), 0};
  VirtualPath out;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find_first_of(separators, start);
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

std::u16string HostPathPrefix(const VirtualPath& components, size_t n) {
  std::u16string out = PathPrefix(components, n);
  const char16_t separator = PlatformPathSeparator();
  for (char16_t& c : out) {
    if (c == u'\\') c = separator;
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
