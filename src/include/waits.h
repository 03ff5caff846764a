#ifndef VYX_WAITS_H
#define VYX_WAITS_H

// The two pieces of the time-scaled waits shared by the plug-in and the
// stand-ins around it: how VYX_TIME_SCALE is read, and a sleep that lasts its
// whole duration even when signals interrupt it.  Header-only, because the
// media player stand-in must not link the plug-in's code.

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <ctime>

// The factor by which waits are divided: a positive finite number, else 1.
inline double vyx_parse_time_scale(const char* text) {
  if (text == nullptr || *text == '\0') return 1.0;
  char* end = nullptr;
  double v = strtod(text, &end);
  if (end == text || !std::isfinite(v) || v <= 0.0) return 1.0;
  return v;
}

inline void vyx_sleep_exact(double seconds) {
  if (!(seconds > 0.0)) return;
  // Bounded so that the conversion below stays within a 32-bit time_t.
  if (seconds > 2000000000.0) seconds = 2000000000.0;
  struct timespec req;
  req.tv_sec = static_cast<time_t>(seconds);
  req.tv_nsec = static_cast<long>((seconds - static_cast<double>(req.tv_sec)) * 1e9);
  if (req.tv_nsec >= 1000000000L) req.tv_nsec = 999999999L;
  struct timespec rem;
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

// Seconds on the monotonic clock, for deadlines of bounded waits (a change
// of the wall clock must neither cut nor stretch them).
inline double vyx_monotonic_s() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

#endif
