// ATSC master guide and system time tables: the PID map typed as the MGT
// names its tables (and EIT PIDs then collected), the system time from the
// STT with its log once a minute, and sections that lie about their lengths
// or come with another table id.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "stdio_capture.h"
#include "ts/tablecollector.h"
#include "ts/time.h"

namespace {

using tsfix::Bytes;
using vyxtest::StdioCapture;

struct Fixture : vyxtest::FilterFixture {
  Fixture() { f.FilterActive(true); }
  // Sections on their PIDs, each PID's continuity starting at 1, and a null
  // packet after them so that the last one is analysed too.
  void Feed(const std::vector<std::pair<uint16_t, Bytes>>& sections) {
    Bytes ts;
    uint8_t cc[8192] = {};
    for (const auto& s : sections) {
      if (cc[s.first] == 0) cc[s.first] = 1;
      tsfix::PsiPacketizer pk(s.first, cc[s.first]);
      tsfix::Append(ts, tsfix::Join(pk.Packetize(s.second)));
      cc[s.first] = pk.NextCc();
    }
    FilterWhole(ts);
  }
  // Good sections the collector delivered for a table on a PID.
  unsigned Delivered(int tableId, int pid) {
    unsigned n = 0;
    TableCollector* c = f.mpTableCollector;
    for (int i = 0; i < c->mTableCount; ++i)
      if (c->mTables[i]->mTableId == tableId && c->mTables[i]->mPid == pid) n += c->mTables[i]->mGoodSections;
    return n;
  }
  bool Mgt(const Bytes& s) { return Analyse(&TsFilter::AnalyzeSectionMgt, s); }
  bool Stt(const Bytes& s) { return Analyse(&TsFilter::AnalyzeSectionStt, s); }
};

}  // namespace

TEST(Mgt, TableTypesTypeThePidMap) {
  Fixture fx;
  struct Row {
    uint16_t tableType;
    uint16_t pid;
    int type;
    int status;
  } rows[] = {
      {0x0000, 0x1FFB, ePidTypeVct, ePidAnalyse},  // TVCT on the base PID
      {0x0002, 0x1A02, ePidTypeVct, ePidAnalyse},  // CVCT
      {0x0004, 0x1A04, ePidTypeEtt, ePidAnalyse},  // channel ETT
      {0x0005, 0x1A05, ePidTypeDcc, ePidAnalyse},  // DCCSCT
      {0x0100, 0x1D00, ePidTypeEit, ePidAnalyse},  // EIT-0
      {0x017F, 0x1D7F, ePidTypeEit, ePidAnalyse},  // EIT-127
      {0x0180, 0x1D80, ePidTypeNone, ePidIgnored},  // past the EITs
      {0x0200, 0x1E00, ePidTypeEtt, ePidAnalyse},  // ETT-0
      {0x027F, 0x1E7F, ePidTypeEtt, ePidAnalyse},
      {0x0300, 0x1B00, ePidTypeNone, ePidIgnored},  // below the RRTs
      {0x0301, 0x1B01, ePidTypeRrt, ePidAnalyse},
      {0x03FF, 0x1BFF, ePidTypeRrt, ePidAnalyse},
      {0x0400, 0x1C00, ePidTypeNone, ePidIgnored},  // private and reserved
      {0x0500, 0x1C05, ePidTypeNone, ePidIgnored},
      {0x0FFF, 0x1CFF, ePidTypeNone, ePidIgnored},
      {0x1000, 0x1F00, ePidTypeNone, ePidIgnored},  // invalid
      {0x1400, 0x1F14, ePidTypeDcc, ePidAnalyse},  // DCCT
      {0x14FF, 0x1F15, ePidTypeDcc, ePidAnalyse},
      {0x1500, 0x1F16, ePidTypeNone, ePidIgnored},
  };
  std::vector<tsfix::MgtTable> tables;
  for (const Row& r : rows) {
    tsfix::MgtTable t;
    t.tableType = r.tableType;
    t.pid = r.pid;
    tables.push_back(t);
  }
  // An earlier type is replaced.
  fx.f.mPacketIdMap[0x1D00].type = ePidTypePmt;
  global_debug_flag = 1;
  StdioCapture out(stdout);
  EXPECT_TRUE(fx.Mgt(tsfix::MakeMgt(tables)));
  std::string log = out.Stop();
  global_debug_flag = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.tableType);
    EXPECT_EQ(r.type, fx.f.mPacketIdMap[r.pid].type);
    EXPECT_EQ(r.status, fx.f.mPacketIdMap[r.pid].status);
  }
  // The first invalid type is said; the others, within the same interval,
  // wait to be counted in the next line.
  EXPECT_NE(std::string::npos, log.find("[x1] Mgt: Invalid table_type received: 180\n"));
  EXPECT_EQ(std::string::npos, log.find("Mgt: Invalid table_type received: 1500\n"));
  EXPECT_EQ(std::string::npos, log.find("Invalid table_type received: 500\n"));
  EXPECT_EQ(std::string::npos, log.find("reserved"));
}

TEST(Mgt, PatNullAndBasePidsKeepTheirAnalysis) {
  Fixture fx;
  std::vector<tsfix::MgtTable> tables(3);
  tables[0].tableType = 0x0500;
  tables[0].pid = 0;
  tables[1].tableType = 0x0100;
  tables[1].pid = 0x1FFF;
  tables[2].tableType = 0x0500;
  tables[2].pid = 0x1FFB;
  EXPECT_TRUE(fx.Mgt(tsfix::MakeMgt(tables)));
  EXPECT_EQ(ePidTypePat, fx.f.mPacketIdMap[0].type);
  EXPECT_EQ(ePidAnalyse, fx.f.mPacketIdMap[0].status);
  EXPECT_EQ(ePidTypeNone, fx.f.mPacketIdMap[0x1FFF].type);
  EXPECT_EQ(ePidAnalyse, fx.f.mPacketIdMap[0x1FFB].status);
}

TEST(Mgt, EitPidsAreCollectedOnlyOnceNamed) {
  Fixture fx;
  tsfix::EitEvent ev = tsfix::Event(1, 1171197444u, 1800, tsfix::PlainMss("News"));
  Bytes eit = tsfix::MakeEit(1, 0, 0, 0, {ev});
  // Before the MGT the EIT PID is nobody's table.
  fx.Feed({{0x1D00, eit}});
  EXPECT_EQ(0u, fx.Delivered(0xCB, 0x1D00));
  std::vector<tsfix::MgtTable> tables(2);
  tables[0].tableType = 0x0100;
  tables[0].pid = 0x1D00;
  tables[1].tableType = 0x0500;
  tables[1].pid = 0x1D01;
  fx.Feed({{0x1FFB, tsfix::MakeMgt(tables)}, {0x1D00, eit}, {0x1D01, eit}});
  EXPECT_EQ(1u, fx.Delivered(0xC7, 0x1FFB));
  EXPECT_EQ(ePidTypeEit, fx.f.mPacketIdMap[0x1D00].type);
  EXPECT_EQ(1u, fx.Delivered(0xCB, 0x1D00));
  // An ignored PID is not even counted as analysed.
  EXPECT_EQ(0u, fx.Delivered(0xCB, 0x1D01));
}

TEST(Mgt, LyingCountsAndLengthsStopAtTheSection) {
  std::vector<tsfix::MgtTable> tables(3);
  for (int i = 0; i < 3; ++i) {
    tables[i].tableType = static_cast<uint16_t>(0x0100 + i);
    tables[i].pid = static_cast<uint16_t>(0x1D00 + i);
  }
  tables[1].descriptors = {0x0A, 0x04, 'e', 'n', 'g', 0x00};
  auto typed = [](Fixture& fx) {
    int n = 0;
    for (int i = 0; i < 3; ++i) n += fx.f.mPacketIdMap[0x1D00 + i].type == ePidTypeEit;
    return n;
  };
  {
    Fixture fx;
    EXPECT_TRUE(fx.Mgt(tsfix::MakeMgt(tables)));
    EXPECT_EQ(3, typed(fx));
  }
  {
    // More tables announced than there are: the three are taken.
    Fixture fx;
    EXPECT_FALSE(fx.Mgt(tsfix::MakeMgt(tables, 0, 40)));
    EXPECT_EQ(3, typed(fx));
  }
  {
    // The second entry's descriptors run past the section: only the first.
    Fixture fx;
    std::vector<tsfix::MgtTable> t = tables;
    t[1].descriptorsLengthOverride = 0xFFF;
    EXPECT_FALSE(fx.Mgt(tsfix::MakeMgt(t)));
    EXPECT_EQ(1, typed(fx));
  }
  {
    // Descriptors that swallow the third entry and end at the MGT's own
    // descriptors_length: two entries, the third is missing.
    Fixture fx;
    std::vector<tsfix::MgtTable> t = tables;
    t[1].descriptorsLengthOverride = static_cast<int>(t[1].descriptors.size()) + 11;
    EXPECT_FALSE(fx.Mgt(tsfix::MakeMgt(t)));
    EXPECT_EQ(2, typed(fx));
  }
  {
    // section_length beyond a private section, or shorter than the header.
    Fixture fx;
    Bytes big = tsfix::MakeMgt(tables);
    big[1] = 0xFF;
    big[2] = 0xFE;
    EXPECT_FALSE(fx.Mgt(big));
    Bytes tiny = tsfix::MakeMgt({});
    tiny[2] = 9;
    EXPECT_FALSE(fx.Mgt(tiny));
    EXPECT_EQ(0, typed(fx));
    // No tables at all is a good MGT.
    EXPECT_TRUE(fx.Mgt(tsfix::MakeMgt({})));
  }
  {
    // Reserved bits cleared everywhere: logged, the tables still typed.
    Fixture fx;
    Bytes r = tsfix::MakeMgt(tables);
    r[1] &= 0x0F;
    for (int i = 0; i < 3; ++i) {
      size_t e = 11 + 11 * static_cast<size_t>(i) + (i > 1 ? tables[1].descriptors.size() : 0);
      r[e + 2] &= 0x1F;
      r[e + 4] &= 0x1F;
      r[e + 9] &= 0x0F;
    }
    tsfix::FixCrc(r);
    global_debug_flag = 1;
    StdioCapture out(stdout);
    EXPECT_TRUE(fx.Mgt(r));
    std::string log = out.Stop();
    global_debug_flag = 0;
    EXPECT_EQ(3, typed(fx));
    EXPECT_NE(std::string::npos, log.find("Mgt: reserved not chking: pkt[1] "));
    EXPECT_NE(std::string::npos, log.find("Mgt: reserved (2) byte is 1d, mask 0xE0"));
    EXPECT_NE(std::string::npos, log.find("Mgt: reserved (3) byte is 00, mask 0xE0"));
    EXPECT_NE(std::string::npos, log.find("Mgt: reserved (4) byte is 00, mask 0xF0"));
  }
  {
    // Another table id is a bug of the caller: reported, nothing typed.
    Fixture fx;
    Bytes other = tsfix::MakeMgt(tables);
    other[0] = 0xC8;
    StdioCapture err(stderr);
    EXPECT_FALSE(fx.Mgt(other));
    EXPECT_NE(std::string::npos, err.Stop().find("BUG: c8"));
    EXPECT_EQ(0, typed(fx));
    EXPECT_FALSE(fx.f.AnalyzeSectionMgt(nullptr));
  }
}

TEST(Stt, SetsTheTimeEverySectionAndLogsOncePerMinute) {
  Fixture fx;
  Time* t = Time::Self();
  auto stt = [&](uint32_t when) {
    global_debug_flag = 1;
    StdioCapture out(stdout);
    EXPECT_TRUE(fx.Stt(tsfix::MakeStt(when, 17, 0x6C02)));
    std::string log = out.Stop();
    global_debug_flag = 0;
    EXPECT_EQ(when, t->mSystemTime);
    return log;
  };
  // Far from whatever an earlier test logged.
  std::string log = stt(1171197444u);
  EXPECT_NE(std::string::npos,
            log.find("Got Systime: 0x45cf0e04 (e1c7 1237), GpsUtc 0x11, daylight 0x6c02\n"))
      << log;
  EXPECT_EQ(17, t->mGpsUtcOffset);
  EXPECT_EQ(0x6C02, t->mDaylightSavings);
  EXPECT_STREQ("e1c7 1237", fx.f.GetMjdDateTime());
  EXPECT_EQ(std::string::npos, stt(1171197444u + 30).find("Got Systime"));
  EXPECT_EQ(std::string::npos, stt(1171197444u + 60).find("Got Systime"));
  EXPECT_NE(std::string::npos, stt(1171197444u + 61).find("Got Systime: 0x45cf0e41"));
  // A time going back is a large unsigned difference: logged again.
  EXPECT_NE(std::string::npos, stt(1171197444u).find("Got Systime"));
}

TEST(Stt, CapturedTimeThroughThePacketLoop) {
  Fixture fx;
  Time::Self()->SetTime(0, 0, 0);
  Bytes ts = tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/atsc-wnet13-psip.ts");
  ASSERT_EQ(15792u, ts.size());
  // The base PID's first packet comes with continuity primed before it.
  Bytes feed = tsfix::MakeDataPacket(0x1FFB, 0, 0xFF);
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    if ((((ts[i + 1] & 0x1F) << 8) | ts[i + 2]) != 0x1FFB) continue;
    feed[3] = static_cast<uint8_t>((feed[3] & 0xF0) | ((ts[i + 3] - 1) & 0x0F));
    break;
  }
  tsfix::Append(feed, ts);
  fx.FilterWhole(feed);
  EXPECT_EQ(1171197444u, Time::Self()->mSystemTime);
  EXPECT_EQ(17, Time::Self()->mGpsUtcOffset);
  EXPECT_STREQ("e1c7 1237", fx.f.GetMjdDateTime());
  // Its MGT names the four EIT PIDs.
  for (int pid = 0x1D00; pid <= 0x1D03; ++pid) EXPECT_EQ(ePidTypeEit, fx.f.mPacketIdMap[pid].type) << pid;
}

TEST(Stt, ShortSectionsAndOtherTablesLeaveTheTime) {
  Fixture fx;
  Time* t = Time::Self();
  t->SetTime(5000, 3, 0);
  Bytes stt = tsfix::MakeStt(1171197444u, 17);
  Bytes cut = stt;
  cut[2] = 16;  // system time and offset, no daylight_savings
  EXPECT_FALSE(fx.Stt(Bytes(cut.begin(), cut.begin() + 19)));
  Bytes big = stt;
  big[1] = 0xF4;  // section_length 1024 + 17: more than an STT may be
  EXPECT_FALSE(fx.Stt(big));
  Bytes other = stt;
  other[0] = 0xCB;
  StdioCapture err(stderr);
  EXPECT_FALSE(fx.Stt(other));
  EXPECT_NE(std::string::npos, err.Stop().find("BUG: cb"));
  EXPECT_FALSE(fx.f.AnalyzeSectionStt(nullptr));
  EXPECT_EQ(5000u, t->mSystemTime);
  EXPECT_EQ(3, t->mGpsUtcOffset);
}
