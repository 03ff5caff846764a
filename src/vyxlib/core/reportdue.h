#ifndef VYX_REPORTDUE_H
#define VYX_REPORTDUE_H

// Rate limits for reports that a hostile or broken stream (or a flood of bad
// commands) could trigger on every packet, section or table repetition.

#include "utils.h"
#include "waits.h"

// The first, then one in 512.  `countBefore` is the event counter before
// this event is counted.
inline bool report_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }

// One line per interval: the first occurrence is reported at once, later ones
// at most once every kIntervalS seconds, the line saying how many occurrences
// it stands for.  Kept by the reporting site (a member or a static); the
// packet path may use it: the monotonic clock is read without a system call.
struct ReportLimit {
  static constexpr double kIntervalS = 10.0;
  double last = -1.0;        // when the last line went out; negative: never
  unsigned int pending = 0;  // occurrences not yet reported

  // Counts one occurrence; true when a line is due, `count` then holds the
  // occurrences it reports (this one included).
  bool Due(unsigned int* count) {
    ++pending;
    double now = vyx_monotonic_s();
    if (last >= 0.0 && now - last < kIntervalS) return false;
    last = now;
    *count = pending;
    pending = 0;
    return true;
  }
};

// A debug log line or an error report limited at its site (one ReportLimit
// each), led by the number of occurrences it stands for: "[x37] ...".
#define VYX_LIMITED_REPORT_(report, fmt, ...)              \
  do {                                                     \
    static ReportLimit vyx_limit_;                         \
    unsigned int vyx_times_ = 0;                           \
    if (vyx_limit_.Due(&vyx_times_))                       \
      report("[x%u] " fmt, vyx_times_, ##__VA_ARGS__);     \
  } while (0)
#define VYX_LOG_LIMITED(fmt, ...) VYX_LIMITED_REPORT_(VYX_LOG, fmt, ##__VA_ARGS__)
#define VYX_ERROR_LIMITED(fmt, ...) VYX_LIMITED_REPORT_(VYX_ERROR, fmt, ##__VA_ARGS__)

#endif
