// The guide under a rolling week, hour by hour through the packet loop: a
// new STT every hour, EIT windows that shift with new versions every three
// hours, PMT versions and an audio track coming and going, and a retune to
// the other multiplex every day.  After each hour every event the stream
// announces for the next 12 hours answers its exact line, and nothing of
// the other multiplex or of ended days piles up.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "filter_fixture.h"
#include "stdio_capture.h"
#include "ts/tablecollector.h"
#include "ts/time.h"
#include "tsfixture_week.h"

namespace {

namespace week = tsfix::week;

struct Rolling : vyxtest::FilterFixture {
  Rolling() { f.FilterActive(true); }
  ~Rolling() { Time::Self()->SetTime(0, 0, 0); }

  // What a UNIT on another RF channel does before the new multiplex flows.
  void Tune(int channel) {
    f.mpTableCollector->Reset();
    f.mPatCurrentNextIndicator = -1;
    f.mElementaryStreamCount = 0;
    tm.mCurrentChannel = channel;
    f.FilterActive(true);
  }
  // The hour's file as the tuner loops it: twice.
  void Feed(int mux, int hour) {
    tsfix::Bytes ts = week::HourStream(mux, hour);
    tsfix::Bytes twice = ts;
    tsfix::Append(twice, ts);
    FilterWhole(twice);
  }
  // Events of the next 12 h whose answer differs from the stream's (the
  // first few shown).
  int Mismatches(int mux, int hour) {
    const uint32_t now = week::HourTime(hour);
    int bad = 0;
    for (int ch = 0; ch < week::kChannels; ++ch) {
      for (const week::WeekEvent& e : week::HourEvents(mux, hour, ch)) {
        if (e.start >= now + 12 * 3600 || e.start + week::kEventMinutes * 60 <= now) continue;
        const uint32_t at = e.start + 60;
        std::vector<std::string> got = vyxtest::AskGuide(tm, week::TransportId(mux), static_cast<uint16_t>(ch + 1),
                                                         at / 86400 + 40587, at % 86400 / 3600 * 100 + at % 3600 / 60,
                                                         0, 'i');
        const std::string want = Line(e) + "OK\r\n";
        if (got.size() == 1 && got[0] == want) continue;
        if (++bad <= 3)
          ADD_FAILURE() << "hour " << hour << " program " << ch + 1 << " at " << e.start << ": "
                        << (got.empty() ? "(nothing)" : got[0].substr(0, 120));
      }
    }
    return bad;
  }
  static std::string Line(const week::WeekEvent& e) {
    char head[64];
    snprintf(head, sizeof(head), "EITI %x %.2u%.2u 0030 S%zu,00[", e.start / 86400 + 40587, e.start % 86400 / 3600,
             e.start % 3600 / 60, e.title.size());
    return head + e.title + "]L" + std::to_string(e.text.size()) + ",00[" + e.text + "]\r\n";
  }
};

}  // namespace

TEST(GuideWeek, EveryHourOfThreeDaysAnswersTheNextTwelveHoursExactly) {
  Rolling r;
  vyxtest::StdioCapture err(stderr);
  const int channels[] = {5, 7};
  int mux = 0;
  r.Tune(channels[mux]);
  unsigned int mostEvents = 0;
  for (int hour = 0; hour < 72; ++hour) {
    if (hour % 24 == 12) {
      mux = 1 - mux;
      r.Tune(channels[mux]);
    }
    r.Feed(mux, hour);
    ASSERT_EQ(Time::Self()->mSystemTime, week::HourTime(hour) - 315964800u + 18u) << "the STT of hour " << hour;
    ASSERT_EQ(r.Mismatches(mux, hour), 0) << "hour " << hour;
    if (r.tm.mEventsInUse > mostEvents) mostEvents = r.tm.mEventsInUse;
  }
  // One multiplex's events at a time: per channel at most what was announced
  // since the retune (a day's 48 events and the 30 ahead), never both
  // multiplexes' (ended events stay while there is room).
  EXPECT_LE(mostEvents, 4u * (48u + 30u));
  EXPECT_GT(mostEvents, 4u * 30u);
  EXPECT_EQ(r.tm.mEventsDropped + r.tm.mTextsDropped, 0u);
  const std::string errors = err.Stop();
  EXPECT_EQ(errors.find("PANIC"), std::string::npos) << errors.substr(0, 400);
}
