#ifndef VYX_TSFILTER_H
#define VYX_TSFILTER_H

// The transport-stream filter: the one object of the plug-in that sees the
// stream.  In the transmitter the media player hands it every TS buffer
// (Vyx_Filter -> Filter); it keeps per-PID bookkeeping in the PID map, feeds
// table PIDs to the section collector and the PAT/PMT/PSIP analysers, and
// copies the packets of streamed PIDs to the multicast streamers.  In the
// receiver the player hands whole PAT/PMT sections straight to
// AnalyzeSectionPat / AnalyzeSectionPmt.
//
// Source files: tsfilter.cpp (construction, packet loop, packet analysis,
// dispatch, debug replay), tsfilter_psi.cpp (PAT, PMT, descriptors),
// tsfilter_vct/mgt/eit/text.cpp (ATSC PSIP tables), tsfilter_stream.cpp (streamers,
// private PATs), tsfilter_lang.cpp (language filter),
// tsfilter_dump.cpp (packet size, dumps).

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "ts/crc32.h"
#include "ts/debugfiles.h"
#include "ts/sectionreader.h"
#include "ts/tablereports.h"

class Streamer;
class TableCollector;
class Statistics;
class Time;
struct PmtSection;
struct VctSection;
struct VctChannel;
struct MgtEntry;
struct EitSection;


enum PacketScrambleEnum { eNotKnown = 0, eClear = 1, eScrambled = 2 };

// Streamers that receive one PID's packets.  A streamer is listed at most once
// (identity is its stream number), and there are at most 8 streams, so a fixed
// table of 8 always suffices and the packet loop walks it without allocation.
// Appends happen on the command thread while the packet loop reads: the slot
// is written before the count is published.  Removals and destruction happen
// under TsFilter::mMutex.  A list, once created, is owned by its PID map entry.
struct StreamerList {
  static constexpr int kMax = 8;
  Streamer* items[kMax];
  std::atomic<int> count;

  StreamerList() : count(0) {
    for (int i = 0; i < kMax; ++i) items[i] = nullptr;
  }
  int Size() const { return count.load(std::memory_order_acquire); }
  Streamer* At(int i) const { return items[i]; }
  // False when the table is full (cannot happen with distinct stream numbers).
  bool Append(Streamer* s) {
    int n = count.load(std::memory_order_relaxed);
    if (n >= kMax) return false;
    items[n] = s;
    count.store(n + 1, std::memory_order_release);
    return true;
  }
  // Keeps the order of the others.  Call under TsFilter::mMutex.
  void RemoveAt(int i) {
    int n = count.load(std::memory_order_relaxed);
    if (i < 0 || i >= n) return;
    for (int k = i; k < n - 1; ++k) items[k] = items[k + 1];
    items[n - 1] = nullptr;
    count.store(n - 1, std::memory_order_release);
  }
};

// One entry of the PID map (8192 of them, indexed by the 13-bit PID).
struct PacketIdMapType {
  uint8_t channelId;      // tuner channel current when the PAT named this PMT PID
  int8_t status;          // 0 analysed, 1 known (not analysed), 2 ignored table
  int8_t type;            // 0 unknown, 1 ES, 2 PAT, 3 PMT, 6 VCT, 7 RRT, 9 EIT, 10 ETT, 11 DCC
  uint8_t streamType;     // stream_type from the PMT
  uint16_t transportId;   // transport_stream_id of the PAT that led here
  uint16_t programId;     // program_number the PID belongs to
  uint16_t programMapPid; // not filled by the analysis (stays 0)
  StreamerList* streamers;  // null when no streamer was ever attached
  uint32_t count;         // packets seen
  char audioLanguage[4];  // ISO 639 code from the language descriptor
  int audioLangType;      // compared by the language filter
  char captionLanguage[4];  // ISO 639 code from the caption service descriptor
  bool block;             // never forwarded
  PacketScrambleEnum scrambling;
  unsigned char dbg1;     // unused (kept for the entry's layout)
  uint8_t pmtVersion;     // on a PMT PID: version of the last PMT analysed plus one (0: none yet)
};

// Audio stream types the language filter judges: MPEG-1 and MPEG-2 audio,
// AAC (ADTS), ATSC AC-3.
inline bool IsAudioStreamType(unsigned char t) { return t == 0x03 || t == 0x04 || t == 0x0F || t == 0x81; }

// PID map values.
enum PidStatusEnum { ePidAnalyse = 0, ePidKnown = 1, ePidIgnored = 2 };
enum PidTypeEnum {
  ePidTypeNone = 0,
  ePidTypeEs = 1,
  ePidTypePat = 2,
  ePidTypePmt = 3,
  ePidTypeVct = 6,
  ePidTypeRrt = 7,
  ePidTypeEit = 9,
  ePidTypeEtt = 10,
  ePidTypeDcc = 11
};

// What the packet loop carries from one buffer to the next: where the next
// packet is due, the packet under way (the last one whose header was read)
// and who gets its rest, and that packet's bytes so far, so that a packet
// cut by a buffer's end is analysed whole when the rest arrives.
struct PacketLoopState {
  static constexpr int kPacketLen = 188;
  static constexpr unsigned int kNoPid = 0xFFFF;

  int expectedSync = 0;        // offset in the next buffer where the next packet is due
  unsigned int pid = kNoPid;   // PID of the packet under way; kNoPid: none, or its header is cut
  bool block = false;          // that PID is never forwarded
  // Where that packet's pieces go: its PID's list in the buffer where its
  // header was read, then `owners`, the streamers that got the first piece
  // (at a buffer's start those no longer attached are left out).
  Streamer* const* to = owners;
  int toCount = 0;
  Streamer* owners[StreamerList::kMax] = {};
  int ownerCount = 0;
  // The packet under way from its sync byte (heldLen bytes; 0 = nothing
  // held).  A whole packet waits here for the next packet's sync byte.
  unsigned char held[kPacketLen] = {};
  int heldLen = 0;
};

class TsFilter {
 public:
  static constexpr int kPidCount = 8192;
  static constexpr int kMaxStreams = 8;
  static constexpr int kPacketLen = 188;
  // Largest PAT/PMT section the analysers accept.
  static constexpr int kMaxPsiSection = kMaxShortSection;

  // ---- fields, in declaration order ----
  bool m_dbg_simple_stream;
  TableReports* mpTunerManager;  // where the analysis reports (the tuner manager)
  bool mStreamingStatus;
  bool mFilterRunning;
  bool mMulticastChanged;
  volatile bool mRunFilter;
  bool mDoMulticast;
  void* mpFifo;
  int mUnindentifiedStreamers;
  pthread_mutex_t mMutex;
  bool mScanMode;
  Time* mpTime;
  TableCollector* mpTableCollector;
  Statistics* mpStatistics;
  PacketIdMapType mPacketIdMap[kPidCount];
  int mPatCurrentNextIndicator;
  int mPatVersion;  // version bits (byte 5 & 0x3E) of the last PAT, -1 = analyse next
  int mPacketSize;  // send threshold given to new streamers (1316)
  int mElementaryStreamCount;
  char mMyType;     // 'T' or 'R'
  Streamer* mStreamersList[kMaxStreams];

  // Packet-loop state kept across buffers (one filter per process).
  PacketLoopState mLoop;
  // Rate-limit counters of the packet path.
  unsigned int mPayloadIndexDrops;
  unsigned int mPointerFieldDrops;
  unsigned int mSyncLossLogs;
  unsigned int mRemainderLogs;
  // Streamers with completed datagrams, sent at the end of a buffer.
  static constexpr int kMaxFlushList = 16;
  Streamer* mFlushList[kMaxFlushList];
  int mFlushCount;
  // How long (seconds) completed datagrams may wait for more to leave with
  // them in one system call; 0 sends at the end of every buffer.  The device
  // sets it (SetSendHold); mHoldSince: monotonic time the wait began, < 0
  // while nothing waits.
  double mSendHold;
  double mHoldSince;

  // Streamer lists for the PID map, made at construction, so that a late or
  // changed PMT attaches PIDs on the packet path without allocating.
  static constexpr int kListPool = 1024;
  StreamerList* mListPool;
  StreamerList* mFreeLists[kListPool];
  int mFreeListCount;
  unsigned int mListPoolEmpty;  // attachments refused on the packet path: no list left
  // The audio language filter last set (SetLanguageFilter); applied again
  // when a PMT brings a new audio PID.
  bool mLanguageFilterSet;
  char mLanguagePri[4];
  int mLanguagePriType;
  char mLanguageSec[4];
  int mLanguageSecType;

  // Process-wide PAT counter (never reset): once every 128 PATs the next PAT
  // is analysed again even when its version did not change.
  static unsigned int sPatCounter;

  // ---- construction, packet filter (tsfilter.cpp) ----
  TsFilter(char type, TableReports* tunerMgr);
  ~TsFilter();
  static TsFilter* Self();

  bool Filter(unsigned char* inData, int size);
  bool AnalyzePacket(unsigned char* packetPtr, int packetId);
  unsigned int GetTsPayloadIndex(unsigned char* packetPtr, int packetId);
  bool CollectPsipSection(unsigned short pid, unsigned char* packetPtr, int length,
                          bool startOfSection, unsigned char continuity);
  void FilterActive(bool active);
  bool FilterActive();
  bool EnterScanMode(bool enter);
  void CleanPacketIdMap();
  bool GetStreamingStatus();
  char* GetStreamingAddress();
  int GetStreamingPort();
  void DebugSaveStream();
  void DebugFilterSavedStream();
  void DumpBytes(unsigned char* ptr, unsigned int numb);

  // ---- PAT, PMT and descriptors (tsfilter_psi.cpp) ----
  // sectionPtr: a whole section from its table_id byte.  In the transmitter
  // it comes CRC-checked from the collector; in the receiver straight from
  // the player (at most kMaxPsiSection bytes, not checked).
  bool AnalyzeSectionPat(unsigned char* sectionPtr);
  bool AnalyzeSectionPmt(unsigned char* packetPtr, int packetId);
  // Registers the decoded PMT's streams; false when an entry was cut.
  bool AnalyzePmtProgramInfoLoop(const PmtSection& pmt, int packetMapPid);
  bool AnalyzeDescriptor(const unsigned char* pPtr, unsigned short length, unsigned short pid,
                         int caller);
  // The descriptor handlers take the descriptor from its tag byte; its body
  // (descriptor_length bytes) must lie within the caller's loop.
  bool AnalyzeDescriptorVideo(const unsigned char* pPtr, unsigned short length, unsigned short pid);
  bool AnalyzeDescriptorAudio(const unsigned char* pPtr, unsigned short length, unsigned short pid);
  bool AnalyzeDescriptorLanguage(const unsigned char* pPtr, unsigned short length, unsigned short pid);
  bool AnalyzeDescriptorAc3(const unsigned char* pPtr, unsigned short length, unsigned short pid);
  bool AnalyzeDescriptorCaption(const unsigned char* pPtr, unsigned short length, unsigned short pid);
  bool AnalyzeDescriptorServiceLocation(const unsigned char* pPtr, unsigned short length,
                                        unsigned short pid);

  // ---- ATSC PSIP (tsfilter_vct.cpp, tsfilter_mgt.cpp: MGT and STT,
  // tsfilter_eit.cpp: EIT and ETT, tsfilter_text.cpp: strings) ----
  bool AnalyzeMessageProgramInformation(unsigned char* pSection, int length, int pid);
  bool AnalyzeMessageProgramName(unsigned char* pSection, int length, int pid);
  bool AnalyzeMessageNetworkInformation(unsigned char* pSection, int length, int pid);
  bool AnalyzeMessageNetworkText(unsigned char* pSection, int length, int pid);
  bool AnalyzeMessageVirtualChannel(unsigned char* pSection, int length, int pid);
  bool AnalyzeMessageSystemTime(unsigned char* pSection, int length, int pid);
  bool AnalyzeSectionMgt(unsigned char* pSection);
  bool AnalyzeSectionVct(unsigned char* pSection);
  bool AnalyzeSectionStt(unsigned char* pSection);
  bool AnalyzeSectionEit(unsigned char* pSection);
  bool AnalyzeSectionEtt(unsigned char* pSection);
  // Decodes the multiple string structure at mustr, of which `available`
  // bytes exist (its table's field or section), into the process-wide text
  // buffer (kPsipTextBuffer bytes) and returns it; *len gets the text's
  // length, at most kMaxPsipText.  Segments follow each other without
  // terminators between them; a text with a Huffman-coded segment counts
  // its one final terminator in *len, as a single coded segment always did.
  // *unicode_mode is the last segment's mode byte.  Valid until the next
  // decode.
  char* MultipleStringStructure(char* mustr, int* len, unsigned char* unicode_mode, int available);
  // One compressed segment of lenIn bytes into textOut, which holds
  // outCapacity bytes; returns the bytes written with the terminator.
  int DecodeHuffman(char* textIn, char* textOut, int lenIn, int type, int outCapacity);
  // A whole section's worth of text: the longest ETT message fits, and the
  // guide store keeps texts of this length.
  static constexpr int kMaxPsipText = kMaxLongSection;
  static constexpr int kPsipTextBuffer = kMaxPsipText + 1;
  char* GetMjdDateTime();

  // ---- streamers and multicast output (tsfilter_stream.cpp) ----
  // Before a stream is created (the UNIT handler, which tunes): with
  // newMultiplex, the tuner is about to move, so every table is delivered
  // afresh (a new, empty collector); either way the cap on unidentified
  // attachments starts again.
  void PrepareStreamStart(bool newMultiplex);
  // A stream slot is in use.  Slots change only on the command thread.
  bool AnyStream() const;
  // The next PAT rebuilds every stream's private PAT (after an attach).
  void RebuildPrivatePats() { mPatVersion = -1; }
  bool StopMulticast(int streamId, bool really);
  bool AddStream(int streamId, char* mcastIp, unsigned short mcastPort);
  bool RemoveStream(int streamId);
  bool RemoveAllProgramsFromStream(int streamId);
  bool AddProgramToStream(int streamId, unsigned short transportId, unsigned short programId);
  bool AddAllProgramsToStream(int streamId);
  bool AddStreamerToPsi(Streamer* pStreamer);
  bool AddStreamerToUnidentified(Streamer* pStreamer);
  bool AddStreamerToPmts(Streamer* pStreamer);
  int PacketizeSection(unsigned short pid, int* continuity, unsigned char* section,
                       int section_len, unsigned char* packetized_buffer);
  // Transmitter PAT handling, called by AnalyzeSectionPat: after every entry
  // of a PAT with a new version has been registered, rebuild each PAT
  // streamer's private PAT from it; for a PAT of the same version, send the
  // stored private PATs once.
  void RegeneratePrivatePats(unsigned char* section);
  void SendPrivatePats();

  // ---- language filter (tsfilter_lang.cpp), packet size and dumps
  // (tsfilter_dump.cpp) ----
  bool SetLanguageFilter(char* langPri, int langPriType, char* langSec, int langSecType);
  bool SetPacketSize(int packetSize);
  void DumpPids();
  void DumpLanguagesAndCaptions();
  void DumpCollectionStats();

  // Send what the streamers completed since the last flush, each with one
  // system call; the end of a buffer does it once the send hold is over.
  // Call under mMutex (or where no buffer can be under way).
  void FlushStreamers();
  // The send hold: datagrams completed in a buffer wait until the end of the
  // first buffer `seconds` or more later (or until a stream's batch is
  // full), so that a stream's datagrams leave a few at a time in one system
  // call.  Their latency is the hold plus the gap between the player's
  // buffers.  0 (the default): at the end of every buffer.
  void SetSendHold(double seconds);

 private:
  // Note that `s` has completed datagrams waiting (packet path).
  void ListForFlush(Streamer* s);
  // End of a buffer: whether the waiting datagrams leave now.
  bool FlushDue();
  // The packet loop's steps (tsfilter.cpp).
  void FilterBuffer(unsigned char* data, int size);
  void KeepAttachedOwners();
  bool ResumePacketUnderWay(unsigned char* data, int size, int* used, bool* due);
  void ScanPackets(unsigned char* data, unsigned char* pos, unsigned char* end, bool due);
  void HoldLastPacket(unsigned char* pos, int left);
  unsigned char* Resync(unsigned char* data, unsigned char* pos, unsigned char* end);
  void AcceptPacket(unsigned char* packet);
  void BeginPacket(const unsigned char* packet);
  void AnalyzeHeldPacket();
  void KeepOwners();
  void ForgetPacketUnderWay();
  // A piece of the packet under way to its streamers: `head` when it starts
  // at the packet's sync byte (whole packets too), else its continuation.
  void Forward(const unsigned char* data, int len, bool head);
  // The packet under way will never be whole: its streamers drop its head.
  void DropPartials();
  void ResetPacketIdMapLocked();
  // PAT steps (tsfilter_psi.cpp).
  void RegisterPatEntry(uint16_t transportId, uint16_t programNumber, uint16_t pmtPid);
  void NotePatVersion(int versionBits);
  // PSIP reports (ts/psip/).
  void ReportVctChannel(const VctSection& vct, const VctChannel& c);
  void ReportMgtEntry(const MgtEntry& e);
  void ReportEitEvents(const EitSection& eit);
  // Streams following their programs (tsfilter_stream.cpp), under mMutex.
  enum AttachResult { eAttachFailed = -1, eAlreadyAttached = 0, eAttached = 1 };
  AttachResult AttachStreamer(PacketIdMapType& entry, Streamer* s, bool packetPath);
  StreamerList* AcquireList(bool packetPath);
  void ReleaseList(StreamerList* list);
  Streamer* FindStreamer(int streamId);
  int StreamersCarrying(uint16_t transportId, uint16_t programId, Streamer** out);
  void FollowPatEntry(uint16_t transportId, uint16_t programId, uint16_t pmtPid);
  void FollowPmtRemovals(uint16_t transportId, uint16_t programId, const uint16_t* listed, int count);
  void ApplyLanguageFilterLocked(bool verbose);
  static TsFilter* sSelf;

  TsFilter(const TsFilter&) = delete;
  TsFilter& operator=(const TsFilter&) = delete;
};

#endif
