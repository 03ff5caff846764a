#ifndef VYX_STATISTICS_H
#define VYX_STATISTICS_H

// The counters of the plug-in: the packet loop, the table analysis and the
// streamers count into them; the shared status memory records the signal
// strength here; DUMPSTATS prints them.  Updated by the player's thread and
// read, reset and printed by the command thread without a lock: a dump may
// mix old and new values.

class Time;

class Statistics {
 public:
  static constexpr int kTables = 255;

  unsigned int mTotalIn;
  unsigned int mTotalOut;
  unsigned int mBuffersAvail;
  unsigned int mTotalDropped;
  unsigned int mNoSync;
  unsigned int mGoodSections[kTables];
  unsigned int mDroppedSections[kTables];
  int mStrength;
  Time* mpTime;
  unsigned int mPatCounter;
  unsigned int mPmtCounter;
  unsigned int mTodOrigin;

  // Created on first use; lives to the end of the process.
  static Statistics* Self();

  void Reset();
  void AddInBytes(unsigned int bytes) { mTotalIn += bytes; }
  void AddOutBytes(unsigned int bytes) { mTotalOut += bytes; }
  void AddDroppedBytes(unsigned int bytes) { mTotalDropped += bytes; }
  void AddNoSync() { ++mNoSync; }
  void SetBuffersAvail(int n) { mBuffersAvail = static_cast<unsigned int>(n); }
  void AddGoodSections(unsigned int tableId) {
    if (tableId < static_cast<unsigned int>(kTables)) ++mGoodSections[tableId];
  }
  void AddDroppedSections(unsigned int tableId) {
    if (tableId < static_cast<unsigned int>(kTables)) ++mDroppedSections[tableId];
  }
  void SetSignalStrength(int strength) { mStrength = strength; }
  void DumpStats();

  // Time-of-day count: seconds * 1024 + microseconds / 1024 (approximate ms).
  static unsigned int TodCount();

  Statistics();

 private:
  // PAT/PMT counters at the previous dump (rates are per dump period).
  unsigned int mLastDumpPat;
  unsigned int mLastDumpPmt;
};

#endif
