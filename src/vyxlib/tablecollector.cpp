// Section reassembly -- compile-only skeleton; the collector follows.

#include "tablecollector.h"

#include <cstring>

PsipSection::PsipSection(int buffer_size, int8_t* continuityPerPid)
    : mTableId(-1), mPid(0), mSectionNo(-1), mBufferSize(buffer_size), mTotalSectionLen(0),
      mRemainingSectionLen(0), mSectionPos(0), mVersion(-1), mSectionBuffer(nullptr),
      mCurNextCounter(0), mVersionCounter(0), mGoodSections(0), mDroppedSectionsContinuity(0),
      mDroppedSectionsCrc(0), mDroppedSectionsOther(0), mDroppedSectionsFuture(0),
      mDroppedSectionsReserved(0), mIgnoredSections(0), mVersionChanges(0), mpStat(nullptr),
      mpContinuity(continuityPerPid) {
  if (buffer_size > 0) mSectionBuffer = new unsigned char[buffer_size];
}
PsipSection::~PsipSection() { delete[] mSectionBuffer; }
unsigned char* PsipSection::CollectPsipSection(unsigned short, unsigned char*, int, bool,
                                               unsigned char, int* table_id) {
  if (table_id) *table_id = -1;
  return nullptr;
}
void PsipSection::PrintStats() {}

TableCollector::TableCollector()
    : mTableCount(0), mReparseEit(false), mReparseEtt(false), mStatesDropped(0), mSmallUsed(0),
      mLargeUsed(0) {
  memset(continuityPerPid, 0, sizeof(continuityPerPid));
  memset(mTables, 0, sizeof(mTables));
  memset(mSmallPool, 0, sizeof(mSmallPool));
  memset(mLargePool, 0, sizeof(mLargePool));
}
TableCollector::~TableCollector() {}
unsigned char* TableCollector::CollectPsipSection(unsigned short, unsigned char*, int, bool,
                                                  unsigned char, int* table_id) {
  if (table_id) *table_id = -1;
  return nullptr;
}
void TableCollector::PrintStats() {}
int TableCollector::BufferSizeFor(int) { return PsipSection::kLargeBuffer; }
