// Transport-stream filter: construction, the packet loop, packet analysis
// feeding the section collector, dispatch of complete sections, control
// operations and the debug replay.

#include "ts/tsfilter.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "ts/sectionreader.h"
#include "sharedmem.h"
#include "statistics.h"
#include "streamer.h"
#include "ts/tablecollector.h"
#include "ts/time.h"
#include "ts/tspacket.h"
#include "utils.h"
#include "waits.h"

FILE* dbg_file_in = nullptr;
FILE* dbg_file_out = nullptr;

TsFilter* TsFilter::sSelf = nullptr;
unsigned int TsFilter::sPatCounter = 0;

namespace {

const int kSyncByte = kTsSyncByte;
const int kPacketLenBytes = kTsPacketLen;
const unsigned int kNoPid = PacketLoopState::kNoPid;
static_assert(PacketLoopState::kPacketLen == kTsPacketLen, "one packet length");

// Payloads are full of 0x47 bytes, so one sync byte where a packet is due
// proves little: a packet is trusted where the sync bytes of the packets
// after it follow too (as many as the buffer shows, up to three).  True when
// the sync bytes at `at` and at the next two packet starts (those inside the
// buffer) are there.
inline bool SyncChainAt(const unsigned char* data, int at, int size) {
  for (int k = 0; k < 3 && at + k * kPacketLenBytes < size; ++k)
    if (data[at + k * kPacketLenBytes] != kSyncByte) return false;
  return true;
}

// A packet at q with more of the buffer after it: taken when its sync byte
// and the next packets' are there.  The packet loop and the search for sync
// use this one test, so a search never stops where the loop refused.
inline bool PacketTrusted(const unsigned char* q, int left) {
  return left > kPacketLenBytes && q[0] == kSyncByte && SyncChainAt(q, kPacketLenBytes, left);
}

}  // namespace

TsFilter::TsFilter(char type, TableReports* tunerMgr)
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
      mPatCurrentNextIndicator(0),
      mPatVersion(-1),
      mPacketSize(1316),
      mElementaryStreamCount(0),
      mMyType(type),
      mPayloadIndexDrops(0),
      mPointerFieldDrops(0),
      mSyncLossLogs(0),
      mRemainderLogs(0),
      mFlushCount(0),
      mSendHold(0.0),
      mHoldSince(-1.0),
      mListPool(nullptr),
      mFreeListCount(0),
      mListPoolEmpty(0),
      mLanguageFilterSet(false),
      mLanguagePriType(0),
      mLanguageSecType(0) {
  pthread_mutex_init(&mMutex, nullptr);
  // A new filter (a new stream) sees its first faults whatever the last one saw.
  report_limits_restart();
  memset(mLanguagePri, 0, sizeof(mLanguagePri));
  memset(mLanguageSec, 0, sizeof(mLanguageSec));
  // Without the pool, lists are made on the command thread as needed and
  // the packet path attaches nothing new.
  mListPool = new (std::nothrow) StreamerList[kListPool];
  if (mListPool != nullptr)
    for (int i = kListPool - 1; i >= 0; --i) mFreeLists[mFreeListCount++] = &mListPool[i];
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
  for (int pid = 0; pid < kPidCount; ++pid) ReleaseList(mPacketIdMap[pid].streamers);
  delete[] mListPool;
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
  mHoldSince = -1.0;
}

void TsFilter::SetSendHold(double seconds) {
  ScopedLock lock(&mMutex);
  mSendHold = seconds > 0.0 && seconds <= 1.0 ? seconds : 0.0;
}

bool TsFilter::FlushDue() {
  if (mFlushCount == 0) return false;
  if (mSendHold <= 0.0) return true;
  // The monotonic clock is read without a system call (vDSO).
  double now = vyx_monotonic_s();
  if (mHoldSince < 0.0) {
    mHoldSince = now;
    return false;
  }
  return now - mHoldSince >= mSendHold;
}

// ---------------------------------------------------------------------------
// The packet loop
// ---------------------------------------------------------------------------
// The player hands over buffers of any size, cut anywhere, and a feed may
// lose or insert bytes between them.  A sync byte is trusted only where the
// next packet is due (mLoop.expectedSync): payloads are full of 0x47 bytes.
// A packet is taken when its sync byte is due and the next packets' follow
// 188 bytes apart; the last packet of a buffer, whole or cut, is forwarded at
// once and held until the next buffer confirms it, then analysed.  Streamers
// put a packet in a datagram only once all of it has come: when the next
// buffer does not continue it, its head is dropped.  Bytes where no packet is
// found are dropped.

bool TsFilter::Filter(unsigned char* inData, int size) {
  ScopedLock lock(&mMutex);
  if (!mRunFilter) {
    mFilterRunning = false;
    return false;
  }
  if (inData == nullptr || size <= 0) {
    // Nothing arrived: the loop state carries over unchanged, and what
    // waits for the send hold leaves now.
    mFilterRunning = true;
    FlushStreamers();
    return true;
  }
  if (dbg_file_in != nullptr) {
    size_t got = fread(inData, 1, static_cast<size_t>(size), dbg_file_in);
    if (got < static_cast<size_t>(size)) return false;
  }
  mFilterRunning = true;
  FilterBuffer(inData, size);
  KeepOwners();
  if (FlushDue()) FlushStreamers();
  return true;
}

void TsFilter::FilterBuffer(unsigned char* data, int size) {
  if (mLoop.expectedSync < 0 || mLoop.expectedSync > kPacketLen) mLoop.expectedSync = 0;
  KeepAttachedOwners();
  int used = 0;
  bool due = true;
  if (!ResumePacketUnderWay(data, size, &used, &due)) return;
  ScanPackets(data, data + used, data + size, due);
}

// The packet under way goes on only to the streamers that got its first
// piece and are still attached to its PID.
void TsFilter::KeepAttachedOwners() {
  PacketLoopState& loop = mLoop;
  int kept = 0;
  StreamerList* now = loop.pid < static_cast<unsigned int>(kPidCount) ? mPacketIdMap[loop.pid].streamers : nullptr;
  for (int k = 0; k < loop.ownerCount && now != nullptr; ++k) {
    for (int i = 0; i < now->Size(); ++i) {
      if (now->At(i) == loop.owners[k]) {
        loop.owners[kept++] = loop.owners[k];
        break;
      }
    }
  }
  loop.ownerCount = kept;
  loop.to = loop.owners;
  loop.toCount = kept;
}

// The packet cut by the last buffer's end: its header completed, then its
// rest forwarded where the next packet's sync byte (or the buffer's end)
// says it ends.  `used`: the bytes of this buffer it took; `due`: false when
// sync was lost.  False when nothing of the buffer is left.
bool TsFilter::ResumePacketUnderWay(unsigned char* data, int size, int* used, bool* due) {
  PacketLoopState& loop = mLoop;
  // The last buffer ended one or two bytes into a packet, before its PID.
  if (loop.heldLen > 0 && loop.heldLen < 3 && loop.pid == kNoPid) {
    int take = 3 - loop.heldLen < size ? 3 - loop.heldLen : size;
    memcpy(loop.held + loop.heldLen, data, static_cast<size_t>(take));
    if (loop.heldLen + take < 3) {
      loop.heldLen += take;  // a buffer of one byte: still no PID
      loop.expectedSync -= size;
      return false;
    }
    BeginPacket(loop.held);
    Forward(loop.held, loop.heldLen, true);
  }
  int rest = loop.expectedSync;
  if (rest <= 0) return true;
  if (rest < size && !SyncChainAt(data, rest, size)) {
    // Bytes were lost or inserted between the buffers: the packet under way
    // is neither analysed nor sent.
    DropPartials();
    loop.heldLen = 0;
    *due = false;
    return true;
  }
  int n = rest < size ? rest : size;
  Forward(data, n, false);
  if (loop.heldLen > 0 && loop.heldLen + n <= kPacketLen) {
    memcpy(loop.held + loop.heldLen, data, static_cast<size_t>(n));
    loop.heldLen += n;
  } else {
    loop.heldLen = 0;
  }
  *used = n;
  loop.expectedSync = rest - n;
  return n < size;
}

void TsFilter::ScanPackets(unsigned char* data, unsigned char* pos, unsigned char* end, bool due) {
  PacketLoopState& loop = mLoop;
  while (pos < end) {
    int left = static_cast<int>(end - pos);
    if (due && pos[0] == kSyncByte) {
      // The packet held from the last buffer is followed by a packet: whole.
      if (loop.heldLen == kPacketLen) AnalyzeHeldPacket();
      loop.heldLen = 0;
      if (PacketTrusted(pos, left)) {
        AcceptPacket(pos);
        pos += kPacketLen;
        continue;
      }
      if (left <= kPacketLen) {
        HoldLastPacket(pos, left);
        return;
      }
      // A due sync byte without packets after it: search on.
    }
    loop.heldLen = 0;
    if (left <= kPacketLen) {
      // No packet starts here: the bytes go nowhere.
      mpStatistics->AddDroppedBytes(static_cast<unsigned int>(left));
      ForgetPacketUnderWay();
      loop.expectedSync = kPacketLen - left;
      return;
    }
    pos = Resync(data, pos, end);
    due = true;
  }
}

// The last packet of the buffer, whole or cut: forwarded now, analysed once
// the next buffer shows it whole and followed by a packet.
void TsFilter::HoldLastPacket(unsigned char* pos, int left) {
  memcpy(mLoop.held, pos, static_cast<size_t>(left));
  mLoop.heldLen = left;
  if (left >= 3) {
    BeginPacket(pos);
    Forward(pos, left, true);
  } else {
    ForgetPacketUnderWay();  // its PID is in the next buffer
  }
  mLoop.expectedSync = kPacketLen - left;
}

// Out of sync: the bytes up to the next trusted packet are dropped.  Returns
// where it starts (or the buffer's last packet's place).
unsigned char* TsFilter::Resync(unsigned char* data, unsigned char* pos, unsigned char* end) {
  unsigned char* q = pos;
  unsigned char* const stop = end - kPacketLen;
  while (q < stop && !PacketTrusted(q, static_cast<int>(end - q))) ++q;
  int passed = static_cast<int>(q - pos);
  VYX_LOG_LIMITED("S b %x exp %d act %d, skipped %d B, strength %d\n",
                  static_cast<unsigned int>(reinterpret_cast<uintptr_t>(data)), static_cast<int>(pos - data),
                  static_cast<int>(q - data), passed, SharedMem::Self()->GetSignalStrengthTransmitter());
  ++mSyncLossLogs;
  mpStatistics->AddNoSync();
  mpStatistics->AddDroppedBytes(static_cast<unsigned int>(passed));
  return q;
}

// A whole packet, its successor's sync byte seen: counted, analysed when its
// PID is analysed, forwarded.
void TsFilter::AcceptPacket(unsigned char* packet) {
  unsigned int pid = PacketPid(packet);
  PacketIdMapType& entry = mPacketIdMap[pid];
  ++entry.count;
  if (entry.status == ePidAnalyse) AnalyzePacket(packet, static_cast<int>(pid));
  BeginPacket(packet);
  Forward(packet, kPacketLen, true);
}

void TsFilter::AnalyzeHeldPacket() {
  unsigned int pid = PacketPid(mLoop.held);
  PacketIdMapType& entry = mPacketIdMap[pid];
  ++entry.count;
  if (entry.status == ePidAnalyse) AnalyzePacket(mLoop.held, static_cast<int>(pid));
}

// The packet whose header starts at `packet` is now the one under way.
void TsFilter::BeginPacket(const unsigned char* packet) {
  unsigned int pid = PacketPid(packet);
  const PacketIdMapType& entry = mPacketIdMap[pid];
  mLoop.pid = pid;
  mLoop.block = entry.block;
  const StreamerList* list = entry.streamers;
  mLoop.to = list != nullptr ? list->items : mLoop.owners;
  mLoop.toCount = list != nullptr ? list->Size() : 0;
}

void TsFilter::ForgetPacketUnderWay() {
  mLoop.pid = kNoPid;
  mLoop.block = false;
  mLoop.ownerCount = 0;
  mLoop.to = mLoop.owners;
  mLoop.toCount = 0;
}

// At a buffer's end: the packet under way continues in the next buffer, and
// goes on to the streamers that got this piece.
void TsFilter::KeepOwners() {
  if (mLoop.to == mLoop.owners) return;
  int n = 0;
  for (int i = 0; i < mLoop.toCount && i < StreamerList::kMax; ++i)
    if (mLoop.to[i] != nullptr) mLoop.owners[n++] = mLoop.to[i];
  mLoop.ownerCount = n;
  mLoop.to = mLoop.owners;
  mLoop.toCount = n;
}

void TsFilter::Forward(const unsigned char* data, int len, bool head) {
  if (len <= 0 || mLoop.block) return;
  if (mLoop.toCount == 0) {
    mpStatistics->AddDroppedBytes(static_cast<unsigned int>(len));
    return;
  }
  for (int i = 0; i < mLoop.toCount; ++i) {
    Streamer* s = mLoop.to[i];
    if (s == nullptr) continue;
    s->Stream(const_cast<unsigned char*>(data), len, head);
    ListForFlush(s);
  }
}

void TsFilter::DropPartials() {
  for (int i = 0; i < mLoop.toCount; ++i)
    if (mLoop.to[i] != nullptr) mLoop.to[i]->DropPartial();
}

unsigned int TsFilter::GetTsPayloadIndex(unsigned char* packetPtr, int /*packetId*/) {
  return PacketPayloadOffset(packetPtr);
}

bool TsFilter::AnalyzePacket(unsigned char* packetPtr, int packetId) {
  unsigned int payloadIndex = GetTsPayloadIndex(packetPtr, packetId);
  if (payloadIndex < 4 || payloadIndex > 187) {
    VYX_LOG_LIMITED("payloadIndex1 %d: DROP %d\n", payloadIndex, mPayloadIndexDrops);
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
      VYX_LOG_LIMITED("Bad next sect: ptr_fld %d, pldIdx %d DROP %d\n", pointerField, payloadIndex,
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
    return true;
  }
  if (pointerField != 0) {
    VYX_LOG_LIMITED("PSIP Remainder And New Section in pid 0x%x continuity %d: payloadLength %d, "
              "nextSessionPos %d\n",
              pid, continuity, payloadLength, nextSectionPos);
    ++mRemainderLogs;
    CollectPsipSection(pid, payload, payloadLength, false, continuity);
    continuity |= kContinuityUnknown;
  }
  // Sections follow each other up to the packet's end or to stuffing (a
  // multiplexer packs short EIT, MGT or VCT sections several to a packet).
  // Each step passes at least a section header, so a packet holds at most
  // about sixty of them.
  SectionReader rest(packetPtr + nextSectionPos, kPacketLen - static_cast<int>(nextSectionPos));
  while (rest.Remaining() > 0 && rest.Peek(0) != 0xFF) {
    CollectPsipSection(pid, const_cast<unsigned char*>(rest.Ptr()), rest.Remaining(), true, continuity);
    continuity |= kContinuityUnknown;
    SectionReader head = rest;
    head.U8();
    int sectionLength = head.Len12();
    // A header cut by the packet's end, or a section that goes on in the
    // next packet, is the last one here.
    if (!head.Ok() || !rest.Skip(sectionLength + 3)) break;
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
  ScopedLock lock(&mMutex);
  // The entries own their streamer lists: they go with them.
  for (int pid = 0; pid < kPidCount; ++pid) ReleaseList(mPacketIdMap[pid].streamers);
  ResetPacketIdMapLocked();
  ForgetPacketUnderWay();
  // What the PAT registered is gone: the next PAT, same version or not,
  // registers it again.
  mPatVersion = -1;
  // The language filter's flags went with the map: it stays off until the
  // next LANG, and is not re-applied to what the new multiplex's PMTs list.
  mLanguageFilterSet = false;
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
