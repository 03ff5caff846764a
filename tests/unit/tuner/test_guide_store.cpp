// The guide store over a week on air: whole multiplexes (8 virtual channels
// of 128 events with their descriptions) fed through the packet loop and
// answered exactly after any number of retunes; the longest texts; ended
// events giving way first; the overflow said once per multiplex; reports
// of a fault that repeats with every table staying few; the text arena's
// compaction and the shared list nodes.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/reportdue.h"
#include "filter_fixture.h"
#include "stdio_capture.h"
#include "ts/time.h"
#include "ts/tablecollector.h"
#include "tuner/guidetextpool.h"

namespace {

using tsfix::Bytes;
using vyxtest::FindProgram;

constexpr uint32_t kOffset = 18;
constexpr uint32_t kDay = (59290u - 44244u) * 86400u + kOffset;  // MJD 0xe79a 00:00 UTC, GPS

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// `len` characters of words, different for every seed.
std::string Words(unsigned int seed, size_t len) {
  static const char* kWords[] = {"the", "news", "of", "tonight", "weather", "and", "sport",
                                 "drama", "in", "three", "parts", "with", "guests", "live",
                                 "from", "a", "studio", "documentary", "about", "rivers"};
  std::string out;
  unsigned int x = seed * 2654435761u + 12345u;
  while (out.size() < len) {
    x = x * 1103515245u + 12345u;
    out += kWords[(x >> 16) % 20];
    out += (x & 0x300) == 0 ? ". " : " ";
  }
  return out.substr(0, len);
}

// A multiplex of the shape a head-end sees: 8 virtual channels of 128
// half-hour events (64 hours from 06:00), a 200..999-byte description each,
// one in three Huffman coded (the longer ones in several segments).  `name` tells the
// multiplexes' titles and texts apart.
tsfix::GuideMux Shape(char name, uint16_t tsid, size_t textBase = 200, size_t textSpread = 800) {
  tsfix::GuideMux m;
  m.tsid = tsid;
  m.firstStart = kDay + 6 * 3600;
  m.now = m.firstStart + 60;
  m.gpsUtcOffset = kOffset;
  m.title = [name](int ch, int ev) {
    return std::string(1, name) + std::to_string(ch + 1) + "-" + std::to_string(ev) + " " +
           Words(static_cast<unsigned int>(ch * 1000 + ev), 12);
  };
  m.text = [name, textBase, textSpread](int ch, int ev) {
    const unsigned int seed = static_cast<unsigned int>(name) * 7919u + ch * 131u + ev;
    return std::string(1, name) + Words(seed, textBase + (ch * 131 + ev * 71) % textSpread);
  };
  m.huffman = [](int, int ev) { return ev % 3 == 0; };
  m.longName = [name](int ch) { return std::string(1, name) + " channel " + std::to_string(ch + 1); };
  return m;
}

// The EITI line the queries must give for event ev of channel ch.
std::string Expected(const tsfix::GuideMux& m, int ch, int ev) {
  const uint32_t start = m.firstStart + static_cast<uint32_t>(ev) * m.eventSeconds - m.gpsUtcOffset;
  const std::string title = m.title(ch, ev);
  const std::string text = m.text(ch, ev);
  char head[64];
  snprintf(head, sizeof(head), "EITI %x %.2u%.2u %.4u S%zu,00[", start / 86400 + 44244,
           start % 86400 / 3600, start % 3600 / 60,
           m.eventSeconds / 3600 * 100 + m.eventSeconds % 3600 / 60, title.size());
  return head + title + "]L" + std::to_string(text.size()) + ",00[" + text + "]\r\n";
}

struct Store : vyxtest::FilterFixture {
  Store() { f.FilterActive(true); }
  ~Store() { Time::Self()->SetTime(0, 0, 0); }

  // What a UNIT on another RF channel does before the new multiplex flows.
  void Tune(int channel, const Bytes& ts) {
    f.mpTableCollector->Reset();
    f.mPatCurrentNextIndicator = -1;
    f.mElementaryStreamCount = 0;
    tm.mCurrentChannel = channel;
    f.FilterActive(true);
    FilterWhole(tsfix::PrimeContinuity(ts));
  }
  std::string Line(Event* ev) {
    std::vector<char> b(TunerManager::kEventLineMax);
    int n = tm.FormatEvent(b.data(), ev);
    return n < 0 ? "(none)" : std::string(b.data(), static_cast<size_t>(n));
  }
  // Events of the multiplex whose line differs from the expected one (the
  // first few shown).
  int Mismatches(const tsfix::GuideMux& m) {
    int bad = 0;
    for (int ch = 0; ch < m.channels; ++ch) {
      ScalProgramDesc* p = FindProgram(tm, static_cast<uint16_t>(ch + 1));
      for (int ev = 0; ev < m.events; ++ev) {
        const uint32_t start = m.firstStart + static_cast<uint32_t>(ev) * m.eventSeconds;
        Event* e = p != nullptr ? tm.FindEventPlayingAtDtime(start + 60, &p->mEvents) : nullptr;
        std::string got = e != nullptr ? Line(e) : "(none)";
        if (got == Expected(m, ch, ev)) continue;
        if (++bad <= 3) ADD_FAILURE() << "ch " << ch << " ev " << ev << ": " << got.substr(0, 90);
      }
    }
    return bad;
  }
  unsigned int EventsHeld(int channel) {
    unsigned int n = 0;
    for (ScalProgramDesc* p = tm.GetScalProgramDesc(channel)->head; p != nullptr; p = p->pNext)
      n += p->mEvents.length();
    return n;
  }
};

}  // namespace

TEST(GuideStore, WholeMultiplexKeptAcrossRetunes) {
  const tsfix::GuideMux a = Shape('A', 0x0A0A), b = Shape('B', 0x0B0B);
  // The third carries descriptions of 4,001 bytes, one in three coded in
  // many segments: each reaches the answer whole.
  const tsfix::GuideMux c = Shape('C', 0x0C0C, 4000, 1);
  const Bytes tsA = a.Build(), tsB = b.Build(), tsC = c.Build();
  const struct {
    int channel;
    const tsfix::GuideMux* mux;
    const Bytes* ts;
  } plan[] = {{5, &a, &tsA}, {7, &b, &tsB}, {5, &a, &tsA}, {9, &c, &tsC}, {7, &b, &tsB},
              {5, &a, &tsA}, {9, &c, &tsC}, {5, &a, &tsA}, {7, &b, &tsB}, {9, &c, &tsC},
              {7, &b, &tsB}, {5, &a, &tsA}};
  Store s;
  vyxtest::StdioCapture err(stderr);
  int round = 0;
  for (const auto& step : plan) {
    s.Tune(step.channel, *step.ts);
    ASSERT_EQ(s.Mismatches(*step.mux), 0) << "round " << round;
    // Only the tuned multiplex is held: its 1,024 events and nothing else.
    EXPECT_EQ(s.EventsHeld(step.channel), 1024u) << round;
    EXPECT_EQ(s.tm.mEventsInUse, 1024u) << round;
    ScalProgramDesc* first = FindProgram(s.tm, 1);
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first->channelLongName, step.mux->longName(0).c_str()) << round;
    ++round;
  }
  // The queries as the controller sends them, for every program.
  for (int ch = 0; ch < 8; ++ch) {
    const uint16_t prog = static_cast<uint16_t>(ch + 1);
    EXPECT_EQ(vyxtest::AskGuide(s.tm, 0x0A0A, prog, 0, 0, 0, 'n'),
              std::vector<std::string>{Expected(a, ch, 0) + Expected(a, ch, 1) + "OK\r\n"});
    EXPECT_EQ(vyxtest::AskGuide(s.tm, 0x0A0A, prog, 0, 0, 90, 'l'),
              std::vector<std::string>{Expected(a, ch, 0) + Expected(a, ch, 1) + Expected(a, ch, 2) +
                                       Expected(a, ch, 3) + "OK\r\n"});
    // 18:40 UTC of the third day: event 121 (06:00 + 60 h 30 min).
    EXPECT_EQ(vyxtest::AskGuide(s.tm, 0x0A0A, prog, 0xe79c, 1840, 0, 'i'),
              std::vector<std::string>{Expected(a, ch, 121) + "OK\r\n"});
  }
  EXPECT_EQ(s.tm.mEventsDropped + s.tm.mTextsDropped, 0u);
  EXPECT_EQ(Count(err.Stop(), "PANIC"), 0u);
}

namespace {

// A transmitter's manager with 8 programs (source ids 0x11..0x18) on the
// current channel, events stored directly as the analysers store them.
struct Direct : ::testing::Test {
  static constexpr uint32_t kNow = kDay + 12 * 3600;
  void SetUp() override {
    Time::Self()->SetTime(kNow, kOffset, 0);
    Programs(0);
  }
  void TearDown() override { Time::Self()->SetTime(0, 0, 0); }
  void Programs(int channel) {
    tm.mCurrentChannel = channel;
    char name[14] = {0};
    for (uint16_t prog = 1; prog <= 8; ++prog) {
      tm.AddProgramToScanResults(1, prog);
      tm.SetPsipInfoForProgram(1, prog, name, 30, prog, 4, 0, 1, static_cast<uint16_t>(0x10 + prog));
    }
  }
  bool Eit(int prog, int id, uint32_t start, uint32_t secs = 1800) {
    std::string t = "T" + std::to_string(id);
    return tm.SetEventInfoForProgram(static_cast<uint16_t>(0x10 + prog), static_cast<uint16_t>(id),
                                     start, secs, static_cast<unsigned char>(t.size()), &t[0], 0);
  }
  bool Ett(int prog, int id, const std::string& text) {
    std::string t = text;
    return tm.SetExtendedText(static_cast<uint16_t>(0x10 + prog),
                              static_cast<uint16_t>((id << 2) | 2), &t[0],
                              static_cast<uint32_t>(t.size()), 0);
  }
  Event* Find(int prog, int id) {
    ScalProgramDesc* p = FindProgram(tm, static_cast<uint16_t>(prog));
    for (Event* e = p ? p->mEvents.begin(9) : nullptr; e != nullptr; e = p->mEvents.next(9))
      if (e->eventId == static_cast<uint32_t>(id)) return e;
    return nullptr;
  }
  static std::string Text(int prog, int id, size_t len) { return Words(prog * 1000u + id, len); }
  bool TextIs(int prog, int id, const std::string& text) {
    Event* e = Find(prog, id);
    return e != nullptr && e->pLongInfo != nullptr && e->longInfoSize == text.size() &&
           memcmp(e->pLongInfo, text.data(), text.size()) == 0;
  }

  TunerManager tm{'T'};
};

}  // namespace

TEST_F(Direct, LongestTextsOfAWholeMultiplexAfterRetunes) {
  // 8 x 128 events with 4,096-byte texts: the guarantee at its limit, on
  // three channels in turn.
  for (int channel : {0, 4, 0, 6}) {
    if (channel != 0) Programs(channel);
    tm.mCurrentChannel = channel;
    for (int prog = 1; prog <= 8; ++prog)
      for (int id = 1; id <= 128; ++id) {
        ASSERT_TRUE(Eit(prog, id, kNow - 60 + (id - 1) * 1800u)) << channel << " " << prog << " " << id;
        ASSERT_TRUE(Ett(prog, id, Text(prog, id + channel, 4096))) << channel << " " << prog << " " << id;
      }
    int wrong = 0;
    for (int prog = 1; prog <= 8; ++prog)
      for (int id = 1; id <= 128; ++id) wrong += !TextIs(prog, id, Text(prog, id + channel, 4096));
    EXPECT_EQ(wrong, 0) << channel;
    EXPECT_EQ(tm.mpTextPool->InUse(), 1024u);
  }
  // The answer of the longest kind: both lines whole.
  std::vector<std::string> got = vyxtest::AskGuide(tm, 1, 3, 0, 0, 0, 'n');
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(Count(got[0], "]L4096,00["), 2u);
  EXPECT_EQ(got[0].substr(got[0].size() - 4), "OK\r\n");
  EXPECT_EQ(tm.mTextsDropped, 0u);
}

TEST_F(Direct, EndedEventsGiveWayFirstOldestFirst) {
  // 8 x 128 events, the first 16 of each program over (the earliest first),
  // with 4,000-byte texts: the text arena is nearly full.
  auto start = [](int id) { return kNow - 16 * 1800u + static_cast<uint32_t>(id - 1) * 1800u; };
  for (int prog = 1; prog <= 8; ++prog)
    for (int id = 1; id <= 128; ++id) {
      ASSERT_TRUE(Eit(prog, id, start(id)));
      ASSERT_TRUE(Ett(prog, id, Text(prog, id, 4000)));
    }
  // 250 more events to come, with texts: the arena has room for 150, the
  // ended events make room for the rest, the longest over first.
  for (int id = 200; id < 450; ++id) {
    ASSERT_TRUE(Eit(1, id, kNow + id * 60u, 60));
    ASSERT_TRUE(Ett(1, id, Text(1, id, 4000))) << id;
  }
  int ended = 0, endedKept = 0, comingWrong = 0;
  uint32_t lastGoneEnd = 0, firstKeptEnd = UINT32_MAX;
  for (int prog = 1; prog <= 8; ++prog)
    for (int id = 1; id <= 128; ++id) {
      const bool over = start(id) + 1800 < kNow;
      Event* e = Find(prog, id);
      if (over) {
        ++ended;
        if (e != nullptr) ++endedKept, firstKeptEnd = std::min(firstKeptEnd, start(id) + 1800);
        else lastGoneEnd = std::max(lastGoneEnd, start(id) + 1800);
      } else {
        comingWrong += !TextIs(prog, id, Text(prog, id, 4000));
      }
    }
  for (int id = 200; id < 450; ++id) comingWrong += !TextIs(1, id, Text(1, id, 4000));
  EXPECT_EQ(ended, 8 * 15);  // the 16th ends at the STT time exactly: not over
  EXPECT_LT(endedKept, ended);
  EXPECT_EQ(comingWrong, 0);
  EXPECT_LE(lastGoneEnd, firstKeptEnd);
  EXPECT_EQ(tm.mEventsDropped + tm.mTextsDropped, 0u);
  EXPECT_GT(tm.mpTextPool->Compactions(), 0u);
}

TEST_F(Direct, OverCapacitySaidOncePerMultiplexWithCounts) {
  for (int prog = 1; prog <= 8; ++prog)
    for (int id = 1; id <= TunerManager::kEventPool / 8; ++id) ASSERT_TRUE(Eit(prog, id, kNow + id * 60u));
  std::string reports;
  {
    vyxtest::StdioCapture err(stderr);
    // Every repetition of the tables brings the events and texts that do
    // not fit again.
    for (int repeat = 0; repeat < 50; ++repeat)
      for (int id = 1000; id < 1040; ++id) {
        EXPECT_FALSE(Eit(3, id, kNow + id * 60u));
        EXPECT_FALSE(Ett(3, id, "a text for an event there is no room for"));
      }
    reports = err.Stop();
  }
  EXPECT_EQ(Count(reports, "PANIC"), 1u) << reports;
  EXPECT_NE(reports.find("Guide of channel 0 full: the multiplex announces more than the store "
                         "holds (2048 of 2048 events,"),
            std::string::npos)
      << reports;
  EXPECT_EQ(tm.mEventsDropped, 2u * 50 * 40);
  // The events held are untouched; on the next multiplex the store has room
  // again, and that multiplex's own overflow is said once more.
  EXPECT_NE(Find(8, 256), nullptr);
  Programs(9);
  {
    vyxtest::StdioCapture err(stderr);
    for (int prog = 1; prog <= 8; ++prog)
      for (int id = 1; id <= TunerManager::kEventPool / 8 + 1; ++id) Eit(prog, id, kNow + id * 60u);
    reports = err.Stop();
  }
  EXPECT_EQ(tm.mEventsInUse, static_cast<unsigned int>(TunerManager::kEventPool));
  EXPECT_EQ(tm.mEventsDropped, 2u * 50 * 40 + 8);
  EXPECT_EQ(Count(reports, "PANIC"), 1u) << reports;
  EXPECT_NE(reports.find("Guide of channel 9 full"), std::string::npos) << reports;
}

TEST_F(Direct, ReportsOfAFaultRepeatedByEveryTableStayFew) {
  // The worst case: every repetition of an ETT brings a text the store can
  // never take (longer than its longest block), 266 a second for 30 s; and
  // a controller repeating a bad guide query.
  ASSERT_TRUE(Eit(2, 7, kNow));
  const std::string huge(GuideTextPool::kMaxBytes, 'x');
  std::string reports;
  report_limits_restart();
  const double start = vyx_monotonic_s();
  {
    vyxtest::StdioCapture err(stderr);
    for (int i = 0; i < 7980; ++i) EXPECT_FALSE(Ett(2, 7, huge));
    for (int i = 0; i < 2000; ++i) vyxtest::AskGuide(tm, 1, 2, 0, 1930, 0, 'i');
    reports = err.Stop();
  }
  const double intervals = (vyx_monotonic_s() - start) / (ReportLimit::kIntervalS / vyx_time_scale());
  // One line per interval for each, led by the occurrences it stands for and
  // saying the count so far: the first of each at once.
  EXPECT_LE(Count(reports, "PANIC"), 2u * (1u + static_cast<unsigned>(intervals))) << reports.substr(0, 400);
  EXPECT_NE(reports.find("[x1] longInfoSize 0, length 4097: longer than 4096, ev_id 7 src_id 12 not stored (1)"),
            std::string::npos) << reports.substr(0, 400);
  EXPECT_NE(reports.find("Bad params for i (1)"), std::string::npos);
  // The event keeps its times; its text is simply not there.
  ASSERT_NE(Find(2, 7), nullptr);
  EXPECT_EQ(Find(2, 7)->pLongInfo, nullptr);
}

TEST(GuideTextPool, CompactionMovesBlocksAndTheirOwners) {
  // Room for four blocks of 100 bytes.
  const size_t block = GuideTextPool::BlockBytes(100);
  GuideTextPool pool(4 * block);
  char* owner[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(pool.Alloc(100, &owner[i]), nullptr) << i;
    memset(owner[i], 'a' + i, 100);
  }
  EXPECT_FALSE(pool.Fits(1));
  EXPECT_EQ(pool.Alloc(1, &owner[4]), nullptr);
  EXPECT_EQ(owner[4], nullptr);
  // Two holes at the front: a block of twice the size fits only once the
  // others slide down over them.
  pool.Free(owner[0]);
  pool.Free(owner[1]);
  owner[0] = owner[1] = nullptr;
  const char* before = owner[3];
  ASSERT_NE(pool.Alloc(2 * 104 + GuideTextPool::kBlockHead, &owner[4]), nullptr);
  EXPECT_EQ(pool.Compactions(), 1u);
  EXPECT_NE(owner[3], before);
  EXPECT_EQ(std::string(owner[2], 100), std::string(100, 'c'));
  EXPECT_EQ(std::string(owner[3], 100), std::string(100, 'd'));
  EXPECT_EQ(pool.Capacity(owner[2]), 104u);
  EXPECT_EQ(pool.InUse(), 3u);
  EXPECT_EQ(pool.BytesHeld(), pool.ArenaBytes());
  // Foreign, freed and inner pointers are ignored.
  char outside[16];
  pool.Free(outside);
  pool.Free(owner[2] + 8);
  EXPECT_EQ(pool.Capacity(owner[3] + 1), 0u);
  EXPECT_EQ(pool.InUse(), 3u);
  // Too large for any block, whatever the room.
  GuideTextPool big(64 * 1024);
  char* b = nullptr;
  EXPECT_EQ(big.Alloc(GuideTextPool::kMaxBytes + 1, &b), nullptr);
  EXPECT_NE(big.Alloc(GuideTextPool::kMaxBytes, &b), nullptr);
}

TEST(GuideList, ListsSharingOnePoolTakeFromEachOther) {
  SList<Event>::Pool pool(2);
  SList<Event> one(&pool);
  SList<Event> two;
  Event a, b, c;
  EXPECT_FALSE(two.push_back(&c));  // no pool yet
  EXPECT_TRUE(two.share_pool(&pool));
  EXPECT_TRUE(one.push_back(&a));
  EXPECT_TRUE(two.push_back(&b));
  EXPECT_FALSE(one.has_free_node());
  EXPECT_FALSE(one.push_back(&c));
  EXPECT_FALSE(two.share_pool(&pool));  // only an empty list changes pools
  EXPECT_EQ(two.pop_front(), &b);
  EXPECT_TRUE(one.push_back(&c));
  EXPECT_EQ(one.length(), 2u);
  EXPECT_EQ(pool.used(), 2u);
  one.clear();
  EXPECT_EQ(pool.used(), 0u);
}
