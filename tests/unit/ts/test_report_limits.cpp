// Reports that a broken stream repeats on every section: one line per
// interval, with the count, however long the flood.

#include <gtest/gtest.h>

#include <string>

#include "core/reportdue.h"
#include "filter_fixture.h"
#include "stdio_capture.h"
#include "tsfixture.h"

namespace {

size_t occurrences(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(ReportLimit, FirstAtOnceThenOnePerIntervalWithTheCount) {
  ReportLimit limit;
  unsigned int count = 0;
  ASSERT_TRUE(limit.Due(&count));
  EXPECT_EQ(1u, count);
  for (int i = 0; i < 1000; ++i) ASSERT_FALSE(limit.Due(&count));
  // The interval has passed: the next line stands for all since the last.
  limit.last -= ReportLimit::kIntervalS;
  ASSERT_TRUE(limit.Due(&count));
  EXPECT_EQ(1001u, count);
}

TEST(ReportLimit, APatWithABadCrcRepeatedFiveThousandTimesLogsOnce) {
  vyxtest::FilterFixture fx;
  fx.f.FilterActive(true);
  tsfix::Bytes pat = tsfix::MakePat(0x21, 0, {{1, 0x100}});
  pat[pat.size() - 1] ^= 0xFF;
  pat.insert(pat.begin(), 0x00);  // pointer_field
  tsfix::Bytes ts;
  for (int i = 0; i < 5000; ++i)
    tsfix::Append(ts, tsfix::MakePacket(0, true, static_cast<uint8_t>(i & 0x0F), pat));
  int saved = global_debug_flag;
  global_debug_flag = 1;
  vyxtest::StdioCapture out(stdout);
  fx.FilterWhole(ts);
  std::string log = out.Stop();
  global_debug_flag = saved;
  EXPECT_LE(5000u, fx.f.mPacketIdMap[0].count);
  EXPECT_EQ(1u, occurrences(log, "CRC32 ERR")) << log.substr(0, 2000);
  EXPECT_GE(1u, occurrences(log, "Ignore CRC"));
}

}  // namespace
