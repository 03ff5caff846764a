// The rolling guide of a compressed week.  Both multiplexes have the same
// shape (4 virtual channels, 30-minute events with descriptions of 200 to
// 400 bytes, every other one Huffman-coded) but their own transport ids,
// source ids and texts, so a guide kept from the other multiplex shows.

#include "tsfixture_week.h"

#include <cstdio>
#include <map>
#include <vector>

namespace tsfix {
namespace week {
namespace {


const uint32_t kGpsUtcOffset = 18;
// The week starts at 00:00 UTC of MJD 61000 (2025-11-21).
const uint32_t kWeekStartUnix = (61000u - 40587u) * 86400u;
const uint32_t kUnixToGps = 315964800u;  // 1980-01-06 in Unix seconds

uint16_t Tsid(int mux) { return static_cast<uint16_t>(mux == 0 ? 0x0A01 : 0x0B02); }
uint16_t Source(int mux, int ch) { return static_cast<uint16_t>((mux == 0 ? 1 : 11) + ch); }
uint16_t VideoPid(int ch) { return static_cast<uint16_t>(0x100 + ch * 0x10); }
uint16_t AudioPid(int ch, int track) { return static_cast<uint16_t>(0x101 + ch * 0x10 + track); }
uint32_t Gps(uint32_t unix) { return unix - kUnixToGps + kGpsUtcOffset; }

// Event `slot` (half hours from the week's start) of a channel: its id is the
// slot, stable across the windows and versions that carry it.
WeekEvent EventAt(int mux, int ch, int slot) {
  static const char* kWords[] = {"news", "weather", "garden", "river", "city", "market",
                                 "music", "science", "history", "travel", "sport", "kitchen"};
  WeekEvent e;
  e.id = static_cast<uint16_t>(1 + slot);
  e.start = kWeekStartUnix + static_cast<uint32_t>(slot) * kEventMinutes * 60;
  char title[64];
  snprintf(title, sizeof(title), "%s %d Show %d", mux == 0 ? "North" : "South", ch + 1, slot);
  e.title = title;
  uint32_t seed = static_cast<uint32_t>(mux * 7919 + ch * 104729 + slot * 31);
  size_t want = 200 + (seed * 2654435761u >> 8) % 201;
  e.text = std::string(title) + ".";
  for (uint32_t k = seed; e.text.size() < want; k = k * 1103515245u + 12345u)
    e.text += std::string(" ") + kWords[(k >> 16) % 12];
  e.text.resize(want);
  e.coded = (slot + ch) % 2 == 0;
  return e;
}

int SlotOfHour(int hour) { return hour * 60 / kEventMinutes; }
// First event slot of EIT-0: the start of the 3-hour window holding `hour`.
int FirstSlot(int hour) { return SlotOfHour(hour - hour % 3); }

void AddPmts(PsipStream& s, int hour) {
  const uint8_t version = static_cast<uint8_t>(hour & 0x1F);
  for (int ch = 0; ch < kChannels; ++ch) {
    std::vector<EsEntry> es;
    es.push_back({0x02, VideoPid(ch), {}});
    es.push_back({0x81, AudioPid(ch, 0), {LanguageDescriptor({{"eng", 0}})}});
    if (hour % 2 == 1) es.push_back({0x81, AudioPid(ch, 1), {LanguageDescriptor({{"spa", 0}})}});
    s.Add(static_cast<uint16_t>(0x31 + ch), MakePmt(static_cast<uint16_t>(ch + 1), VideoPid(ch), version, es));
  }
}

void AddBase(PsipStream& s, int mux, int hour) {
  std::vector<PatEntry> pat;
  std::vector<TvctChannel> vct;
  for (int ch = 0; ch < kChannels; ++ch) {
    const uint16_t prog = static_cast<uint16_t>(ch + 1);
    pat.push_back({prog, static_cast<uint16_t>(0x31 + ch)});
    vct.push_back(Channel(std::string(mux == 0 ? "NORTH" : "SOUTH") + std::to_string(prog), mux == 0 ? 40 : 41,
                          prog, Tsid(mux), prog, Source(mux, ch)));
  }
  s.Add(0x0000, MakePat(Tsid(mux), 1, pat));
  AddPmts(s, hour);
  const uint8_t version = static_cast<uint8_t>((hour / 3) & 0x1F);
  const uint32_t now = kWeekStartUnix + static_cast<uint32_t>(hour) * 3600u;
  s.AddPacked(0x1FFB, {MakeMgt(GuideMgtTables(kWindows, false), version), MakeTvct(Tsid(mux), 1, vct),
                       MakeStt(Gps(now), kGpsUtcOffset)});
}

// EIT-n and ETT-n of every channel: window n covers 3 hours from EIT-0's slot.
void AddWindows(PsipStream& s, int mux, int hour) {
  const uint8_t version = static_cast<uint8_t>((hour / 3) & 0x1F);
  const int perWindow = 180 / kEventMinutes;
  for (int n = 0; n < kWindows; ++n) {
    for (int ch = 0; ch < kChannels; ++ch) {
      std::vector<EitEvent> events;
      std::vector<Bytes> texts;
      for (int k = 0; k < perWindow; ++k) {
        WeekEvent e = EventAt(mux, ch, FirstSlot(hour) + n * perWindow + k);
        events.push_back(Event(e.id, Gps(e.start), kEventMinutes * 60,
                                      e.coded ? HuffmanMss(e.title, 1) : PlainMss(e.title)));
        texts.push_back(MakeEtt(EventEtmId(Source(mux, ch), e.id), version,
                                       e.coded ? HuffmanSegmentedMss(e.text, 2) : SegmentedMss(e.text)));
      }
      s.Add(static_cast<uint16_t>(0x1D00 + n), MakeEit(Source(mux, ch), version, 0, 0, events));
      for (const Bytes& t : texts) s.Add(static_cast<uint16_t>(0x1E00 + n), t);
    }
  }
}

// Appends continuation packets of stuffing until every PID's count is a
// multiple of 16 (the packetizer starts each PID's counter at 1).
void PadContinuity(Bytes& ts) {
  std::map<uint16_t, int> count;
  for (size_t off = 0; off + 188 <= ts.size(); off += 188)
    count[static_cast<uint16_t>(((ts[off + 1] & 0x1F) << 8) | ts[off + 2])]++;
  for (const auto& pc : count) {
    for (int k = pc.second; k % 16 != 0; ++k) {
      uint8_t stuffing[184];
      for (uint8_t& b : stuffing) b = 0xFF;
      Append(ts, MakePacket(pc.first, false, static_cast<uint8_t>((1 + k) & 0x0F), stuffing, 184));
    }
  }
}

}  // namespace

uint32_t HourTime(int hour) { return kWeekStartUnix + static_cast<uint32_t>(hour) * 3600u; }
uint16_t TransportId(int mux) { return Tsid(mux); }

std::vector<WeekEvent> HourEvents(int mux, int hour, int ch) {
  std::vector<WeekEvent> out;
  for (int k = 0; k < kWindows * 180 / kEventMinutes; ++k) out.push_back(EventAt(mux, ch, FirstSlot(hour) + k));
  return out;
}

Bytes HourStream(int mux, int hour) {
  PsipStream s;
  AddBase(s, mux, hour);
  AddWindows(s, mux, hour);
  Bytes tables = s.Build();
  PadContinuity(tables);
  // The elementary streams: 48 video and 16 audio packets per channel, spread
  // between the tables' packets.
  std::vector<Bytes> media;
  for (int k = 0; k < 48; ++k) {
    for (int ch = 0; ch < kChannels; ++ch) {
      const uint8_t cc = static_cast<uint8_t>(k & 0x0F);
      media.push_back(MakeDataPacket(VideoPid(ch), cc));
      if (k % 3 == 0) {
        const uint8_t acc = static_cast<uint8_t>((k / 3) & 0x0F);
        media.push_back(MakeDataPacket(AudioPid(ch, 0), acc));
        if (hour % 2 == 1) media.push_back(MakeDataPacket(AudioPid(ch, 1), acc));
      }
    }
  }
  const size_t tablePackets = tables.size() / 188;
  Bytes out;
  size_t m = 0;
  for (size_t t = 0; t < tablePackets; ++t) {
    out.insert(out.end(), tables.begin() + static_cast<long>(t * 188), tables.begin() + static_cast<long>(t * 188 + 188));
    for (size_t due = (t + 1) * media.size() / tablePackets; m < due; ++m) Append(out, media[m]);
  }
  return out;
}

namespace {

std::string JsonText(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string HourManifest(int mux, int hour) {
  const uint32_t now = HourTime(hour);
  std::string j = "{\"mux\": " + std::to_string(mux) + ", \"hour\": " + std::to_string(hour) +
                  ", \"stt\": " + std::to_string(now) + ", \"transport_id\": " + std::to_string(Tsid(mux)) +
                  ", \"programs\": [";
  for (int ch = 0; ch < kChannels; ++ch) {
    j += std::string(ch ? ", " : "") + "{\"program\": " + std::to_string(ch + 1) + ", \"events\": [";
    bool first = true;
    for (const WeekEvent& e : HourEvents(mux, hour, ch)) {
      j += std::string(first ? "" : ", ") + "{\"id\": " + std::to_string(e.id) + ", \"start\": " +
           std::to_string(e.start) + ", \"minutes\": " + std::to_string(kEventMinutes) +
           ", \"title\": " + JsonText(e.title) + ", \"description\": " + JsonText(e.text) + "}";
      first = false;
    }
    j += "]}";
  }
  return j + "]}\n";
}

}  // namespace week
}  // namespace tsfix
