// Reading the header lines of an answer as received.
#include "hub/headers.h"

#include "core/text.h"

std::string HeaderValue(const std::string& raw_headers, const std::string& name) {
  std::string joined;
  size_t begin = 0;
  while (begin < raw_headers.size()) {
    size_t end = raw_headers.find('\n', begin);
    if (end == std::string::npos) end = raw_headers.size();
    const std::string line = raw_headers.substr(begin, end - begin);
    begin = end + 1;
    const size_t colon = line.find(':');
    if (colon != name.size() || !EqualsNoCaseAscii(line.substr(0, colon), name)) continue;
    const size_t first = line.find_first_not_of(" \t", colon + 1);
    const size_t last = line.find_last_not_of(" \t\r");
    if (first == std::string::npos || last < first) continue;
    if (!joined.empty()) joined += ", ";
    joined += line.substr(first, last - first + 1);
  }
  return joined;
}
