// Writes the generated ATSC guide streams of the end-to-end tests and the
// demo's band.
//
//   make_guide_stream huffman OUT.ts
//   make_guide_stream hostile OUT.ts
//   make_guide_stream week OUT.ts MUX HOUR [MANIFEST.json]
//
// Both carry a PAT, two PMTs, an MGT naming EIT-0..3 and the ETT PIDs, a
// TVCT (programs 1 and 2 with source_ids 1 and 2) and an STT at
// 1300003248 GPS seconds with 18 leap seconds (MJD 0xe79a, 08:00:30 UTC).
// "huffman": events over EIT-0..3 in several sections with Huffman-coded
// titles (compression 1), descriptions in ETTs (compression 2 and plain),
// an event's ETT ahead of its EIT, and a channel ETT.  "hostile": lying
// lengths and counts, a Huffman segment of random bits, 255 events in one
// section and an ETT of nearly 4 KB of non-plain text.  The sequence repeats 16
// times, so every PID's continuity comes back to its start when the player
// loops the file.
// "week": one hour of the rolling guide of scripts/week.sh
// (platform/tsfixture/tsfixture_week.h), written to OUT.ts.new and renamed
// over OUT.ts, so that a tuner feeding the file meets either the old hour or
// the new one whole; MANIFEST.json gets what the hour announces.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tsfixture.h"
#include "tsfixture_week.h"

using tsfix::Bytes;

namespace {

const uint16_t kTsid = 0x0101;
const uint32_t kGpsUtcOffset = 18;
// 08:00:30 UTC on MJD 0xe79a (59290).
const uint32_t kDayStartUtc = (59290u - 44244u) * 86400u;
const uint32_t kNowGps = kDayStartUtc + 8 * 3600 + 30 + kGpsUtcOffset;

uint32_t At(int hour, int minute) {
  return kDayStartUtc + static_cast<uint32_t>(hour * 3600 + minute * 60) + kGpsUtcOffset;
}

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

void AddBase(tsfix::PsipStream& ts, const std::vector<tsfix::MgtTable>& extra) {
  ts.Add(0x0000, tsfix::MakePat(kTsid, 1, {{1, 0x0031}, {2, 0x0032}}));
  for (uint16_t prog = 1; prog <= 2; ++prog) {
    std::vector<tsfix::EsEntry> es;
    es.push_back({0x02, static_cast<uint16_t>(0x0040 + prog * 2), {}});
    es.push_back({0x81, static_cast<uint16_t>(0x0041 + prog * 2), {tsfix::LanguageDescriptor({{"eng", 0}})}});
    ts.Add(static_cast<uint16_t>(0x0030 + prog), tsfix::MakePmt(prog, static_cast<uint16_t>(0x0040 + prog * 2), 1, es));
  }
  std::vector<tsfix::MgtTable> tables;
  auto table = [&](uint16_t type, uint16_t pid) {
    tsfix::MgtTable t;
    t.tableType = type;
    t.pid = pid;
    tables.push_back(t);
  };
  table(0x0000, 0x1FFB);
  for (uint16_t k = 0; k < 4; ++k) table(static_cast<uint16_t>(0x0100 + k), static_cast<uint16_t>(0x1D00 + k));
  table(0x0200, 0x1E00);
  table(0x0004, 0x1A04);
  tables.insert(tables.end(), extra.begin(), extra.end());
  ts.Add(0x1FFB, tsfix::MakeMgt(tables, 1));
  ts.Add(0x1FFB, tsfix::MakeTvct(kTsid, 1,
                                 {{"GUIDE-1", 20, 1, kTsid, 1, 1}, {"GUIDE-2", 20, 2, kTsid, 2, 2}}));
  ts.Add(0x1FFB, tsfix::MakeStt(kNowGps, kGpsUtcOffset));
}

void Huffman(tsfix::PsipStream& ts) {
  AddBase(ts, {});
  // The first event's description comes ahead of its EIT.
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 101), 1,
                                tsfix::HuffmanMss("Headlines, weather and traffic.", 2)));
  std::vector<tsfix::EitEvent> eit0 = {
      tsfix::Event(101, At(7, 30), 3600, tsfix::HuffmanMss("Morning News", 1)),
      tsfix::Event(102, At(8, 30), 1800, tsfix::HuffmanMss("Cook ~ with [Ana] {live}", 1)),
      tsfix::Event(103, At(9, 0), 5400, tsfix::HuffmanMss("Movie: \"Q&A\" 2\x1b", 1)),
  };
  for (const Bytes& s : tsfix::MakeEitSections(1, 1, eit0, 2)) ts.Add(0x1D00, s);
  ts.Add(0x1D01, tsfix::MakeEit(1, 1, 0, 0, {tsfix::Event(104, At(10, 30), 3600, tsfix::HuffmanMss("Late Morning", 1))}));
  ts.Add(0x1D02, tsfix::MakeEit(1, 1, 0, 0, {tsfix::Event(105, At(11, 30), 1800, tsfix::PlainMss("Noon Brief"))}));
  ts.Add(0x1D03, tsfix::MakeEit(1, 1, 0, 0, {tsfix::Event(106, At(12, 0), 7200, tsfix::HuffmanMss("Afternoon Matinee", 1))}));
  // Program 2: plain titles, one Huffman description.
  ts.Add(0x1D00, tsfix::MakeEit(2, 1, 0, 0,
                                {tsfix::Event(201, At(7, 0), 7200, tsfix::PlainMss("Kids Block")),
                                 tsfix::Event(202, At(9, 0), 3600, tsfix::PlainMss("Science Hour"))}));
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 102), 1, tsfix::PlainMss("Pasta, plain text.")));
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 103), 1,
                                tsfix::HuffmanMss("A film about questions; 1999 (R).", 2)));
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(2, 202), 1,
                                tsfix::HuffmanMss("Volcanoes & oceans!", 2)));
  ts.Add(0x1A04, tsfix::MakeEtt(tsfix::ChannelEtmId(1), 1, tsfix::HuffmanMss("Guide Channel One", 2)));
}

void Hostile(tsfix::PsipStream& ts) {
  AddBase(ts, {});
  uint32_t seed = 2024;
  auto random = [&](size_t n) {
    Bytes b(n);
    for (uint8_t& x : b) {
      seed = seed * 1103515245u + 12345u;
      x = static_cast<uint8_t>(seed >> 16);
    }
    return b;
  };
  // A title of random Huffman bits, and an ETT of random description bits
  // (ahead of the 255 events: the guide keeps 100 events per program).
  ts.Add(0x1D00, tsfix::MakeEit(1, 1, 0, 2,
                                {tsfix::Event(7, At(23, 0), 300,
                                              tsfix::MakeMss({{"eng", {{1, 0, random(240)}}}}))}));
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 7), 1, tsfix::MakeMss({{"eng", {{2, 0, random(255)}, {1, 0, random(255)}}}})));
  // 255 events of one section, without titles, every 10 minutes from 07:50.
  std::vector<tsfix::EitEvent> many;
  for (int i = 0; i < 255; ++i)
    many.push_back(tsfix::Event(static_cast<uint16_t>(1000 + i), At(7, 50) + 600u * static_cast<uint32_t>(i), 600, Bytes()));
  ts.Add(0x1D01, tsfix::MakeEit(1, 1, 0, 0, many));
  // Counts and lengths past the end.
  tsfix::EitEvent lying = tsfix::Event(8, At(6, 0), 60, tsfix::PlainMss("Cut"));
  lying.titleLengthOverride = 250;
  ts.Add(0x1D00, tsfix::MakeEit(1, 1, 1, 2, {lying}, 200));
  tsfix::EitEvent longDesc = tsfix::Event(9, At(5, 0), 60, tsfix::PlainMss("Long"));
  longDesc.descriptorsLengthOverride = 0xFFF;
  ts.Add(0x1D00, tsfix::MakeEit(1, 1, 2, 2, {longDesc}));
  Bytes overlong = tsfix::MakeMss({{"eng", {{0, 0, Str("x"), 255}}}, {"eng", {{2, 0, random(10), 200}}}});
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 1000), 1, overlong));
  // Nearly 4 KB of non-plain text (as much as an ETT section holds) for the
  // event playing at 08:00 and for the channel, in 15 segments of 255 bytes.
  std::vector<tsfix::StringSegment> segments;
  for (int i = 0; i < 15; ++i) segments.push_back({0, 0x3F, random(255)});
  ts.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(1, 1001), 1, tsfix::MakeMss({{"eng", segments}})));
  ts.Add(0x1A04, tsfix::MakeEtt(tsfix::ChannelEtmId(1), 1, tsfix::MakeMss({{"eng", segments}})));
  // A section whose section_length runs past what is sent before the next
  // section starts on its PID, and junk table ids.
  Bytes cut = tsfix::MakeEit(2, 1, 0, 0, {tsfix::Event(3, At(8, 0), 60, tsfix::PlainMss("Never"))});
  cut[1] = 0xFF;
  cut[2] = 0xFD;
  ts.Add(0x1D02, cut);
  ts.Add(0x1D02, tsfix::MakeEit(2, 1, 0, 0, {tsfix::Event(4, At(8, 0), 3600, tsfix::PlainMss("After the cut"))}));
  Bytes junk = random(180);
  junk[0] = 0xCB;
  junk[1] = 0xF0;
  junk[2] = 177;
  tsfix::FixCrc(junk);
  ts.Add(0x1D03, junk);
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* fp = fopen(path.c_str(), "wb");
  if (fp == nullptr) return false;
  bool ok = fwrite(data, 1, size, fp) == size;
  return fclose(fp) == 0 && ok;
}

// Written beside and renamed over, so a reader never sees half a file.
bool Replace(const std::string& path, const void* data, size_t size) {
  const std::string tmp = path + ".new";
  return WriteFile(tmp, data, size) && rename(tmp.c_str(), path.c_str()) == 0;
}

int Week(int argc, char** argv) {
  int mux = argc > 3 ? atoi(argv[3]) : -1;
  int hour = argc > 4 ? atoi(argv[4]) : -1;
  if (argc < 5 || argc > 6 || (mux != 0 && mux != 1) || hour < 0 || hour > 24 * 366) {
    fprintf(stderr, "usage: %s week OUT.ts MUX(0|1) HOUR [MANIFEST.json]\n", argv[0]);
    return 2;
  }
  Bytes ts = tsfix::week::HourStream(mux, hour);
  if (argc == 6) {
    std::string manifest = tsfix::week::HourManifest(mux, hour);
    if (!Replace(argv[5], manifest.data(), manifest.size())) {
      fprintf(stderr, "cannot write %s\n", argv[5]);
      return 1;
    }
  }
  if (!Replace(argv[2], ts.data(), ts.size())) {
    fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "week") == 0) return Week(argc, argv);
  if (argc != 3 || (strcmp(argv[1], "huffman") != 0 && strcmp(argv[1], "hostile") != 0)) {
    fprintf(stderr, "usage: %s huffman|hostile OUT.ts | week OUT.ts MUX HOUR [MANIFEST.json]\n", argv[0]);
    return 2;
  }
  tsfix::PsipStream ts;
  if (strcmp(argv[1], "huffman") == 0) {
    Huffman(ts);
  } else {
    Hostile(ts);
  }
  Bytes out = ts.Build(16);
  FILE* fp = fopen(argv[2], "wb");
  if (fp == nullptr || fwrite(out.data(), 1, out.size(), fp) != out.size()) {
    fprintf(stderr, "cannot write %s\n", argv[2]);
    if (fp != nullptr) fclose(fp);
    return 1;
  }
  fclose(fp);
  return 0;
}
