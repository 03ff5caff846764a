// ATSC PSIP sections for tests (MGT, TVCT, STT, EIT, ETT, multiple string
// structures) and a Huffman encoder made from the published decode trees.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <algorithm>
#include <map>
#include <sstream>

#include "tsfixture.h"

#ifndef VYX_DATA_DIR
#error "VYX_DATA_DIR must name tests/data/huffman"
#endif

namespace tsfix {

namespace {

void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<uint8_t>(v >> 8));
  b.push_back(static_cast<uint8_t>(v));
}
void Put32(Bytes& b, uint32_t v) {
  Put16(b, v >> 16);
  Put16(b, v & 0xFFFF);
}

// ---- the encoder's code tables ----

using Code = std::string;  // '0' and '1', first bit first

struct Trees {
  bool ok = false;
  Bytes bytes[3];                     // [1] titles, [2] descriptions
  std::map<int, Code> codes[3][128];  // per table, per context: character -> code
};

void Walk(const Bytes& t, unsigned offset, unsigned node, const Code& prefix,
          std::map<int, Code>& out, int depth) {
  if (depth > 64) return;
  for (int bit = 0; bit < 2; ++bit) {
    size_t at = offset + 2 * node + static_cast<unsigned>(bit);
    if (at >= t.size()) return;
    uint8_t v = t[at];
    Code c = prefix + static_cast<char>('0' + bit);
    if (v & 0x80) {
      out.emplace(v & 0x7F, c);
    } else {
      Walk(t, offset, v, c, out, depth + 1);
    }
  }
}

const Trees& LoadTrees() {
  static Trees trees;
  static bool loaded = false;
  if (loaded) return trees;
  loaded = true;
  std::ifstream in(std::string(VYX_DATA_DIR) + "/atsc_huffman_tables.txt");
  std::string line;
  int table = 0;
  while (std::getline(in, line)) {
    if (line.rfind("# table ", 0) == 0) {
      table = atoi(line.c_str() + 8);
      continue;
    }
    if (line.empty() || line[0] == '#' || table < 1 || table > 2) continue;
    std::istringstream hex(line);
    std::string byte;
    while (hex >> byte) trees.bytes[table].push_back(static_cast<uint8_t>(strtoul(byte.c_str(), nullptr, 16)));
  }
  trees.ok = trees.bytes[1].size() >= 256 && trees.bytes[2].size() >= 256;
  if (!trees.ok) return trees;
  for (int t = 1; t <= 2; ++t) {
    for (int ctx = 0; ctx < 128; ++ctx) {
      const Bytes& b = trees.bytes[t];
      unsigned offset = (static_cast<unsigned>(b[2 * ctx]) << 8) | b[2 * ctx + 1];
      Walk(b, offset, 0, "", trees.codes[t][ctx], 0);
    }
  }
  return trees;
}

// True when `bits` walked from the root of the context's tree end inside it
// (no character decoded).
bool DecodesToNothing(const Bytes& t, int ctx, const Code& bits) {
  unsigned offset = (static_cast<unsigned>(t[2 * ctx]) << 8) | t[2 * ctx + 1];
  unsigned node = 0;
  for (char c : bits) {
    uint8_t v = t[offset + 2 * node + static_cast<unsigned>(c - '0')];
    if (v & 0x80) return false;
    node = v;
  }
  return true;
}

}  // namespace

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

bool ReadHuffmanVectors(std::vector<HuffmanVector>* out) {
  out->clear();
  std::ifstream in(std::string(VYX_DATA_DIR) + "/atsc_huffman_vectors.txt");
  if (!in.good()) return false;
  for (std::string line; std::getline(in, line);) {
    if (line.empty()) continue;
    size_t space = line.find(' ');
    size_t tab = line.find('\t');
    if (space == std::string::npos || tab == std::string::npos || tab < space) return false;
    out->push_back({std::stoi(line.substr(0, space)), FromHex(line.substr(space + 1, tab - space - 1)),
                    line.substr(tab + 1), line});
  }
  return true;
}

Bytes HuffmanEncode(const std::string& text, int table) {
  const Trees& trees = LoadTrees();
  if (!trees.ok || table < 1 || table > 2) return Bytes();
  const int kEscape = 27;
  Code bits;
  int ctx = 0;
  for (unsigned char ch : text) {
    const std::map<int, Code>& codes = trees.codes[table][ctx];
    auto it = codes.find(ch);
    if (ch != 0 && ch != kEscape && ch < 128 && it != codes.end()) {
      bits += it->second;
    } else {
      bits += codes.at(kEscape);
      for (int i = 7; i >= 0; --i) bits += static_cast<char>('0' + ((ch >> i) & 1));
    }
    ctx = ch & 0x7F;
  }
  const std::map<int, Code>& last = trees.codes[table][ctx];
  size_t pad;
  auto end = last.find(0);
  if (end != last.end()) {
    bits += end->second;
    pad = (8 - bits.size() % 8) % 8;
    bits += Code(pad, '0');
  } else {
    // No end character in this tree: the string ends with the bytes, and
    // the padding must not decode to one more character.  Zeros where they
    // stay inside the tree, else the start of the escape code (an escape
    // without its 8 bits decodes to nothing).
    pad = (8 - bits.size() % 8) % 8;
    Code zeros(pad, '0');
    if (DecodesToNothing(trees.bytes[table], ctx, zeros)) {
      bits += zeros;
    } else {
      const Code& esc = last.at(kEscape);
      Code p = esc.substr(0, pad);
      if (p.size() < pad) p += Code(pad - p.size(), '0');
      bits += p;
    }
  }
  Bytes out;
  for (size_t i = 0; i + 8 <= bits.size(); i += 8) {
    uint8_t v = 0;
    for (size_t k = 0; k < 8; ++k) v = static_cast<uint8_t>((v << 1) | (bits[i + k] - '0'));
    out.push_back(v);
  }
  return out;
}

Bytes MakePsipSection(uint8_t tableId, uint16_t tableIdExtension, uint8_t version,
                      uint8_t sectionNo, uint8_t lastSectionNo, const Bytes& body) {
  Bytes s = MakeSection(tableId, tableIdExtension, version, true, sectionNo, lastSectionNo, body);
  s[1] |= 0x70;  // private_indicator and the reserved bits
  FixCrc(s);
  return s;
}

TvctChannel Channel(const std::string& shortName, unsigned major, unsigned minor, unsigned channelTsid,
                    unsigned program, unsigned sourceId) {
  TvctChannel c;
  c.shortName = shortName;
  c.major = static_cast<uint16_t>(major);
  c.minor = static_cast<uint16_t>(minor);
  c.channelTsid = static_cast<uint16_t>(channelTsid);
  c.program = static_cast<uint16_t>(program);
  c.sourceId = static_cast<uint16_t>(sourceId);
  return c;
}

std::vector<MgtTable> GuideMgtTables(int windows, bool channelEtt) {
  std::vector<MgtTable> tables;
  auto table = [&tables](unsigned type, unsigned pid) {
    MgtTable t;
    t.tableType = static_cast<uint16_t>(type);
    t.pid = static_cast<uint16_t>(pid);
    tables.push_back(t);
  };
  table(0x0000, 0x1FFB);
  if (channelEtt) table(0x0004, 0x1A04);
  for (int n = 0; n < windows && n < 128; ++n) {
    table(0x0100u + n, 0x1D00u + n);
    table(0x0200u + n, 0x1E00u + n);
  }
  return tables;
}

Bytes MakeMgt(const std::vector<MgtTable>& tables, uint8_t version, int tablesDefinedOverride) {
  Bytes body = {0x00};  // protocol_version
  Put16(body, tablesDefinedOverride >= 0 ? static_cast<unsigned>(tablesDefinedOverride)
                                         : static_cast<unsigned>(tables.size()));
  for (const MgtTable& t : tables) {
    Put16(body, t.tableType);
    Put16(body, 0xE000u | (t.pid & 0x1FFF));
    body.push_back(static_cast<uint8_t>(0xE0 | (t.version & 0x1F)));
    Put32(body, t.numberBytes);
    size_t dl = t.descriptorsLengthOverride >= 0 ? static_cast<size_t>(t.descriptorsLengthOverride)
                                                 : t.descriptors.size();
    Put16(body, 0xF000u | (dl & 0x0FFF));
    Append(body, t.descriptors);
  }
  Put16(body, 0xF000u);  // descriptors_length 0
  return MakePsipSection(0xC7, 0x0000, version, 0, 0, body);
}

Bytes MakeTvct(uint16_t tsid, uint8_t version, const std::vector<TvctChannel>& channels) {
  Bytes body = {0x00, static_cast<uint8_t>(channels.size())};
  for (const TvctChannel& c : channels) {
    for (int i = 0; i < 7; ++i) {
      body.push_back(0);
      body.push_back(i < static_cast<int>(c.shortName.size()) ? static_cast<uint8_t>(c.shortName[i]) : 0);
    }
    body.push_back(static_cast<uint8_t>(0xF0 | ((c.major >> 6) & 0x0F)));
    body.push_back(static_cast<uint8_t>(((c.major & 0x3F) << 2) | ((c.minor >> 8) & 0x03)));
    body.push_back(static_cast<uint8_t>(c.minor & 0xFF));
    body.push_back(c.modulation);
    Put32(body, c.carrier);
    Put16(body, c.channelTsid);
    Put16(body, c.program);
    body.push_back(0x0D);  // ETM_location 0, access controlled 0, hidden 0, reserved, hide_guide 0
    body.push_back(static_cast<uint8_t>(0xC0 | (c.serviceType & 0x3F)));
    Put16(body, c.sourceId);
    Put16(body, 0xFC00u);  // descriptors_length 0
  }
  Put16(body, 0xFC00u);  // additional_descriptors_length 0
  return MakePsipSection(0xC8, tsid, version, 0, 0, body);
}

Bytes MakeStt(uint32_t systemTime, uint8_t gpsUtcOffset, uint16_t daylightSavings) {
  Bytes body = {0x00};
  Put32(body, systemTime);
  body.push_back(gpsUtcOffset);
  Put16(body, daylightSavings);
  return MakePsipSection(0xCD, 0x0000, 0, 0, 0, body);
}

Bytes MakeMss(const std::vector<MultipleString>& strings) {
  Bytes b = {static_cast<uint8_t>(strings.size())};
  for (const MultipleString& s : strings) {
    for (int i = 0; i < 3; ++i) b.push_back(i < static_cast<int>(s.language.size()) ? static_cast<uint8_t>(s.language[i]) : ' ');
    b.push_back(static_cast<uint8_t>(s.segments.size()));
    for (const StringSegment& g : s.segments) {
      b.push_back(g.compression);
      b.push_back(g.mode);
      b.push_back(static_cast<uint8_t>(g.numberBytesOverride >= 0 ? g.numberBytesOverride : static_cast<int>(g.bytes.size())));
      Append(b, g.bytes);
    }
  }
  return b;
}

Bytes PlainMss(const std::string& text, uint8_t mode) {
  return MakeMss({{"eng", {{0, mode, Bytes(text.begin(), text.end())}}}});
}

Bytes HuffmanMss(const std::string& text, uint8_t compression) {
  return MakeMss({{"eng", {{compression, 0, HuffmanEncode(text, compression)}}}});
}

Bytes MakeEit(uint16_t sourceId, uint8_t version, uint8_t sectionNo, uint8_t lastSectionNo,
              const std::vector<EitEvent>& events, int numEventsOverride) {
  Bytes body = {0x00, static_cast<uint8_t>(numEventsOverride >= 0 ? numEventsOverride
                                                                  : static_cast<int>(events.size()))};
  for (const EitEvent& e : events) {
    Put16(body, 0xC000u | (e.eventId & 0x3FFF));
    Put32(body, e.startTime);
    body.push_back(static_cast<uint8_t>(0xC0 | ((e.etmLocation & 3) << 4) | ((e.lengthInSeconds >> 16) & 0x0F)));
    Put16(body, e.lengthInSeconds & 0xFFFF);
    body.push_back(static_cast<uint8_t>(e.titleLengthOverride >= 0 ? e.titleLengthOverride : static_cast<int>(e.title.size())));
    Append(body, e.title);
    size_t dl = e.descriptorsLengthOverride >= 0 ? static_cast<size_t>(e.descriptorsLengthOverride)
                                                 : e.descriptors.size();
    Put16(body, 0xF000u | (dl & 0x0FFF));
    Append(body, e.descriptors);
  }
  return MakePsipSection(0xCB, sourceId, version, sectionNo, lastSectionNo, body);
}

std::vector<Bytes> MakeEitSections(uint16_t sourceId, uint8_t version,
                                   const std::vector<EitEvent>& events, size_t perSection) {
  if (perSection == 0) perSection = 1;
  size_t count = (events.size() + perSection - 1) / perSection;
  if (count == 0) count = 1;
  std::vector<Bytes> out;
  for (size_t i = 0; i < count; ++i) {
    size_t from = i * perSection;
    size_t to = std::min(events.size(), from + perSection);
    std::vector<EitEvent> part(events.begin() + static_cast<long>(std::min(from, events.size())),
                               events.begin() + static_cast<long>(to));
    out.push_back(MakeEit(sourceId, version, static_cast<uint8_t>(i), static_cast<uint8_t>(count - 1), part));
  }
  return out;
}

Bytes MakeEtt(uint32_t etmId, uint8_t version, const Bytes& message, uint16_t tableIdExtension) {
  Bytes body = {0x00};
  Put32(body, etmId);
  Append(body, message);
  return MakePsipSection(0xCC, tableIdExtension, version, 0, 0, body);
}

Bytes SegmentedMss(const std::string& text, uint8_t mode) {
  MultipleString s{"eng", {}};
  for (size_t at = 0; at < text.size(); at += 255) {
    std::string part = text.substr(at, 255);
    s.segments.push_back({0, mode, Bytes(part.begin(), part.end())});
  }
  return MakeMss({s});
}

Bytes HuffmanSegmentedMss(const std::string& text, uint8_t compression) {
  MultipleString s{"eng", {}};
  for (size_t at = 0; at < text.size();) {
    // The longest run of characters that codes into one segment.
    size_t n = std::min<size_t>(text.size() - at, 400);
    Bytes coded = HuffmanEncode(text.substr(at, n), compression);
    while (coded.size() > 255 && n > 1) coded = HuffmanEncode(text.substr(at, --n), compression);
    s.segments.push_back({compression, 0, coded});
    at += n;
  }
  return MakeMss({s});
}

bool GuideMux::Coded(int ch, int ev) const { return huffman && huffman(ch, ev); }

Bytes GuideMux::Build() const {
  PsipStream s;
  std::vector<PatEntry> pat;
  std::vector<TvctChannel> vct;
  for (int ch = 0; ch < channels; ++ch) {
    const uint16_t prog = static_cast<uint16_t>(ch + 1);
    pat.push_back({prog, static_cast<uint16_t>(0x30 + prog)});
    vct.push_back(Channel("CH" + std::to_string(prog), 30, prog, tsid, prog, sourceBase + prog));
  }
  s.Add(0x0000, MakePat(tsid, version, pat));
  for (const PatEntry& e : pat)
    s.Add(e.pid, MakePmt(e.program, 0x100, version,
                         {{0x02, static_cast<uint16_t>(0x100 + e.program), {}}}));
  const uint32_t base = firstStart - firstStart % 10800;
  const uint32_t last = firstStart + static_cast<uint32_t>(events) * eventSeconds;
  const int windows = static_cast<int>((last - base + 10799) / 10800);
  s.AddPacked(0x1FFB, {MakeMgt(GuideMgtTables(windows, true), version), MakeTvct(tsid, version, vct),
                       MakeStt(now, gpsUtcOffset)});
  for (int n = 0; n < windows && n < 128; ++n) {
    for (int ch = 0; ch < channels; ++ch) {
      const uint16_t source = static_cast<uint16_t>(sourceBase + ch + 1);
      std::vector<EitEvent> inWindow;
      std::vector<Bytes> texts;
      for (int ev = 0; ev < events; ++ev) {
        const uint32_t start = firstStart + static_cast<uint32_t>(ev) * eventSeconds;
        if (static_cast<int>((start - base) / 10800) != n) continue;
        const bool coded = Coded(ch, ev);
        const std::string t = title ? title(ch, ev) : std::string();
        const uint16_t id = static_cast<uint16_t>(firstEventId + ev);
        inWindow.push_back(Event(id, start, eventSeconds, coded ? HuffmanMss(t, 1) : PlainMss(t)));
        const std::string d = text ? text(ch, ev) : std::string();
        if (!d.empty())
          texts.push_back(MakeEtt(EventEtmId(source, id), version,
                                  coded ? HuffmanSegmentedMss(d, 2) : SegmentedMss(d)));
      }
      if (inWindow.empty()) continue;
      s.Add(static_cast<uint16_t>(0x1D00 + n), MakeEit(source, version, 0, 0, inWindow));
      for (const Bytes& ett : texts) s.Add(static_cast<uint16_t>(0x1E00 + n), ett);
    }
  }
  for (int ch = 0; ch < channels && longName; ++ch) {
    const std::string name = longName(ch);
    if (!name.empty())
      s.Add(0x1A04, MakeEtt(ChannelEtmId(static_cast<uint16_t>(sourceBase + ch + 1)), version,
                            PlainMss(name)));
  }
  return s.Build();
}

Bytes PsipStream::Build(int loops) const {
  std::map<uint16_t, PsiPacketizer> packetizers;
  Bytes out;
  for (int l = 0; l < loops; ++l) {
    for (const auto& item : mItems) {
      auto it = packetizers.find(item.first);
      if (it == packetizers.end()) it = packetizers.emplace(item.first, PsiPacketizer(item.first, 1)).first;
      Append(out, Join(it->second.PacketizeMany(item.second)));
    }
  }
  return out;
}

}  // namespace tsfix
