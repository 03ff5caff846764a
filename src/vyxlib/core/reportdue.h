#ifndef VYX_REPORTDUE_H
#define VYX_REPORTDUE_H

// The one rate limit for reports that a hostile or broken stream (or a flood
// of bad commands) could trigger on every packet, section or table
// repetition: one line per interval with the number of occurrences it
// stands for.

#include <atomic>

#include "utils.h"
#include "waits.h"

// Raised by report_limits_restart(); a limit that last reported in an older
// generation reports its next occurrence at once.
inline std::atomic<unsigned int> report_limit_generation{0};

// Every limited report starts afresh.  A new filter (a new stream, and in
// the tests a new fixture) calls it, so that its first faults are seen.
inline void report_limits_restart() { report_limit_generation.fetch_add(1, std::memory_order_relaxed); }

// One line per interval: the first occurrence is reported at once, later ones
// at most once every kIntervalS seconds (divided by VYX_TIME_SCALE), the line
// saying how many occurrences it stands for.  Kept by the reporting site (a
// static of the macros below); the packet path may use it: the monotonic
// clock is read without a system call.
struct ReportLimit {
  static constexpr double kIntervalS = 10.0;
  double last = -1.0;        // when the last line went out; negative: never
  unsigned int pending = 0;  // occurrences not yet reported
  unsigned int generation = 0;

  // Counts one occurrence; true when a line is due, `count` then holds the
  // occurrences it reports (this one included).
  bool Due(unsigned int* count) {
    unsigned int now_generation = report_limit_generation.load(std::memory_order_relaxed);
    if (generation != now_generation) {
      generation = now_generation;
      last = -1.0;
      pending = 0;
    }
    ++pending;
    double now = vyx_monotonic_s();
    if (last >= 0.0 && now - last < kIntervalS / vyx_time_scale()) return false;
    last = now;
    *count = pending;
    pending = 0;
    return true;
  }
};

// A debug log line or an error report limited at its site (one ReportLimit
// each), led by the number of occurrences it stands for: "[x37] ...".
#define VYX_LIMITED_REPORT_(report, fmt, ...)          \
  do {                                                 \
    static ReportLimit vyx_limit_;                     \
    unsigned int vyx_times_ = 0;                       \
    if (vyx_limit_.Due(&vyx_times_))                   \
      report("[x%u] " fmt, vyx_times_, ##__VA_ARGS__); \
  } while (0)
// The same limit for a line formatted at its site and said later (made
// under a lock, printed once the lock is released): true when a line is due,
// *times then the count for its "[x%u] " lead.
#define VYX_REPORT_DUE(times)           \
  ([](unsigned int* vyx_times_) {       \
    static ReportLimit vyx_limit_;      \
    return vyx_limit_.Due(vyx_times_);  \
  }(times))
// A debug line is counted only while the debug log is on: the packet path
// meets some of them at every table repetition, and a line nobody prints
// need not read the clock (that cost a third more per packet).
#define VYX_LOG_LIMITED(fmt, ...)                                           \
  do {                                                                      \
    if (debug_log_on()) VYX_LIMITED_REPORT_(VYX_LOG, fmt, ##__VA_ARGS__); \
  } while (0)
#define VYX_ERROR_LIMITED(fmt, ...) VYX_LIMITED_REPORT_(VYX_ERROR, fmt, ##__VA_ARGS__)

#endif
