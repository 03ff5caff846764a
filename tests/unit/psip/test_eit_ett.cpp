// ATSC event information and extended text tables: the sections that stop
// before the guide sees them (other table ids, reserved bits, counts and
// lengths past the section), read from exact-size copies so that any read
// past a section is an overrun under ASan.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "stdio_capture.h"

namespace {

using tsfix::Bytes;
using vyxtest::StdioCapture;

struct Fixture : vyxtest::FilterFixture {
  bool Eit(const Bytes& s, std::string* log = nullptr) { return Run(&TsFilter::AnalyzeSectionEit, s, log); }
  bool Ett(const Bytes& s, std::string* log = nullptr) { return Run(&TsFilter::AnalyzeSectionEtt, s, log); }

 private:
  bool Run(bool (TsFilter::*fn)(unsigned char*), const Bytes& s, std::string* log) {
    global_debug_flag = log != nullptr ? 1 : 0;
    StdioCapture out(stdout);
    bool r = Analyse(fn, s);
    std::string text = out.Stop();
    global_debug_flag = 0;
    if (log != nullptr) *log = text;
    return r;
  }
};

std::vector<tsfix::EitEvent> ThreeEvents() {
  return {tsfix::Event(1, 1000000, 1800, tsfix::PlainMss("One")),
          tsfix::Event(2, 1001800, 1800, tsfix::HuffmanMss("Two", 1)),
          tsfix::Event(3, 1003600, 3600, tsfix::PlainMss("Three"))};
}

}  // namespace

TEST(EitSection, ReservedBitsAndCountsStopTheSection) {
  Fixture fx;
  EXPECT_TRUE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ThreeEvents())));
  EXPECT_TRUE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, {})));

  // Byte 1's reserved bits: the whole section is refused.
  Bytes r1 = tsfix::MakeEit(1, 0, 0, 0, ThreeEvents());
  r1[1] &= 0xCF;
  tsfix::FixCrc(r1);
  std::string log;
  EXPECT_FALSE(fx.Eit(r1, &log));
  EXPECT_NE(std::string::npos, log.find("Eit: ERROR reserved not chking: pkt[1] c"));

  // The second event's descriptors_length byte without its reserved bits.
  Bytes r3 = tsfix::MakeEit(1, 0, 0, 0, ThreeEvents());
  size_t second = 10 + 10 + tsfix::PlainMss("One").size() + 2;
  size_t d0 = second + 10 + tsfix::HuffmanMss("Two", 1).size();
  ASSERT_EQ(0xF0, r3[d0]);
  r3[d0] = 0x30;
  tsfix::FixCrc(r3);
  EXPECT_FALSE(fx.Eit(r3, &log));
  EXPECT_NE(std::string::npos, log.find("Eit ERROR reserved 3 mismatch is 30 should be 0xC0"));

  // More events announced than the section holds.
  EXPECT_FALSE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ThreeEvents(), 255)));
  // A title or descriptor loop running past the section, from the first
  // event and from the last.
  for (int which : {0, 2}) {
    std::vector<tsfix::EitEvent> ev = ThreeEvents();
    ev[which].titleLengthOverride = 200;
    EXPECT_FALSE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ev))) << which;
    ev = ThreeEvents();
    ev[which].descriptorsLengthOverride = 0xFFF;
    EXPECT_FALSE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ev))) << which;
    // Descriptors inside the section are skipped whole.
    ev = ThreeEvents();
    ev[which].descriptors = {0x0A, 0x04, 'e', 'n', 'g', 0};
    EXPECT_TRUE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ev))) << which;
  }
  // A title_length that covers the descriptors_length bytes too.
  std::vector<tsfix::EitEvent> ev = ThreeEvents();
  ev[2].titleLengthOverride = static_cast<int>(ev[2].title.size()) + 2;
  EXPECT_FALSE(fx.Eit(tsfix::MakeEit(1, 0, 0, 0, ev)));

  // section_length past a private section, or shorter than the header.
  Bytes big = tsfix::MakeEit(1, 0, 0, 0, ThreeEvents());
  big[1] = 0xFF;
  big[2] = 0xFE;
  EXPECT_FALSE(fx.Eit(big));
  Bytes tiny = tsfix::MakeEit(1, 0, 0, 0, {});
  tiny[2] = 10;
  EXPECT_FALSE(fx.Eit(Bytes(tiny.begin(), tiny.begin() + 13)));
}

TEST(EitSection, OtherTablesAreBugs) {
  Fixture fx;
  Bytes other = tsfix::MakeEit(1, 0, 0, 0, ThreeEvents());
  other[0] = 0xCC;
  StdioCapture err(stderr);
  EXPECT_FALSE(fx.Eit(other));
  EXPECT_NE(std::string::npos, err.Stop().find("BUG: cc"));
  EXPECT_FALSE(fx.f.AnalyzeSectionEit(nullptr));
}

TEST(EttSection, NeverStopsAndRefusesOtherTables) {
  Fixture fx;
  Bytes ett = tsfix::MakeEtt(tsfix::EventEtmId(1, 2), 0, tsfix::PlainMss("Text"));
  std::string log;
  EXPECT_FALSE(fx.Ett(ett, &log));
  EXPECT_EQ(std::string::npos, log.find("reserved"));
  Bytes r = ett;
  r[1] &= 0xCF;
  tsfix::FixCrc(r);
  EXPECT_FALSE(fx.Ett(r, &log));
  EXPECT_NE(std::string::npos, log.find("Eit: ERROR reserved not chking: pkt[1] c"));
  Bytes other = ett;
  other[0] = 0xCB;
  EXPECT_FALSE(fx.Ett(other, &log));
  EXPECT_NE(std::string::npos, log.find("Ett: ERROR packet Id invalid: pkt[0] cb expected 0xCC"));
  EXPECT_FALSE(fx.f.AnalyzeSectionEtt(nullptr));
  // Section lengths that cannot be an ETT, and a message cut by the CRC.
  Bytes tiny = ett;
  tiny[2] = 13;
  EXPECT_FALSE(fx.Ett(Bytes(tiny.begin(), tiny.begin() + 16)));
  Bytes cut = tsfix::MakeEtt(tsfix::EventEtmId(1, 2), 0, tsfix::MakeMss({{"eng", {{0, 0, Bytes(10, 'a'), 250}}}}));
  EXPECT_FALSE(fx.Ett(cut));
}
