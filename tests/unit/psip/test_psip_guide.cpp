// From the stream to the guide: generated EIT sections over EIT-0..3 with
// Huffman-coded titles, ETTs of events (before and after their EIT) and of a
// channel, all fed through the packet loop and read back as EITI lines.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "ts/tablecollector.h"
#include "ts/time.h"

namespace {

using vyxtest::FindProgram;
using tsfix::Bytes;

// The guide list of a program, whether the record holds it or points to it.
template <class L>
L* ListOf(L& l) {
  return &l;
}
template <class L>
L* ListOf(L* l) {
  return l;
}

struct Fixture : vyxtest::FilterFixture {
  Fixture() {
    tm.mCurrentChannel = 5;
    f.FilterActive(true);
  }
  void Feed(const Bytes& ts) { FilterWhole(tsfix::PrimeContinuity(ts)); }
  // The EITI line of the event of `prog` playing at GPS time t, or "".
  std::string At(uint16_t prog, uint32_t t) {
    ScalProgramDesc* p = FindProgram(tm, prog);
    if (p == nullptr) return "no program";
    Event* ev = tm.FindEventPlayingAtDtime(t, ListOf(p->mEvents));
    if (ev == nullptr) return "";
    char line[8192];
    int n = tm.FormatEvent(line, ev);
    return std::string(line, static_cast<size_t>(n));
  }
};

const uint16_t kTsid = 0x0101;
const uint32_t kOffset = 18;
const uint32_t kDay = (59290u - 44244u) * 86400u;  // MJD 0xe79a, 00:00 UTC
uint32_t Gps(int h, int m) { return kDay + static_cast<uint32_t>(h * 3600 + m * 60) + kOffset; }

// PAT, PMTs, MGT (EIT-0..3 on 0x1D00.., event ETTs on 0x1E00, channel ETTs
// on 0x1A04), TVCT (programs 1, 2 with source_ids 11, 12) and STT; packed:
// the three base PID tables back to back in as few packets as they fit.
void Base(tsfix::PsipStream& s, bool packed = false) {
  s.Add(0x0000, tsfix::MakePat(kTsid, 0, {{1, 0x0031}, {2, 0x0032}}));
  for (uint16_t prog = 1; prog <= 2; ++prog)
    s.Add(static_cast<uint16_t>(0x30 + prog),
          tsfix::MakePmt(prog, 0x100, 0, {{0x02, static_cast<uint16_t>(0x100 + prog), {}}}));
  std::vector<tsfix::MgtTable> tables(7);
  uint16_t types[] = {0x0000, 0x0100, 0x0101, 0x0102, 0x0103, 0x0200, 0x0004};
  uint16_t pids[] = {0x1FFB, 0x1D00, 0x1D01, 0x1D02, 0x1D03, 0x1E00, 0x1A04};
  for (int i = 0; i < 7; ++i) {
    tables[i].tableType = types[i];
    tables[i].pid = pids[i];
  }
  Bytes mgt = tsfix::MakeMgt(tables);
  std::vector<tsfix::TvctChannel> channels(2);
  for (int i = 0; i < 2; ++i) {
    channels[i].shortName = i == 0 ? "ONE" : "TWO";
    channels[i].major = 9;
    channels[i].minor = static_cast<uint16_t>(i + 1);
    channels[i].channelTsid = kTsid;
    channels[i].program = static_cast<uint16_t>(i + 1);
    channels[i].sourceId = static_cast<uint16_t>(11 + i);
  }
  std::vector<Bytes> base = {mgt, tsfix::MakeTvct(kTsid, 0, channels), tsfix::MakeStt(Gps(8, 0) + 30, kOffset)};
  if (packed) {
    s.AddPacked(0x1FFB, base);
    return;
  }
  for (const Bytes& b : base) s.Add(0x1FFB, b);
}

}  // namespace

TEST(PsipGuide, HuffmanTitlesOverSectionsAndTextsEitherSideOfTheirEit) {
  tsfix::PsipStream s;
  Base(s);
  // An ETT ahead of its event's EIT, in the description tree.
  s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(11, 1), 0, tsfix::HuffmanMss("First text.", 2)));
  std::vector<tsfix::EitEvent> events;
  const char* titles[] = {"Alpha", "Beta Two", "Gamma ~ [3]", "Delta"};
  for (int i = 0; i < 4; ++i)
    events.push_back(tsfix::Event(static_cast<uint16_t>(1 + i), Gps(7 + i, 0), 3600,
                                  tsfix::HuffmanMss(titles[i], 1)));
  // EIT-0 in two sections, the next three hours in EIT-1..3.
  std::vector<tsfix::EitEvent> first(events.begin(), events.begin() + 2);
  for (const Bytes& sec : tsfix::MakeEitSections(11, 0, first, 1)) s.Add(0x1D00, sec);
  for (int k = 1; k <= 2; ++k)
    s.Add(static_cast<uint16_t>(0x1D00 + k), tsfix::MakeEit(11, 0, 0, 0, {events[1 + k]}));
  s.Add(0x1D03, tsfix::MakeEit(12, 0, 0, 0, {tsfix::Event(9, Gps(8, 0), 1800, tsfix::PlainMss("Other"))}));
  // ETTs after their EIT: plain, and a description-tree text for program 2.
  s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(11, 3), 0, tsfix::PlainMss("Third, plain.")));
  s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(12, 9), 0, tsfix::HuffmanMss("Elsewhere & later?", 2)));
  // A channel's extended text.
  s.Add(0x1A04, tsfix::MakeEtt(tsfix::ChannelEtmId(12), 0, tsfix::HuffmanMss("Channel Two Long", 2)));

  Fixture fx;
  fx.Feed(s.Build());
  EXPECT_STREQ("e79a 0800", fx.f.GetMjdDateTime());
  EXPECT_EQ("EITI e79a 0700 0100 S5,00[Alpha]L11,00[First text.]\r\n", fx.At(1, Gps(7, 30)));
  EXPECT_EQ("EITI e79a 0800 0100 S8,00[Beta Two]L0,00[]\r\n", fx.At(1, Gps(8, 30)));
  EXPECT_EQ("EITI e79a 0900 0100 S11,00[Gamma ~ [3]]L13,00[Third, plain.]\r\n", fx.At(1, Gps(9, 59)));
  EXPECT_EQ("EITI e79a 1000 0100 S5,00[Delta]L0,00[]\r\n", fx.At(1, Gps(10, 1)));
  EXPECT_EQ("", fx.At(1, Gps(11, 1)));
  EXPECT_EQ("EITI e79a 0800 0030 S5,00[Other]L18,00[Elsewhere & later?]\r\n", fx.At(2, Gps(8, 10)));
  ScalProgramDesc* two = FindProgram(fx.tm, 2);
  ASSERT_NE(nullptr, two);
  ASSERT_NE(nullptr, two->channelLongName);
  EXPECT_STREQ("Channel Two Long", two->channelLongName);
}

// A multiplexer packs short sections: the MGT, TVCT and STT share packets,
// and on EIT-0 a long section ends in the packet where three short ones
// follow (the last running into the next packet, which ends in stuffing).
// Every section reaches its analyser: each event is in the guide.
TEST(PsipGuide, SectionsPackedBackToBackInPacketsAllReachTheGuide) {
  tsfix::PsipStream s;
  Base(s, true);
  std::string longTitle(100, 'L');
  Bytes first = tsfix::MakeEit(11, 0, 0, 3,
                               {tsfix::Event(1, Gps(6, 0), 1800, tsfix::PlainMss(longTitle + "1")),
                                tsfix::Event(2, Gps(6, 30), 1800, tsfix::PlainMss(longTitle + "2"))});
  Bytes second = tsfix::MakeEit(11, 0, 1, 3, {tsfix::Event(3, Gps(7, 0), 3600, tsfix::PlainMss("Three"))});
  Bytes third = tsfix::MakeEit(11, 0, 2, 3, {tsfix::Event(4, Gps(8, 0), 3600, tsfix::PlainMss("Four"))});
  Bytes other = tsfix::MakeEit(12, 0, 0, 0, {tsfix::Event(5, Gps(8, 0), 1800, tsfix::PlainMss("Five"))});
  // The layout this test is about: the long section ends in the second
  // packet, and the short ones follow it there.
  ASSERT_GT(first.size(), 183u);
  ASSERT_LT(first.size() + second.size() + third.size(), 2u * 183u);
  ASSERT_GT(first.size() + second.size() + third.size() + other.size(), 2u * 183u);
  s.AddPacked(0x1D00, {first, second, third, other});

  Fixture fx;
  fx.Feed(s.Build());
  EXPECT_STREQ("e79a 0800", fx.f.GetMjdDateTime());
  EXPECT_EQ("EITI e79a 0600 0030 S101,00[" + longTitle + "1]L0,00[]\r\n", fx.At(1, Gps(6, 10)));
  EXPECT_EQ("EITI e79a 0630 0030 S101,00[" + longTitle + "2]L0,00[]\r\n", fx.At(1, Gps(6, 40)));
  EXPECT_EQ("EITI e79a 0700 0100 S5,00[Three]L0,00[]\r\n", fx.At(1, Gps(7, 30)));
  EXPECT_EQ("EITI e79a 0800 0100 S4,00[Four]L0,00[]\r\n", fx.At(1, Gps(8, 30)));
  EXPECT_EQ("EITI e79a 0800 0030 S4,00[Five]L0,00[]\r\n", fx.At(2, Gps(8, 10)));
}

// Packed sections start anywhere in a packet, their header cut by its end
// too: the second section's start is moved over the end of the first packet,
// one byte at a time (header whole, cut after 6..1 bytes, at the next
// packet's start, inside it); the third starts in the second packet.
TEST(PsipGuide, PackedSectionsWhoseHeaderTheFirstPacketCuts) {
  for (size_t titleLength = 140; titleLength < 158; ++titleLength) {
    tsfix::PsipStream s;
    Base(s);
    Bytes first = tsfix::MakeEit(11, 0, 0, 2,
                                 {tsfix::Event(1, Gps(6, 0), 1800, tsfix::PlainMss(std::string(titleLength, 'T')))});
    Bytes second = tsfix::MakeEit(11, 0, 1, 2, {tsfix::Event(2, Gps(7, 0), 3600, tsfix::PlainMss("Two"))});
    Bytes third = tsfix::MakeEit(11, 0, 2, 2, {tsfix::Event(3, Gps(8, 0), 3600, tsfix::PlainMss("Three"))});
    // The first packet's payload holds the pointer_field and 183 bytes.
    SCOPED_TRACE(first.size());
    s.AddPacked(0x1D00, {first, second, third});
    Fixture fx;
    fx.Feed(s.Build());
    EXPECT_EQ("EITI e79a 0700 0100 S3,00[Two]L0,00[]\r\n", fx.At(1, Gps(7, 30)));
    EXPECT_EQ("EITI e79a 0800 0100 S5,00[Three]L0,00[]\r\n", fx.At(1, Gps(8, 30)));
  }
}

// The player loops a capture: at the loop every PID's counter jumps, which
// cuts nothing here (each section ends before the file does).  The second
// pass delivers every EIT section again, the first of each PID included.
TEST(PsipGuide, ACaptureFedAgainAfterItsEndDeliversEverySectionAgain) {
  tsfix::PsipStream s;
  Base(s);
  std::vector<tsfix::EitEvent> events;
  for (int i = 0; i < 4; ++i)
    events.push_back(tsfix::Event(static_cast<uint16_t>(1 + i), Gps(7 + i, 0), 3600, tsfix::PlainMss("E")));
  for (const Bytes& sec : tsfix::MakeEitSections(11, 0, events, 1)) s.Add(0x1D00, sec);
  s.Add(0x1D01, tsfix::MakeEit(12, 0, 0, 0, {tsfix::Event(9, Gps(8, 0), 1800, tsfix::PlainMss("F"))}));
  Bytes once = s.Build();
  Bytes twice = once;
  tsfix::Append(twice, once);

  Fixture fx;
  fx.Feed(twice);
  uint32_t delivered = 0;
  uint32_t lost = 0;
  TableCollector* tc = fx.f.mpTableCollector;
  for (int i = 0; i < tc->mTableCount; ++i) {
    if (tc->mTables[i]->mTableId != 0xCB) continue;
    delivered += tc->mTables[i]->mGoodSections;
    lost += tc->mTables[i]->mDroppedSectionsContinuity;
  }
  EXPECT_EQ(2u * 5u, delivered);
  EXPECT_EQ(0u, lost);
}
