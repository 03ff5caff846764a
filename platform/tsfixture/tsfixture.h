#ifndef VYX_TEST_TSFIXTURE_H
#define VYX_TEST_TSFIXTURE_H

// Transport-stream fixture writer for tests and benchmarks: 188-byte packets,
// PSI sections with a correct CRC (PAT, PMT with ISO 639 language and caption
// service descriptors, any long-form section), their packetization with
// pointer fields and sections split over packets, continuity gaps, and a
// small multiplex generator.
//
// The CRC here is computed bit by bit, independently of the library's table
// driven one, so tests compare two implementations.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace tsfix {

using Bytes = std::vector<uint8_t>;

const int kPacket = 188;

// Bit-wise MPEG-2 CRC-32.
uint32_t Crc32(const uint8_t* data, size_t len);
// The whole file, or nothing when it cannot be read.
Bytes ReadFileBytes(const std::string& path);

// Appends the CRC of the whole section so far (big-endian).
void AppendCrc(Bytes& section);
// Recomputes the last four bytes of a complete section.
void FixCrc(Bytes& section);
// Makes the CRC right where the section's section_length says it ends (a
// mangled section may carry more bytes); nothing when that is past its end.
void FixCrcAtLength(Bytes& section);

// One packet.  adaptationLength < 0: no adaptation field; otherwise an
// adaptation field with that adaptation_field_length (its content: flags 0,
// then 0xFF stuffing).  hasPayload false: adaptation only (afc 2; the
// adaptation field defaults to fill the packet).  The payload is truncated to
// the room left or padded with 0xFF.  scrambling: the two TSC bits.
Bytes MakePacket(uint16_t pid, bool pusi, uint8_t cc, const uint8_t* payload, size_t payloadLen,
                 int adaptationLength = -1, uint8_t scrambling = 0, bool hasPayload = true);
inline Bytes MakePacket(uint16_t pid, bool pusi, uint8_t cc, const Bytes& payload,
                        int adaptationLength = -1, uint8_t scrambling = 0) {
  return MakePacket(pid, pusi, cc, payload.data(), payload.size(), adaptationLength, scrambling);
}
// A payload-only packet whose payload bytes are `fill` (media data stand-in).
Bytes MakeDataPacket(uint16_t pid, uint8_t cc, uint8_t fill = 0xA5);

// Long-form PSI section: table_id, section_syntax 1, section_length,
// table_id_extension, version/current_next, section numbers, body, CRC.
Bytes MakeSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version, bool currentNext,
                  uint8_t sectionNo, uint8_t lastSectionNo, const Bytes& body);

struct PatEntry {
  uint16_t program;
  uint16_t pid;
};
Bytes MakePat(uint16_t tsid, uint8_t version, const std::vector<PatEntry>& programs,
              bool currentNext = true);

struct Descriptor {
  uint8_t tag;
  Bytes body;  // descriptor_length = body.size() unless lengthOverride >= 0
  int lengthOverride = -1;
};
struct LanguageEntry {
  std::string code;  // three letters
  uint8_t audioType;
};
Descriptor LanguageDescriptor(const std::vector<LanguageEntry>& langs);
struct CaptionService {
  std::string code;  // three letters
  bool digitalCc;
  uint8_t serviceNumber;  // 6 bits
  bool easyReader;
  bool wideAspect;
};
// number_of_services = services.size() unless countOverride >= 0; the
// descriptor_length is 1 + 6 * services unless lengthOverride >= 0.
Descriptor CaptionDescriptor(const std::vector<CaptionService>& services, int countOverride = -1,
                             int lengthOverride = -1);
Bytes SerializeDescriptors(const std::vector<Descriptor>& descriptors);

struct EsEntry {
  uint8_t streamType;
  uint16_t pid;
  std::vector<Descriptor> descriptors;
  int esInfoLengthOverride = -1;
};
Bytes MakePmt(uint16_t program, uint16_t pcrPid, uint8_t version, const std::vector<EsEntry>& es,
              const std::vector<Descriptor>& programInfo = {}, bool currentNext = true);

// Packetizes sections on one PID, keeping its continuity counter.
class PsiPacketizer {
 public:
  explicit PsiPacketizer(uint16_t pid, uint8_t firstCc = 0) : mPid(pid), mCc(firstCc & 0x0F) {}
  // One section: pointer_field 0 in the first packet, 0xFF stuffing after it.
  std::vector<Bytes> Packetize(const Bytes& section);
  // Several sections back to back: a section that starts inside a packet is
  // announced by that packet's pointer_field.
  std::vector<Bytes> PacketizeMany(const std::vector<Bytes>& sections);
  // Next continuity counter to use; Skip(n) makes a gap of n.
  uint8_t NextCc() const { return mCc; }
  void SetCc(uint8_t cc) { mCc = cc & 0x0F; }
  void Skip(int n = 1) { mCc = static_cast<uint8_t>((mCc + n) & 0x0F); }

 private:
  uint16_t mPid;
  uint8_t mCc;
};

Bytes Join(const std::vector<Bytes>& packets);
// The distinct complete sections with `tableId` (-1: any) carried on `pid` of
// a capture, in order of first appearance, reassembled as a receiver would
// (pointer_field, several sections per packet, stuffing); sections whose
// CRC-32 fails are left out.
std::vector<Bytes> SectionsOf(const Bytes& ts, uint16_t pid, int tableId = -1);
// The packets of `ts`, each PID's first one preceded by a packet of that PID
// whose continuity counter comes just before it (and whose payload starts no
// section): a fresh collector's counters then meet a capture in step.
Bytes PrimeContinuity(const Bytes& ts);
void Append(Bytes& out, const Bytes& more);

// A multiplex of N programs: program k (1-based) has PMT PID 0x100 + k,
// video PID 0x200 + 2k (stream type 0x02) and audio PID 0x201 + 2k (0x81,
// with an ISO 639 descriptor "l" + two letters from k).  PAT and all PMTs are
// repeated every psiInterval packets; between them, video and audio packets
// alternate over the programs.  Continuity counters are kept per PID.
struct MuxProgram {
  uint16_t program;
  uint16_t pmtPid;
  uint16_t videoPid;
  uint16_t audioPid;
  std::string language;
};
class MuxGenerator {
 public:
  MuxGenerator(int programs, uint16_t tsid = 1, int psiInterval = 200, uint8_t version = 0);
  // Appends `packets` packets to the generator's stream and returns them.
  Bytes Generate(size_t packets);
  const std::vector<MuxProgram>& Programs() const { return mPrograms; }
  uint16_t Tsid() const { return mTsid; }

 private:
  void Refill();
  std::vector<MuxProgram> mPrograms;
  std::vector<Bytes> mQueue;
  size_t mQueuePos;
  uint16_t mTsid;
  int mPsiInterval;
  uint8_t mVersion;
  uint8_t mCc[8192];
  size_t mSincePsi;
  size_t mNextEs;
  bool mStarted;
};

// ---- ATSC PSIP sections (tsfixture_psip.cpp) ----
// Sections with section_syntax and private_indicator set (byte 1 0xF0 | ..),
// protocol_version 0 and a correct CRC.

// A PSIP section: like MakeSection, with the private indicator set; `body`
// starts after last_section_number (protocol_version is its first byte).
Bytes MakePsipSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version,
                      uint8_t sectionNo, uint8_t lastSectionNo, const Bytes& body);

struct MgtTable {
  uint16_t tableType;
  uint16_t pid;
  uint8_t version = 0;
  uint32_t numberBytes = 0;
  Bytes descriptors;  // serialized; descriptors_length = size unless overridden
  int descriptorsLengthOverride = -1;
};
// tables_defined = tables.size() unless tablesDefinedOverride >= 0.
Bytes MakeMgt(const std::vector<MgtTable>& tables, uint8_t version = 0,
              int tablesDefinedOverride = -1);
// The tables of a guide's MGT: the terrestrial VCT on 0x1FFB, the channel
// ETT on 0x1A04 if `channelEtt`, then EIT-n on 0x1D00 + n and ETT-n on
// 0x1E00 + n for each of `windows` windows (at most 128).
std::vector<MgtTable> GuideMgtTables(int windows, bool channelEtt);

struct TvctChannel {
  std::string shortName;  // up to 7 characters, as UTF-16 code units
  uint16_t major;
  uint16_t minor;
  uint16_t channelTsid;
  uint16_t program;
  uint16_t sourceId;
  uint8_t modulation = 4;  // 8-VSB
  uint32_t carrier = 0;
  uint8_t serviceType = 2;  // ATSC digital television
};
// A terrestrial channel with the defaults above.
TvctChannel Channel(const std::string& shortName, unsigned major, unsigned minor, unsigned channelTsid,
                    unsigned program, unsigned sourceId);
Bytes MakeTvct(uint16_t tsid, uint8_t version, const std::vector<TvctChannel>& channels);

Bytes MakeStt(uint32_t systemTime, uint8_t gpsUtcOffset, uint16_t daylightSavings = 0);

// Multiple string structures.
struct StringSegment {
  uint8_t compression;  // 0 plain, 1 title tree, 2 description tree
  uint8_t mode;
  Bytes bytes;          // number_bytes = size unless numberBytesOverride >= 0
  int numberBytesOverride = -1;
};
struct MultipleString {
  std::string language;  // three letters
  std::vector<StringSegment> segments;
};
Bytes MakeMss(const std::vector<MultipleString>& strings);
// One English string of one segment: plain text, or Huffman coded with the
// tree of `compression` (1 titles, 2 descriptions).
Bytes PlainMss(const std::string& text, uint8_t mode = 0);
Bytes HuffmanMss(const std::string& text, uint8_t compression);

struct EitEvent {
  uint16_t eventId;       // 14 bits
  uint32_t startTime;     // GPS seconds
  uint32_t lengthInSeconds;  // 20 bits
  Bytes title;            // a multiple string structure (empty: title_length 0)
  uint8_t etmLocation = 0;
  Bytes descriptors;      // serialized
  int titleLengthOverride = -1;
  int descriptorsLengthOverride = -1;
};
inline EitEvent Event(uint16_t eventId, uint32_t startTime, uint32_t lengthInSeconds, Bytes title) {
  EitEvent e;
  e.eventId = eventId;
  e.startTime = startTime;
  e.lengthInSeconds = lengthInSeconds;
  e.title = std::move(title);
  return e;
}
// num_events_in_section = events.size() unless numEventsOverride >= 0.
Bytes MakeEit(uint16_t sourceId, uint8_t version, uint8_t sectionNo, uint8_t lastSectionNo,
              const std::vector<EitEvent>& events, int numEventsOverride = -1);
// The events spread over sections of at most perSection events each.
std::vector<Bytes> MakeEitSections(uint16_t sourceId, uint8_t version,
                                   const std::vector<EitEvent>& events, size_t perSection);

// ETM_id of an event's extended text and of a channel's.
inline uint32_t EventEtmId(uint16_t sourceId, uint16_t eventId) {
  return (static_cast<uint32_t>(sourceId) << 16) | (static_cast<uint32_t>(eventId & 0x3FFF) << 2) | 2u;
}
inline uint32_t ChannelEtmId(uint16_t sourceId) { return static_cast<uint32_t>(sourceId) << 16; }
Bytes MakeEtt(uint32_t etmId, uint8_t version, const Bytes& message, uint16_t tableIdExtension = 0);

// Huffman encoder built from the decode trees in tests/data/huffman: each
// character with the code of the previous character's tree, an escape and
// the raw 8 bits for a character that tree lacks (and for the escape
// character itself and every byte of 128 or more), the end character where
// the last tree has it, then padding that decodes to nothing.  `table` 1 or
// 2.  Empty when the tables cannot be read.
Bytes HuffmanEncode(const std::string& text, int table);

// The bytes of a hexadecimal text; an odd last digit is left out.
Bytes FromHex(const std::string& hex);

// One line of the published test vectors of the two trees
// (tests/data/huffman/atsc_huffman_vectors.txt): "TABLE HEX<tab>TEXT".
struct HuffmanVector {
  int table;
  Bytes bits;
  std::string text;
  std::string line;  // as read, for messages
};
// Every vector of the file, blank lines passed over; false (and what was read
// so far) when the file cannot be read or a line lacks its space or tab.
bool ReadHuffmanVectors(std::vector<HuffmanVector>* out);

// Plain text as segments of at most 255 bytes each (one string).
Bytes SegmentedMss(const std::string& text, uint8_t mode = 0);
// Huffman-coded text as as many segments as it takes (one string).
Bytes HuffmanSegmentedMss(const std::string& text, uint8_t compression);

// A whole guide multiplex: `channels` virtual channels (program k = 1..,
// PMT PID 0x30 + k, source id sourceBase + k), each with `events` events of
// eventSeconds back to back from firstStart, in EIT-n (three hours each) on
// PID 0x1D00 + n with their texts in ETT-n on 0x1E00 + n, the channels' long
// names on 0x1A04, all named by the MGT; the base PID carries MGT, TVCT and
// an STT of `now`.  Channel and event numbers given to the callbacks start at
// 0; event ev has event_id 1 + ev.  Where `huffman` says so, the title goes
// coded and the text coded in as many segments as it takes; others plain.
struct GuideMux {
  uint16_t tsid = 1;
  int channels = 8;
  int events = 128;
  uint16_t sourceBase = 0;
  uint32_t firstStart = 0;
  uint32_t eventSeconds = 1800;
  uint32_t now = 0;
  uint8_t gpsUtcOffset = 18;
  uint8_t version = 0;
  uint16_t firstEventId = 1;  // event ev's id is firstEventId + ev
  std::function<std::string(int ch, int ev)> title;
  std::function<std::string(int ch, int ev)> text;  // "": no ETT
  std::function<bool(int ch, int ev)> huffman;      // null: all plain
  std::function<std::string(int ch)> longName;      // null or "": none
  // Whether event ev of channel ch goes Huffman coded (its title and text).
  bool Coded(int ch, int ev) const;
  Bytes Build() const;
};

// Sections queued on their PIDs and packetized in the order queued, each PID
// with its own continuity (starting at 1, which a fresh collector expects).
// Build(loops) repeats the whole sequence: with a multiple of 16 loops every
// PID's counter comes back to its start, so the stream loops seamlessly.
class PsipStream {
 public:
  void Add(uint16_t pid, const Bytes& section) { mItems.push_back({pid, {section}}); }
  // Sections back to back on one PID, as a multiplexer packs them: several
  // in a packet, one ending where the next begins, stuffing only at the end.
  void AddPacked(uint16_t pid, const std::vector<Bytes>& sections) { mItems.push_back({pid, sections}); }
  Bytes Build(int loops = 1) const;

 private:
  std::vector<std::pair<uint16_t, std::vector<Bytes>>> mItems;
};

}  // namespace tsfix

#endif
