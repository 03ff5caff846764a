#ifndef VYX_TIME_H
#define VYX_TIME_H

// System time as the ATSC System Time Table gives it: GPS seconds since
// 1980-01-06 00:00:00 and the GPS-UTC leap-second offset.  One object per
// process, written by the STT analysis on the player's thread and read by
// the status and guide code without a lock (fields are written whole).
//
// Included by its path ("ts/time.h") only: it must never shadow <time.h>.

class Time {
 public:
  static constexpr unsigned int kMjdGpsEpoch = 44244;  // MJD of 1980-01-06

  unsigned int mSystemTime;
  unsigned char mGpsUtcOffset;
  unsigned short mDaylightSavings;

  static Time* Self();

  // Stores the three fields; logs "Got Systime" when the time moved at least
  // 61 s past the last logged one.
  void SetTime(unsigned int systemTime, unsigned char gpsUtcOffset, unsigned short daylightSaving);
  unsigned int GetSystemTime() const { return mSystemTime; }
  // "%x %.2d%.2d": MJD in hex, hour, minute (UTC).  systime 0 uses
  // mSystemTime; buff null uses a static 32-byte buffer.
  char* GetMjdDateTime(unsigned int systime, char* buff);

  Time();

 private:
  unsigned int mLastLoggedTime;
};

#endif
