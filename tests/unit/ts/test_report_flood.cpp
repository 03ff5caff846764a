// The worst case of the report limit: a stream that repeats a bad table
// thousands of times a second gives one line per interval for each report,
// each with the number of occurrences it stands for, and none is lost from
// the count.  The interval is scaled down (VYX_TIME_SCALE, set before the
// library first reads it) so that several pass within the test.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "limited_lines.h"
#include "stdio_capture.h"
#include "tsfixture.h"
#include "waits.h"

namespace {

const bool scaled = setenv("VYX_TIME_SCALE", "100", 1) == 0;  // the 10-s interval lasts 0.1 s
constexpr double kInterval = 0.1;

using tsfix::Bytes;

// A PAT naming program 1 on PMT PID 0x100, then `repeats` copies of a PMT
// whose language descriptor has a byte left over after its one entry.
Bytes BadPmtStream(int repeats, uint8_t* cc) {
  Bytes ts;
  Bytes pat = tsfix::MakePat(0x21, 0, {{1, 0x100}});
  pat.insert(pat.begin(), 0x00);
  tsfix::Append(ts, tsfix::MakePacket(0, true, 0, pat));
  tsfix::Descriptor lang{0x0A, {'e', 'n', 'g', 0x00, 0x55}};
  Bytes pmt = tsfix::MakePmt(1, 0x101, 0, {{0x04, 0x101, {lang}}});
  pmt.insert(pmt.begin(), 0x00);
  for (int i = 0; i < repeats; ++i) {
    tsfix::Append(ts, tsfix::MakePacket(0x100, true, *cc, pmt));
    *cc = static_cast<uint8_t>((*cc + 1) & 0x0F);
  }
  return ts;
}

TEST(ReportFlood, ABadPmtRepeatedForHalfASecondGivesALinePerIntervalAndEveryOccurrenceCounted) {
  ASSERT_TRUE(scaled);
  vyxtest::FilterFixture fx;
  fx.f.FilterActive(true);
  uint8_t cc = 0;
  vyxtest::StdioCapture err(stderr);
  const double start = vyx_monotonic_s();
  int fed = 0;
  while (vyx_monotonic_s() - start < 0.5) {
    fx.FilterWhole(BadPmtStream(200, &cc));
    fed += 200;
  }
  const double elapsed = vyx_monotonic_s() - start;
  // After a quiet interval one more brings the line of all not yet said.
  vyx_sleep_exact(kInterval * 1.5);
  fx.FilterWhole(BadPmtStream(1, &cc));
  ++fed;
  std::string log = err.Stop();

  std::vector<unsigned> counts = vyxtest::LimitedCounts(log, "Bad descriptor length (remainder 1)");
  ASSERT_GE(counts.size(), 2u) << log.substr(0, 2000);
  EXPECT_EQ(1u, counts.front());  // the first at once
  // One line per interval at most, and the last after the pause.
  EXPECT_LE(counts.size(), static_cast<size_t>(elapsed / kInterval) + 2) << elapsed << " s, " << fed << " fed";
  EXPECT_EQ(static_cast<unsigned>(fed), vyxtest::Sum(counts));
  EXPECT_GT(fed, 1000);  // a flood indeed: thousands a second
  printf("%d bad PMTs in %.2f s: %zu lines\n", fed, elapsed, counts.size());
}

// A debug line meets the limit only while the debug log is on: what went by
// unprinted is not counted, and the first line once it is on comes at once.
TEST(ReportFlood, DebugLinesAreCountedOnlyWhileTheLogIsOn) {
  ASSERT_TRUE(scaled);
  vyxtest::FilterFixture fx;
  fx.f.FilterActive(true);
  uint8_t cc = 0;
  const int saved = global_debug_flag;
  global_debug_flag = 0;
  fx.FilterWhole(BadPmtStream(1000, &cc));
  global_debug_flag = 1;
  vyxtest::StdioCapture out(stdout);
  fx.FilterWhole(BadPmtStream(1, &cc));
  std::string log = out.Stop();
  global_debug_flag = saved;
  EXPECT_EQ(vyxtest::LimitedCounts(log, "\nLLLLL Found lang eng"), std::vector<unsigned>{1u}) << log;
}

}  // namespace
