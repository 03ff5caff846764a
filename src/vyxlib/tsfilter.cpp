// Transport-stream filter -- compile-only skeleton; the packet loop follows.

#include "tsfilter.h"

#include <cstring>

#include "statistics.h"
#include "tablecollector.h"
#include "time.h"

FILE* dbg_file_in = nullptr;
FILE* dbg_file_out = nullptr;
TsFilter* TsFilter::sSelf = nullptr;
unsigned int TsFilter::sPatCounter = 0;

TsFilter::TsFilter(char type, TunerManager* tunerMgr)
    : m_dbg_simple_stream(false), mpTunerManager(tunerMgr), mStreamingStatus(false),
      mFilterRunning(false), mMulticastChanged(false), mRunFilter(false), mDoMulticast(false),
      mpFifo(nullptr), mUnindentifiedStreamers(0), mScanMode(false), mpTime(Time::Self()),
      mpTableCollector(new TableCollector()), mpStatistics(Statistics::Self()),
      mpStreamerList(nullptr), mPatCurrentNextIndicator(0), mPatVersion(-1), mPacketSize(1316),
      mElementaryStreamCount(0), mMyType(type), mExpectedSync(0), mLastPacketId(0xFFFF),
      mLastBlock(false), mPayloadIndexDrops(0), mPointerFieldDrops(0), mSyncLossLogs(0),
      mRemainderLogs(0), mCaptionLogs(0) {
  pthread_mutex_init(&mMutex, nullptr);
  ResetPacketIdMapLocked();
  for (int i = 0; i < kMaxStreams; ++i) mStreamersList[i] = nullptr;
  sSelf = this;
}
TsFilter::~TsFilter() {
  delete mpTableCollector;
  if (sSelf == this) sSelf = nullptr;
}
TsFilter* TsFilter::Self() { return sSelf; }
void TsFilter::ResetPacketIdMapLocked() {
  memset(mPacketIdMap, 0, sizeof(mPacketIdMap));
  mPacketIdMap[0].type = ePidTypePat;
  mPacketIdMap[0].block = true;
}
bool TsFilter::Filter(unsigned char*, int) { return false; }
void TsFilter::FilterActive(bool active) {
  if (active) mPatVersion = -1;
  mRunFilter = active;
}
bool TsFilter::FilterActive() { return mFilterRunning; }
bool TsFilter::EnterScanMode(bool enter) {
  FilterActive(false);
  if (enter) FilterActive(true);
  mScanMode = enter;
  mPatVersion = -1;
  return true;
}
void TsFilter::CleanPacketIdMap() {
  pthread_mutex_lock(&mMutex);
  ResetPacketIdMapLocked();
  pthread_mutex_unlock(&mMutex);
}
bool TsFilter::GetStreamingStatus() { return mStreamingStatus; }
char* TsFilter::GetStreamingAddress() {
  static char none[] = "0.0.0.0";
  return none;
}
int TsFilter::GetStreamingPort() { return 0; }
char* TsFilter::GetMjdDateTime() { return mpTime->GetMjdDateTime(0, nullptr); }
