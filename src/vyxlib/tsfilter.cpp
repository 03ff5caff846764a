// Transport-stream filter: construction, the packet loop, packet analysis
// feeding the section collector, dispatch of complete sections, control
// operations and the debug replay.

#include "tsfilter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sharedmem.h"
#include "statistics.h"
#include "streamer.h"
#include "tablecollector.h"
#include "time.h"
#include "tspacket.h"
#include "tunermanager.h"
#include "utils.h"

FILE* dbg_file_in = nullptr;
FILE* dbg_file_out = nullptr;

TsFilter* TsFilter::sSelf = nullptr;
unsigned int TsFilter::sPatCounter = 0;

namespace {

const int kSyncByte = 0x47;
const unsigned int kNoPid = 0xFFFF;
// Packet-path diagnostics: one line per 512 events after the first.
inline bool log_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }
// Sync losses: the first few are all logged, then one in 256.
inline bool sync_log_due(unsigned int countBefore) { return countBefore < 8 || (countBefore & 255u) == 0; }

}  // namespace

TsFilter::TsFilter(char type, TunerManager* tunerMgr)
    : m_dbg_simple_stream(false),
      mpTunerManager(tunerMgr),
      mStreamingStatus(false),
      mFilterRunning(false),
      mMulticastChanged(false),
      mRunFilter(false),
      mDoMulticast(false),
      mpFifo(nullptr),
      mUnindentifiedStreamers(0),
      mScanMode(false),
      mpTime(nullptr),
      mpTableCollector(nullptr),
      mpStatistics(nullptr),
      mpStreamerList(nullptr),
      mPatCurrentNextIndicator(0),
      mPatVersion(-1),
      mPacketSize(1316),
      mElementaryStreamCount(0),
      mMyType(type),
      mExpectedSync(0),
      mLastPacketId(kNoPid),
      mLastBlock(false),
      mPayloadIndexDrops(0),
      mPointerFieldDrops(0),
      mSyncLossLogs(0),
      mRemainderLogs(0),
      mCaptionLogs(0),
      mDescriptorReports(0),
      mPendingHeadLen(0),
      mCarryCount(0),
      mFlushCount(0) {
  pthread_mutex_init(&mMutex, nullptr);
  mpTime = Time::Self();
  mpStatistics = Statistics::Self();
  ResetPacketIdMapLocked();
  for (int i = 0; i < kMaxStreams; ++i) mStreamersList[i] = nullptr;
  mpTableCollector = new TableCollector();
  sSelf = this;
}

TsFilter::~TsFilter() {
  // Only tests destroy a filter; the device's lives until the process ends.
  for (int i = 0; i < kMaxStreams; ++i) {
    delete mStreamersList[i];
    mStreamersList[i] = nullptr;
  }
  for (int pid = 0; pid < kPidCount; ++pid) delete mPacketIdMap[pid].streamers;
  delete mpTableCollector;
  if (sSelf == this) sSelf = nullptr;
  pthread_mutex_destroy(&mMutex);
}

TsFilter* TsFilter::Self() { return sSelf; }

void TsFilter::ResetPacketIdMapLocked() {
  memset(mPacketIdMap, 0, sizeof(mPacketIdMap));
  // The incoming PAT is never forwarded: every stream gets its own.
  mPacketIdMap[0].type = ePidTypePat;
  mPacketIdMap[0].block = true;
}

void TsFilter::ListForFlush(Streamer* s) {
  if (s->mFlushListed || s->PendingDatagrams() == 0) return;
  if (mFlushCount == kMaxFlushList) {
    s->Flush();  // more streamers than the list holds: this one goes now
    return;
  }
  s->mFlushListed = true;
  mFlushList[mFlushCount++] = s;
}

void TsFilter::FlushStreamers() {
  for (int i = 0; i < mFlushCount; ++i) {
    mFlushList[i]->Flush();
    mFlushList[i]->mFlushListed = false;
  }
  mFlushCount = 0;
}

void TsFilter::ForwardBytes(unsigned char* data, int len) {
  if (len <= 0) return;
  StreamerList* list = mpStreamerList;
  if (list == nullptr) {
    mpStatistics->AddDroppedBytes(static_cast<unsigned int>(len));
    return;
  }
  int n = list->Size();
  for (int i = 0; i < n; ++i) {
    Streamer* s = list->At(i);
    if (s != nullptr) {
      s->Stream(data, len);
      ListForFlush(s);
    }
  }
}

void TsFilter::ForwardCarry(unsigned char* data, int len) {
  if (len <= 0) return;
  if (mCarryCount == 0) {
    mpStatistics->AddDroppedBytes(static_cast<unsigned int>(len));
    return;
  }
  // Only streamers still attached to the PID get the rest (a streamer is
  // taken off every list before it is destroyed).
  StreamerList* now =
      mLastPacketId < static_cast<unsigned int>(kPidCount) ? mPacketIdMap[mLastPacketId].streamers : nullptr;
  if (now == nullptr) return;
  int n = now->Size();
  for (int k = 0; k < mCarryCount; ++k) {
    for (int i = 0; i < n; ++i) {
      if (now->At(i) == mCarryStreamers[k]) {
        mCarryStreamers[k]->Stream(data, len);
        ListForFlush(mCarryStreamers[k]);
        break;
      }
    }
  }
}

void TsFilter::RememberCarry(StreamerList* list) {
  mCarryCount = 0;
  if (list == nullptr) return;
  int n = list->Size();
  for (int i = 0; i < n && i < StreamerList::kMax; ++i)
    if (list->At(i) != nullptr) mCarryStreamers[mCarryCount++] = list->At(i);
}

bool TsFilter::Filter(unsigned char* inData, int size) {
  pthread_mutex_lock(&mMutex);
  if (!mRunFilter) {
    mFilterRunning = false;
    pthread_mutex_unlock(&mMutex);
    return false;
  }
  if (inData == nullptr || size <= 0) {
    // Nothing arrived: the loop state carries over unchanged.
    mFilterRunning = true;
    pthread_mutex_unlock(&mMutex);
    return true;
  }
  if (dbg_file_in != nullptr) {
    size_t got = fread(inData, 1, static_cast<size_t>(size), dbg_file_in);
    if (got < static_cast<size_t>(size)) {
      pthread_mutex_unlock(&mMutex);
      return false;
    }
  }
  mFilterRunning = true;
  if (mExpectedSync < 0 || mExpectedSync > kPacketLen) mExpectedSync = 0;

  // Bytes ahead of the first packet header read in this buffer continue the
  // packet cut by the previous buffer's end: they go to the streamers that
  // got its first piece (mCarryStreamers), so that no stream receives half
  // a packet when streams change between the two buffers.
  bool headerRead = false;
  mpStreamerList = nullptr;

  // The previous buffer ended one or two bytes into a packet, before its
  // PID: complete the header from this buffer, then hand the held bytes to
  // that PID's streamers ahead of the continuation.
  if (mPendingHeadLen > 0) {
    int held = mPendingHeadLen;
    int take = 3 - held < size ? 3 - held : size;
    memcpy(mPendingHead + held, inData, static_cast<size_t>(take));
    if (held + take < 3) {
      mPendingHeadLen = held + take;  // a buffer of one byte: still no PID
      mExpectedSync -= size;
      pthread_mutex_unlock(&mMutex);
      return true;
    }
    unsigned int pid = PacketPid(mPendingHead);
    mPendingHeadLen = 0;
    mLastPacketId = pid;
    mLastBlock = mPacketIdMap[pid].block;
    RememberCarry(mLastBlock ? nullptr : mPacketIdMap[pid].streamers);
    if (!mLastBlock) ForwardCarry(mPendingHead, held);
  }

  // Where this buffer was expected to reach the next packet start.
  int entryExpected = mExpectedSync;
  unsigned char* start = inData;
  unsigned char* end = inData + size;

  // A sync byte is trusted only where the next packet is due (mExpectedSync):
  // payloads are full of 0x47 bytes, and a buffer may begin or end anywhere
  // inside a packet.  Elsewhere only a search for two sync bytes a packet
  // apart, after sync was lost, may find a packet start.
  while (end - start > kPacketLen) {
    bool due = start - inData == mExpectedSync;
    if (due && start[0] == kSyncByte && start[kPacketLen] == kSyncByte) {
      mExpectedSync = static_cast<int>(start - inData) + kPacketLen;
      unsigned int pid = PacketPid(start);
      mLastPacketId = pid;
      headerRead = true;
      PacketIdMapType& entry = mPacketIdMap[pid];
      ++entry.count;
      if (entry.status == ePidAnalyse) AnalyzePacket(start, static_cast<int>(pid));
      mpStreamerList = entry.streamers;
      mLastBlock = entry.block;
      if (!mLastBlock) ForwardBytes(start, kPacketLen);
      start += kPacketLen;
      continue;
    }

    // Out of sync.
    unsigned char* p = inData + mExpectedSync;
    unsigned char* newStart;
    if (p > start && p < end && *p == kSyncByte) {
      // The normal case at a buffer's start when the previous buffer ended
      // inside a packet.
      newStart = p;
    } else {
      unsigned char* from = (mExpectedSync < kPacketLen + 1) ? inData : p - kPacketLen;
      if (from < start) from = start;  // never look back at bytes already handled
      if (from >= end) {
        VYX_LOG("Can't find sync in the entire buffer!!!\n");
        mExpectedSync = 0;
        FlushStreamers();
        pthread_mutex_unlock(&mMutex);
        return false;
      }
      unsigned char* stop = end - kPacketLen;
      unsigned char* q = from;
      while (q < stop && !(q[0] == kSyncByte && q[kPacketLen] == kSyncByte)) ++q;
      int passed = static_cast<int>(q - from);
      if (sync_log_due(mSyncLossLogs)) {
        if (passed > kPacketLen && global_debug_flag != 0)
          VYX_LOG("No sync in %d B! strength %d\n", passed,
                  SharedMem::Self()->GetSignalStrengthTransmitter());
        VYX_LOG("S b %x exp %d act %d\n", static_cast<unsigned int>(reinterpret_cast<uintptr_t>(inData)),
                mExpectedSync, static_cast<int>(q - inData));
      }
      ++mSyncLossLogs;
      mpStatistics->AddNoSync();
      newStart = q;
    }
    // What lies before the new packet start belongs to the last packet whose
    // header was read; nothing in it is analysed.
    if (newStart > start && !mLastBlock) {
      if (headerRead)
        ForwardBytes(start, static_cast<int>(newStart - start));
      else
        ForwardCarry(start, static_cast<int>(newStart - start));
    }
    // The packet found is the one due now.
    mExpectedSync = static_cast<int>(newStart - inData);
    start = newStart;
  }

  // Tail: the last whole packet (its following sync cannot be checked) or the
  // first piece of a packet that the next buffer completes.  Forwarded only.
  int remaining = static_cast<int>(end - start);
  bool packetStart = start - inData == mExpectedSync && remaining > 0 && start[0] == kSyncByte;
  if (remaining > 0 && !packetStart) {
    // A short buffer may finish the packet under way and begin the next one:
    // the player hands over buffers of any size.  Split where the next packet
    // was expected, so each piece reaches its own PID's streamers.
    unsigned char* next = inData + mExpectedSync;
    if (next > start && next < end && *next == kSyncByte) {
      if (!mLastBlock) {
        if (headerRead)
          ForwardBytes(start, static_cast<int>(next - start));
        else
          ForwardCarry(start, static_cast<int>(next - start));
      }
      start = next;
      remaining = static_cast<int>(end - start);
      packetStart = true;
    }
  }
  if (remaining > 0) {
    if (packetStart && remaining < 3) {
      // The PID bytes are in the next buffer: hold the piece until then.
      memcpy(mPendingHead, start, static_cast<size_t>(remaining));
      mPendingHeadLen = remaining;
      mLastPacketId = kNoPid;
      mLastBlock = false;
      mCarryCount = 0;
      headerRead = false;
    } else {
      if (packetStart) {
        unsigned int pid = PacketPid(start);
        mLastPacketId = pid;
        mLastBlock = mPacketIdMap[pid].block;
        mpStreamerList = mPacketIdMap[pid].streamers;
        headerRead = true;
      }
      if (!mLastBlock) {
        if (headerRead)
          ForwardBytes(start, remaining);
        else
          ForwardCarry(start, remaining);
      }
    }
  }
  // The packet under way continues in the next buffer: remember who got it.
  if (headerRead) RememberCarry(mLastBlock ? nullptr : mpStreamerList);

  if (start == inData && remaining > 0 && !packetStart && entryExpected >= remaining) {
    // A short buffer that only continues the packet under way: the next
    // packet still starts where it was expected, minus what arrived here.
    mExpectedSync = entryExpected - remaining;
  } else {
    mExpectedSync = kPacketLen - remaining;
  }
  FlushStreamers();
  pthread_mutex_unlock(&mMutex);
  return true;
}

unsigned int TsFilter::GetTsPayloadIndex(unsigned char* packetPtr, int /*packetId*/) {
  return PacketPayloadOffset(packetPtr);
}

bool TsFilter::AnalyzePacket(unsigned char* packetPtr, int packetId) {
  unsigned int payloadIndex = GetTsPayloadIndex(packetPtr, packetId);
  if (payloadIndex < 4 || payloadIndex > 187) {
    if (log_due(mPayloadIndexDrops))
      VYX_LOG("payloadIndex1 %d: DROP %d\n", payloadIndex, mPayloadIndexDrops);
    ++mPayloadIndexDrops;
    return false;
  }
  bool unitStart = PacketUnitStart(packetPtr);
  unsigned int pointerField = 0;
  unsigned int nextSectionPos = 0;
  if (unitStart) {
    pointerField = packetPtr[payloadIndex];
    payloadIndex += 1;
    nextSectionPos = pointerField + payloadIndex;
    if (nextSectionPos >= 187) {
      if (log_due(mPointerFieldDrops))
        VYX_LOG("Bad next sect: ptr_fld %d, pldIdx %d DROP %d\n", pointerField, payloadIndex,
                mPointerFieldDrops);
      ++mPointerFieldDrops;
      return false;
    }
  }

  PacketIdMapType& entry = mPacketIdMap[packetId & 0x1FFF];
  if (entry.scrambling == eNotKnown) entry.scrambling = PacketScrambled(packetPtr) ? eScrambled : eClear;

  unsigned char continuity = PacketContinuity(packetPtr);
  int payloadLength = kPacketLen - static_cast<int>(payloadIndex);

  if (packetId != 0 && packetId != 0x1FFB) {
    int t = entry.type;
    if (t != ePidTypePat && t != ePidTypePmt && t != ePidTypeEit && t != ePidTypeEtt) return true;
  }

  unsigned short pid = static_cast<unsigned short>(packetId & 0x1FFF);
  unsigned char* payload = packetPtr + payloadIndex;
  if (!unitStart) {
    CollectPsipSection(pid, payload, payloadLength, false, continuity);
  } else if (pointerField == 0) {
    CollectPsipSection(pid, payload, payloadLength, true, continuity);
  } else {
    if (log_due(mRemainderLogs))
      VYX_LOG("PSIP Remainder And New Section in pid 0x%x continuity %d: payloadLength %d, "
              "nextSessionPos %d\n",
              pid, continuity, payloadLength, nextSectionPos);
    ++mRemainderLogs;
    CollectPsipSection(pid, payload, payloadLength, false, continuity);
    CollectPsipSection(pid, packetPtr + nextSectionPos, kPacketLen - static_cast<int>(nextSectionPos),
                       true, static_cast<unsigned char>(continuity | kContinuityUnknown));
  }
  return true;
}

bool TsFilter::CollectPsipSection(unsigned short pid, unsigned char* packetPtr, int length,
                                  bool startOfSection, unsigned char continuity) {
  if (mpTableCollector == nullptr) return true;
  int tableId = -1;
  unsigned char* section =
      mpTableCollector->CollectPsipSection(pid, packetPtr, length, startOfSection, continuity, &tableId);
  if (section == nullptr) return true;
  switch (tableId) {
    case 0x00:
      AnalyzeSectionPat(section);
      break;
    case 0x02:
      AnalyzeSectionPmt(section, pid);
      break;
    case 0xC0:
      AnalyzeMessageProgramInformation(section, length, pid);
      break;
    case 0xC1:
      AnalyzeMessageProgramName(section, length, pid);
      break;
    case 0xC2:
      AnalyzeMessageNetworkInformation(section, length, pid);
      break;
    case 0xC3:
      AnalyzeMessageNetworkText(section, length, pid);
      break;
    case 0xC4:
      AnalyzeMessageVirtualChannel(section, length, pid);
      break;
    case 0xC5:
      AnalyzeMessageSystemTime(section, length, pid);
      break;
    case 0xC8:
    case 0xC9:
      AnalyzeSectionVct(section);
      break;
    case 0xC7:
      AnalyzeSectionMgt(section);
      break;
    case 0xCB:
      AnalyzeSectionEit(section);
      break;
    case 0xCC:
      AnalyzeSectionEtt(section);
      break;
    case 0xCD:
      AnalyzeSectionStt(section);
      break;
    default:
      break;
  }
  return true;
}

// ATSC message tables: accepted, nothing to do with them.
bool TsFilter::AnalyzeMessageProgramInformation(unsigned char*, int, int) { return true; }
bool TsFilter::AnalyzeMessageProgramName(unsigned char*, int, int) { return true; }
bool TsFilter::AnalyzeMessageNetworkInformation(unsigned char*, int, int) { return true; }
bool TsFilter::AnalyzeMessageNetworkText(unsigned char*, int, int) { return true; }
bool TsFilter::AnalyzeMessageVirtualChannel(unsigned char*, int, int) { return true; }
bool TsFilter::AnalyzeMessageSystemTime(unsigned char*, int, int) { return true; }

void TsFilter::FilterActive(bool active) {
  if (active) mPatVersion = -1;
  mRunFilter = active;
}

bool TsFilter::FilterActive() { return mFilterRunning; }

bool TsFilter::EnterScanMode(bool enter) {
  FilterActive(false);
  StopMulticast(-1, true);
  if (enter) FilterActive(true);
  mScanMode = enter;
  mPatVersion = -1;
  return true;
}

void TsFilter::CleanPacketIdMap() {
  pthread_mutex_lock(&mMutex);
  // The entries own their streamer lists: they go with them.
  for (int pid = 0; pid < kPidCount; ++pid) delete mPacketIdMap[pid].streamers;
  ResetPacketIdMapLocked();
  mpStreamerList = nullptr;
  mLastPacketId = kNoPid;
  mLastBlock = false;
  mCarryCount = 0;
  pthread_mutex_unlock(&mMutex);
}

bool TsFilter::GetStreamingStatus() { return mStreamingStatus; }

char* TsFilter::GetStreamingAddress() {
  static char none[] = "0.0.0.0";
  return none;
}

int TsFilter::GetStreamingPort() { return 0; }

char* TsFilter::GetMjdDateTime() { return mpTime->GetMjdDateTime(mpTime->mSystemTime, nullptr); }

void TsFilter::DebugSaveStream() {
  FILE* f = fopen("saved_stream.ts", "wb");
  if (f == nullptr) {
    VYX_ERROR("Can't open file");
    return;
  }
  mFilterRunning = true;
  // Records no data: the file only marks that a recording was asked for.
  while (mRunFilter) vyx_sleep_ms(13);
  fclose(f);
}

void TsFilter::DebugFilterSavedStream() {
  FILE* f = fopen("saved_stream.ts", "rb");
  if (f == nullptr) {
    VYX_ERROR("Can't open file");
    return;
  }
  const size_t kBlock = 32768;
  unsigned char* block = static_cast<unsigned char*>(malloc(kBlock));
  if (block != nullptr) {
    for (;;) {
      size_t n = fread(block, 1, kBlock, f);
      if (n == 0) break;
      Filter(block, static_cast<int>(n));
      vyx_sleep_ms(10);
    }
    free(block);
  }
  fclose(f);
  DumpPids();
  printf("Exiting exiting exiting\n");
  fflush(stdout);
  exit(0);
}

void TsFilter::DumpBytes(unsigned char* ptr, unsigned int numb) {
  if (ptr == nullptr) return;
  for (unsigned int i = 0; i < numb; ++i) {
    printf("%.2x ", ptr[i]);
    if ((i + 1) % 8 == 0)
      printf("\n");
    else if ((i + 1) % 4 == 0)
      printf("  ");
  }
  printf("\n");
}
