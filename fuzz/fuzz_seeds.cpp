// Writes the seed corpora of the fuzz targets, one directory per target:
//   fuzz_seeds OUTDIR SAMPLES_DIR HUFFMAN_VECTORS
// Packet and section seeds come from the test captures and the fixture
// writer, the Huffman seeds from the published vectors, the command seeds
// from one example of each command.

#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "fuzz_support.h"
#include "tsfixture.h"

namespace {

std::string gOut;
// The guide target's day: MJD 59290 (0xe79a) at 00:00 UTC in GPS seconds.
const uint32_t kGuideDay = (59290u - 44244u) * 86400u + 18u;

void Write(const std::string& target, int n, const std::string& bytes) {
  vyxseeds::WriteSeed(target, "seed-" + std::to_string(n), bytes);
}

std::string Str(const tsfix::Bytes& b) { return std::string(b.begin(), b.end()); }

const char* const kCaptures[] = {
    "atsc-kulx10-pmt-then-tvct.ts", "atsc-kulx10-tvct-then-pmt.ts", "atsc-kulx10-rrt.ts",
    "atsc-wnet13-psip.ts",          "dvbt-mediaset-psi-20prog.ts",  "dvbt-france2-3lang.ts",
    "dvbt-rai-mux-8prog.ts",        "hevc-uhd-scte35-pmt.ts",
};

void FilterSeeds(const std::string& samples) {
  int n = 0;
  for (const char* name : kCaptures) {
    tsfix::Bytes ts = tsfix::ReadFileBytes(samples + "/" + name);
    if (ts.size() > 32768) ts.resize(32768);
    if (!ts.empty()) Write("filter", n++, std::string(1, '\0') + Str(ts));
  }
  // A whole guide multiplex (a small one: the store's refreshes, texts in
  // several segments, Huffman-coded ones and long names).
  tsfix::GuideMux guide;
  guide.channels = 3;
  guide.events = 9;
  guide.firstStart = (0xe79au - 44244u) * 86400u + 18u + 7 * 3600;
  guide.now = guide.firstStart + 2 * 3600;
  guide.title = [](int ch, int ev) { return "Show " + std::to_string(ch) + "." + std::to_string(ev); };
  guide.text = [](int ch, int ev) { return std::string(60 + 90 * ((ch + ev) % 4), 'e'); };
  guide.huffman = [](int, int ev) { return ev % 2 == 0; };
  guide.longName = [](int ch) { return "Channel " + std::to_string(ch); };
  Write("filter", n++, std::string(1, '\0') + Str(guide.Build()));
  tsfix::MuxGenerator gen(3, 0x21, 50, 0);
  // Three buffer splits: 47 bytes, 1 byte, 7 * 47 bytes, then the rest.
  Write("filter", n++, std::string("\x03\x01\x00\x07", 4) + Str(gen.Generate(300)));
  // The guide multiplex damaged as a weak signal damages it, each way on its
  // own: packets lost, repeated, with a byte changed (a section's CRC, its
  // length or pointer field, the continuity counter), junk between packets.
  guide.channels = 2;
  guide.events = 6;
  const tsfix::Bytes clean = guide.Build();
  const size_t packets = clean.size() / 188;
  for (int way = 0; way < 6; ++way) {
    tsfix::Bytes out;
    for (size_t i = 0; i < packets; ++i) {
      tsfix::Bytes p(clean.begin() + static_cast<long>(i * 188), clean.begin() + static_cast<long>((i + 1) * 188));
      const bool hit = i % 5 == 3;
      if (hit && way == 0) continue;                                 // lost
      if (hit && way == 1) tsfix::Append(out, p);                    // repeated
      if (hit && way == 2) p[100] ^= 0x5a;                           // a payload byte
      if (hit && way == 3) p[3] = static_cast<uint8_t>((p[3] & 0xF0) | ((p[3] + 5) & 0x0F));  // continuity
      if (hit && way == 4) p[5 + (p[4] % 150)] ^= 0xFF;              // near the pointer field
      if (hit && way == 5) out.insert(out.end(), 61, 0x47);           // junk with sync bytes
      tsfix::Append(out, p);
    }
    Write("filter", n++, std::string(1, '\0') + Str(out));
  }
}

// A selector of the section target for one of its other PIDs (kOthers).
std::string OnPid(int index, const tsfix::Bytes& section) {
  return std::string(1, static_cast<char>(2 | (index << 3))) + Str(section);
}

// A whole guide on the section target's PIDs: an MGT placing EIT-0 on
// 0x1000, EIT-1 on 0x30, event ETTs on 0x102 and channel ETTs on 0x1FFC; a
// TVCT naming program 1 (the one the fixed PAT lists) source 11, an STT,
// then events with Huffman and plain titles and their texts.  The captures
// hold guide sections over several packets, which the seeds above skip.
void GuideSeeds(int& n) {
  const int kBase = 0, kEit0 = 4, kEit1 = 7, kEventEtt = 5, kChannelEtt = 6;
  std::vector<tsfix::MgtTable> tables(5);
  const uint16_t types[] = {0x0000, 0x0100, 0x0101, 0x0200, 0x0004};
  const uint16_t pids[] = {0x1FFB, 0x1000, 0x0030, 0x0102, 0x1FFC};
  for (int i = 0; i < 5; ++i) {
    tables[i].tableType = types[i];
    tables[i].pid = pids[i];
  }
  tsfix::TvctChannel channel = tsfix::Channel("ONE", 9, 1, 0x21, 1, 11);
  const uint32_t day = (59290u - 44244u) * 86400u + 18u;  // a GPS midnight, 18 s offset
  std::vector<std::string> base = {OnPid(kBase, tsfix::MakeMgt(tables)),
                                   OnPid(kBase, tsfix::MakeTvct(0x21, 0, {channel})),
                                   OnPid(kBase, tsfix::MakeStt(day + 8 * 3600 + 30, 18))};
  tsfix::EitEvent alpha = tsfix::Event(1, day + 7 * 3600, 3600, tsfix::HuffmanMss("Alpha", 1));
  alpha.etmLocation = 1;
  const std::string first = OnPid(kEit0, tsfix::MakeEit(11, 0, 0, 1, {alpha}));
  const std::string firstText =
      OnPid(kEventEtt, tsfix::MakeEtt(tsfix::EventEtmId(11, 1), 0, tsfix::HuffmanMss("First text.", 2)));
  std::vector<std::string> guide = base;
  guide.push_back(first);
  guide.push_back(OnPid(kEit0, tsfix::MakeEit(11, 0, 1, 1, {tsfix::Event(2, day + 8 * 3600, 3600, tsfix::PlainMss("Beta"))})));
  guide.push_back(OnPid(kEit1, tsfix::MakeEit(11, 0, 0, 0, {tsfix::Event(3, day + 10 * 3600, 1800, tsfix::HuffmanMss("Gamma ~ [3]", 1))})));
  guide.push_back(firstText);
  guide.push_back(OnPid(kChannelEtt, tsfix::MakeEtt(tsfix::ChannelEtmId(11), 0, tsfix::PlainMss("Channel one"))));
  Write("sections", n++, vyxfuzz::join_pieces(guide));
  // The text ahead of its event.
  std::vector<std::string> early = base;
  early.push_back(firstText);
  early.push_back(first);
  Write("sections", n++, vyxfuzz::join_pieces(early));
}

// The section cut to its first `keep` bytes, its length and CRC made to
// match: the tables' entries, texts and descriptors end early.
tsfix::Bytes Cut(const tsfix::Bytes& section, size_t keep) {
  tsfix::Bytes out(section.begin(), section.begin() + static_cast<long>(keep));
  const size_t length = keep - 3 + 4;
  out[1] = static_cast<uint8_t>((out[1] & 0xF0) | ((length >> 8) & 0x0F));
  out[2] = static_cast<uint8_t>(length & 0xFF);
  uint32_t crc = tsfix::Crc32(out.data(), out.size());
  for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(crc >> (24 - 8 * i)));
  return out;
}

// Damaged guide tables on the PSIP PID (the target fixes no CRC the cut
// already made right): each table cut at every few bytes, and with its
// reserved bits cleared; an MGT of every table type.
void MalformedGuideSeeds(int& n) {
  std::vector<tsfix::MgtTable> tables;
  for (unsigned type : {0x0000u, 0x0002u, 0x0004u, 0x0005u, 0x0100u, 0x0200u, 0x0301u, 0x0400u, 0x1400u,
                        0x1500u, 0x1000u}) {
    tsfix::MgtTable t;
    t.tableType = static_cast<uint16_t>(type);
    // EIT-0 and the event ETTs on PIDs the section target has selectors
    // for (0x1000, 0x102); the others anywhere.
    t.pid = static_cast<uint16_t>(type == 0x0100 ? 0x1000 : type == 0x0200 ? 0x102 : 0x1D00 + (type >> 8) + (type & 0xFF));
    tables.push_back(t);
  }
  tsfix::TvctChannel channel = tsfix::Channel("CUT", 7, 2, 0x21, 1, 11);
  tsfix::TvctChannel other = channel;
  other.minor = 3;
  other.program = 2;
  other.sourceId = 12;
  const uint32_t day = kGuideDay;
  tsfix::EitEvent a = tsfix::Event(1, day + 3600, 1800, tsfix::HuffmanMss("Cut title", 1));
  tsfix::EitEvent b = tsfix::Event(2, day + 5400, 1800, tsfix::PlainMss("Second"));
  const std::vector<tsfix::Bytes> whole = {
      tsfix::MakeMgt(tables), tsfix::MakeTvct(0x21, 0, {channel, other}),
      tsfix::MakeEit(11, 0, 0, 0, {a, b}),
      tsfix::MakeEtt(tsfix::EventEtmId(11, 1), 0, tsfix::SegmentedMss(std::string(300, 't'))),
      tsfix::MakeStt(day + 100, 18)};
  // Each damaged table follows the MGT and the TVCT, so that its program
  // and PIDs are known.
  const std::string head = std::string(1, '\2') + Str(whole[0]);
  const std::string vct = std::string(1, '\2') + Str(whole[1]);
  // The selector of each table's PID (kOthers: the PSIP PID, 0x1000, 0x102).
  const int pidChoice[] = {0, 0, 4, 5, 0};
  for (size_t t = 0; t < whole.size(); ++t) {
    const tsfix::Bytes& table = whole[t];
    const char cutSelector = static_cast<char>(2 | 4 | (pidChoice[t] << 3));
    const char fixSelector = static_cast<char>(2 | (pidChoice[t] << 3));
    std::vector<std::string> pieces = {head, vct};
    const size_t step = table.size() > 120 ? table.size() / 30 : 3;
    for (size_t keep = 9; keep + 4 < table.size() && pieces.size() < 60; keep += step)
      pieces.push_back(std::string(1, cutSelector) + Str(Cut(table, keep)));
    tsfix::Bytes reserved = table;
    reserved[1] &= 0xCF;  // the reserved bits after the length's top
    pieces.push_back(std::string(1, fixSelector) + Str(reserved));
    Write("sections", n++, vyxfuzz::join_pieces(pieces));
  }
}

// Sections that start in a packet and end in it: a seed each, with the
// selector of its PID.
void SectionSeeds(const std::string& samples) {
  int n = 0;
  std::vector<std::string> pieces;
  for (const char* name : kCaptures) {
    tsfix::Bytes ts = tsfix::ReadFileBytes(samples + "/" + name);
    for (size_t at = 0; at + 188 <= ts.size() && at < 400 * 188; at += 188) {
      const uint8_t* p = ts.data() + at;
      if (p[0] != 0x47 || (p[1] & 0x40) == 0 || (p[3] & 0x10) == 0) continue;
      size_t off = 4 + ((p[3] & 0x20) ? 1 + p[4] : 0);
      if (off >= 188) continue;
      off += 1 + p[off];
      if (off + 3 > 188) continue;
      size_t total = 3 + (((p[off + 1] & 0x0F) << 8) | p[off + 2]);
      if (off + total > 188) continue;
      unsigned pid = ((p[1] & 0x1F) << 8) | p[2];
      uint8_t table = p[off];
      uint8_t selector = pid == 0 ? 0 : table == 0x02 ? 1 : 2;
      std::string piece = std::string(1, static_cast<char>(selector)) +
                          std::string(reinterpret_cast<const char*>(p + off), total);
      Write("sections", n++, vyxfuzz::join_pieces({piece}));
      // The receiver's copy of PATs and PMTs.
      if (table == 0x00 || table == 0x02) {
        piece[0] = 3;
        pieces.push_back(piece);
      }
      if (n > 200) break;
    }
  }
  // Fixture sections: a PAT, and PMTs with language and caption descriptors.
  tsfix::Bytes pat = tsfix::MakePat(0x21, 1, {{1, 0x101}, {2, 0x102}});
  tsfix::Descriptor lang = tsfix::LanguageDescriptor({{"eng", 0}, {"spa", 3}});
  tsfix::Descriptor cc = tsfix::CaptionDescriptor({{"eng", true, 1, false, true}, {"fra", true, 2, false, true}});
  tsfix::Bytes pmt = tsfix::MakePmt(1, 0x200, 0, {{0x02, 0x200, {}}, {0x81, 0x201, {lang}}, {0x02, 0x202, {cc}}});
  Write("sections", n++, vyxfuzz::join_pieces({std::string(1, '\0') + Str(pat), std::string(1, '\1') + Str(pmt)}));
  pieces.push_back(std::string(1, '\3') + Str(pat));
  pieces.push_back(std::string(1, '\3') + Str(pmt));
  Write("sections", n++, vyxfuzz::join_pieces(pieces.size() > 16 ? std::vector<std::string>(pieces.begin(), pieces.begin() + 16) : pieces));
  GuideSeeds(n);
  MalformedGuideSeeds(n);
  // The cable tables (network information, virtual channels, system time
  // out of band) on the PSIP PID: each a short section of its table id.
  std::vector<std::string> cable;
  for (int table = 0xC0; table <= 0xC5; ++table) {
    tsfix::Bytes body = {0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x10, 0x20, 0x30, 0x40};
    tsfix::Bytes section = tsfix::MakePsipSection(static_cast<uint8_t>(table), 1, 0, 0, 0, body);
    cable.push_back(std::string(1, '\2') + Str(section));
  }
  Write("sections", n++, vyxfuzz::join_pieces(cable));
}

// "TABLE HEX<TAB>TEXT" lines.
void HuffmanSeeds(const std::string& vectors) {
  std::ifstream in(vectors);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream words(line);
    int table = 0;
    std::string hex;
    if (!(words >> table >> hex)) continue;
    std::string bytes(1, static_cast<char>(table));
    bytes += static_cast<char>(0xFF);
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    Write("huffman", n++, bytes);
  }
}

// The receiver device target's own inputs: IR keys (forwarded to the
// controller, to the browser, dropped), serial bytes, the player's sections.
void ReceiverDeviceSeeds(int d) {
  auto key = [](int k) { return std::string("\4\0\0\0\0", 5) + static_cast<char>(k); };
  Write("device_rx", d++, vyxfuzz::join_pieces({std::string("\0CALLBACK1", 10), key(16), key(44), key(44), key(3),
                                                key(0x7f), std::string("\4\0", 2), std::string("\0CALLBACK0", 10),
                                                key(5), key(16), key(16), key(9)}));
  Write("device_rx", d++, vyxfuzz::join_pieces({std::string("\0CALLBACK1", 10), std::string("\5hello", 6),
                                                std::string("\0SUART9600,8,N,1", 16), std::string("\5\x01\x02", 3),
                                                std::string("\0UART\x01\x02hi", 9), std::string("\0CALLBACK0", 10)}));
  tsfix::Bytes pat = tsfix::MakePat(0x21, 1, {{1, 0x101}, {2, 0x102}});
  tsfix::Descriptor lang = tsfix::LanguageDescriptor({{"eng", 0}, {"spa", 3}});
  tsfix::Descriptor cc = tsfix::CaptionDescriptor({{"eng", true, 1, false, true}});
  tsfix::Bytes pmt = tsfix::MakePmt(1, 0x200, 0, {{0x02, 0x200, {}}, {0x81, 0x201, {lang}}, {0x02, 0x202, {cc}}});
  tsfix::Bytes cut(pmt.begin(), pmt.begin() + 9);
  Write("device_rx", d++, vyxfuzz::join_pieces({std::string("\0UNIT1,239.1.1.1,1234,0,1", 25),
                                                std::string(1, '\2') + Str(pmt), std::string(1, '\2') + Str(pat),
                                                std::string(1, '\2') + Str(pmt), std::string(1, '\2') + Str(cut),
                                                std::string("\2\x42\x00\x01\x00", 5), std::string("\0LAN?", 5),
                                                std::string("\0LANG spa,3", 11), std::string("\0SUB?", 5),
                                                std::string("\0SUBS 1", 7), std::string("\1\x00", 2)}));
}

void CommandSeeds() {
  const char* const commands[] = {
      "VERS", "VYX", "VIDEO", "STATUS", "IP?", "UNIT1,239.1.1.1,1234,5,1,2",
      "UNIT2,239.1.1.1,1234,5", "UNIT4,2,239.1.1.2,1000,5,1,3", "UNIT5,2", "UNIT0",
      "UNIT1,239.1.1.1,1234,0,3", "UNIT3,239.1.1.1,1234", "LANG eng,0,spa,0", "SUBS 3", "SUBS OFF",
      "LAN?", "SUB?", "DHCP1", "DHCP0,10.0.0.2,10.0.0.1,255.255.255.0", "RESET", "CALLBACK1",
      "CALLBACK0", "DEBUG1", "DEBUG0", "MCASTPACKETSIZE1316", "TUNERMODE1", "TUNERMODE 3",
      "URLhttp://example/,0,0,640,480,255,0", "URLkey13", "URLblank", "REMOTE6e", "RESOLUTION?",
      "RESOLUTION3", "VSCALE,10,20,30,40,255", "UART\x01\x02hello", "SUART9600,8,N,1", "TIME",
      "Tuner://2a", "SCA?", "SCAL", "BLIND1", "BLIND99", "EITI1,2,e000,1200", "EITL1,2,0130",
      "EITN1,2", "UPGR20", "UPGR:0123456789", "UPGR?", "DUMPPIDS", "DUMPSTATS", "DBGSIMPLE",
      "DUMPEIT", "DUMPCOLLECT", "DUMPLANG", "STREAMFROMFILE in.ts,out.ts", "STREAMFROMFILE",
      "TESTSER", "K720CMMD -stopall", "K720CMMD -udp 239.1.1.1 1234 2 0 50 50 100 100 0 255 0",
      // The guide the target loads: now and next, lists, events at a time.
      "EITN1,1", "EITn0001,0002", "EITL1,1,0200", "EITL1,2,0030", "EITI1,1,e79a,0745",
      "EITI1,2,e79a,0815", "EITI1,1,e79b,0000", "EITI1,1,0,1200", "EITN1,1,5", "EITQ1,1",
      // Who may command: the target's datagrams come from 0.0.0.0, which a
      // new list must hold.
      "CONTROLLERS?", "CONTROLLERS,0.0.0.0/0", "CONTROLLERS,0.0.0.0,10.77.0.0/16,192.168.1.7\r\n",
      "CONTROLLERS,10.0.0.1", "CONTROLLERS,300.1.1.1", "CONTROLLERS0", "CONTROLLERSx",
      // The filter fed from a port nobody sends to: it ends after its idle time.
      "FILTER 239.1.1.9,47000", "FILTER,5000", "FILTER,0", "K720CMMD -help",
      "K720CMMD -mount 1 rw", "K720CMMD -image 5", "K720CMMD -scan", "K720CMMD -vstat -stopb",
      "K720CMMD -browser http://x/ 0 1 2 3 4 0 255 0", "K720CMMD -atsc 5 2",
      // Streams refused: numbers out of range, a missing text, bad groups.
      "UNIT4,9,239.1.1.2,1000,5,1,3", "UNIT4,0,239.1.1.2,1000,5,1,3", "UNIT4", "UNIT4,2",
      "UNIT5,9", "UNIT5", "UNIT1,999.1.1.1,1234,5,1,2", "UNIT1,239.1.1.1,0,5,1,2",
      "UNIT1,239.1.1.1,1234,99,1,2", "UNIT1,239.1.1.1,1234,5,1,0", "UNIT3,x,y", "UNIT9",
      "TUNERMODE0", "TUNERMODE2", "TUNERMODE9", "TUNERMODE?", "BLIND0", "BLIND2", "SCA?5",
  };
  int n = 0;
  int d = 0;
  for (const char* c : commands) {
    std::string text(c);
    Write("commands", n++, vyxfuzz::join_pieces({std::string(1, '\0') + text}));
    Write("commands", n++, vyxfuzz::join_pieces({std::string(1, '\1') + text}));
    // The whole device hears them from its controller, in both roles.
    Write("device", d++, vyxfuzz::join_pieces({std::string(1, '\0') + text}));
    Write("device_rx", d, vyxfuzz::join_pieces({std::string(1, '\0') + text}));
  }
  ReceiverDeviceSeeds(d + 1);
  // The agent garbling, then late, for the commands that ask it; the late
  // replies meet the next command's request.
  const char* const asking[] = {"STATUS", "IP?", "DHCP0,10.0.0.2,10.0.0.1,255.255.255.0", "DHCP1", "RESET",
                                "VIDEO", "RESOLUTION?", "RESOLUTION3", "CALLBACK1", "UPGR20", "VSCALE,10,20,30,40,255"};
  for (const char* c : asking) {
    for (char selector : {'\2', '\3', '\4', '\5'}) {
      Write("commands", n++, vyxfuzz::join_pieces({std::string(1, selector) + c, std::string(1, static_cast<char>(selector & 1)) + c,
                                                   std::string(1, static_cast<char>(selector & 1)) + "STATUS"}));
    }
  }
  // A list that leaves eth0's address out: its command is refused; a
  // restart request to the beacon; a capture's packets through the entry.
  Write("device", d++, vyxfuzz::join_pieces({std::string("\0CONTROLLERS,127.0.0.1", 22), std::string("\3VERS", 5),
                                             std::string("\3STATUS", 7), std::string("\0CONTROLLERS?", 13),
                                             std::string("\1VYX?", 5), std::string("\0CALLBACK1", 10),
                                             std::string("\0CONTROLLERS,127.0.0.0/8", 24)}));
  // Blind scans of a band whose signal is good, weak or absent, in both
  // tuner modes, one channel and all, with the listing after.
  for (int strength : {4, 2, 0}) {
    Write("device", d++, vyxfuzz::join_pieces({std::string("\5", 1) + static_cast<char>(strength),
                                               std::string("\0BLIND1", 7), std::string("\0SCA?", 5),
                                               std::string("\0SCAL", 5), std::string("\0TUNERMODE1", 11),
                                               std::string("\0BLIND1,158", 11), std::string("\0BLIND1,7", 9),
                                               std::string("\0SCA?", 5), std::string("\0BLIND99", 8),
                                               std::string("\0TUNERMODE0", 11)}));
  }
  tsfix::MuxGenerator gen(2, 0x21, 20, 0);
  // Streams to a loopback port nobody listens on (the sends are refused),
  // in small and large datagrams, one program and the whole multiplex.
  const std::string ts = std::string(1, '\2') + Str(gen.Generate(120));
  Write("device", d++, vyxfuzz::join_pieces({std::string("\0MCASTPACKETSIZE188", 19),
                                             std::string("\0UNIT1,127.0.0.1,9,5,1,1", 24), ts, ts,
                                             std::string("\0UNIT4,2,127.0.0.1,9,5,1,2", 26), ts,
                                             std::string("\0UNIT3,127.0.0.1,9", 18), ts,
                                             std::string("\0MCASTPACKETSIZE1316", 20), ts,
                                             std::string("\0STATUS", 7), std::string("\0UNIT5,2", 8),
                                             std::string("\0UNIT0", 6)}));
  Write("device", d++, vyxfuzz::join_pieces({std::string("\0UNIT1,239.1.1.1,1234,5,1,1", 27),
                                             std::string(1, '\2') + Str(gen.Generate(40)),
                                             std::string("\0STATUS", 7), std::string("\0DUMPPIDS", 9),
                                             std::string("\0DUMPLANG", 9), std::string("\0DUMPCOLLECT", 12),
                                             std::string("\0DUMPSTATS", 10), std::string("\0UNIT0", 6)}));
  Write("commands", n++, vyxfuzz::join_pieces({std::string("\0UPGR20", 7), std::string("\0UPGR:0123456789", 16),
                                               std::string("\0UPGR:0123456789", 16), std::string("\0UPGR?", 6)}));
  Write("commands", n++, vyxfuzz::join_pieces({std::string("\0DEBUG1", 7), std::string("\0DUMPEIT", 8),
                                               std::string("\0EITL1,2,0300", 13)}));
  Write("commands", n++, vyxfuzz::join_pieces({std::string("\0CONTROLLERS,0.0.0.0,10.1.0.0/16", 32),
                                               std::string("\0CONTROLLERS?", 13), std::string("\0CALLBACK1", 10),
                                               std::string("\0CONTROLLERS,0.0.0.0", 20)}));
  Write("commands", n++, vyxfuzz::join_pieces({std::string("\1UNIT1,239.1.1.1,1234,0,3", 25),
                                               std::string("\1LANG fra", 9), std::string("\1STATUS", 7)}));
}

// The guide target's operations (fuzz_guide.cpp): a byte, then its
// arguments.
std::string Op(int op, const std::string& args) { return std::string(1, static_cast<char>(op)) + args; }
std::string Raw(std::initializer_list<int> b) {
  std::string s;
  for (int v : b) s += static_cast<char>(v);
  return s;
}
// Tune to channel 2 + ch and hear the multiplex of these arguments: tsid,
// channels, events, text length / 16, Huffman pattern, version, first hour,
// clock in half hours, event length in 10 minutes, source base, long names,
// first event id in 128s.
std::string Tune(int ch, std::initializer_list<int> mux) { return Op(1, Raw({ch}) + Raw(mux)); }

void GuideTargetSeeds() {
  const std::vector<std::string> queries = {
      Op(0, "EITN21,1"), Op(0, "EITn21,2"), Op(0, "EITL21,1,0300"), Op(0, "EITL21,3,4800"),
      Op(0, "EITI21,1,e79a,0930"), Op(0, "EITI21,2,e79a,1015"), Op(0, "EITI21,1,e79b,0100"),
      Op(0, "DUMPEIT"), Op(0, "EITX21,1"), Op(0, "EITL21,1"), Op(0, "EITI21,1,0,0")};
  int n = 0;
  // A small multiplex, every query.
  std::vector<std::string> small = {Tune(0, {1, 3, 12, 12, 1, 0, 8, 3, 2, 0, 1})};
  small.insert(small.end(), queries.begin(), queries.end());
  Write("guide", n++, vyxfuzz::join_pieces(small));
  // Two multiplexes, retuned between: the first one's guide goes at the
  // retune, and comes back when it is heard again.
  Write("guide", n++, vyxfuzz::join_pieces({Tune(0, {1, 4, 24, 60, 2, 0, 6, 4, 3, 0, 1}), queries[0],
                                            queries[2], Tune(3, {2, 5, 30, 40, 3, 1, 6, 2, 2, 1, 0}),
                                            Op(0, "EITN22,1"), Op(0, "EITL22,5,0600"), queries[0],
                                            Tune(0, {1, 4, 24, 60, 2, 0, 6, 4, 3, 0, 1}), queries[2],
                                            Op(4, ""), Op(0, "DUMPEIT")}));
  // The whole store: 8 channels of 128 events with 4000-byte texts are more
  // than it holds; the clock then moves on, so ended events make room when
  // the multiplex repeats with a new version.
  // The whole store: 8 channels of 128 events with long texts, then the
  // clock a day later and 1024 new events (new ids, as a rolling guide
  // brings them) that fill the events and the texts, so that the ended ones
  // make room, and more than the store holds is reported.
  // (Two multiplexes of 3,000-byte texts: within the target's time-out on
  // a loaded machine under ASan.)
  Write("guide", n++, vyxfuzz::join_pieces({Tune(0, {1, 7, 127, 188, 0, 0, 0, 0, 2, 0, 1, 0}),
                                            Op(0, "EITL21,8,2400"), Op(3, Raw({0xa0, 0x05})),
                                            Tune(0, {1, 7, 127, 188, 0, 1, 0, 48, 2, 0, 1, 2}),
                                            Op(0, "EITN21,8"), Op(0, "EITL21,1,4800"), Op(0, "DUMPEIT")}));
  // Stray sections on the guide PIDs of a tuned multiplex: an event for a
  // source no channel has, a text before its event and for no event, an
  // MGT and a channel text changed, and one with its CRC broken.
  tsfix::EitEvent ev = tsfix::Event(200, kGuideDay + 9 * 3600, 1800, tsfix::PlainMss("Stray"));
  ev.etmLocation = 1;
  std::vector<tsfix::MgtTable> mgt(2);
  mgt[0].tableType = 0x0100;
  mgt[0].pid = 0x1D00;
  mgt[1].tableType = 0x0200;
  mgt[1].pid = 0x1E00;
  Write("guide", n++, vyxfuzz::join_pieces(
      {Tune(0, {1, 2, 6, 8, 0, 0, 8, 2, 3, 0, 1}),
       Op(2, Raw({3}) + Str(tsfix::MakeEtt(tsfix::EventEtmId(1, 200), 0, tsfix::PlainMss("Early text")))),
       Op(2, Raw({1}) + Str(tsfix::MakeEit(1, 0, 0, 0, {ev}))),
       Op(2, Raw({1}) + Str(tsfix::MakeEit(77, 0, 0, 0, {ev}))),
       Op(2, Raw({3}) + Str(tsfix::MakeEtt(tsfix::EventEtmId(1, 999), 0, tsfix::HuffmanMss("Nobody's", 2)))),
       Op(2, Raw({5}) + Str(tsfix::MakeEtt(tsfix::ChannelEtmId(2), 1, tsfix::PlainMss("Renamed")))),
       Op(2, Raw({0}) + Str(tsfix::MakeMgt(mgt, 3))),
       Op(2, Raw({0x81}) + Str(tsfix::MakeEit(1, 2, 0, 0, {ev}))), Op(0, "EITI21,1,e79a,0910"),
       Op(0, "EITN21,2"), Op(0, "DUMPEIT")}));
}

void K720Seeds() {
  const char* const lines[] = {
      "-stopall", "-vs 50 50 100 100 0 255 0", "-ps 50 50 100 100 0 255 0 -vs 1 2 3 4 0 5 0",
      "-os 50 50 100 100 0 0 0", "-udp 239.1.1.1 1234 2 0 50 50 100 100 0 255 0",
      "-browser http://x/ 0 1 2 3 4 0 255 0", "-bnext http://y/", "-video /mnt/a.ts 1 2 3",
      "-hwc ABCDEFGHIJKLMNOP 5 3", "-atsc 5", "-vdbg 12", "-vdbg 16 1", "-vdbg 14 2 101",
      "-k13", "-res 3", "-trick 2", "-pic /mnt/a.jpg 1 2", "-osd", "-rtsp",
      "-mount 1 rw", "-mount 4 ro", "-mount 9 xx", "-image 5", "-scan", "-scan 3 1",
      "-vstat -colorbar -osdstart -osdstop -stoppic -stopvid -stopb", "-atsc 5 2", "-atsc 5 2 7",
      "-vnext /mnt/b.ts 1", "-pnext /mnt/x.jpg", "-rtp 239.1.1.1 1234 2 0 1 2 3 4 0 255 0 9",
      "-res", "-trick", "-vdbg", "-help", "-udp 239.1.1.1", "-hwc", "-browser", "-vs 1 2",
  };
  int n = 0;
  for (const char* l : lines) Write("k720cmmd", n++, l);
}

void SnmpSeeds() {
  const char* const replies[] = {
      ".1.3.6.1.4.1.32473.3.1.6.0 = INTEGER: 1\n", ".1.3.6.1.4.1.32473.3.1.1.0 = STRING: \"10.0.0.2\"\r\n",
      ".1 = STRING: \"\"", "no such thing\n", "= :", "a = b:c \"", ".1 = Timeticks: (5) 0:00:00.05\n",
  };
  int n = 0;
  for (const char* r : replies) Write("snmp_reply", n++, r);
}

// The upgrade of an archive in chunks of at most 1500 bytes.
std::string UpgradeOf(const std::string& archive) {
  std::vector<std::string> pieces = {std::to_string(archive.size())};
  for (size_t at = 0; at < archive.size(); at += 1500) pieces.push_back(":" + archive.substr(at, 1500));
  pieces.push_back("?");
  return vyxfuzz::join_pieces(pieces);
}

void UpgradeSeeds() {
  for (int fault = 0; fault <= 3; ++fault)
    Write("upgrade", 10 + fault, UpgradeOf(vyxseeds::TarArchive("rootfs.img", std::string(700 + 300 * fault, 'r'), fault)));
  Write("upgrade", 0, vyxfuzz::join_pieces({"20", ":0123456789", ":0123456789", "?"}));
  Write("upgrade", 1, vyxfuzz::join_pieces({"11", ":0123456789ab"}));
  Write("upgrade", 2, vyxfuzz::join_pieces({"5", "1000000001", "?", "30", ":abc", "40"}));
  Write("upgrade", 3, vyxfuzz::join_pieces({"12", ":0123456789ab", ":x", "?"}));
}

// Lines as the scan-results file holds them (channel number, transport,
// program, channel list, strength, encryption, video and audio types, the
// 14 bytes of the short name).
void ScanResultSeeds() {
  Write("scan_results", 0,
        "005 0001 0002 0005 ff N 02 81 4b 55 4c 58 00 00 00 00 00 00 00 00 00 00\n"
        "005 0001 0003 0005 ff N 02 81 4b 55 4c 58 2d 32 00 00 00 00 00 00 00 00\n"
        "158 0abc 0001 009e 40 Y 1b 87 57 4e 45 54 00 00 00 00 00 00 00 00 00 00\n");
  Write("scan_results", 1, "\n\n159 0001 0001 009f 00 N 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
}

}  // namespace

void vyxseeds::WriteSeed(const std::string& target, const std::string& name, const std::string& bytes) {
  std::string dir = gOut + "/" + target;
  mkdir(dir.c_str(), 0755);
  std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
}

std::string vyxseeds::TarArchive(const std::string& name, const std::string& body, int fault,
                                 const std::string& sizeField) {
  std::string header(512, '\0');
  auto put = [&header](size_t at, const std::string& text) { header.replace(at, text.size(), text); };
  char octal[16];
  put(0, name.substr(0, 99));
  put(100, "0000644");
  put(108, "0000000");
  put(116, "0000000");
  snprintf(octal, sizeof(octal), "%011o", static_cast<unsigned>(fault == 3 ? body.size() + 4096 : body.size()));
  put(124, sizeField.empty() ? std::string(octal) : sizeField);
  put(136, "14000000000");
  header[156] = '0';
  put(257, "ustar");
  put(263, "00");
  put(148, "        ");
  unsigned sum = 0;
  for (char c : header) sum += static_cast<unsigned char>(c);
  if (fault == 1) sum += 1;
  snprintf(octal, sizeof(octal), "%06o", sum);
  put(148, octal);
  header[154] = '\0';
  std::string out = header + body + std::string((512 - body.size() % 512) % 512, '\0');
  if (fault != 2) out += std::string(1024, '\0');
  return out;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: fuzz_seeds OUTDIR SAMPLES_DIR HUFFMAN_VECTORS\n");
    return 2;
  }
  gOut = argv[1];
  mkdir(gOut.c_str(), 0755);
  FilterSeeds(argv[2]);
  SectionSeeds(argv[2]);
  HuffmanSeeds(argv[3]);
  CommandSeeds();
  GuideTargetSeeds();
  K720Seeds();
  SnmpSeeds();
  UpgradeSeeds();
  ScanResultSeeds();
  vyxseeds::TsSeeds(argv[2]);
  vyxseeds::TunerCommandSeeds(argv[2]);
  vyxseeds::ServiceSeeds(argv[2]);
  return 0;
}
