#ifndef VYX_TABLECOLLECTOR_H
#define VYX_TABLECOLLECTOR_H

// Section reassembly.  Table sections (PAT, PMT, ATSC PSIP) arrive split over
// transport packets; the collector keeps one reassembly state per (table,
// PID, section number), appends packet payloads to it, checks continuity,
// length and the CRC-32, tracks versions, and returns each complete, valid
// section.  Runs only in the player's thread inside TsFilter::Filter.
//
// Nothing is allocated while packets flow: the collector allocates its
// states and their buffers once at construction (two pools, by buffer size);
// a new (table, PID, section) beyond the pool is dropped and counted.

#include <cstdint>

#include "ts/crc32.h"

class Statistics;

// Flag in the high nibble of the continuity argument: this call feeds the
// second piece of a packet already counted (the section that starts after the
// pointer_field), so the PID's continuity counter is neither checked nor
// advanced.
const unsigned char kContinuityUnknown = 0xF0;

class PsipSection {
 public:
  static constexpr int kSmallBuffer = 1040;  // PAT, PMT, 0xC0-0xC5, TVCT, CVCT, STT
  static constexpr int kLargeBuffer = 4112;  // MGT, RRT, EIT, ETT and anything else
  static constexpr int kBufferMargin = 16;   // largest section = buffer - 16

  int32_t mTableId;
  int32_t mPid;
  int32_t mSectionNo;
  int32_t mBufferSize;
  int32_t mTotalSectionLen;
  int32_t mRemainingSectionLen;
  int32_t mSectionPos;
  int32_t mVersion;
  unsigned char* mSectionBuffer;
  int32_t mCurNextCounter;
  int32_t mVersionCounter;
  uint32_t mGoodSections;
  uint32_t mDroppedSectionsContinuity;
  uint32_t mDroppedSectionsCrc;
  uint32_t mDroppedSectionsOther;
  uint32_t mDroppedSectionsFuture;
  uint32_t mDroppedSectionsReserved;
  uint32_t mIgnoredSections;
  uint32_t mVersionChanges;
  Statistics* mpStat;

  // continuityPerPid: the collector's per-PID continuity counters (shared by
  // all states of a PID).
  int8_t* mpContinuity;
  bool mOwnContinuity = false;  // allocated here (a state used on its own)
  bool mOwnBuffer = false;      // false when the collector's arena holds it

  // buffer: bytes lent by the collector (buffer_size of them), or null to
  // allocate them here.
  explicit PsipSection(int buffer_size, int8_t* continuityPerPid = nullptr,
                       unsigned char* buffer = nullptr);
  ~PsipSection();

  // See TableCollector::CollectPsipSection.
  unsigned char* CollectPsipSection(unsigned short pid, unsigned char* packetPtr, int length,
                                    bool startOfSection, unsigned char continuity, int* table_id);
  void PrintStats();
  // Back to a state never used (its buffer and counters stay).
  void Reset();

 private:
  // The steps of CollectPsipSection: a start's header, the bytes of a
  // packet (true once the section is complete), the CRC of a complete
  // section (and its version byte), its version.
  bool BeginSection(unsigned short pid, const unsigned char* packetPtr, int length,
                    unsigned char continuity, bool gap, bool* crcWaived);
  bool Append(const unsigned char* packetPtr, int length);
  bool CrcAccepted(unsigned short pid, unsigned char continuity, bool crcWaived, int* versionByte);
  bool VersionAccepted(unsigned short pid, int versionByte);

  PsipSection(const PsipSection&) = delete;
  PsipSection& operator=(const PsipSection&) = delete;
};

class TableCollector {
 public:
  static constexpr int kPidCount = 8192;
  // State pools: a PAT plus up to 253 PMTs and the small PSIP tables fit the
  // small pool; MGT, RRT and the EIT/ETT PIDs the large one.
  static constexpr int kSmallStates = 320;
  static constexpr int kLargeStates = 64;
  static constexpr int kMaxStates = kSmallStates + kLargeStates;

  PsipSection* mTables[kMaxStates];  // in creation order
  int mTableCount;
  bool mReparseEit;
  bool mReparseEtt;
  int8_t continuityPerPid[kPidCount];
  uint32_t mStatesDropped;  // section starts refused because a pool was empty
  uint32_t mShortStarts;    // section starts whose header was cut by the packet end
  uint32_t mOrphanContinuations;  // continuations with no section in progress
  uint32_t mHeldStartsLost;  // cut headers whose next packet did not follow on

  // Bytes of a section start needed to identify it: table_id, section_length,
  // table id extension, version byte and section_number.
  static constexpr int kHeaderBytes = 7;
  // A start whose header the packet's end cut, held until the PID's next
  // packet brings the rest (a few PIDs at a time at most).
  static constexpr int kHeldStarts = 8;
  struct HeldStart {
    int pid;     // -1: free
    int length;  // 1..kHeaderBytes - 1
    unsigned char bytes[kHeaderBytes];
  };
  HeldStart mHeld[kHeldStarts];

  TableCollector();
  virtual ~TableCollector();

  // Feeds length payload bytes of one packet.  continuity: the packet's
  // continuity counter in the low nibble, or'd with kContinuityUnknown
  // for the second call for the same packet.  Returns
  // the complete section (valid until the next call for the same state) and
  // its table id through table_id, or null (table_id -1).
  unsigned char* CollectPsipSection(unsigned short pid, unsigned char* packetPtr, int length,
                                    bool startOfSection, unsigned char continuity, int* table_id);
  void PrintStats();
  // Forget every table and counter, as after construction (a new
  // multiplex): nothing is allocated or freed.
  void Reset();

  // Buffer size for a table id.
  static int BufferSizeFor(int tableId);

 private:
  HeldStart* HeldFor(int pid);
  // Whether a packet with this counter follows the PID's last one.
  bool Follows(int pid, unsigned char continuity) const;
  // The state a continuation goes to, a start goes to (found or new), or
  // null when the packet is dropped (its continuity counted).
  PsipSection* StateInProgress(int pid, unsigned char continuity);
  PsipSection* StateForStart(int pid, const unsigned char* packetPtr, int length, unsigned char continuity);
  PsipSection* NewState(int pid, int tableId, int sectionNo, unsigned char continuity);
  void Hold(int pid, const unsigned char* bytes, int length);

  unsigned char* mpArena;  // the section buffers of both pools, one block
  PsipSection* mSmallPool[kSmallStates];
  PsipSection* mLargePool[kLargeStates];
  int mSmallUsed;
  int mLargeUsed;

  TableCollector(const TableCollector&) = delete;
  TableCollector& operator=(const TableCollector&) = delete;
};

#endif
