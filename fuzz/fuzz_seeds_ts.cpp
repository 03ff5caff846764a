// Seeds of the stream side: the packet loop's buffer cuts, the section
// collector's reassembly faults, the PSI and PSIP decoders' refusals, the
// streams the commands start and stop on the filter, and the Huffman
// decoder's edges.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "fuzz_support.h"
#include "tsfixture.h"

namespace {

using tsfix::Bytes;

std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }
std::string Raw(std::initializer_list<int> bytes) {
  std::string s;
  for (int v : bytes) s += static_cast<char>(v);
  return s;
}

void Seed(const std::string& target, const std::string& name, const std::string& bytes) {
  vyxseeds::WriteSeed(target, "ts-" + name, bytes);
}

// A GPS midnight (MJD 59290) with the 18 s offset, as the guide seeds use.
const uint32_t kDay = (59290u - 44244u) * 86400u + 18u;

// ------------------------------------------------------------------ filter

// Media packets (payload 0xA5: no sync byte inside) on PIDs from `first`.
Bytes DataPackets(uint16_t first, int pids, int each) {
  Bytes out;
  for (int round = 0; round < each; ++round)
    for (int k = 0; k < pids; ++k)
      tsfix::Append(out, tsfix::MakeDataPacket(static_cast<uint16_t>(first + k), static_cast<uint8_t>(round)));
  return out;
}

// Plain inputs: a split count and split bytes (47-byte units, 0 one byte),
// then the stream.  Each starts with three whole packets, so that whatever
// the last input left under way is dropped and the buffer ends in step.
void FilterBufferSeeds() {
  const Bytes three = DataPackets(0x300, 3, 1);
  // A packet begun with one byte, then one more (its PID still unknown),
  // then its rest with the next packet's first two bytes, then one byte.
  Bytes s = three;
  tsfix::Append(s, DataPackets(0x301, 6, 1));
  Seed("filter", "filter-one-byte-buffers", Raw({5, 12, 0, 0, 4, 0}) + Str(s));
  // A byte where a packet is due (no packet starts there), then the rest of
  // that packet's length in junk before the stream goes on.
  s = three;
  s.insert(s.end(), 188, 0x00);
  tsfix::Append(s, DataPackets(0x301, 4, 1));
  Seed("filter", "filter-junk-tail", Raw({2, 12, 0}) + Str(s));

  // Section starts the packet analysis refuses or holds: a pointer field
  // past the payload; then an MGT naming nine EIT PIDs, each of whose next
  // packets ends with a section header cut after three bytes (more than the
  // collector holds at once), and the packets that follow them: the rest
  // of a header in step, one after a lost packet, a new start instead.
  s = three;
  tsfix::Append(s, tsfix::MakePacket(0, true, 0, Bytes{200, 0x00, 0xB0, 0x0D}));
  std::vector<tsfix::MgtTable> tables;
  for (int k = 0; k < 9; ++k) {
    tsfix::MgtTable t;
    t.tableType = static_cast<uint16_t>(0x0100 + k);
    t.pid = static_cast<uint16_t>(0x1D00 + k);
    tables.push_back(t);
  }
  tsfix::PsiPacketizer base(0x1FFB);
  tsfix::Append(s, tsfix::Join(base.Packetize(tsfix::MakeMgt(tables))));
  const Bytes eit = tsfix::MakeEit(7, 0, 0, 0, {tsfix::Event(1, kDay, 1800, tsfix::PlainMss("Held"))});
  for (int k = 0; k < 9; ++k) {
    Bytes payload(1, 180);  // pointer field: the section starts 3 bytes before the end
    payload.insert(payload.end(), 180, 0xA5);
    payload.insert(payload.end(), eit.begin(), eit.begin() + 3);
    tsfix::Append(s, tsfix::MakePacket(static_cast<uint16_t>(0x1D00 + k), true, 0, payload));
  }
  const Bytes rest(eit.begin() + 3, eit.end());
  tsfix::Append(s, tsfix::MakePacket(0x1D08, false, 1, rest));  // joined
  tsfix::Append(s, tsfix::MakePacket(0x1D07, false, 5, rest));  // a packet lost
  Bytes again(1, 0);
  tsfix::Append(again, eit);
  tsfix::Append(s, tsfix::MakePacket(0x1D06, true, 1, again));  // a new start
  tsfix::Append(s, three);
  Seed("filter", "filter-held-starts", Raw({0}) + Str(s));
}

// A session of the filter target (fuzz_filter.cpp): its first byte, then
// pieces of an operation byte and arguments.
std::string Op(int op, const std::string& args = "") { return std::string(1, static_cast<char>(op)) + args; }
std::string Feed(const Bytes& ts) { return Op(0, Str(ts)); }
// UNIT: stream, destination (0 sink, 1 refused port, 2 broadcast, 3 not an
// address), whether the tuner stays, then transport/program pairs.
std::string Unit(int stream, int destination, int stays, std::initializer_list<int> pairs = {}) {
  std::string args = Raw({stream, destination, stays});
  for (int id : pairs) args += Raw({id >> 8, id & 0xFF});
  return Op(1, args);
}
std::string Session(const std::vector<std::string>& pieces) { return "\x80" + vyxfuzz::join_pieces(pieces); }

void FilterSessionSeeds() {
  tsfix::MuxGenerator gen(3, 0x21, 40, 0);
  const Bytes big = gen.Generate(60);  // several datagrams each
  const Bytes small = gen.Generate(8);  // one datagram
  // Program 1 again with a new PMT version: captions on its video, a second
  // audio track (the language filter is applied to it).
  tsfix::Descriptor cc = tsfix::CaptionDescriptor({{"eng", true, 1, false, true}});
  tsfix::PsiPacketizer pmt(0x101, 9);
  const Bytes pmt2 = tsfix::Join(pmt.Packetize(tsfix::MakePmt(
      1, 0x202, 1,
      {{0x02, 0x202, {cc}}, {0x81, 0x203, {tsfix::LanguageDescriptor({{"lab", 0}})}},
       {0x81, 0x209, {tsfix::LanguageDescriptor({{"fra", 0}})}}})));
  // A buffer ending inside a packet of program 1's video (the streams got
  // its head), and the rest of that packet.
  Bytes cut = gen.Generate(8);
  tsfix::Append(cut, tsfix::MakeDataPacket(0x202, 7));
  const Bytes tail(cut.end() - 88, cut.end());
  cut.resize(cut.size() - 88);
  Bytes rest = tail;
  tsfix::Append(rest, gen.Generate(8));
  Bytes junk(200, 0x00);
  tsfix::Append(junk, gen.Generate(8));
  // One program twice and program 0, the send hold, an empty buffer, the
  // languages, a PMT change, every dump; a packet cut and not continued;
  // two streams of every program, one restarted while a packet is under
  // way; a stream joining on the same channel; all stopped.
  Seed("filter", "filter-session-unit", Session({
      Op(5, Raw({1})), Unit(0, 0, 0, {0x21, 1, 0x21, 1, 0x21, 0}), Feed(big), Feed(big), Op(0), Feed(small),
      Op(3, "lab" + Raw({0}) + "lac" + Raw({0})), Feed(pmt2), Feed(big), Op(4, Raw({0})), Op(4, Raw({1})),
      Op(4, Raw({2})), Unit(5, 0, 0), Unit(6, 0, 1), Feed(big), Feed(cut), Feed(junk), Feed(cut),
      Unit(6, 0, 1), Feed(rest), Unit(3, 0, 1, {0x21, 2, 0x21}), Feed(big), Op(5, Raw({0})), Feed(small),
      Op(2, Raw({4})), Feed(small), Op(2, Raw({0})), Feed(small)}));
  // Streams whose sends fail: to a port nobody listens on (refused after
  // the first datagram), to the broadcast address (not permitted); and one
  // that cannot be aimed at all.
  for (int destination = 1; destination <= 3; ++destination) {
    Seed("filter", "filter-session-send-" + std::to_string(destination),
         Session({Unit(0, destination, 0), Feed(big), Feed(small), Feed(big), Feed(small), Feed(small),
                  Feed(big), Unit(2, 0, 1, {0x21, 3}), Feed(big)}));
  }
  // More PIDs than the filter's lists: 1025 PIDs without a program seen
  // twice (a stream starting attaches the first 256 of them), then a third
  // time (a stream of every program takes more lists than the pool holds),
  // then a PAT naming a new program, whose PMT PID gets no list.
  std::vector<std::string> many = {Op(5, Raw({0}))};
  const int kPids = 1025;
  for (int round = 0; round < 3; ++round) {
    Bytes ts;
    for (int k = 0; k < kPids; ++k) {
      tsfix::Append(ts, tsfix::MakeDataPacket(static_cast<uint16_t>(0x400 + k), static_cast<uint8_t>(round)));
      if (ts.size() >= 340 * 188) {
        many.push_back(Feed(ts));
        ts.clear();
      }
    }
    if (!ts.empty()) many.push_back(Feed(ts));
    if (round == 1) many.push_back(Unit(2, 0, 1));
  }
  many.push_back(Unit(3, 0, 1));
  tsfix::PsiPacketizer pat(0, 3);
  Bytes news = tsfix::Join(pat.Packetize(tsfix::MakePat(0x21, 7, {{1, 0x101}, {2, 0x102}, {9, 0x1F00}})));
  tsfix::Append(news, gen.Generate(6));
  many.push_back(Feed(news));
  many.push_back(Op(4, Raw({0})));
  Seed("filter", "filter-session-many-pids", Session(many));
}

// --------------------------------------------------------------- sections

// Selectors of the section target: PID 0, the PMT PID, the PSIP base PID;
// `keep` leaves the CRC as written.
const int kPat = 0, kPmt = 1, kBase = 2, kReceiver = 3, kKeepCrc = 4;

std::string On(int selector, const Bytes& section) {
  return std::string(1, static_cast<char>(selector)) + Str(section);
}

// A section of table `table` with section_length `length` and bytes `fill`
// up to its end (or to `bytes`, when given, if fewer).
Bytes Section(int table, int length, uint8_t fill = 0xFF, int bytes = -1) {
  int total = length + 3;
  if (bytes >= 0 && bytes < total) total = bytes;
  Bytes s(static_cast<size_t>(total), fill);
  s[0] = static_cast<uint8_t>(table);
  s[1] = static_cast<uint8_t>(0xF0 | ((length >> 8) & 0x0F));
  s[2] = static_cast<uint8_t>(length & 0xFF);
  if (total > 5) s[5] = 0xC1;  // version 0, current
  return s;
}

// Reassembly: a table whose CRC keeps failing is taken after the fifth
// failure; sections too large for their buffer, of length 0; a start that
// restarts its own open section or cuts another of its PID; a header cut
// at a packet's end and completed by the next; more states than the pools.
void CollectorSeeds() {
  std::vector<tsfix::MgtTable> one(1);
  one[0].tableType = 0x0100;
  one[0].pid = 0x1000;
  Bytes mgt = tsfix::MakeMgt(one);
  mgt[mgt.size() - 1] ^= 0x55;
  std::vector<std::string> pieces(6, On(kBase | kKeepCrc, mgt));
  Seed("sections", "collector-crc-waived", vyxfuzz::join_pieces(pieces));

  Seed("sections", "collector-sizes",
       vyxfuzz::join_pieces({On(kPat | kKeepCrc, Section(0x00, 0xFFF, 0xFF, 180)),
                             On(kBase | kKeepCrc, Section(0xCB, 4094, 0xFF, 180)),
                             On(kBase | kKeepCrc, Section(0xC7, 0, 0xFF, 8))}));

  // An EIT of two packets heard only in its first, started again; then
  // section 1 of the PID begun while section 0 is open.
  const Bytes eit0 = tsfix::MakeEit(9, 0, 0, 1, {tsfix::Event(1, kDay, 600, tsfix::PlainMss(std::string(300, 'x')))});
  const Bytes eit1 = tsfix::MakeEit(9, 0, 1, 1, {tsfix::Event(2, kDay + 600, 600, tsfix::PlainMss("y"))});
  const Bytes head(eit0.begin(), eit0.begin() + 150);
  Seed("sections", "collector-restarts",
       vyxfuzz::join_pieces({On(kBase | kKeepCrc, head), On(kBase | kKeepCrc, head), On(kBase, eit1),
                             On(kBase, eit0)}));

  // A section ending 4 bytes before its packet's end, the next one's header
  // cut there and completed in the next packet.
  Bytes split = tsfix::MakePsipSection(0xC6, 1, 0, 0, 0, Bytes(179 - 12, 0x11));
  tsfix::Append(split, tsfix::MakeStt(kDay + 3600, 18));
  Seed("sections", "collector-header-split", vyxfuzz::join_pieces({On(kBase | kKeepCrc, split)}));

  // 22 short sections to a packet, each of its own table and number: more
  // than the 64 large states.
  std::vector<std::string> many;
  for (int p = 0; p < 4; ++p) {
    Bytes packed;
    for (int k = 0; k < 22; ++k) {
      Bytes s = Section(0x80 + p, 5, 0x00);
      s[6] = static_cast<uint8_t>(k);  // section_number
      tsfix::Append(packed, s);
    }
    many.push_back(On(kBase | kKeepCrc, packed));
  }
  Seed("sections", "collector-states", vyxfuzz::join_pieces(many));
}

// The PMT on its PID, with its section length and loops set by hand.
Bytes Pmt(int length, int programInfoLength, const Bytes& loops) {
  Bytes s = {0x02, 0, 0, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xE2, 0x02};
  s.push_back(static_cast<uint8_t>(0xF0 | ((programInfoLength >> 8) & 0x0F)));
  s.push_back(static_cast<uint8_t>(programInfoLength & 0xFF));
  tsfix::Append(s, loops);
  s.insert(s.end(), 4, 0);  // the CRC, made right by the target
  const int sectionLength = length >= 0 ? length : static_cast<int>(s.size()) - 3;
  s[1] = static_cast<uint8_t>(0xB0 | ((sectionLength >> 8) & 0x0F));
  s[2] = static_cast<uint8_t>(sectionLength & 0xFF);
  return s;
}

// PAT and PMT refusals: lengths out of range, program_info_length past the
// section, a stream entry cut, ES_info_length past the loop, a descriptor
// past its loop, a caption descriptor announcing more services than it has.
void PsiSeeds() {
  Bytes shortPat = {0x00, 0xB0, 0x05, 0x00, 0x21, 0xC1, 0x00, 0x00};
  Bytes longPat = tsfix::MakePat(0x21, 0, {});
  longPat[1] = 0xB5;  // section_length 0x500: over 1021
  longPat[2] = 0x00;
  longPat.resize(0x503, 0x00);
  const Bytes audio = {0x81, 0xE2, 0x03, 0xF0, 0x06, 0x0A, 0x04, 'e', 'n', 'g', 0x00};
  Bytes cut = audio;
  cut.insert(cut.end(), {0x02, 0xE2});  // an entry of two bytes
  Bytes pastLoop = audio;
  pastLoop.insert(pastLoop.end(), {0x02, 0xE2, 0x02, 0xF0, 0x40, 0x0A});
  const Bytes pastDescriptor = {0x81, 0xE2, 0x05, 0xF0, 0x04, 0x0A, 0x09, 'f', 'r'};
  const Bytes captions = {0x02, 0xE2, 0x02, 0xF0, 0x09, 0x86, 0x07, 0xC3, 'e', 'n', 'g', 0x81, 0x3F, 0xFF};
  Seed("sections", "psi-refused",
       vyxfuzz::join_pieces({On(kPat, shortPat), On(kReceiver | kKeepCrc, longPat), On(kPmt, Pmt(9, 0, {})),
                             On(kPmt, Pmt(-1, 0x30, {})), On(kPmt, Pmt(-1, 0, cut)), On(kPmt, Pmt(-1, 0, pastLoop)),
                             On(kPmt, Pmt(-1, 0, pastDescriptor)), On(kPmt, Pmt(-1, 0, captions))}));
}

// An MGT whose last table's descriptors run past it, with tables on PID 0
// and the null PID; a VCT whose channel's descriptors do; EITs with the
// reserved bits of the section or of an event cleared, a title or
// descriptors past the section.
void PsipSeeds() {
  std::vector<tsfix::MgtTable> tables(3);
  tables[0].tableType = 0x0100;
  tables[0].pid = 0x0000;
  tables[1].tableType = 0x0101;
  tables[1].pid = 0x1FFF;
  tables[2].tableType = 0x0200;
  tables[2].pid = 0x1E00;
  tables[2].descriptors = Bytes(4, 0x00);
  tables[2].descriptorsLengthOverride = 0x40;
  Bytes mgt = tsfix::MakeMgt(tables);

  tsfix::TvctChannel channel = tsfix::Channel("DESC", 4, 1, 0x21, 1, 4);
  Bytes vct = tsfix::MakeTvct(0x21, 0, {channel});
  // descriptors_length (bytes 30-31 of the channel, after the 10-byte header)
  vct[10 + 30] = 0xFC | 0x01;
  vct[10 + 31] = 0x20;

  const Bytes title = tsfix::PlainMss("Reserved");
  Bytes eitHeader = tsfix::MakeEit(4, 0, 0, 0, {tsfix::Event(1, kDay, 600, title)});
  eitHeader[1] &= 0x3F;
  Bytes eitEvent = tsfix::MakeEit(4, 1, 0, 0, {tsfix::Event(1, kDay, 600, title)});
  eitEvent[10 + 10 + title.size()] = 0x00;  // the flags before descriptors_length
  tsfix::EitEvent longTitle = tsfix::Event(2, kDay, 600, title);
  longTitle.titleLengthOverride = 200;
  tsfix::EitEvent longDescriptors = tsfix::Event(3, kDay, 600, title);
  longDescriptors.descriptorsLengthOverride = 0x300;
  Seed("sections", "psip-refused",
       vyxfuzz::join_pieces({On(kBase, mgt), On(kBase, vct), On(kBase, eitHeader), On(kBase, eitEvent),
                             On(kBase, tsfix::MakeEit(4, 2, 0, 0, {longTitle})),
                             On(kBase, tsfix::MakeEit(4, 3, 0, 0, {longDescriptors}))}));
}

// Texts longer than the text buffer: Huffman segments that decode past it,
// and plain bytes after coded ones that fill it; a segment of an unknown
// compression.
void TextSeeds() {
  // Description-tree segments of 255 bytes or less, each decoding to 250
  // characters of a text the tree codes in few bits.
  std::vector<tsfix::StringSegment> coded;
  std::string pattern;
  while (pattern.size() < 250) pattern += "the ";
  pattern.resize(250);
  const Bytes chunk = tsfix::HuffmanEncode(pattern, 2);
  for (int k = 0; k < 17; ++k) coded.push_back({2, 0, chunk});
  // A segment of a compression without a tree first: skipped.
  tsfix::MultipleString over{"eng", {{0x07, 0, Bytes(12, 'u')}}};
  over.segments.insert(over.segments.end(), coded.begin(), coded.end());
  const Bytes past = tsfix::MakeEtt(tsfix::ChannelEtmId(5), 0, tsfix::MakeMss({over}));
  // 16 coded segments (4000 characters), then plain bytes past the rest.
  tsfix::MultipleString fill{"eng", std::vector<tsfix::StringSegment>(coded.begin(), coded.begin() + 16)};
  fill.segments.push_back({0, 0, Bytes(200, 'p')});
  const Bytes plainPast = tsfix::MakeEtt(tsfix::ChannelEtmId(6), 0, tsfix::MakeMss({fill}));
  Seed("sections", "text-too-long",
       vyxfuzz::join_pieces({On(kBase | kKeepCrc, past), On(kBase | kKeepCrc, plainPast)}));
}

// ---------------------------------------------------------------- huffman

// Table index, capacity, then the bits: no tree (0 and 3), no room at all,
// an escaped NUL inside a text.
void HuffmanEdgeSeeds() {
  const Bytes escaped = tsfix::HuffmanEncode(std::string("ab\0cd", 5), 1);
  Seed("huffman", "huffman-no-tree-0", Raw({0, 40}) + Str(escaped));
  Seed("huffman", "huffman-no-tree-3", Raw({3, 40}) + Str(escaped));
  Seed("huffman", "huffman-no-room", Raw({1, 0}) + Str(escaped));
  Seed("huffman", "huffman-escaped-nul", Raw({1, 40}) + Str(escaped));
}

}  // namespace

namespace vyxseeds {

void TsSeeds(const std::string& /*samples*/) {
  FilterBufferSeeds();
  FilterSessionSeeds();
  CollectorSeeds();
  PsiSeeds();
  PsipSeeds();
  TextSeeds();
  HuffmanEdgeSeeds();
}

}  // namespace vyxseeds
