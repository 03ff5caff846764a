// Version numbers of the plug-in, exported for the player and the launcher.

#include "core/version.h"

#include <cstdio>
#include <cstring>

#ifndef VYX_BUILD_HOST
#define VYX_BUILD_HOST "unknown"
#endif

#define VYX_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr int kVersionMajor = 0;
constexpr int kVersionMinor = 82;
constexpr int kVersionBuild = 14;

// The compiler's build date and time ("Jun 15 2011", "18:21:35") as
// "2011-06-15_18:21:35_Wed", the form the start-up banner has always used.
void build_date_text(char* out, size_t size) {
  static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  const char* date = __DATE__;
  char name[4] = {date[0], date[1], date[2], 0};
  const char* found = strstr(kMonths, name);
  int month = found != nullptr ? static_cast<int>(found - kMonths) / 3 + 1 : 1;
  int day = 0, year = 0;
  if (sscanf(date + 4, "%d %d", &day, &year) != 2) {
    day = 1;
    year = 1970;
  }
  // Day of the week (Sakamoto's method, 0 = Sunday).
  static const int kOffsets[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  int y = month < 3 ? year - 1 : year;
  int weekday = (y + y / 4 - y / 100 + y / 400 + kOffsets[month - 1] + day) % 7;
  snprintf(out, size, "%04d-%02d-%02d_%s_%s", year, month, day, __TIME__, kDays[weekday]);
}

}  // namespace

VYX_EXPORT int version_get_major() { return kVersionMajor; }
VYX_EXPORT int version_get_minor() { return kVersionMinor; }
VYX_EXPORT int version_get_build() { return kVersionBuild; }

VYX_EXPORT void version_printf() {
  char date[40];
  build_date_text(date, sizeof(date));
  fprintf(stderr,
          "DurEdod Startup. BUILD_DATE %s, BUILD_MAJOR %d, BUILD_MINOR %d, BUILD_NUMBER %d, "
          "BUILD_HOST %s, DEBUG %d\n",
          date, kVersionMajor, kVersionMinor, kVersionBuild, VYX_BUILD_HOST, 1);
}
