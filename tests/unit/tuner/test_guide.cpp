// Program guide store and answers: events and extended texts stored per
// program through the source id, the EITI lines (plain and hex), the i/l/n
// queries through the tuner forwarding with the 8192-byte answer bound, the
// pools that feed the filter thread (exhaustion, release with the program
// records), and the "EIT" command of the dispatcher.

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "core/reportdue.h"
#include "device_fakes.h"
#include "filter_fixture.h"
#include "tuner/guidetextpool.h"
#include "loopback_udp.h"
#include "private_ipc.h"
#include "tuner/programdescriptors.h"
#include "stdio_capture.h"
#include "ts/time.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "udpcom.h"
#include "utils.h"

namespace {

constexpr unsigned int kOffset = 17;
// 0xdd8b 19:30 UTC in GPS seconds.
constexpr unsigned int k1930 = (0xdd8b - 44244u) * 86400u + 19 * 3600 + 30 * 60 + kOffset;
constexpr unsigned int kHalfHour = 1800;

using vyxtest::AskGuide;

class Guide : public ::testing::Test {
 protected:
  void SetUp() override {
    Time::Self()->SetTime(k1930 + 15 * 60, kOffset, 0);  // 19:45
    // Programs 3 and 4 carry source ids 0x10 and 0x11; program 5 has no
    // virtual channel entry.
    for (ushort prog : {3, 4, 5}) tm.AddProgramToScanResults(1, prog);
    char name[14] = {0};
    tm.SetPsipInfoForProgram(1, 3, name, 13, 1, 0, 0, 1, 0x10);
    tm.SetPsipInfoForProgram(1, 4, name, 13, 2, 0, 0, 1, 0x11);
  }
  void TearDown() override { Time::Self()->SetTime(0, 0, 0); }

  bool Eit(ushort src, ushort ev, unsigned int start, unsigned int secs, const std::string& title,
           unsigned char mode = 0) {
    std::string t = title;
    return tm.SetEventInfoForProgram(src, ev, start, secs, static_cast<unsigned char>(t.size()),
                                     t.empty() ? nullptr : &t[0], mode);
  }
  bool Ett(ushort src, ushort ev, const std::string& text, unsigned char mode = 0) {
    std::string t = text;
    return tm.SetExtendedText(src, static_cast<ushort>((ev << 2) | (ev ? 2 : 0)), &t[0],
                              static_cast<uint>(t.size()), mode);
  }
  ScalProgramDesc* Program(ushort prog) {
    for (ScalProgramDesc* p = tm.GetScalProgramDesc(-1)->head; p; p = p->pNext)
      if (p->programId == prog) return p;
    return nullptr;
  }
  Event* Find(ushort prog, ushort ev) {
    ScalProgramDesc* p = Program(prog);
    for (Event* e = p ? p->mEvents.begin(9) : nullptr; e; e = p->mEvents.next(9))
      if (e->eventId == ev) return e;
    return nullptr;
  }
  std::vector<std::string> Ask(ushort prog, uint date, uint time, uint frame, char type) {
    return AskGuide(tm, 1, prog, date, time, frame, type);
  }
  std::string Line(Event* ev) {
    std::vector<char> b(TunerManager::kEventLineMax);
    int n = tm.FormatEvent(b.data(), ev);
    EXPECT_EQ(n, static_cast<int>(strlen(b.data())));
    return std::string(b.data());
  }

  TunerManager tm{'T'};
};

}  // namespace

TEST_F(Guide, EventAndTextInEitherOrderMakeOneEvent) {
  EXPECT_TRUE(Eit(0x10, 7, k1930, 3600, "News"));
  EXPECT_TRUE(Ett(0x10, 7, "Tonight's headlines."));
  // Text first: the event exists without times, then gets them.
  EXPECT_TRUE(Ett(0x10, 8, "Weather for the week."));
  ASSERT_NE(Find(3, 8), nullptr);
  EXPECT_FALSE(Find(3, 8)->eitWasSet);
  EXPECT_TRUE(Eit(0x10, 8, k1930 + 3600, kHalfHour, "Weather"));
  EXPECT_EQ(Program(3)->mEvents.length(), 2u);
  EXPECT_EQ(Line(Find(3, 7)), "EITI dd8b 1930 0100 S4,00[News]L20,00[Tonight's headlines.]\r\n");
  EXPECT_EQ(Line(Find(3, 8)), "EITI dd8b 2030 0030 S7,00[Weather]L21,00[Weather for the week.]\r\n");
  // The other program's source id keeps its own list.
  EXPECT_TRUE(Eit(0x11, 7, k1930, 60, "Other"));
  EXPECT_EQ(Program(4)->mEvents.length(), 1u);
  EXPECT_EQ(Program(3)->mEvents.length(), 2u);
}

TEST_F(Guide, RepeatedEventRefreshesInPlaceAndLogsOnce) {
  int saved = global_debug_flag;
  global_debug_flag = 1;
  vyxtest::StdioCapture out(stdout);
  EXPECT_TRUE(Eit(0x10, 7, k1930, 3600, "News"));
  EXPECT_TRUE(Eit(0x10, 7, k1930 + 60, 1800, "Late News"));
  EXPECT_TRUE(Ett(0x10, 7, "first"));
  EXPECT_TRUE(Ett(0x10, 7, "second text, longer than the first one"));
  EXPECT_TRUE(Ett(0x10, 7, "third"));
  std::string log = out.Stop();
  global_debug_flag = saved;
  EXPECT_EQ(Program(3)->mEvents.length(), 1u);
  EXPECT_EQ(Line(Find(3, 7)), "EITI dd8b 1931 0030 S9,00[Late News]L5,00[third]\r\n");
  size_t first = log.find("SetEventInfo chanId 0 evId 7 srcId 16 startTime dd8b 1930 duration 60 "
                          "titleShort News (4), Unimode 0x0");
  EXPECT_NE(first, std::string::npos) << log;
  EXPECT_EQ(log.find("SetEventInfo", first + 1), std::string::npos) << log;
  size_t text = log.find("SetExtendedText at 10001e (len 5) len 5 for ev_id 7, src_id 10 unicode 0x0: first");
  EXPECT_NE(text, std::string::npos) << log;
  EXPECT_EQ(log.find("SetExtendedText", text + 1), std::string::npos) << log;
}

TEST_F(Guide, TitlesCutMaskedAndTerminated) {
  // A plain title's control bytes become '*', line ends stay.
  EXPECT_TRUE(Eit(0x10, 1, k1930, 60, std::string("Bell\x07 \x1f\r\n", 9)));
  EXPECT_STREQ(Find(3, 1)->titleShort, "Bell* *\r\n");
  // A non-plain title keeps its code units.
  EXPECT_TRUE(Eit(0x10, 2, k1930, 60, std::string("\x04\x10\x00\x41", 4), 0x3f));
  EXPECT_EQ(Line(Find(3, 2)), "EITI dd8b 1930 0001 S4,3f[04 10 00 41]L0,00[]\r\n");
  // 128 bytes keep a terminator; more are reported and cut to 128.
  vyxtest::StdioCapture err(stderr);
  EXPECT_TRUE(Eit(0x10, 3, k1930, 60, std::string(128, 'a')));
  EXPECT_TRUE(Eit(0x10, 4, k1930, 60, std::string(200, 'b')));
  std::string reports = err.Stop();
  EXPECT_EQ(strlen(Find(3, 3)->titleShort), 128u);
  EXPECT_EQ(Find(3, 4)->titleLen, 128u);
  EXPECT_EQ(std::string(Find(3, 4)->titleShort), std::string(128, 'b'));
  EXPECT_NE(reports.find("Tilte too long... (200)"), std::string::npos) << reports;
  EXPECT_EQ(reports.find("(128)"), std::string::npos) << reports;
  // An empty title keeps the mode it had.
  EXPECT_TRUE(Eit(0x10, 2, k1930, 60, "", 0));
  EXPECT_EQ(Line(Find(3, 2)), "EITI dd8b 1930 0001 S0,3f[]L0,00[]\r\n");
}

TEST_F(Guide, SourceIdNotCarriedStoresNothing) {
  // 0x12 is nobody's; program 5 has no virtual channel (source id 0).
  EXPECT_FALSE(Eit(0x12, 1, k1930, 60, "x"));
  EXPECT_FALSE(Eit(0, 1, k1930, 60, "x"));
  EXPECT_FALSE(Ett(0x12, 1, "x"));
  EXPECT_FALSE(Ett(0, 1, "x"));
  EXPECT_FALSE(Ett(0, 0, "x"));
  for (ushort prog : {3, 4, 5}) EXPECT_EQ(Program(prog)->mEvents.length(), 0u) << prog;
  for (ushort prog : {3, 4, 5}) EXPECT_EQ(Program(prog)->channelLongName, nullptr) << prog;
  // The same events on another tuner channel's list are not this one's.
  tm.mCurrentChannel = 5;
  EXPECT_FALSE(Eit(0x10, 1, k1930, 60, "x"));
}

TEST_F(Guide, ChannelLongNameWholeAndOnce) {
  std::string name("WNET-HD", 7);
  EXPECT_TRUE(tm.SetExtendedText(0x10, 0, &name[0], 7, 0));
  ASSERT_NE(Program(3)->channelLongName, nullptr);
  EXPECT_STREQ(Program(3)->channelLongName, "WNET-HD");
  std::string again("Other", 5);
  EXPECT_FALSE(tm.SetExtendedText(0x10, 0, &again[0], 5, 0));
  EXPECT_STREQ(Program(3)->channelLongName, "WNET-HD");
}

TEST_F(Guide, EitiLinesPlainAndHex) {
  EXPECT_TRUE(Eit(0x10, 7, k1930, 3600, "News"));
  EXPECT_EQ(Line(Find(3, 7)), "EITI dd8b 1930 0100 S4,00[News]L0,00[]\r\n");
  EXPECT_TRUE(Ett(0x10, 7, std::string("\x00\x41\xff", 3), 0x3f));
  EXPECT_EQ(Line(Find(3, 7)), "EITI dd8b 1930 0100 S4,00[News]L3,3f[00 41 ff]\r\n");
  // 2 h 5 min, a mode byte above 0x7f printed as one byte.
  EXPECT_TRUE(Eit(0x10, 8, k1930 + 86400, 7500, "ab", 0xff));
  EXPECT_EQ(Line(Find(3, 8)), "EITI dd8c 1930 0205 S2,ff[61 62]L0,00[]\r\n");
  // A start time of 0 shows the current time.
  EXPECT_TRUE(Ett(0x10, 9, "t"));
  EXPECT_EQ(Line(Find(3, 9)), "EITI dd8b 1945 0000 S0,00[]L1,00[t]\r\n");
  // The bounded form refuses a line that does not fit, leaving an empty text.
  char small[16];
  memset(small, 'x', sizeof(small));
  EXPECT_EQ(tm.FormatEvent(small, sizeof(small), Find(3, 7)), -1);
  EXPECT_EQ(small[0], 0);
  EXPECT_EQ(small[1], 'x');
  std::string exact = Line(Find(3, 7));
  std::vector<char> fit(exact.size() + 1);
  EXPECT_EQ(tm.FormatEvent(fit.data(), fit.size(), Find(3, 7)), static_cast<int>(exact.size()));
  EXPECT_EQ(tm.FormatEvent(fit.data(), fit.size() - 1, Find(3, 7)), -1);
}

TEST_F(Guide, QueriesNowNextListAndAt) {
  // Four half-hour events from 19:30 on program 3.
  for (int i = 0; i < 5; ++i)
    EXPECT_TRUE(Eit(0x10, static_cast<ushort>(10 + i), k1930 + i * kHalfHour, kHalfHour,
                    "E" + std::to_string(i)));
  auto line = [](int i) {
    static const char* at[] = {"1930", "2000", "2030", "2100", "2130"};
    return std::string("EITI dd8b ") + at[i] + " 0030 S2,00[E" + std::to_string(i) + "]L0,00[]\r\n";
  };
  EXPECT_EQ(Ask(3, 0, 0, 0, 'n'), std::vector<std::string>{line(0) + line(1) + "OK\r\n"});
  // 90 minutes: the fourth event takes the total past 90.
  EXPECT_EQ(Ask(3, 0, 0, 90, 'l'),
            std::vector<std::string>{line(0) + line(1) + line(2) + line(3) + "OK\r\n"});
  EXPECT_EQ(Ask(3, 0xdd8b, 2040, 0, 'i'), std::vector<std::string>{line(2) + "OK\r\n"});
  // Nothing there: the 9-byte answer.
  std::vector<std::string> none = Ask(3, 0xdd8c, 2040, 0, 'i');
  ASSERT_EQ(none.size(), 1u);
  EXPECT_EQ(none[0], "EITI OK\r\n");
  EXPECT_EQ(none[0].size(), 9u);
  EXPECT_EQ(Ask(4, 0, 0, 0, 'n'), std::vector<std::string>{"EITI OK\r\n"});
  // A date before the GPS epoch finds nothing rather than wrapping.
  EXPECT_EQ(Ask(3, 1, 0, 0, 'i'), std::vector<std::string>{"EITI OK\r\n"});
}

TEST_F(Guide, BadParametersAreReportedAndNotAnswered) {
  struct Case {
    uint date, time, frame;
    char type;
    const char* report;
  } cases[] = {{0, 1930, 0, 'i', "Bad params for i"}, {0xdd8b, 0, 5, 'i', "Bad params for i"},
               {0xdd8b, 0, 90, 'l', "Bad params for l"}, {0, 0, 0, 'l', "Bad params for l"},
               {0, 1, 0, 'n', "Bad params for n"},      {0, 0, 0, 'x', "Invalid command recvd x"}};
  for (const Case& c : cases) {
    report_limits_restart();  // a repeated refusal is reported once per interval
    vyxtest::StdioCapture err(stderr);
    EXPECT_TRUE(Ask(3, c.date, c.time, c.frame, c.type).empty()) << c.report;
    EXPECT_NE(err.Stop().find(c.report), std::string::npos) << c.report;
  }
}

TEST_F(Guide, AnswerNeverPassesItsBuffer) {
  // Non-plain texts of 1500 bytes: 4499 characters of hex per line, so the
  // list's budget (8192 bytes) ends after the second line.
  for (int i = 0; i < 4; ++i) {
    ushort id = static_cast<ushort>(20 + i);
    EXPECT_TRUE(Eit(0x10, id, k1930 + i * kHalfHour, kHalfHour, "T", 0x3f));
    EXPECT_TRUE(Ett(0x10, id, std::string(1500, static_cast<char>(0xa0 + i)), 0x3f));
  }
  const std::string head = "EITI dd8b 1930 0030 S1,3f[54]L1500,3f[";
  {
    vyxtest::StdioCapture err(stderr);
    std::vector<std::string> got = Ask(3, 0, 0, 600, 'l');
    std::string reports = err.Stop();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].compare(0, head.size(), head), 0) << got[0].substr(0, 40);
    EXPECT_EQ(got[0].size(), 2 * (head.size() + 4499 + 3) + 4);
    EXPECT_EQ(got[0].substr(got[0].size() - 9), "a1]\r\nOK\r\n");
    EXPECT_NE(reports.find("Buffer too small for EPG"), std::string::npos) << reports;
  }
  {
    // A line alone longer than the list's budget is still answered whole.
    EXPECT_TRUE(Ett(0x10, 20, std::string(4000, 'z'), 0x3f));
    std::vector<std::string> got = Ask(3, 0xdd8b, 1940, 0, 'i');
    ASSERT_EQ(got.size(), 1u);
    const std::string longHead = "EITI dd8b 1930 0030 S1,3f[54]L4000,3f[";
    EXPECT_EQ(got[0].compare(0, longHead.size(), longHead), 0);
    EXPECT_EQ(got[0].size(), longHead.size() + 11999 + 3 + 4);
    EXPECT_LE(got[0].size(), TunerManager::kEpgAnswerSize);
  }
}

TEST_F(Guide, ReleasedWithTheProgramRecords) {
  // Each round fills both programs with 100 events, texts and long names,
  // then empties the list as a scan does: without the release, the event
  // pool (2048) runs dry in the 11th round.
  for (int round = 0; round < 45; ++round) {
    if (round > 0) {
      for (ushort prog : {3, 4}) tm.AddProgramToScanResults(1, prog);
      char name[14] = {0};
      tm.SetPsipInfoForProgram(1, 3, name, 13, 1, 0, 0, 1, 0x10);
      tm.SetPsipInfoForProgram(1, 4, name, 13, 2, 0, 0, 1, 0x11);
    }
    for (ushort src : {0x10, 0x11}) {
      std::string longName = "Long name " + std::to_string(round);
      ASSERT_TRUE(tm.SetExtendedText(src, 0, &longName[0], static_cast<uint>(longName.size()), 0));
      for (int i = 0; i < 100; ++i) {
        ushort id = static_cast<ushort>(i + 1);
        ASSERT_TRUE(Eit(src, id, k1930 + i * 60, 60, "t")) << round << " " << i;
        ASSERT_TRUE(Ett(src, id, std::string(300, 'd'))) << round << " " << i;
      }
    }
    EXPECT_GT(tm.mpTextPool->InUse(), 200u);
    pthread_mutex_lock(&tm.mMutex);
    tm.ClearChannelList(tm.GetScalProgramDesc(0));
    pthread_mutex_unlock(&tm.mMutex);
    ASSERT_EQ(tm.mpTextPool->InUse(), 0u) << round;
  }
  int freeEvents = 0;
  for (Event* e = tm.mpFreeEvents; e != nullptr; e = e->pNext) ++freeEvents;
  EXPECT_EQ(freeEvents, TunerManager::kEventPool);
}

TEST(GuideList, CursorsAreIndependentAndSurviveErase) {
  SList<Event> l(3);
  Event a, b, c, d;
  EXPECT_TRUE(l.push_back(&b));
  EXPECT_TRUE(l.push_back(&c));
  EXPECT_TRUE(l.push_front(&a));
  EXPECT_FALSE(l.push_back(&d));  // the pool holds three
  EXPECT_EQ(l.begin(0), &a);
  EXPECT_EQ(l.begin(1), &a);
  EXPECT_EQ(l.next(1), &b);
  EXPECT_EQ(l.next(0), &b);
  EXPECT_TRUE(l.erase(&c));  // cursor 1 was about to return c
  EXPECT_EQ(l.next(1), nullptr);
  EXPECT_EQ(l.length(), 2u);
  EXPECT_TRUE(l.push_back(&d));
  EXPECT_EQ(l.tail(), &d);
  EXPECT_EQ(l.pop_front(), &a);
  EXPECT_EQ(l.pop_back(), &d);
  EXPECT_EQ(l.begin(2), &b);
  EXPECT_EQ(l.next(2), nullptr);
  EXPECT_FALSE(l.erase(&a));
  EXPECT_EQ(l.begin(10), nullptr);
}


// ---------------------------------------------------------------------------
// The EIT command and the guide dump through the dispatcher
// ---------------------------------------------------------------------------
namespace {

class GuideCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!vyxtest::private_ipc()) GTEST_SKIP() << "no private IPC namespace here";
    cm = vyxtest::shared_manager('T');
    tm = cm->mpTunerManager;
    cm->mpServer->siOther = ctl.Address();
    tm->SetTunerForwarding(nullptr);
    Time::Self()->SetTime(k1930 + 15 * 60, kOffset, 0);
    pthread_mutex_lock(&tm->mMutex);
    tm->ClearChannelList(tm->GetScalProgramDesc(-1));
    pthread_mutex_unlock(&tm->mMutex);
    tm->AddProgramToScanResults(1, 3);
    char name[14] = {0, 'P', 0, 'B', 0, 'S', 0, '-', 0, '1'};
    tm->SetPsipInfoForProgram(1, 3, name, 13, 1, 0, 0, 1, 0x10);
    for (int i = 0; i < 5; ++i) {
      std::string t = "E" + std::to_string(i);
      tm->SetEventInfoForProgram(0x10, static_cast<ushort>(10 + i), k1930 + i * kHalfHour, kHalfHour,
                                 static_cast<unsigned char>(t.size()), &t[0], 0);
    }
  }
  void TearDown() override {
    if (tm == nullptr) return;
    tm->SetTunerForwarding(nullptr);
    Time::Self()->SetTime(0, 0, 0);
  }
  // The direct reply and what the asking controller received.
  std::string Send(const std::string& cmd, std::string* forwarded) {
    std::string reply = vyxtest::dispatch(cm, cmd);
    forwarded->clear();
    for (auto& d : ctl.Drain()) forwarded->append(d.begin(), d.end());
    return reply;
  }
  static std::string Line(int i) {
    static const char* at[] = {"1930", "2000", "2030", "2100", "2130"};
    return std::string("EITI dd8b ") + at[i] + " 0030 S2,00[E" + std::to_string(i) + "]L0,00[]\r\n";
  }

  vyxtest::LoopbackUdp ctl;
  CommandManager* cm = nullptr;
  TunerManager* tm = nullptr;
};

}  // namespace

TEST_F(GuideCommands, TypesInEitherCaseAnswerTheAskingController) {
  std::string got;
  EXPECT_EQ(Send("EITN0001,0003", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
  EXPECT_EQ(Send("eitn1,3\r\n", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
  // 1 h 30 min as HHMM.
  EXPECT_EQ(Send("EITL0001,0003,0130", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + Line(2) + Line(3) + "OK\r\n");
  EXPECT_EQ(Send("eitl0001,0003,30", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
  EXPECT_EQ(Send("EITI0001,0003,dd8b,2040", &got), "<none>");
  EXPECT_EQ(got, Line(2) + "OK\r\n");
  EXPECT_EQ(Send("EITi0001,0003,0000DD8B,2129\r\n", &got), "<none>");
  EXPECT_EQ(got, Line(3) + "OK\r\n");
  // Ids are cut to 16 bits; hatoi passes over what is not a hex digit.
  EXPECT_EQ(Send("EITN1,10003", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
  EXPECT_EQ(Send("EITN1, 0x3 ", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
  EXPECT_EQ(Send("EITN1,4", &got), "<none>");
  EXPECT_EQ(got, "EITI OK\r\n");
}

TEST_F(GuideCommands, BadFieldsAndUnknownTypes) {
  std::string got;
  // Date missing: the guide reports the parameters and sends nothing.
  {
    report_limits_restart();  // the first refusal of a run is reported
    vyxtest::StdioCapture err(stderr);
    EXPECT_EQ(Send("EITI0001,0003", &got), "<none>");
    EXPECT_NE(err.Stop().find("Bad params for i"), std::string::npos);
  }
  EXPECT_EQ(got, "");
  EXPECT_EQ(Send("EITL0001,0003", &got), "<none>");
  EXPECT_EQ(got, "");
  {
    vyxtest::StdioCapture err(stderr);
    EXPECT_EQ(Send("EITX1,2", &got), "KO\r\n");
    EXPECT_NE(err.Stop().find("Unknown EIT command: X"), std::string::npos);
  }
  EXPECT_EQ(Send("EIT", &got), "KO\r\n");
  // A field far longer than any id still reads its last digits.
  EXPECT_EQ(Send("EITN" + std::string(500, '7') + ",0003", &got), "<none>");
  EXPECT_EQ(got, Line(0) + Line(1) + "OK\r\n");
}

TEST_F(GuideCommands, DumpNamesProgramsAndEvents) {
  std::string longName = "PBS Kids Channel";
  tm->SetExtendedText(0x10, 0, &longName[0], static_cast<uint>(longName.size()), 0);
  std::string text = "ABCDEFGHIJ";
  tm->SetExtendedText(0x10, (10 << 2) | 2, &text[0], static_cast<uint>(text.size()), 0);
  int saved = global_debug_flag;
  global_debug_flag = 1;
  vyxtest::StdioCapture out(stdout);
  std::string got;
  EXPECT_EQ(Send("DUMPEIT", &got), "KO\r\n");
  std::string log = out.Stop();
  global_debug_flag = saved;
  EXPECT_NE(log.find(" === Now is dd8b 1945"), std::string::npos) << log;
  EXPECT_NE(log.find("Ch id 0x0, sh name PBS-1, tr id 0001 pr id 0003 long name PBS Ki \n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("EvId 10 (src 16), startTime dd8b 1930, duration 30, title E0\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("Long info 41 42 43 44 45 46 47 48\n"), std::string::npos) << log;
  EXPECT_NE(log.find("EvId 14 (src 16), startTime dd8b 2130, duration 30, title E4\n"),
            std::string::npos)
      << log;
}

// ---------------------------------------------------------------------------
// The WNET capture through the packet loop
// ---------------------------------------------------------------------------
TEST_F(Guide, WnetCaptureEventsAndAnswers) {
  TunerManager wnet('T');
  TsFilter f('T', &wnet);
  f.FilterActive(true);
  Time::Self()->SetTime(0, 0, 0);
  tsfix::Bytes ts = tsfix::ReadFileBytes(std::string(VYX_SAMPLES_DIR) + "/atsc-wnet13-psip.ts");
  ASSERT_EQ(ts.size(), 15792u);
  // Twice, as the player loops a file: the EIT PIDs are analysed once the
  // MGT, which comes after the first EIT packets, has named them.  Every
  // PID's continuity is primed by a packet before its first one, and a null
  // packet confirms the capture's last packet.
  tsfix::Bytes primes;
  std::vector<bool> primed(0x2000, false);
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    int pid = ((ts[i + 1] & 0x1F) << 8) | ts[i + 2];
    if (primed[pid]) continue;
    primed[pid] = true;
    tsfix::Append(primes, tsfix::MakeDataPacket(static_cast<uint16_t>(pid),
                                                static_cast<uint8_t>((ts[i + 3] - 1) & 0x0F), 0xFF));
  }
  tsfix::Bytes feed;
  for (int pass = 0; pass < 2; ++pass) {
    tsfix::Append(feed, primes);
    tsfix::Append(feed, ts);
  }
  tsfix::Append(feed, tsfix::MakeDataPacket(0x1FFF, 0));
  f.Filter(feed.data(), static_cast<int>(feed.size()));
  ASSERT_EQ(Time::Self()->mSystemTime, 1171197444u);  // 12:37 UTC

  // 71 events over the three source ids, none without its EIT, no text.
  unsigned int counts[3] = {0, 0, 0};
  const ushort programs[3] = {3, 4, 5};
  unsigned int total = 0;
  for (ScalProgramDesc* p = wnet.GetScalProgramDesc(0)->head; p != nullptr; p = p->pNext) {
    for (int k = 0; k < 3; ++k)
      if (p->programId == programs[k]) counts[k] = p->mEvents.length();
    for (Event* e = p->mEvents.begin(9); e != nullptr; e = p->mEvents.next(9)) {
      ++total;
      EXPECT_TRUE(e->eitWasSet) << e->eventId;
      EXPECT_EQ(e->sourceId, p->sourceId) << e->eventId;
      EXPECT_EQ(e->pLongInfo, nullptr) << e->eventId;
    }
  }
  EXPECT_EQ(total, 71u);
  EXPECT_EQ(counts[0], 23u);
  EXPECT_EQ(counts[1], 24u);
  EXPECT_EQ(counts[2], 24u);

  // Now and next of program 5: two quarter-hour shows, then the title with
  // its Latin-1 byte as it came.
  auto ask = [&](ushort prog, uint date, uint time, uint frame, char type) {
    std::string got;
    for (const std::string& d : AskGuide(wnet, 0x7db, prog, date, time, frame, type)) got += d;
    return got;
  };
  EXPECT_EQ(ask(5, 0, 0, 0, 'n'),
            "EITI e1c7 1230 0015 S24,00[My Animal Friends (V-Me)]L0,00[]\r\n"
            "EITI e1c7 1245 0015 S11,00[Mouk (V-Me)]L0,00[]\r\nOK\r\n");
  EXPECT_EQ(ask(5, 0, 0, 60, 'l'),
            "EITI e1c7 1230 0015 S24,00[My Animal Friends (V-Me)]L0,00[]\r\n"
            "EITI e1c7 1245 0015 S11,00[Mouk (V-Me)]L0,00[]\r\n"
            "EITI e1c7 1300 0030 S18,00[Plaza S\xe9samo (Vme)]L0,00[]\r\n"
            "EITI e1c7 1330 0030 S20,00[Franny's Feet {V-Me}]L0,00[]\r\nOK\r\n");
  EXPECT_EQ(ask(3, 0xe1c7, 2345, 0, 'i'),
            "EITI e1c7 2330 0030 S23,00[Nightly Business Report]L0,00[]\r\nOK\r\n");
  EXPECT_EQ(ask(4, 0xe1c7, 1159, 0, 'i'), "EITI OK\r\n");
}

TEST_F(Guide, StoresAndQueriesOnTwoThreads) {
  // The filter thread refreshes events and texts and now and then empties
  // the list as a scan does; the command thread asks meanwhile.  Every
  // answer is whole and bounded (and the sanitizers watch the records).
  std::atomic<bool> stop{false};
  std::thread filter([&] {
    for (int round = 0; round < 60; ++round) {
      for (int i = 0; i < 40; ++i) {
        ushort id = static_cast<ushort>(1 + i);
        Eit(0x10, id, k1930 + (i - 2) * 60, 60, "Title " + std::to_string(round));
        Ett(0x10, id, std::string(50 + (round * 37 + i * 11) % 900, 'x'), i % 2 ? 0x3f : 0);
      }
      if (round % 10 == 9) {
        pthread_mutex_lock(&tm.mMutex);
        tm.ClearChannelList(tm.GetScalProgramDesc(0));
        pthread_mutex_unlock(&tm.mMutex);
        tm.AddProgramToScanResults(1, 3);
        char name[14] = {0};
        tm.SetPsipInfoForProgram(1, 3, name, 13, 1, 0, 0, 1, 0x10);
      }
    }
    stop = true;
  });
  int answers = 0;
  while (!stop) {
    for (char type : {'n', 'l'}) {
      std::vector<std::string> got = Ask(3, 0, 0, type == 'l' ? 600 : 0, type);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_LE(got[0].size(), TunerManager::kEpgAnswerSize);
      ASSERT_GE(got[0].size(), 9u);
      EXPECT_EQ(got[0].substr(got[0].size() - 4), "OK\r\n");
      EXPECT_EQ(got[0].compare(0, 5, "EITI "), 0);
    }
    ++answers;
  }
  filter.join();
  EXPECT_GT(answers, 0);
  pthread_mutex_lock(&tm.mMutex);
  tm.ClearChannelList(tm.GetScalProgramDesc(0));
  pthread_mutex_unlock(&tm.mMutex);
  EXPECT_EQ(tm.mpTextPool->InUse(), 0u);
}
