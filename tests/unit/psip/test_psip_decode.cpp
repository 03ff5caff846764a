// The PSIP decoders on their own: every table of the WNET capture decoded
// whole and checked against the other tables of the same capture, and
// sections whose counts and lengths run past them refused, with the whole
// entries before the cut kept.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ts/psip/psiptables.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"

namespace {

using tsfix::Bytes;

const Bytes& Wnet() {
  static const Bytes ts = tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/atsc-wnet13-psip.ts");
  return ts;
}

int Size(const Bytes& b) { return static_cast<int>(b.size()); }

// The Latin-1 text of a VCT short name (low bytes of its UTF-16 units).
std::string Name(const VctChannel& c) {
  std::string s;
  for (int i = 0; i < 7 && c.shortName[2 * i + 1] != 0; ++i) s += c.shortName[2 * i + 1];
  return s;
}

tsfix::TvctChannel Channel(const char* name, uint16_t minor, uint16_t program) {
  return tsfix::Channel(name, 13, minor, 0x7DB, program, minor);
}

}  // namespace

TEST(PsipDecode, WnetVctMgtAndSttAgreeWithTheCapture) {
  std::vector<Bytes> vcts = tsfix::SectionsOf(Wnet(), 0x1FFB, 0xC8);
  ASSERT_EQ(1u, vcts.size());
  VctSection vct;
  ASSERT_TRUE(DecodeVct(vcts[0].data(), Size(vcts[0]), &vct));
  std::vector<Bytes> pats = tsfix::SectionsOf(Wnet(), 0x0000, 0x00);
  ASSERT_EQ(1u, pats.size());
  PatSection pat;
  ASSERT_TRUE(DecodePat(pats[0].data(), Size(pats[0]), &pat));
  EXPECT_EQ(pat.transportId, vct.transportId);
  ASSERT_EQ(3, vct.count);
  const char* names[] = {"WNET-HD", "KIDS", "V-Me"};
  for (int i = 0; i < vct.count; ++i) {
    const VctChannel& c = vct.channels[i];
    EXPECT_EQ(names[i], Name(c));
    EXPECT_EQ(13, c.major);
    EXPECT_EQ(i + 1, c.minor);
    EXPECT_EQ(i + 1, c.sourceId);
    EXPECT_EQ(4, c.modulation);
    // Each channel's program is one the PAT lists.
    EXPECT_EQ(pat.entries[i].programNumber, c.programNumber);
  }

  std::vector<Bytes> mgts = tsfix::SectionsOf(Wnet(), 0x1FFB, 0xC7);
  ASSERT_EQ(1u, mgts.size());
  MgtSection mgt;
  ASSERT_TRUE(DecodeMgt(mgts[0].data(), Size(mgts[0]), &mgt));
  ASSERT_EQ(9, mgt.count);
  EXPECT_EQ(0x0000, mgt.entries[0].tableType);
  EXPECT_EQ(0x1FFB, mgt.entries[0].pid);
  for (int k = 0; k < 4; ++k) {
    const MgtEntry& eit = mgt.entries[1 + k];
    EXPECT_EQ(0x100 + k, eit.tableType);
    // The PID the MGT names for EIT-k carries EITs in the capture.
    EXPECT_FALSE(tsfix::SectionsOf(Wnet(), eit.pid, 0xCB).empty()) << std::hex << eit.pid;
    EXPECT_EQ(0x200 + k, mgt.entries[5 + k].tableType);
  }

  std::vector<Bytes> stts = tsfix::SectionsOf(Wnet(), 0x1FFB, 0xCD);
  ASSERT_EQ(1u, stts.size());
  SttTime stt;
  ASSERT_TRUE(DecodeStt(stts[0].data(), Size(stts[0]), &stt));
  EXPECT_EQ(0x45CF0E04u, stt.systemTime);
  EXPECT_EQ(17, stt.gpsUtcOffset);
  EXPECT_EQ(0x6C02, stt.daylight);
}

// Twelve EIT sections on four PIDs: per source, EIT-0 to EIT-3 are one run
// of back-to-back events over twelve hours, and every title decodes.
TEST(PsipDecode, WnetEitSectionsCoverTwelveHoursPerSource) {
  TsFilter f('T', nullptr);
  std::map<int, std::vector<std::pair<uint32_t, uint32_t>>> bySource;
  int sections = 0;
  for (uint16_t pid = 0x1D00; pid <= 0x1D03; ++pid) {
    for (const Bytes& s : tsfix::SectionsOf(Wnet(), pid, 0xCB)) {
      ++sections;
      std::unique_ptr<EitSection> owner(new EitSection);
      EitSection& eit = *owner;
      ASSERT_TRUE(DecodeEit(s.data(), Size(s), &eit));
      EXPECT_EQ(eit.announced, eit.count);
      for (int i = 0; i < eit.count; ++i) {
        const EitEvent& e = eit.events[i];
        bySource[eit.sourceId].push_back({e.startTime, e.lengthInSeconds});
        ASSERT_GT(e.titleLength, 0);
        int len = 0;
        unsigned char mode = 0;
        f.MultipleStringStructure(reinterpret_cast<char*>(const_cast<unsigned char*>(e.title)), &len, &mode,
                                  e.titleLength);
        EXPECT_GT(len, 0) << "event " << e.eventId;
      }
    }
  }
  EXPECT_EQ(12, sections);
  ASSERT_EQ(3u, bySource.size());
  for (auto& kv : bySource) {
    std::vector<std::pair<uint32_t, uint32_t>>& ev = kv.second;
    std::sort(ev.begin(), ev.end());
    EXPECT_EQ(1171195217u, ev.front().first) << "source " << kv.first;
    for (size_t i = 0; i + 1 < ev.size(); ++i)
      EXPECT_EQ(ev[i].first + ev[i].second, ev[i + 1].first) << "source " << kv.first << " event " << i;
    EXPECT_EQ(1171195217u + 4 * 10800u, ev.back().first + ev.back().second) << "source " << kv.first;
  }
}

TEST(PsipDecode, VctCutEntriesAndDescriptorLoops) {
  Bytes two = tsfix::MakeTvct(0x7DB, 0, {Channel("ONE", 1, 3), Channel("TWO", 2, 4)});
  VctSection vct;
  ASSERT_TRUE(DecodeVct(two.data(), Size(two), &vct));
  ASSERT_EQ(2, vct.count);
  EXPECT_EQ("TWO", Name(vct.channels[1]));

  Bytes more = two;
  more[9] = 3;  // a third channel the section has no room for
  EXPECT_FALSE(DecodeVct(more.data(), Size(more), &vct));
  EXPECT_EQ(TableFault::eEntryCut, vct.fault.kind);
  EXPECT_EQ(3, vct.fault.entry);
  EXPECT_EQ(2, vct.count);

  Bytes longDescriptors = two;
  longDescriptors[10 + 32 + 30] |= 0x03;  // channel 2's descriptors_length: 0x300 and more
  EXPECT_FALSE(DecodeVct(longDescriptors.data(), Size(longDescriptors), &vct));
  EXPECT_EQ(TableFault::eDescriptorsCut, vct.fault.kind);
  EXPECT_EQ(2, vct.fault.entry);
  EXPECT_EQ(1, vct.count);
  EXPECT_EQ(4, vct.channels[1].programNumber);  // the cut channel's fixed part, for its log

  // A section_length past the bytes given, or past a PSI section; another table.
  EXPECT_FALSE(DecodeVct(two.data(), Size(two) - 1, &vct));
  EXPECT_EQ(TableFault::eSectionLength, vct.fault.kind);
  Bytes huge = two;
  huge[1] = static_cast<uint8_t>((huge[1] & 0xF0) | 0x04);  // 1024 and more
  huge.resize(4096, 0xFF);
  EXPECT_FALSE(DecodeVct(huge.data(), Size(huge), &vct));
  EXPECT_EQ(TableFault::eSectionLength, vct.fault.kind);
  Bytes other = two;
  other[0] = 0xC7;
  EXPECT_FALSE(DecodeVct(other.data(), Size(other), &vct));
  EXPECT_EQ(TableFault::eTableId, vct.fault.kind);
  EXPECT_EQ(0xC7, vct.fault.value);
}

TEST(PsipDecode, MgtCutEntriesAndDescriptorLoops) {
  std::vector<tsfix::MgtTable> tables(3);
  const uint16_t types[] = {0x0000, 0x0100, 0x0101};
  const uint16_t pids[] = {0x1FFB, 0x1D00, 0x1D01};
  for (int i = 0; i < 3; ++i) {
    tables[i].tableType = types[i];
    tables[i].pid = pids[i];
  }
  Bytes whole = tsfix::MakeMgt(tables);
  MgtSection mgt;
  ASSERT_TRUE(DecodeMgt(whole.data(), Size(whole), &mgt));
  ASSERT_EQ(3, mgt.count);
  EXPECT_EQ(0x1D01, mgt.entries[2].pid);

  Bytes lying = tsfix::MakeMgt(tables, 0, 5);
  EXPECT_FALSE(DecodeMgt(lying.data(), Size(lying), &mgt));
  EXPECT_EQ(TableFault::eEntryCut, mgt.fault.kind);
  EXPECT_EQ(4, mgt.fault.entry);
  EXPECT_EQ(3, mgt.count);

  tables[1].descriptorsLengthOverride = 40;
  Bytes longDescriptors = tsfix::MakeMgt(tables);
  EXPECT_FALSE(DecodeMgt(longDescriptors.data(), Size(longDescriptors), &mgt));
  EXPECT_EQ(TableFault::eDescriptorsCut, mgt.fault.kind);
  EXPECT_EQ(2, mgt.fault.entry);
  EXPECT_EQ(40, mgt.fault.value);
  EXPECT_EQ(1, mgt.count);
}

TEST(PsipDecode, EitCutTitlesDescriptorsAndReservedBits) {
  std::vector<tsfix::EitEvent> events = {tsfix::Event(1, 1000, 1800, tsfix::PlainMss("One")),
                                         tsfix::Event(2, 2800, 1800, tsfix::PlainMss("Two"))};
  std::unique_ptr<EitSection> eit(new EitSection);
  Bytes whole = tsfix::MakeEit(1, 0, 0, 0, events);
  ASSERT_TRUE(DecodeEit(whole.data(), Size(whole), eit.get()));
  ASSERT_EQ(2, eit->count);
  EXPECT_EQ(2800u, eit->events[1].startTime);
  EXPECT_EQ(tsfix::PlainMss("Two"), Bytes(eit->events[1].title, eit->events[1].title + eit->events[1].titleLength));

  struct Case {
    const char* what;
    int event;  // 0-based event changed
    int titleLength;
    int descriptorsLength;
    TableFault::Kind kind;
  } cases[] = {
      {"title past the section", 1, 200, -1, TableFault::eTextCut},
      {"descriptors past the section", 1, -1, 300, TableFault::eDescriptorsCut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<tsfix::EitEvent> bad = events;
    bad[c.event].titleLengthOverride = c.titleLength;
    bad[c.event].descriptorsLengthOverride = c.descriptorsLength;
    Bytes s = tsfix::MakeEit(1, 0, 0, 0, bad);
    EXPECT_FALSE(DecodeEit(s.data(), Size(s), eit.get()));
    EXPECT_EQ(c.kind, eit->fault.kind);
    EXPECT_EQ(c.event + 1, eit->fault.entry);
    EXPECT_EQ(c.event, eit->count);
  }

  Bytes moreEvents = tsfix::MakeEit(1, 0, 0, 0, events, 3);
  EXPECT_FALSE(DecodeEit(moreEvents.data(), Size(moreEvents), eit.get()));
  EXPECT_EQ(TableFault::eEntryCut, eit->fault.kind);
  EXPECT_EQ(2, eit->count);

  // The reserved nibble above event 2's descriptors_length stops the section.
  Bytes reserved = whole;
  size_t second = 10 + 12 + events[0].title.size();
  reserved[second + 10 + events[1].title.size()] &= 0x0F;
  EXPECT_FALSE(DecodeEit(reserved.data(), Size(reserved), eit.get()));
  EXPECT_EQ(TableFault::eReserved, eit->fault.kind);
  EXPECT_EQ(2, eit->fault.entry);
  EXPECT_EQ(1, eit->count);
  Bytes header = whole;
  header[1] &= 0x3F;
  EXPECT_FALSE(DecodeEit(header.data(), Size(header), eit.get()));
  EXPECT_EQ(TableFault::eReserved, eit->fault.kind);
  EXPECT_EQ(0, eit->fault.entry);
}

TEST(PsipDecode, EttAndSttTooShortOrForeign) {
  // MakePsipSection's body starts with protocol_version; the ETM_id follows.
  Bytes text = tsfix::PlainMss("Long name");
  Bytes body = {0, 0x00, 0x01, 0x00, 0x02};
  body.insert(body.end(), text.begin(), text.end());
  Bytes ett = tsfix::MakePsipSection(0xCC, 0, 0, 0, 0, body);
  EttText t;
  ASSERT_TRUE(DecodeEtt(ett.data(), Size(ett), &t));
  EXPECT_EQ(0x00010002u, t.etmId);
  EXPECT_EQ(text, Bytes(t.message, t.message + t.messageLength));
  Bytes cut = tsfix::MakePsipSection(0xCC, 0, 0, 0, 0, {0, 0x00, 0x01});
  EXPECT_FALSE(DecodeEtt(cut.data(), Size(cut), &t));
  EXPECT_EQ(TableFault::eSectionLength, t.fault.kind);

  Bytes stt = tsfix::MakeStt(1000, 18, 0x8000);
  SttTime time;
  ASSERT_TRUE(DecodeStt(stt.data(), Size(stt), &time));
  EXPECT_EQ(1000u, time.systemTime);
  EXPECT_EQ(18, time.gpsUtcOffset);
  EXPECT_EQ(0x8000, time.daylight);
  EXPECT_FALSE(DecodeStt(stt.data(), 2, &time));  // not even its length
  EXPECT_EQ(TableFault::eSectionLength, time.fault.kind);
  EXPECT_FALSE(DecodeStt(ett.data(), Size(ett), &time));
  EXPECT_EQ(TableFault::eTableId, time.fault.kind);
}
