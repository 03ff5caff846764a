// Section reassembly with continuity, length, CRC-32 and version checks.

#include "ts/tablecollector.h"

#include <cstring>

#include "core/reportdue.h"
#include "ts/sectionreader.h"
#include "statistics.h"
#include "utils.h"

namespace {

// A PID's counter before its first packet: whatever that packet carries
// is taken, so the first section after a new start is not a gap.
const int8_t kNoCounterYet = -1;

// Advances a PID's continuity counter for one packet; true on a gap (the
// counter then takes the received value).  kContinuityUnknown marks the
// second call for the same packet: nothing to advance.
inline bool continuity_gap(int8_t* counters, unsigned short pid, unsigned char continuity) {
  if ((continuity & kContinuityUnknown) == kContinuityUnknown) return false;
  int8_t& c = counters[pid & 0x1FFF];
  if (c == kNoCounterYet) {
    c = static_cast<int8_t>(continuity & 0x0F);
    return false;
  }
  c = static_cast<int8_t>((c + 1) & 0x0F);
  if (c != static_cast<int8_t>(continuity & 0x0F)) {
    c = static_cast<int8_t>(continuity & 0x0F);
    return true;
  }
  return false;
}

const int kSectionHeaderBytes = TableCollector::kHeaderBytes;
const int kMaxPayload = 184;

}  // namespace

// ---------------------------------------------------------------- PsipSection

PsipSection::PsipSection(int buffer_size, int8_t* continuityPerPid, unsigned char* buffer)
    : mTableId(-1),
      mPid(0),
      mSectionNo(-1),
      mBufferSize(buffer_size),
      mTotalSectionLen(0),
      mRemainingSectionLen(0),
      mSectionPos(0),
      mVersion(-1),
      mSectionBuffer(nullptr),
      mCurNextCounter(0),
      mVersionCounter(0),
      mGoodSections(0),
      mDroppedSectionsContinuity(0),
      mDroppedSectionsCrc(0),
      mDroppedSectionsOther(0),
      mDroppedSectionsFuture(0),
      mDroppedSectionsReserved(0),
      mIgnoredSections(0),
      mVersionChanges(0),
      mpStat(Statistics::Self()),
      mpContinuity(continuityPerPid) {
  if (buffer_size < 1) {
    VYX_ERROR("buffer_size is 0");
    mBufferSize = 0;
    return;
  }
  if (buffer != nullptr) {
    mSectionBuffer = buffer;
  } else {
    mSectionBuffer = new unsigned char[buffer_size];
    mOwnBuffer = true;
  }
  if (mpContinuity == nullptr) {
    // A state used on its own keeps its own counters.
    mpContinuity = new int8_t[TableCollector::kPidCount];
    memset(mpContinuity, kNoCounterYet, TableCollector::kPidCount);
    mOwnContinuity = true;
  }
}

void PsipSection::Reset() {
  mTableId = -1;
  mPid = 0;
  mSectionNo = -1;
  mTotalSectionLen = 0;
  mRemainingSectionLen = 0;
  mSectionPos = 0;
  mVersion = -1;
  mCurNextCounter = 0;
  mVersionCounter = 0;
  mGoodSections = 0;
  mDroppedSectionsContinuity = 0;
  mDroppedSectionsCrc = 0;
  mDroppedSectionsOther = 0;
  mDroppedSectionsFuture = 0;
  mDroppedSectionsReserved = 0;
  mIgnoredSections = 0;
  mVersionChanges = 0;
  if (mOwnContinuity) memset(mpContinuity, kNoCounterYet, TableCollector::kPidCount);
}

PsipSection::~PsipSection() {
  if (mOwnBuffer) delete[] mSectionBuffer;
  if (mOwnContinuity) delete[] mpContinuity;
}

unsigned char* PsipSection::CollectPsipSection(unsigned short pid, unsigned char* packetPtr,
                                               int length, bool startOfSection,
                                               unsigned char continuity, int* table_id) {
  pid &= 0x1FFF;
  int expected = (mpContinuity[pid] + 1) & 0x0F;
  bool gap = continuity_gap(mpContinuity, pid, continuity);
  if (table_id != nullptr) *table_id = -1;
  if (length < 0) length = 0;
  if (mSectionBuffer == nullptr) return nullptr;

  bool crcWaived = false;
  if (startOfSection) {
    if (!BeginSection(pid, packetPtr, length, continuity, gap, &crcWaived)) return nullptr;
  } else if (gap) {
    VYX_LOG_LIMITED("DROP2 my %d coming %d tbl 0x%x pid 0x%x continued\n", expected, continuity & 0x0F,
            mTableId, pid);
    ++mDroppedSectionsContinuity;
    mRemainingSectionLen = 0;
    return nullptr;
  } else if (mRemainingSectionLen <= 0) {
    return nullptr;
  }
  if (!Append(packetPtr, length)) return nullptr;

  // Complete.
  int versionByte = 0;
  if (!CrcAccepted(pid, continuity, crcWaived, &versionByte)) return nullptr;
  // Versions (the PAT on PID 0 and the STT are delivered every time).
  if (pid != 0 && mTableId != 0xCD && !VersionAccepted(pid, versionByte)) return nullptr;
  ++mGoodSections;
  if (table_id != nullptr) *table_id = mTableId;
  return mSectionBuffer;
}

bool PsipSection::BeginSection(unsigned short pid, const unsigned char* packetPtr, int length,
                               unsigned char continuity, bool gap, bool* crcWaived) {
  // A gap before a start cuts only the section in progress: the one that
  // starts here is whole (a looped capture jumps its counters there).
  if (mRemainingSectionLen > 0 && gap) {
    VYX_LOG_LIMITED("DROP1 CONTIN tbl 0x%x pid 0x%x\n", mTableId, pid);
    ++mDroppedSectionsContinuity;
  } else if (mRemainingSectionLen > 0) {
    VYX_LOG_LIMITED("PROBLEM: CollectSection: sect 0x%x len %d (should be 0) pid/mPid 0x%x/0x%x, cont %d\n",
            mTableId, mRemainingSectionLen, pid, mPid, continuity & 0x0F);
  }
  mRemainingSectionLen = 0;
  // A section start must carry at least its header; the collector makes
  // sure of that, a direct caller may not.
  if (length < 3) {
    ++mDroppedSectionsOther;
    return false;
  }
  if (mGoodSections == 0 && mDroppedSectionsCrc >= 5) {
    VYX_LOG_LIMITED("Ignore CRC for tbl 0x%x pid 0x%x\n", mTableId, pid);
    *crcWaived = true;
  }
  SectionReader head(packetPtr, length);
  mTableId = head.U8();
  int total = head.Len12() + 3;
  head.Skip(2);  // table id extension
  int versionByte = head.U8();  // absent (and bad) when the packet ends first
  int limit = mBufferSize - kBufferMargin;
  if (total > limit) {
    VYX_ERROR_LIMITED("Table 0x%x too large: %d > %d", mTableId, total, limit);
    ++mDroppedSectionsOther;
    return false;
  }
  mTotalSectionLen = total;
  mRemainingSectionLen = total;
  mSectionPos = 0;
  if (head.Ok() && (versionByte & 0xC0) != 0xC0) ++mDroppedSectionsReserved;
  return true;
}

bool PsipSection::Append(const unsigned char* packetPtr, int length) {
  int n = length < mRemainingSectionLen ? length : mRemainingSectionLen;
  memcpy(mSectionBuffer + mSectionPos, packetPtr, static_cast<size_t>(n));
  mSectionPos += n;
  mRemainingSectionLen -= n;
  if (mRemainingSectionLen < 0) {
    VYX_ERROR_LIMITED("Over-reading Section: %d ", mRemainingSectionLen);
    mRemainingSectionLen = 0;
    return false;
  }
  return mRemainingSectionLen == 0;
}

bool PsipSection::CrcAccepted(unsigned short pid, unsigned char continuity, bool crcWaived,
                              int* versionByte) {
  if (mTotalSectionLen < 4) {
    VYX_ERROR_LIMITED("Zero length section !!!");
    ++mDroppedSectionsOther;
    return false;
  }
  SectionReader whole(mSectionBuffer, mTotalSectionLen);
  SectionReader body = whole.Sub(mTotalSectionLen - 4);
  unsigned int theirs = whole.U32();
  body.Skip(5);
  *versionByte = body.U8();  // 0 (not current) in a section too short to have one
  unsigned int mine = crc32(mSectionBuffer, static_cast<unsigned int>(mTotalSectionLen - 4));
  if (theirs == mine) return true;
  VYX_LOG_LIMITED("=== CRC32 ERR (their %.8x != %.8x mine)! Drop sect table 0x%x pid 0x%x cont %d\n\n",
          theirs, mine, mTableId, pid, continuity & 0x0F);
  if (crcWaived) return true;
  ++mDroppedSectionsCrc;
  return false;
}

bool PsipSection::VersionAccepted(unsigned short pid, int versionByte) {
  int version = (versionByte >> 1) & 0x1F;
  if ((versionByte & 0x01) == 0) {
    VYX_LOG_LIMITED("!!! tbl 0x%x pid 0x%x/0x%x not valid yet: version %d\n", mTableId, pid, mPid, version);
    ++mCurNextCounter;
    ++mDroppedSectionsFuture;
    return false;
  }
  if (version == mVersion) {
    VYX_LOG_LIMITED("tbl 0x%x pid 0x%x/0x%x same, good, old version %d\n", mTableId, pid, mPid, mVersion);
    ++mVersionCounter;
    return true;
  }
  if (mVersion != -1) {
    VYX_LOG_LIMITED("tbl 0x%x pid 0x%x/0x%x VERSION CHANGE, old %d new %d\n", mTableId, pid, mPid, mVersion,
            version);
    mGoodSections = 0;
    mDroppedSectionsContinuity = 0;
    mDroppedSectionsCrc = 0;
    mDroppedSectionsOther = 0;
    mDroppedSectionsFuture = 0;
    mDroppedSectionsReserved = 0;
    mIgnoredSections = 0;
    ++mVersionChanges;
  }
  mVersion = version;
  return true;
}

void PsipSection::PrintStats() {
  VYX_LOG("tbl 0x%.2x pid 0x%.4x sect %.2d good %u \tignored %u \tdrop cont %u \tdrop crc %u \tdrop res "
          "%u \tvers ch %u\n",
          mTableId, mPid, mSectionNo, mGoodSections, mIgnoredSections, mDroppedSectionsContinuity,
          mDroppedSectionsCrc, mDroppedSectionsReserved, mVersionChanges);
}

// ------------------------------------------------------------- TableCollector

TableCollector::TableCollector()
    : mTableCount(0),
      mReparseEit(false),
      mReparseEtt(false),
      mStatesDropped(0),
      mShortStarts(0),
      mOrphanContinuations(0),
      mHeldStartsLost(0),
      mpArena(nullptr),
      mSmallUsed(0),
      mLargeUsed(0) {
  memset(continuityPerPid, kNoCounterYet, sizeof(continuityPerPid));
  for (int i = 0; i < kMaxStates; ++i) mTables[i] = nullptr;
  for (HeldStart& h : mHeld) h.pid = -1;
  // All section buffers in one block; a state's bytes are always written
  // before they are read, so the block is not cleared.
  mpArena = new unsigned char[static_cast<size_t>(kSmallStates) * PsipSection::kSmallBuffer +
                              static_cast<size_t>(kLargeStates) * PsipSection::kLargeBuffer];
  unsigned char* next = mpArena;
  for (int i = 0; i < kSmallStates; ++i) {
    mSmallPool[i] = new PsipSection(PsipSection::kSmallBuffer, continuityPerPid, next);
    next += PsipSection::kSmallBuffer;
  }
  for (int i = 0; i < kLargeStates; ++i) {
    mLargePool[i] = new PsipSection(PsipSection::kLargeBuffer, continuityPerPid, next);
    next += PsipSection::kLargeBuffer;
  }
}

TableCollector::~TableCollector() {
  for (int i = 0; i < kSmallStates; ++i) delete mSmallPool[i];
  for (int i = 0; i < kLargeStates; ++i) delete mLargePool[i];
  delete[] mpArena;
}

void TableCollector::Reset() {
  for (int i = 0; i < mTableCount; ++i) {
    mTables[i]->Reset();
    mTables[i] = nullptr;
  }
  mTableCount = 0;
  mSmallUsed = 0;
  mLargeUsed = 0;
  mReparseEit = false;
  mReparseEtt = false;
  memset(continuityPerPid, kNoCounterYet, sizeof(continuityPerPid));
  mStatesDropped = 0;
  mShortStarts = 0;
  mOrphanContinuations = 0;
  mHeldStartsLost = 0;
  for (HeldStart& h : mHeld) h.pid = -1;
}

TableCollector::HeldStart* TableCollector::HeldFor(int pid) {
  for (HeldStart& h : mHeld)
    if (h.pid == pid) return &h;
  return nullptr;
}

void TableCollector::Hold(int pid, const unsigned char* bytes, int length) {
  if (length < 1 || length >= kHeaderBytes) return;
  HeldStart* h = HeldFor(pid);
  for (int i = 0; h == nullptr && i < kHeldStarts; ++i)
    if (mHeld[i].pid < 0) h = &mHeld[i];
  if (h == nullptr) {
    // All slots busy (hostile input): the oldest-looking one goes.
    ++mHeldStartsLost;
    h = &mHeld[mShortStarts % kHeldStarts];
  }
  h->pid = pid;
  h->length = length;
  memcpy(h->bytes, bytes, static_cast<size_t>(length));
}

int TableCollector::BufferSizeFor(int tableId) {
  switch (tableId) {
    case 0x00:
    case 0x02:
    case 0xC0:
    case 0xC1:
    case 0xC2:
    case 0xC3:
    case 0xC4:
    case 0xC5:
    case 0xC8:
    case 0xC9:
    case 0xCD:
      return PsipSection::kSmallBuffer;
    default:
      return PsipSection::kLargeBuffer;
  }
}

unsigned char* TableCollector::CollectPsipSection(unsigned short pid, unsigned char* packetPtr,
                                                  int length, bool startOfSection,
                                                  unsigned char continuity, int* table_id) {
  pid &= 0x1FFF;
  if (table_id != nullptr) *table_id = -1;
  PsipSection* state = nullptr;
  if (!startOfSection) {
    HeldStart* held = HeldFor(pid);
    if (held != nullptr) {
      held->pid = -1;
      // The PID's next packet completes the header the last one's end cut:
      // collected as one start, header and payload joined, unless a packet
      // was lost in between.
      if (Follows(pid, continuity)) {
        unsigned char joined[kSectionHeaderBytes + kMaxPayload];
        int n = held->length;
        int take = length < kMaxPayload ? (length > 0 ? length : 0) : kMaxPayload;
        memcpy(joined, held->bytes, static_cast<size_t>(n));
        memcpy(joined + n, packetPtr, static_cast<size_t>(take));
        return CollectPsipSection(pid, joined, n + take, true, continuity, table_id);
      }
      ++mHeldStartsLost;
    }
    state = StateInProgress(pid, continuity);
  } else {
    state = StateForStart(pid, packetPtr, length, continuity);
  }
  if (state == nullptr) return nullptr;

  unsigned char* section =
      state->CollectPsipSection(pid, packetPtr, length, startOfSection, continuity, table_id);
  if (section != nullptr && state->mTableId == 0xC7) {
    mReparseEit = true;
    mReparseEtt = true;
  }
  return section;
}

bool TableCollector::Follows(int pid, unsigned char continuity) const {
  int counter = continuityPerPid[pid];
  return counter == kNoCounterYet || (continuity & kContinuityUnknown) == kContinuityUnknown ||
         ((counter + 1) & 0x0F) == (continuity & 0x0F);
}

PsipSection* TableCollector::StateInProgress(int pid, unsigned char continuity) {
  for (int i = 0; i < mTableCount; ++i)
    if (mTables[i]->mPid == pid && mTables[i]->mRemainingSectionLen > 0) return mTables[i];
  VYX_LOG_LIMITED("Section continuation before start; drop\n");
  ++mOrphanContinuations;
  continuity_gap(continuityPerPid, static_cast<unsigned short>(pid), continuity);
  return nullptr;
}

PsipSection* TableCollector::StateForStart(int pid, const unsigned char* packetPtr, int length,
                                           unsigned char continuity) {
  // The start must hold the section header (up to section_number); a
  // header cut by the packet end is held, and stuffing (0xFF) dropped.
  SectionReader head(packetPtr, length);
  int tableId = head.U8();
  head.Skip(kSectionHeaderBytes - 2);  // section_length, table id extension, version
  int sectionNo = head.U8();
  HeldStart* stale = HeldFor(pid);
  if (stale != nullptr) {
    stale->pid = -1;  // its rest never came: this start is no continuation
    ++mHeldStartsLost;
  }
  if (!head.Ok() || tableId == 0xFF) {
    if (!head.Ok()) {
      VYX_LOG_LIMITED("Section header split over packets (%d B) pid 0x%x; held\n", length, pid);
      ++mShortStarts;
      if (tableId != 0xFF) Hold(pid, packetPtr, length);
    }
    continuity_gap(continuityPerPid, static_cast<unsigned short>(pid), continuity);
    return nullptr;
  }
  PsipSection* state = nullptr;
  for (int i = 0; i < mTableCount && state == nullptr; ++i) {
    PsipSection* s = mTables[i];
    if (s->mTableId == tableId && s->mPid == pid && s->mSectionNo == sectionNo) state = s;
  }
  // Sections of a PID follow one another: a start ends any other section
  // of the PID still open, whose end was lost.
  for (int i = 0; i < mTableCount; ++i) {
    PsipSection* s = mTables[i];
    if (s != state && s->mPid == pid && s->mRemainingSectionLen > 0) {
      VYX_LOG_LIMITED("DROP1 CONTIN tbl 0x%x pid 0x%x\n", s->mTableId, pid);
      s->mRemainingSectionLen = 0;
      ++s->mDroppedSectionsContinuity;
    }
  }
  if (state == nullptr) return NewState(pid, tableId, sectionNo, continuity);
  if (mReparseEit && tableId == 0xCB) {
    state->mVersion = -1;
    mReparseEit = false;
  }
  if (mReparseEtt && tableId == 0xCC) {
    state->mVersion = -1;
    mReparseEtt = false;
  }
  return state;
}

PsipSection* TableCollector::NewState(int pid, int tableId, int sectionNo, unsigned char continuity) {
  PsipSection* state = nullptr;
  int size = BufferSizeFor(tableId);
  if (size == PsipSection::kSmallBuffer && mSmallUsed < kSmallStates)
    state = mSmallPool[mSmallUsed++];
  else if (size == PsipSection::kLargeBuffer && mLargeUsed < kLargeStates)
    state = mLargePool[mLargeUsed++];
  if (state == nullptr || mTableCount >= kMaxStates) {
    VYX_LOG_LIMITED("No reassembly state left for tbl 0x%x pid 0x%x sect %d; drop\n", tableId, pid, sectionNo);
    ++mStatesDropped;
    continuity_gap(continuityPerPid, static_cast<unsigned short>(pid), continuity);
    return nullptr;
  }
  VYX_LOG("new pPsip bufsize %d for tbl 0x%x pid 0x%x\n", size, tableId, pid);
  state->mTableId = tableId;
  state->mPid = pid;
  state->mSectionNo = sectionNo;
  mTables[mTableCount++] = state;
  return state;
}

void TableCollector::PrintStats() {
  VYX_LOG("\n======== TableCollector::Printstats ===========\n");
  VYX_LOG("Signal Strength: %d\n", Statistics::Self()->mStrength);
  for (int i = 0; i < mTableCount; ++i) mTables[i]->PrintStats();
  VYX_LOG("\n======== TableCollector:: end stats ===========\n");
}
