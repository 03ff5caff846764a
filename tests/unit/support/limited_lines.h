#ifndef VYX_TEST_LIMITED_LINES_H
#define VYX_TEST_LIMITED_LINES_H

// The rate-limited report lines of a log: each is led by "[xN] ", N the
// occurrences it stands for.

#include <cstdlib>
#include <string>
#include <vector>

namespace vyxtest {

// The counts N of the lines "...[xN] <text>..." of `log`, in order.
inline std::vector<unsigned> LimitedCounts(const std::string& log, const std::string& text) {
  std::vector<unsigned> counts;
  for (size_t at = log.find("] " + text); at != std::string::npos; at = log.find("] " + text, at + 1)) {
    size_t open = log.rfind("[x", at);
    size_t lineStart = log.rfind('\n', at);
    if (open == std::string::npos || (lineStart != std::string::npos && open < lineStart)) continue;
    counts.push_back(static_cast<unsigned>(strtoul(log.c_str() + open + 2, nullptr, 10)));
  }
  return counts;
}

inline unsigned Sum(const std::vector<unsigned>& v) {
  unsigned s = 0;
  for (unsigned x : v) s += x;
  return s;
}

}  // namespace vyxtest

#endif
