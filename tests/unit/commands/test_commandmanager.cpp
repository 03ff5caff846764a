// The command manager in isolation: construction against a fake SNMP agent,
// role detection, golden request/reply pairs of the dispatcher, CALLBACK with
// its error and log datagrams, long replies, and the plug-in entry points with
// the real command loop.
//
// The manager talks to the SNMP agent over the device's fixed System V queues
// (1235/1236) and its command loop binds the device's port 5000, so this
// program re-executes itself, before main, in private user, IPC and network
// namespaces with loopback up and a veth pair named eth0/eth1 (the beacon
// needs eth0's hardware address).  Where namespaces are not available every
// test skips.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <string>
#include <vector>

#include "services/beacon.h"
#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ns.h"
#include "stdio_capture.h"
#include "snmplocal.h"
#include "statistics.h"
#include "ts/tsfilter.h"
#include "utils.h"
#include "core/filterentry.h"

extern "C" char* Vyx_Start_Filter(char type);
extern "C" void Vyx_Filter(unsigned char* data, unsigned len);

namespace {

// ---------------------------------------------------------------------------
// Private namespaces
// ---------------------------------------------------------------------------
bool EnterPrivateWorld() {
  // Loopback up, and eth0 (one end of a veth pair) with an address and the
  // multicast route.
  static const char kSetup[] =
      "ip link set lo up; "
      "ip link add eth0 type veth peer name eth1 >/dev/null 2>&1 && "
      "ip link set eth1 up && ip link set eth0 up && "
      "ip addr add 10.77.0.1/24 dev eth0 && ip route add 224.0.0.0/4 dev eth0; "
      "exec \"$0\" \"$@\"";
  // The start-up waits (3 s, beacon) pass quickly in here.
  return vyxtest::enter_private_world("VYX_CMDMGR_NS", "20", kSetup);
}

const bool inside = EnterPrivateWorld();

#define REQUIRE_PRIVATE_WORLD() \
  if (!inside) GTEST_SKIP() << "no private user/IPC/network namespaces here"

// The in-test SNMP agent, the managers and the loop's dispatch are those of
// device_fakes.h.
using vyxtest::FakeAgent;
constexpr auto& Manager = vyxtest::shared_manager;
constexpr auto& Dispatch = vyxtest::dispatch;

const char kOidZernVersion[] = ".1.3.6.1.4.1.32473.3.5.13.0";
const char kOidIrControl[] = ".1.3.6.1.4.1.32473.3.5.27.0";
const char kOidReboot[] = ".1.3.6.1.4.1.32473.3.5.7.0";

// The controller's socket and the captures of stderr/stdout.
using Controller = vyxtest::LoopbackUdp;
using Capture = vyxtest::StdioCapture;

class Dispatcher : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_WORLD();
    saved_flag_ = global_debug_flag;
  }
  void TearDown() override {
    global_debug_flag = saved_flag_;
    error_sender_clear();
  }
  int saved_flag_ = 1;
};

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------
TEST(Entry, FilterBeforeStartIsIgnored) {
  REQUIRE_PRIVATE_WORLD();
  if (static_tsptr != nullptr) GTEST_SKIP() << "a filter is already published in this process";
  unsigned char section[8] = {0x42, 0, 5, 0, 0, 0, 0, 0};
  set_process_pat(true);
  Capture err(stderr);
  Vyx_Filter(section, sizeof(section));
  Vyx_Filter(nullptr, 0);
  set_process_pat(false);
  EXPECT_EQ(err.Stop(), "");
}

TEST(Entry, ReceiverIgnoresSectionsUntilAProgramIsSelected) {
  REQUIRE_PRIVATE_WORLD();
  CommandManager* m = Manager('R');
  publish_filter(m->mpTsf, 'R');
  unsigned char section[8] = {0x42, 0, 5, 0, 0, 0, 0, 0};
  {
    set_process_pat(false);
    Capture err(stderr);
    Vyx_Filter(section, sizeof(section));
    EXPECT_EQ(err.Stop(), "");
  }
  {
    set_process_pat(true);
    Capture err(stderr);
    Vyx_Filter(section, sizeof(section));
    set_process_pat(false);
    EXPECT_NE(err.Stop().find("Receiver got bad section 0x42\n"), std::string::npos);
  }
}

// The receiver's analysers read as far as a section's own length says; a
// section whose length reaches past the bytes handed over is dropped with a
// report, one that fits is analysed.
TEST(Entry, ReceiverDropsSectionsCutShort) {
  REQUIRE_PRIVATE_WORLD();
  CommandManager* m = Manager('R');
  publish_filter(m->mpTsf, 'R');
  // A PAT of one program (PMT PID 0x100) and its CRC.
  std::vector<unsigned char> pat = {0x00, 0xB0, 0x0D, 0x00, 0x07, 0xC1, 0x00, 0x00,
                                    0x00, 0x01, 0xE1, 0x00, 0x00, 0x00, 0x00, 0x00};
  set_process_pat(true);
  for (size_t len : {pat.size() - 1, size_t{2}}) {
    // Exactly len bytes on the heap: reading one more is an ASan report.
    std::unique_ptr<unsigned char[]> cut(new unsigned char[len]);
    memcpy(cut.get(), pat.data(), len);
    unsigned int before = Statistics::Self()->mPatCounter;
    Capture err(stderr);
    Vyx_Filter(cut.get(), static_cast<unsigned>(len));
    EXPECT_NE(err.Stop().find("Receiver got a cut section: " + std::to_string(len) + " bytes"),
              std::string::npos);
    EXPECT_EQ(before, Statistics::Self()->mPatCounter) << len;
  }
  m->mpTsf->mPatVersion = -1;
  unsigned int before = Statistics::Self()->mPatCounter;
  Vyx_Filter(pat.data(), static_cast<unsigned>(pat.size()));
  set_process_pat(false);
  EXPECT_EQ(before + 1, Statistics::Self()->mPatCounter);
}

TEST(Entry, StartOnceThenServeCommandsOnPort5000) {
  REQUIRE_PRIVATE_WORLD();
  if (if_nametoindex("eth0") == 0) GTEST_SKIP() << "no eth0: the beacon cannot start";
  FakeAgent::Get();
  char* first = Vyx_Start_Filter('T');
  ASSERT_NE(first, nullptr);
  {
    Capture err(stderr);
    EXPECT_EQ(Vyx_Start_Filter('R'), first);
    EXPECT_NE(err.Stop().find("Starting VYX twice"), std::string::npos);
  }
  ASSERT_NE(static_tsptr, nullptr);
  EXPECT_EQ(static_type, 'T');

  // Commands are answered once the beacon has its first announcement.
  Controller ctl;
  std::string reply;
  bool answered = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!answered && std::chrono::steady_clock::now() < deadline) {
    ctl.SendTo(5000, "vers");
    answered = ctl.Next(&reply, 250);
  }
  ASSERT_TRUE(answered);
  EXPECT_EQ(reply, "VERS0.82.14OK\r\n");
  EXPECT_EQ(global_debug_flag, 0);  // serving: logging off until DEBUG

  const std::pair<std::string, std::string> goldens[] = {
      {"VIDEO 1,2,3", "OK\r\n"},
      {"UNIT9,239.1.1.1,5000", "KO\r\n"},
      {"REMOTE6E", "KO\r\n"},
      {"nothing we know", "KO\r\n"},
      {"VERS" + std::string(3000, 'x'), "VERS0.82.14OK\r\n"},  // cut at 2040, still answered
  };
  for (const auto& g : goldens) {
    ctl.SendTo(5000, g.first);
    ASSERT_TRUE(ctl.Next(&reply)) << g.first.substr(0, 20);
    EXPECT_EQ(reply, g.second) << g.first.substr(0, 20);
  }
  ctl.SendTo(5000, "VYX");
  ASSERT_TRUE(ctl.Next(&reply));
  EXPECT_EQ(reply.compare(0, 4, "VYXB"), 0) << reply;
  EXPECT_EQ(reply, BeaconGetString());
}

// Started as the plug-in is, until it answers "vers" on port 5000.
bool StartAndWaitForCommands(Controller* ctl) {
  FakeAgent::Get();
  if (Vyx_Start_Filter('T') == nullptr) return false;
  std::string reply;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < deadline) {
    ctl->SendTo(5000, "vers");
    if (ctl->Next(&reply, 250)) return reply == "VERS0.82.14OK\r\n";
  }
  return false;
}

TEST(Entry, CommandsGoOnWhileTheAgentIsStopped) {
  REQUIRE_PRIVATE_WORLD();
  if (if_nametoindex("eth0") == 0) GTEST_SKIP() << "no eth0: the beacon cannot start";
  Controller ctl;
  ASSERT_TRUE(StartAndWaitForCommands(&ctl));
  std::string reply;

  // The agent stops: a command that needs it is refused once the bounded
  // wait is over, and commands that do not need it are answered meanwhile.
  FakeAgent::Get().Hold(true);
  FakeAgent::Get().ClearRequests();
  ctl.SendTo(5000, "RESET");
  ctl.SendTo(5000, "VERS");
  ctl.SendTo(5000, "RESET");
  ctl.SendTo(5000, "VIDEO 1,2,3");
  const char* expected[] = {"KO\r\n", "VERS0.82.14OK\r\n", "KO\r\n", "OK\r\n"};
  for (const char* e : expected) {
    ASSERT_TRUE(ctl.Next(&reply, 20000)) << e;
    EXPECT_EQ(reply, e);
  }

  // Running again, the agent answers the one request it had taken (late:
  // dropped) and then the new one; the second refused RESET was taken back
  // and is never carried out.
  int answered = FakeAgent::Get().Answered();
  FakeAgent::Get().Hold(false);
  for (int i = 0; i < 5000 && FakeAgent::Get().Answered() == answered; i++) usleep(1000);
  ctl.SendTo(5000, "RESET");
  ASSERT_TRUE(ctl.Next(&reply, 20000));
  EXPECT_EQ(reply, "OK\r\n");
  EXPECT_EQ(FakeAgent::Get().Answered(), answered + 2);
  EXPECT_EQ(FakeAgent::Get().Requests().size(), 2u);
}

// ---------------------------------------------------------------------------
// Construction
// ---------------------------------------------------------------------------
TEST(Construction, TransmitterDefaults) {
  REQUIRE_PRIVATE_WORLD();
  FakeAgent::Get().ClearRequests();
  CommandManager* m = new CommandManager('T');
  EXPECT_EQ(m->MyType(), 'T');
  EXPECT_EQ(m->mCommandPort, 5000);
  EXPECT_STREQ(m->mTunerMode, "ATSC");
  EXPECT_EQ(m->mUrl, nullptr);
  EXPECT_EQ(m->mpIrControl, nullptr);
  EXPECT_EQ(m->mpUart, nullptr);
  EXPECT_EQ(m->mUrlWidth, 1280);
  EXPECT_EQ(m->mUrlHeight, 768);
  EXPECT_EQ(m->mUrlAlphaVideo, 1);
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeIdle);
  EXPECT_STREQ(m->mCommand, "");
  EXPECT_EQ(static_tsptr, m->mpTsf);
  EXPECT_EQ(static_type, 'T');
  ASSERT_NE(error_buffer, nullptr);
  EXPECT_EQ(strncmp(error_buffer, "LOG:ERROR ", 10), 0);
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidIrControl + " i 0"));
  delete m;
  EXPECT_EQ(static_tsptr, nullptr);  // withdrawn from the player's thread first
}

TEST(Construction, ReceiverDefaults) {
  REQUIRE_PRIVATE_WORLD();
  FakeAgent::Get();
  CommandManager* m = new CommandManager('R');
  EXPECT_EQ(m->mCommandPort, 2008);
  EXPECT_STREQ(m->mTunerMode, "ERROR");
  ASSERT_NE(m->mUrl, nullptr);
  EXPECT_STREQ(m->mUrl, "");
  EXPECT_NE(m->mpIrControl, nullptr);
  EXPECT_NE(m->mpUart, nullptr);
  EXPECT_EQ(static_tsptr, m->mpTsf);
  EXPECT_EQ(static_type, 'R');
  delete m;
}

TEST(Construction, AutoDetectReadsTheVariantByte) {
  REQUIRE_PRIVATE_WORLD();
  struct Case {
    unsigned version;
    char expect;
  } cases[] = {{0x040E0000u, 'T'}, {0x040F12ffu, 'T'}, {0x04010000u, 'R'}, {0x040D0000u, 'R'}};
  for (const Case& c : cases) {
    FakeAgent::Get().SetValue(kOidZernVersion, std::to_string(c.version));
    FakeAgent::Get().ClearRequests();
    CommandManager* m = new CommandManager('A');
    EXPECT_EQ(m->MyType(), c.expect) << std::hex << c.version;
    EXPECT_EQ(m->mCommandPort, c.expect == 'T' ? 5000 : 2008);
    auto requests = FakeAgent::Get().Log();
    ASSERT_GE(requests.size(), 2u);
    EXPECT_EQ(requests[0], std::string("get ") + kOidZernVersion);
    delete m;
  }
}

TEST(Construction, UnsupportedBoardOrRoleEndsTheProcess) {
  REQUIRE_PRIVATE_WORLD();
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FakeAgent::Get().SetValue(kOidZernVersion, std::to_string(0x050E0000u));
  EXPECT_EXIT(
      {
        FakeAgent::Get().SetValue(kOidZernVersion, std::to_string(0x050E0000u));
        new CommandManager('A');
      },
      ::testing::ExitedWithCode(255), "NOT ZERN720");
  EXPECT_EXIT(new CommandManager('X'), ::testing::ExitedWithCode(255), "Invalid type: X");
}

// ---------------------------------------------------------------------------
// Dispatcher goldens
// ---------------------------------------------------------------------------
TEST_F(Dispatcher, VersionVideoAndUnknown) {
  CommandManager* m = Manager('T');
  EXPECT_EQ(Dispatch(m, "vers"), "VERS0.82.14OK\r\n");
  EXPECT_EQ(Dispatch(m, "VERSION?"), "VERS0.82.14OK\r\n");
  EXPECT_EQ(Dispatch(m, "VIDEO"), "OK\r\n");
  EXPECT_EQ(Dispatch(m, "video anything at all"), "OK\r\n");
  EXPECT_EQ(Dispatch(m, "HELLO"), "KO\r\n");
  EXPECT_EQ(Dispatch(m, ""), "KO\r\n");
  EXPECT_EQ(Dispatch(m, "VY"), "KO\r\n");
  EXPECT_EQ(Dispatch(m, "VE"), "KO\r\n");
  EXPECT_EQ(m->ProcessCommand(nullptr, 0), nullptr);
  EXPECT_EQ(m->ProcessCommand(m->mCommand, 0), CommandManager::mKo);
  strcpy(m->mCommand, "VYX");
  EXPECT_EQ(m->ProcessCommand(m->mCommand, 3), BeaconGetString());
}

TEST_F(Dispatcher, RepliesWrittenOutsideTheCommandBufferStayBounded) {
  CommandManager* m = Manager('T');
  // A caller's own 5-byte text: the reply must not be written over its end.
  char* small = static_cast<char*>(malloc(5));
  memcpy(small, "VERS", 5);
  char* reply = m->ProcessCommand(small, 4);
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "VERS0.82.14OK\r\n");
  EXPECT_STREQ(small, "VERS");
  free(small);
}

TEST_F(Dispatcher, RoleBoundCommands) {
  CommandManager* t = Manager('T');
  CommandManager* r = Manager('R');
  {
    Capture err(stderr);
    EXPECT_EQ(Dispatch(t, "REMOTE6E"), "KO\r\n");
    EXPECT_NE(err.Stop().find("Bad type T"), std::string::npos);
  }
  {
    Capture err(stderr);
    EXPECT_EQ(Dispatch(r, "TIME"), "KO\r\n");
    EXPECT_NE(err.Stop().find("Bad type R"), std::string::npos);
  }
  {
    Capture err(stderr);
    EXPECT_EQ(Dispatch(r, "EITN0001,0003"), "KO\r\n");
    EXPECT_NE(err.Stop().find("Bad type R"), std::string::npos);
  }
  std::string time = Dispatch(t, "time");
  EXPECT_EQ(time.compare(0, 5, "TIME "), 0) << time;
  EXPECT_GE(time.size(), 10u);
  EXPECT_EQ(time.compare(time.size() - 5, 5, " OK\r\n"), 0) << time;

  EXPECT_EQ(Dispatch(r, "TUNERMODE1"), "KO\r\n");  // transmitter only, no report
  {
    Capture out(stdout);
    global_debug_flag = 1;
    EXPECT_EQ(Dispatch(t, "UART hello"), "KO\r\n");
    EXPECT_EQ(Dispatch(t, "SUART9600"), "KO\r\n");
    EXPECT_NE(out.Stop().find("This command is only for receiver"), std::string::npos);
  }
  // A receiver takes the bytes; with forwarding off they are dropped.
  EXPECT_EQ(Dispatch(r, "UART hello"), "OK\r\n");
  EXPECT_EQ(Dispatch(r, "SUART9600"), "KO\r\n");
}

TEST_F(Dispatcher, UnitNineIsRefused) {
  CommandManager* t = Manager('T');
  Capture err(stderr);
  EXPECT_EQ(Dispatch(t, "UNIT9,239.1.1.1,5000,2,3"), "KO\r\n");
  EXPECT_NE(err.Stop().find("Invalid UNIT command 9"), std::string::npos);
}

TEST_F(Dispatcher, DiagnosticsAnswerKo) {
  CommandManager* t = Manager('T');
  EXPECT_EQ(Dispatch(t, "DEBUG2"), "KO\r\n");
  EXPECT_EQ(global_debug_flag, 2);
  EXPECT_EQ(Dispatch(t, "debug 0"), "KO\r\n");
  EXPECT_EQ(global_debug_flag, 0);
  EXPECT_EQ(Dispatch(t, "DEBUG"), "KO\r\n");
  EXPECT_EQ(global_debug_flag, 0);

  bool simple = t->mpTsf->m_dbg_simple_stream;
  EXPECT_EQ(Dispatch(t, "DBGSIMPL"), "KO\r\n");
  EXPECT_EQ(t->mpTsf->m_dbg_simple_stream, !simple);
  EXPECT_EQ(Dispatch(t, "dbgsimple"), "KO\r\n");
  EXPECT_EQ(t->mpTsf->m_dbg_simple_stream, simple);

  for (const char* cmd : {"DUMPPIDS", "DUMPSTAT", "DUMPSTATS", "DUMPEIT", "DUMPCOL", "DUMPCOLLECT",
                          "STREAMFROMFILE", "TESTSER", "DUMPLANG", "K720CMMD", "K720CMMD ",
                          "k720cmmd -nothing"}) {
    EXPECT_EQ(Dispatch(t, cmd), "KO\r\n") << cmd;
  }
  EXPECT_EQ(Dispatch(t, "FILTER"), "KO\r\n");           // no port field
  EXPECT_EQ(Dispatch(t, "FILTER 239.1.1.1,"), "KO\r\n");  // empty port field
}

// The first n characters of a keyword, then a character no keyword has there.
std::string Cut(const char* keyword, size_t n) { return std::string(keyword, n) + "~"; }

// The position of a keyword in the dispatcher's own table, or -1.
int RowOf(const char* keyword) {
  size_t compared = 0;
  for (int i = 0; CommandManager::KeywordRow(i, &compared) != nullptr; i++)
    if (strcmp(CommandManager::KeywordRow(i, &compared), keyword) == 0) return i;
  return -1;
}

TEST_F(Dispatcher, EachRowComparesExactlyItsLength) {
  int rows = 0;
  size_t compared = 0;
  for (const char* keyword; (keyword = CommandManager::KeywordRow(rows, &compared)) != nullptr; rows++) {
    // N characters select the row, in either case; the (N+1)th is not looked at.
    EXPECT_STREQ(CommandManager::MatchedKeyword(Cut(keyword, compared).c_str()), keyword) << keyword;
    std::string lower = Cut(keyword, compared);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    EXPECT_STREQ(CommandManager::MatchedKeyword(lower.c_str()), keyword) << lower;
    // N-1 characters select nothing.
    EXPECT_EQ(CommandManager::MatchedKeyword(Cut(keyword, compared - 1).c_str()), nullptr) << keyword;
  }
  EXPECT_EQ(rows, 40);  // with CONTROLLERS
  // The rows whose order the protocol relies on, and the short comparisons.
  for (const auto& before : {std::make_pair("SUB?", "SUBS"), std::make_pair("LAN?", "LANG"),
                             std::make_pair("SCA?", "SCAL"), std::make_pair("UART", "SUART"),
                             std::make_pair("UNIT", "UPGR"), std::make_pair("VYX", "FILTER")}) {
    EXPECT_GE(RowOf(before.first), 0) << before.first;
    EXPECT_LT(RowOf(before.first), RowOf(before.second)) << before.first << " before " << before.second;
  }
  for (const char* shorter : {"TUNERMOD~", "DUMPSTAT~", "DBGSIMPL~", "DUMPCOL~"})
    EXPECT_NE(CommandManager::MatchedKeyword(shorter), nullptr) << shorter;
  EXPECT_EQ(CommandManager::MatchedKeyword(""), nullptr);
  EXPECT_EQ(CommandManager::MatchedKeyword(nullptr), nullptr);
}

int serial_tests_run = 0;

}  // namespace

// The hosting process's serial self-test, here a counter.
extern "C" int run_serial_test(void) {
  ++serial_tests_run;
  return 0;
}

namespace {

// Requests that reach a row with exactly its compared length, whose reply or
// report tells the row was run; one character less (the last compared one
// changed) must give the generic reply with no report.
TEST_F(Dispatcher, GoldenRepliesAtTheComparedLength) {
  CommandManager* t = Manager('T');
  CommandManager* r = Manager('R');
  struct Golden {
    CommandManager* m;
    const char* keyword;
    size_t compared;
    const char* tail;      // after the compared characters
    const char* reply;     // expected reply ("<none>" for none)
    const char* report;    // expected on stderr, or null
  };
  const Golden goldens[] = {
      {t, "VERS", 4, "ION", "VERS0.82.14OK\r\n", nullptr},
      {t, "VIDEO", 5, "", "OK\r\n", nullptr},
      {t, "REMOTE", 6, "6E", "KO\r\n", "Bad type T"},
      {r, "REMOTE", 6, "6E", "OK\r\n", nullptr},
      {t, "UNIT", 4, "9,239.1.1.1,5000,2,3", "KO\r\n", "Invalid UNIT command 9"},
      {t, "SUB?", 4, "", "<none>", nullptr},
      {t, "LAN?", 4, "", "<none>", nullptr},
      {t, "CALLBACK", 8, "0", "OK\r\n", nullptr},
      // The 9th character is not compared; the handler is refused its remount.
      {t, "TUNERMODE", 8, "~0", "KO\r\n", "Can't remount HD rw"},
      {t, "RESET", 5, "", "OK\r\n", nullptr},
      {r, "UART", 4, "hello", "OK\r\n", nullptr},
      {r, "EIT", 3, "N0001,0003", "KO\r\n", "Bad type R"},
      {r, "TIME", 4, "", "KO\r\n", "Bad type R"},
      {t, "MCASTPACKETSIZE", 15, "1316", "OK\r\n", nullptr},
      {t, "FILTER", 6, " 239.1.1.1,5000", "KO\r\n", "Filter refused on port 5000"},
  };
  vyxtest::FakeSysMgr::Get().Refuse(true);
  for (const Golden& g : goldens) {
    for (size_t n : {g.compared, g.compared - 1}) {
      std::string request = std::string(g.keyword, n) + (n < g.compared ? "~" : "") + g.tail;
      Capture err(stderr);
      std::string reply = Dispatch(g.m, request);
      std::string text = err.Stop();
      if (n == g.compared) {
        EXPECT_EQ(reply, g.reply) << request << ": " << text;
        if (g.report != nullptr) {
          EXPECT_NE(text.find(g.report), std::string::npos) << request;
        }
      } else {
        EXPECT_EQ(reply, "KO\r\n") << request;
        EXPECT_EQ(text.find("PANIC"), std::string::npos) << request << ": " << text;
      }
    }
  }

  vyxtest::FakeSysMgr::Get().Refuse(false);

  // Diagnostics answer the generic reply either way: their action tells.
  int before = serial_tests_run;
  EXPECT_EQ(Dispatch(t, "TESTSE~"), "KO\r\n");
  EXPECT_EQ(serial_tests_run, before);
  EXPECT_EQ(Dispatch(t, "TESTSER~"), "KO\r\n");
  EXPECT_EQ(serial_tests_run, before + 1);
  EXPECT_EQ(Dispatch(t, "DEBU~3"), "KO\r\n");
  EXPECT_EQ(global_debug_flag, saved_flag_);
  EXPECT_EQ(Dispatch(t, "DEBUG3"), "KO\r\n");
  EXPECT_EQ(global_debug_flag, 3);
  bool simple = t->mpTsf->m_dbg_simple_stream;
  EXPECT_EQ(Dispatch(t, "DBGSIMP~"), "KO\r\n");
  EXPECT_EQ(t->mpTsf->m_dbg_simple_stream, simple);
  EXPECT_EQ(Dispatch(t, "DBGSIMPL~"), "KO\r\n");
  EXPECT_EQ(t->mpTsf->m_dbg_simple_stream, !simple);
  Dispatch(t, "DBGSIMPLE");
}

TEST_F(Dispatcher, ResetAsksTheAgentToReboot) {
  CommandManager* t = Manager('T');
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Dispatch(t, "RESET"), "OK\r\n");
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidReboot + " i 0"));
  FakeAgent::Get().Garble(true);
  Capture err(stderr);
  std::string reply = Dispatch(t, "reset");
  FakeAgent::Get().Garble(false);
  EXPECT_EQ(reply, "KO\r\n");
  EXPECT_NE(err.Stop().find("  reset\n"), std::string::npos);
}

TEST_F(Dispatcher, QueriesThatAnswerThroughTheForwarding) {
  CommandManager* t = Manager('T');
  EXPECT_EQ(Dispatch(t, "SUB?"), "<none>");
  EXPECT_EQ(Dispatch(t, "LAN?"), "<none>");
}

// ---------------------------------------------------------------------------
// CALLBACK and replies through the command socket
// ---------------------------------------------------------------------------
// Delivers one datagram from the controller to the manager's socket, as the
// loop would, and dispatches it.
std::string Deliver(CommandManager* m, Controller& ctl, const std::string& cmd) {
  ctl.SendTo(static_cast<unsigned short>(ntohs(m->mpServer->siMe.sin_port)), cmd);
  memset(m->mCommand, 0, CommandManager::kCommandSize);
  if (!m->mpServer->WaitForData(5, 0)) return "<no datagram>";
  int n = m->mpServer->Receive(m->mCommand, CommandManager::kReceiveLimit, 0);
  if (n < 0) return "<receive failed>";
  char* reply = m->ProcessCommand(m->mCommand, n);
  return reply == nullptr ? "<none>" : std::string(reply);
}

void BindEphemeral(CommandManager* m) {
  if (m->mpServer->s >= 0) return;
  ASSERT_TRUE(m->mpServer->Connect(0, nullptr));
  sockaddr_in a{};
  socklen_t len = sizeof(a);
  getsockname(m->mpServer->s, reinterpret_cast<sockaddr*>(&a), &len);
  m->mpServer->siMe.sin_port = a.sin_port;
}

TEST_F(Dispatcher, CallbackSendsErrorsAndLogsToTheController) {
  CommandManager* t = Manager('T');
  BindEphemeral(t);
  Controller ctl;
  EXPECT_EQ(Deliver(t, ctl, "CALLBACK1"), "OK\r\n");
  ASSERT_NE(error_udp_sender, nullptr);
  EXPECT_EQ(error_udp_sender->port, ctl.Port());
  EXPECT_STREQ(error_udp_sender->serverIp, "127.0.0.1");

  std::string d;
  {
    Capture err(stderr);
    EXPECT_EQ(Deliver(t, ctl, "UNIT9"), "KO\r\n");
  }
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, "LOG:ERROR Invalid UNIT command 9\r\n");

  EXPECT_EQ(Deliver(t, ctl, "DEBUG2"), "KO\r\n");
  EXPECT_EQ(Deliver(t, ctl, "CALLBACK1"), "OK\r\n");  // sender kept, forwarding set again
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, std::string("LOG: Setting TunerForwarding for transmitter for T\n\r\n\0", 54));

  global_debug_flag = 0;
  EXPECT_EQ(Deliver(t, ctl, "CALLBACK0"), "OK\r\n");
  EXPECT_EQ(error_udp_sender, nullptr);
}

TEST_F(Dispatcher, ReceiverCallbackSwitchesForwarding) {
  CommandManager* r = Manager('R');
  BindEphemeral(r);
  Controller ctl;
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Deliver(r, ctl, "CALLBACK1"), "OK\r\n");
  EXPECT_TRUE(r->mIrForwarding);
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidIrControl + " i 16"));
  EXPECT_EQ(Deliver(r, ctl, "CALLBACK0"), "OK\r\n");
  EXPECT_FALSE(r->mIrForwarding);
  EXPECT_EQ(error_udp_sender, nullptr);
}

TEST_F(Dispatcher, LongRepliesAreCutTo1024Bytes) {
  CommandManager* t = Manager('T');
  BindEphemeral(t);
  Controller ctl;
  EXPECT_EQ(Deliver(t, ctl, "VIDEO"), "OK\r\n");  // the controller is the last sender
  ASSERT_EQ(t->SendReply(CommandManager::mOk), 4);
  std::string d;
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, "OK\r\n");

  std::string big(2000, 'r');
  memcpy(t->mCommand, big.c_str(), big.size() + 1);
  Capture err(stderr);
  EXPECT_EQ(t->SendReply(t->mCommand), 1024);
  EXPECT_NE(err.Stop().find("buff too long"), std::string::npos);
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, std::string(1023, 'r') + std::string(1, '\0'));
}

}  // namespace
