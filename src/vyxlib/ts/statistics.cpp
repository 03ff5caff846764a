// Counters of the plug-in and the DUMPSTATS print.

#include "statistics.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>

#include "ts/time.h"

Statistics* Statistics::Self() {
  // Built on first use; function-local statics are initialised once even
  // when two threads arrive together.
  static Statistics* self = new Statistics();
  return self;
}

Statistics::Statistics() : mLastDumpPat(0), mLastDumpPmt(0) { Reset(); }

unsigned int Statistics::TodCount() {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  return static_cast<unsigned int>(tv.tv_sec) * 1024u + static_cast<unsigned int>(tv.tv_usec) / 1024u;
}

void Statistics::Reset() {
  mTotalIn = 0;
  mTotalOut = 0;
  mBuffersAvail = 0;
  mTotalDropped = 0;
  mNoSync = 0;
  mStrength = 0;
  mPatCounter = 0;
  mPmtCounter = 0;
  memset(mGoodSections, 0, sizeof(mGoodSections));
  memset(mDroppedSections, 0, sizeof(mDroppedSections));
  mpTime = Time::Self();
  mTodOrigin = TodCount();
}

void Statistics::DumpStats() {
  printf("\n======== STATISTICS =========\n");
  printf("Signal Strength %d\n", mStrength);
  printf("Total Rx-ed %u\n", mTotalIn);
  printf("Total Tx-ed %u\n", mTotalOut);
  printf("Total Dr-ed %u\n", mTotalDropped);
  printf("Diff (bug if != 0) %u\n", mTotalIn - mTotalOut - mTotalDropped);
  printf("BuffersAvail %u\n", mBuffersAvail);
  printf("No Sync %u\n", mNoSync);

  unsigned int pat = mPatCounter;
  unsigned int pmt = mPmtCounter;
  unsigned int newPats = pat - mLastDumpPat;
  unsigned int newPmts = pmt - mLastDumpPmt;
  mLastDumpPat = pat;
  mLastDumpPmt = pmt;
  unsigned int now = TodCount();
  unsigned int period = now - mTodOrigin;
  mTodOrigin = now;
  // A dump within the same millisecond as the reset has no period to divide
  // by: report no rate rather than a division by zero.
  float patRate = period ? static_cast<float>(newPats) * 1000.0f / static_cast<float>(period) : 0.0f;
  float pmtRate = period ? static_cast<float>(newPmts) * 1000.0f / static_cast<float>(period) : 0.0f;
  printf("Recent table frequency: PAT %f/s, PMT %f/s\n", patRate, pmtRate);

  printf("=== sections ====\n");
  for (int t = 0; t < kTables; ++t) {
    if (mGoodSections[t] != 0 || mDroppedSections[t] != 0)
      printf("SECTION 0x%x: good %u, dropped %u\n", t, mGoodSections[t], mDroppedSections[t]);
  }
  printf("== end sections ==\n");
  printf("=============================\n");
  fflush(stdout);
}
