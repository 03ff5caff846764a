// System time from the ATSC System Time Table.

#include "ts/time.h"

#include <cstdio>

#include "utils.h"

namespace {
char date_time_text[32];
}

Time* Time::Self() {
  static Time* self = new Time();
  return self;
}

Time::Time() : mSystemTime(0), mGpsUtcOffset(0), mDaylightSavings(0), mLastLoggedTime(0) {}

void Time::SetTime(unsigned int systemTime, unsigned char gpsUtcOffset, unsigned short daylightSaving) {
  mSystemTime = systemTime;
  mGpsUtcOffset = gpsUtcOffset;
  mDaylightSavings = daylightSaving;
  if (systemTime - mLastLoggedTime >= 61) {
    mLastLoggedTime = systemTime;
    char text[32];
    VYX_LOG("Got Systime: 0x%x (%s), GpsUtc 0x%x, daylight 0x%x\n", systemTime,
            GetMjdDateTime(systemTime, text), gpsUtcOffset, daylightSaving);
  }
}

char* Time::GetMjdDateTime(unsigned int systime, char* buff) {
  if (buff == nullptr) buff = date_time_text;
  if (systime == 0) systime = mSystemTime;
  unsigned int t = systime - mGpsUtcOffset;
  unsigned int mjd = t / 86400 + kMjdGpsEpoch;
  unsigned int secOfDay = t % 86400;
  snprintf(buff, 32, "%x %.2d%.2d", mjd, static_cast<int>(secOfDay / 3600),
           static_cast<int>((secOfDay % 3600) / 60));
  return buff;
}
