// Virtual channel tables: the real KULX and WNET captures through the packet
// loop, the virtual-channel fields kept with each program, and sections
// whose counts and lengths lie about what they hold.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "filter_fixture.h"

namespace {

using vyxtest::FindProgram;
using tsfix::Bytes;

Bytes ReadSample(const char* name) {
  return tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/" + name);
}

// First complete section with `tableId` on `pid` of a capture (sections
// start at a payload_unit_start packet with pointer_field 0 in these files).
Bytes FirstSection(const Bytes& ts, uint16_t pid, uint8_t tableId) {
  Bytes s;
  bool collecting = false;
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    const uint8_t* p = &ts[i];
    if ((((p[1] & 0x1F) << 8) | p[2]) != pid) continue;
    if (p[1] & 0x40) {
      const uint8_t* start = p + 5 + p[4];
      collecting = start[0] == tableId;
      s.assign(start, p + 188);
    } else if (collecting) {
      s.insert(s.end(), p + 4, p + 188);
    }
    if (collecting && s.size() >= 3) {
      size_t total = (((s[1] & 0x0F) << 8) | s[2]) + 3u;
      if (s.size() >= total) {
        s.resize(total);
        return s;
      }
    }
  }
  return Bytes();
}

// The short name as text: the low bytes of its seven UTF-16 code units.
std::string Name(const ScalProgramDesc* p) {
  std::string s;
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(0, p->channelShortName[2 * i]) << "code unit " << i << " beyond Latin-1";
    s += p->channelShortName[2 * i + 1];
  }
  return s;
}

struct Fixture : vyxtest::FilterFixture {
  Fixture() { f.FilterActive(true); }
  // The collector takes a PID's first packet as a continuity gap, so the
  // base PID is primed with a packet just before the capture's first; the
  // last packet of a buffer is analysed once the next one's sync byte
  // confirms it, so a null packet follows the capture.
  void Feed(Bytes data) {
    for (size_t i = 0; i + 188 <= data.size(); i += 188) {
      if ((((data[i + 1] & 0x1F) << 8) | data[i + 2]) != 0x1FFB) continue;
      uint8_t cc = static_cast<uint8_t>((data[i + 3] - 1) & 0x0F);
      Bytes primed = tsfix::MakeDataPacket(0x1FFB, cc, 0xFF);
      data.insert(data.begin(), primed.begin(), primed.end());
      break;
    }
    FilterWhole(data);
  }
};

// A section buffer with room behind it, as the collector hands them over.
struct SectionBuf {
  unsigned char b[1040];
  explicit SectionBuf(const Bytes& s) {
    memset(b, 0xEE, sizeof(b));
    memcpy(b, s.data(), std::min(s.size(), sizeof(b)));
  }
};

}  // namespace

TEST(Vct, WnetCaptureNamesNumbersAndSources) {
  Fixture fx;
  Bytes ts = ReadSample("atsc-wnet13-psip.ts");
  ASSERT_EQ(15792u, ts.size());
  fx.Feed(ts);
  ASSERT_EQ(3, fx.tm.GetScalProgramDesc(0)->count);
  struct Want {
    uint16_t prog;
    const char* name;
    uint16_t minor;
    uint16_t source;
  } want[] = {{3, "WNET-HD", 1, 1}, {4, "KIDS", 2, 2}, {5, "V-Me", 3, 3}};
  for (const Want& w : want) {
    ScalProgramDesc* p = FindProgram(fx.tm, w.prog);
    ASSERT_NE(nullptr, p) << w.prog;
    EXPECT_TRUE(p->mWasSet);
    EXPECT_EQ(13, p->channelMajorNo);
    EXPECT_EQ(w.minor, p->channelMinorNo);
    EXPECT_EQ(130 + w.minor, p->channelNo);
    EXPECT_EQ(w.source, p->sourceId);
    EXPECT_EQ(0x7DB, p->channelTsid);
    EXPECT_EQ(4, p->modulationMode);  // 8-VSB
    EXPECT_EQ(0u, p->channelFreq);
    std::string n = Name(p);
    // Shorter names are padded with zero code units in this capture.
    EXPECT_EQ(std::string(w.name), n.substr(0, strlen(w.name)));
    EXPECT_EQ(std::string(7 - strlen(w.name), '\0'), n.substr(strlen(w.name)));
    EXPECT_EQ(0, p->channelShortName[14]);
    EXPECT_EQ(0, p->channelShortName[15]);
  }
}

TEST(Vct, KulxCaptureBothOrdersBlankPaddedNames) {
  const char* files[] = {"atsc-kulx10-tvct-then-pmt.ts", "atsc-kulx10-pmt-then-tvct.ts"};
  for (const char* file : files) {
    SCOPED_TRACE(file);
    Fixture fx;
    // These extracts carry no PAT: the programs are known from an earlier one.
    fx.tm.mCurrentChannel = 10;
    for (uint16_t prog = 3; prog <= 6; ++prog) fx.tm.AddProgramToScanResults(0x1FE1, prog);
    fx.tm.AddProgramToScanResults(0x1FE1, 9);  // not in the VCT
    Bytes ts = ReadSample(file);
    ASSERT_EQ(564u, ts.size());
    fx.Feed(ts);
    const char* names[] = {"KULX   ", "TelXito", "LightTV", "Quest  "};
    for (uint16_t prog = 3; prog <= 6; ++prog) {
      ScalProgramDesc* p = FindProgram(fx.tm, prog);
      ASSERT_NE(nullptr, p);
      EXPECT_EQ(names[prog - 3], Name(p));
      EXPECT_EQ(10, p->channelMajorNo);
      EXPECT_EQ(prog - 2, p->channelMinorNo);
      EXPECT_EQ(100 + prog - 2, p->channelNo);
      EXPECT_EQ(prog - 2, p->sourceId);
      EXPECT_EQ(0x1FE1, p->channelTsid);
      EXPECT_EQ(10, p->channelId);
    }
    ScalProgramDesc* other = FindProgram(fx.tm, 9);
    ASSERT_NE(nullptr, other);
    EXPECT_FALSE(other->mWasSet);
    EXPECT_EQ(0, other->channelNo);
    EXPECT_EQ(0, other->channelShortName[1]);
  }
}

TEST(Vct, ProgramsUnknownOnTheChannelAreNotCreated) {
  Fixture fx;
  Bytes vct = FirstSection(ReadSample("atsc-kulx10-tvct-then-pmt.ts"), 0x1FFB, 0xC8);
  ASSERT_EQ(218u, vct.size());
  SectionBuf sb(vct);
  EXPECT_TRUE(fx.f.AnalyzeSectionVct(sb.b));
  EXPECT_TRUE(fx.tm.GetScalProgramDesc(0)->empty());
  // The same program on another channel is not this one.
  fx.tm.mCurrentChannel = 11;
  fx.tm.AddProgramToScanResults(0x1FE1, 3);
  fx.tm.mCurrentChannel = 10;
  EXPECT_TRUE(fx.f.AnalyzeSectionVct(sb.b));
  EXPECT_FALSE(fx.tm.GetScalProgramDesc(11)->head->mWasSet);
  EXPECT_FALSE(fx.tm.SetPsipInfoForProgram(0x1FE1, 3, nullptr, 1, 1, 0, 0, 0, 0));
}

TEST(Vct, CableTableAndHighMajorNumbers) {
  Fixture fx;
  fx.tm.AddProgramToScanResults(0x22, 7);
  // One channel: major 70 (byte 14 low bits 1, byte 15 top bits 0x06), minor
  // 0x2FF, carrier 0x12345678, channel_TSID 0x0A0B, source_id 0x4242, and a
  // CVCT byte 26 with only its reserved bit set.
  Bytes body = {0x00};  // protocol_version
  body.push_back(1);    // num_channels_in_section
  const char name[] = "CABLE-1";
  for (int i = 0; i < 7; ++i) {
    body.push_back(0);
    body.push_back(static_cast<uint8_t>(name[i]));
  }
  Bytes rest = {0xF1, 0x1A, 0xFF, 0x10, 0x12, 0x34, 0x56, 0x78, 0x0A, 0x0B,
                0x00, 0x07, 0x01, 0xC2, 0x42, 0x42, 0xFC, 0x00};
  body.insert(body.end(), rest.begin(), rest.end());
  body.push_back(0xFC);  // additional_descriptors_length 0
  body.push_back(0x00);
  Bytes cvct = tsfix::MakeSection(0xC9, 0x22, 3, true, 0, 0, body);
  SectionBuf sb(cvct);
  EXPECT_TRUE(fx.f.AnalyzeSectionVct(sb.b));
  ScalProgramDesc* p = FindProgram(fx.tm, 7);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(70, p->channelMajorNo);
  EXPECT_EQ(0x2FF, p->channelMinorNo);
  EXPECT_EQ(70 * 10 + 0x2FF, p->channelNo);
  EXPECT_EQ(0x10, p->modulationMode);
  EXPECT_EQ(0x12345678u, p->channelFreq);
  EXPECT_EQ(0x0A0B, p->channelTsid);
  EXPECT_EQ(0x4242, p->sourceId);
  EXPECT_EQ("CABLE-1", Name(p));

  // Another table id never reaches the fields.
  Fixture other;
  other.tm.AddProgramToScanResults(0x22, 7);
  sb.b[0] = 0xC7;
  EXPECT_FALSE(other.f.AnalyzeSectionVct(sb.b));
  EXPECT_FALSE(FindProgram(other.tm, 7)->mWasSet);
  EXPECT_FALSE(other.f.AnalyzeSectionVct(nullptr));
}

TEST(Vct, HostileCountsAndLengthsStopAtTheSection) {
  Bytes vct = FirstSection(ReadSample("atsc-kulx10-tvct-then-pmt.ts"), 0x1FFB, 0xC8);
  ASSERT_EQ(218u, vct.size());
  auto run = [&](const Bytes& section, int* set) {
    Fixture fx;
    fx.tm.mCurrentChannel = 10;
    for (uint16_t prog = 3; prog <= 6; ++prog) fx.tm.AddProgramToScanResults(0x1FE1, prog);
    // Exact-size copy: any read past section_length + 3 is an overrun.
    std::vector<unsigned char> exact(section.begin(), section.end());
    bool r = fx.f.AnalyzeSectionVct(exact.data());
    *set = 0;
    for (uint16_t prog = 3; prog <= 6; ++prog) *set += FindProgram(fx.tm, prog)->mWasSet;
    return r;
  };
  int set = 0;
  EXPECT_TRUE(run(vct, &set));
  EXPECT_EQ(4, set);

  // More channels announced than the section holds: the four real ones
  // are taken, the fifth is refused.
  Bytes more = vct;
  more[9] = 200;
  tsfix::FixCrc(more);
  EXPECT_FALSE(run(more, &set));
  EXPECT_EQ(4, set);

  // The first channel's descriptors_length runs past the section.
  Bytes longDesc = vct;
  longDesc[10 + 30] = 0xFF;
  longDesc[10 + 31] = 0xFF;
  tsfix::FixCrc(longDesc);
  EXPECT_FALSE(run(longDesc, &set));
  EXPECT_EQ(0, set);

  // The third channel's descriptors_length swallows the fourth channel and
  // ends exactly at the additional descriptors' length: three are taken.
  Bytes swallow = vct;
  size_t pos = 10;
  for (int i = 0; i < 2; ++i) pos += 32 + (((vct[pos + 30] & 3) << 8) | vct[pos + 31]);
  size_t end = vct.size() - 4 - 2;
  size_t dl = end - (pos + 32);
  swallow[pos + 30] = static_cast<uint8_t>(0xFC | (dl >> 8));
  swallow[pos + 31] = static_cast<uint8_t>(dl & 0xFF);
  tsfix::FixCrc(swallow);
  EXPECT_FALSE(run(swallow, &set));
  EXPECT_EQ(3, set);

  // section_length shorter than the header, or beyond a PSIP section.
  Bytes tiny = vct;
  tiny[1] = 0xF0;
  tiny[2] = 12;
  EXPECT_FALSE(run(tiny, &set));
  EXPECT_EQ(0, set);
  Bytes cut(vct.begin(), vct.begin() + 60);  // 60 bytes, claims 1022 after the header
  cut[1] = 0xF3;
  cut[2] = 0xFE;
  EXPECT_FALSE(run(cut, &set));
  EXPECT_EQ(0, set);

  // A section_length that cuts into the second channel: only the first.
  Bytes shortLen(vct.begin(), vct.begin() + 10 + 32 + 23 + 40);
  size_t total = shortLen.size() + 4 + 2;
  shortLen.push_back(0xFC);
  shortLen.push_back(0x00);
  shortLen[1] = static_cast<uint8_t>(0xF0 | ((total - 3) >> 8));
  shortLen[2] = static_cast<uint8_t>((total - 3) & 0xFF);
  tsfix::AppendCrc(shortLen);
  EXPECT_FALSE(run(shortLen, &set));
  EXPECT_EQ(1, set);

  // Reserved bits cleared everywhere: logged, the channels are still read.
  Bytes reserved = vct;
  reserved[1] &= 0x0F;
  reserved[5] &= 0x3F;
  reserved[10 + 14] &= 0x0F;
  reserved[10 + 26] = 0;
  reserved[10 + 30] &= 0x03;
  tsfix::FixCrc(reserved);
  EXPECT_TRUE(run(reserved, &set));
  EXPECT_EQ(4, set);
}

TEST(Vct, SeededJunkNeverOverruns) {
  Bytes vct = FirstSection(ReadSample("atsc-wnet13-psip.ts"), 0x1FFB, 0xC8);
  ASSERT_EQ(187u, vct.size());
  Fixture fx;
  for (uint16_t prog = 3; prog <= 5; ++prog) fx.tm.AddProgramToScanResults(0x7DB, prog);
  uint32_t seed = 12345;
  auto rng = [&]() {
    seed = seed * 1103515245u + 12345u;
    return seed >> 16;
  };
  for (int i = 0; i < 5000; ++i) {
    Bytes s = vct;
    int flips = 1 + static_cast<int>(rng() % 8);
    for (int k = 0; k < flips; ++k) s[3 + rng() % (s.size() - 3)] = static_cast<uint8_t>(rng());
    fx.Analyse(&TsFilter::AnalyzeSectionVct, s);
  }
  // Whatever was stored, the stored names keep their terminators.
  for (uint16_t prog = 3; prog <= 5; ++prog) {
    EXPECT_EQ(0, FindProgram(fx.tm, prog)->channelShortName[14]);
    EXPECT_EQ(0, FindProgram(fx.tm, prog)->channelShortName[15]);
  }
}
