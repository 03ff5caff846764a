// Hostile commands through the dispatcher, on a transmitter and on a receiver:
// every keyword of the table followed by nothing, a datagram's worth of junk,
// commas only, numbers out of every range, embedded NUL bytes and seeded
// random bytes, then targeted cases for the handlers that parse fields (UNIT,
// MCASTPACKETSIZE, STREAMFROMFILE, K720CMMD, TUNERMODE, CALLBACK, DEBUG,
// FILTER, RESET).  Every reply must be nothing, or a terminated text shorter
// than 1024 bytes ending in CR LF; the sanitizers watch for overruns.
//
// Each datagram is put in the manager's own mCommand as the command loop does
// it (buffer cleared, at most 2040 bytes, terminated after them).  A second
// pass hands the same bytes in a heap buffer of exactly their size, so a
// handler reading past the text's terminator is caught too.
//
// Runs in private IPC and mount namespaces (private_ipc.h) with the in-test
// SNMP agent and system manager; the files the commands name are made in a
// scratch directory of the private /mnt.

#define VYX_PRIVATE_MOUNT
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "services/beacon.h"
#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ipc.h"
#include "quv_interprocess.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// Handler waits (remounts, tuning, stream starts) pass a thousand times faster.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "1000", 1), true);

const char kStartupFile[] = "/mnt/hd1/vyx_def_startup";
const char kModeFile[] = "/mnt/hd1/vyx_tunermode";
const char kScratch[] = "/mnt/work";

// Every row of the dispatcher table but FILTER, which blocks on a socket by
// design and has its own test.
const char* const kKeywords[] = {
    "VYX",    "IP?",      "VERS",     "REMOTE",    "VIDEO",    "VSCALE",      "STATUS",
    "UNIT",   "SUB?",     "LAN?",     "SUBS",      "LANG",     "DHCP",        "URL",
    "CALLBACK", "TUNERMODE", "RESET", "UART",      "SUART",    "Tuner://",    "SCA?",
    "SCAL",   "BLIND",    "UPGR",     "TIME",      "EIT",      "MCASTPACKETSIZE", "RESOLUTION",
    "DEBUG",  "DUMPPIDS", "DUMPSTATS", "DBGSIMPLE", "DUMPEIT", "DUMPCOLLECT", "STREAMFROMFILE",
    "TESTSER", "DUMPLANG", "K720CMMD",
};

bool StartsWithCi(const std::string& s, const char* prefix) {
  size_t n = strlen(prefix);
  return s.size() >= n && strncasecmp(s.c_str(), prefix, n) == 0;
}

std::string Printable(const std::string& s, size_t limit = 80) {
  std::string out;
  for (size_t i = 0; i < s.size() && out.size() < limit; i++) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof(hex), "\\x%02x", c);
      out += hex;
    }
  }
  if (s.size() > limit) out += "...(" + std::to_string(s.size()) + " bytes)";
  return out;
}

// Keeps the error reports of hostile cases off the test's output, and lets
// go however the test ends.  VYX_TEST_LOUD=1 shows them (and a sanitizer's
// report, which would otherwise go to the captured stream).
class Quiet {
 public:
  Quiet() { On(); }
  ~Quiet() { Off(); }
  void On() {
    const char* loud = getenv("VYX_TEST_LOUD");
    if (mOn || (loud != nullptr && strcmp(loud, "1") == 0)) return;
    testing::internal::CaptureStderr();
    mOn = true;
  }
  void Off() {
    if (mOn) testing::internal::GetCapturedStderr();
    mOn = false;
  }

 private:
  bool mOn = false;
};

// A FILTER command run with logging to stdout on: its reply, whether it got
// as far as starting its receiver ("Starting Filter" logged), and the error
// reports it made.
struct FilterRun {
  std::string reply;
  bool started = false;
  std::string errors;
};

class Hostile : public ::testing::Test {
 protected:
  virtual char Role() const = 0;

  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_MNT();
    vyxtest::FakeAgent::Get();
    vyxtest::FakeSysMgr::Get().Refuse(false);
    static const bool scratch = mkdir(kScratch, 0755) == 0 && chdir(kScratch) == 0;
    ASSERT_TRUE(scratch);
    cm = vyxtest::shared_manager(Role());
    __atomic_store_n(&global_debug_flag, 0, __ATOMIC_RELAXED);
  }

  void TearDown() override {
    if (cm == nullptr) return;
    debugLevel = 0;
    // Leave nothing running for the next test: streams, debug files, the
    // error destination, logging.
    Dispatch("STREAMFROMFILE");
    Dispatch("CALLBACK0");
    EndScan();
    cm->mpTunerManager->SetTunerForwarding(nullptr);
    if (Role() == 'T') Dispatch("UNIT0");
    __atomic_store_n(&global_debug_flag, 0, __ATOMIC_RELAXED);
  }

  // A BLIND whose text reads as a scan number starts a scan; it is stopped
  // before the next command, which it would otherwise refuse.
  void EndScan() {
    TunerManager* tm = cm->mpTunerManager;
    if (Role() != 'T' || tm->ScanState() != TunerManager::eScanInProgress) return;
    tm->BlindScan(TunerManager::eScanStop);
    for (int i = 0; i < 2000 && tm->ScanState() == TunerManager::eScanInProgress; i++) vyx_sleep_ms(5);
  }

  // As the command loop does: mCommand cleared, at most 2040 bytes of the
  // datagram, terminated after them, then dispatch.
  char* Dispatch(const std::string& datagram) {
    int len = static_cast<int>(std::min<size_t>(datagram.size(), CommandManager::kReceiveLimit));
    memset(cm->mCommand, 0, CommandManager::kCommandSize);
    memcpy(cm->mCommand, datagram.data(), static_cast<size_t>(len));
    cm->mCommand[len] = '\0';
    return cm->ProcessCommand(cm->mCommand, len);
  }

  std::string Send(const std::string& datagram) {
    char* reply = Dispatch(datagram);
    return reply != nullptr ? std::string(reply) : std::string("<none>");
  }

  // What is wrong with a reply to `datagram`, or "" when nothing is.
  static std::string ReplyProblem(const std::string& datagram, const char* reply) {
    if (reply == nullptr) return "";
    if (StartsWithCi(datagram, "VYX"))
      return reply == BeaconGetString() ? "" : "VYX answered something else than the beacon";
    size_t n = strlen(reply);
    // The scan status may come back as its raw 4 bytes, the first one 0.
    if (StartsWithCi(datagram, "SCA?") && n == 0) return "";
    if (n >= static_cast<size_t>(CommandManager::kReplyLimit))
      return "reply of " + std::to_string(n) + " bytes";
    if (n < 2 || reply[n - 2] != '\r' || reply[n - 1] != '\n')
      return "reply without CR LF: " + Printable(std::string(reply, n));
    return "";
  }

  // State a hostile command must never break.
  std::string StateProblem(const std::string& datagram) {
    if (strcmp(CommandManager::mOk, "OK\r\n") != 0) return "mOk overwritten";
    if (strcmp(CommandManager::mKo, "KO\r\n") != 0) return "mKo overwritten";
    if (memchr(cm->mTunerMode, 0, sizeof(cm->mTunerMode)) == nullptr) return "mTunerMode unterminated";
    if (memchr(cm->mMulticastIpReceived, 0, sizeof(cm->mMulticastIpReceived)) == nullptr)
      return "mMulticastIpReceived unterminated";
    if (memchr(cm->mLastUnitCommand, 0, CommandManager::kLastUnitCommandSize) == nullptr)
      return "mLastUnitCommand unterminated";
    if (cm->mUrl != nullptr && memchr(cm->mUrl, 0, CommandManager::kUrlSize) == nullptr)
      return "mUrl unterminated";
    for (int i = 0; i < 8; i++) {
      Streamer* s = cm->mpTsf->mStreamersList[i];
      if (s != nullptr && strnlen(s->StreamGetIp(), 16) > 15) return "stream address unterminated";
    }
    int flag = __atomic_load_n(&global_debug_flag, __ATOMIC_RELAXED);
    if (StartsWithCi(datagram, "DEBUG")) {
      __atomic_store_n(&global_debug_flag, debugLevel, __ATOMIC_RELAXED);
    } else if (flag != debugLevel) {
      return "global_debug_flag changed to " + std::to_string(flag);
    }
    return "";
  }

  // Runs one hostile datagram in mCommand and, when `exact`, again in a heap
  // buffer of exactly its size; records what went wrong.
  void Case(const std::string& raw, bool exact = true) {
    std::string datagram = vyxtest::tame_command(raw);
    cases++;
    char* first = Dispatch(datagram);
    if (first != nullptr && strcmp(first, "OK\r\n") == 0) accepted++;
    std::string problem = ReplyProblem(datagram, first);
    if (problem.empty()) problem = StateProblem(datagram);
    if (problem.empty() && exact) {
      size_t len = std::min<size_t>(datagram.size(), CommandManager::kReceiveLimit);
      std::vector<char> heap(datagram.begin(), datagram.begin() + static_cast<long>(len));
      heap.push_back('\0');
      char* reply = cm->ProcessCommand(heap.data(), static_cast<int>(len));
      problem = ReplyProblem(datagram, reply);
      if (problem.empty()) problem = StateProblem(datagram);
      if (!problem.empty()) problem = "(exact buffer) " + problem;
    }
    if (StartsWithCi(datagram, "STREAMFROMFILE")) Dispatch("STREAMFROMFILE");
    if (StartsWithCi(datagram, "BLIND")) EndScan();
    if (!problem.empty()) failures.push_back(Printable(datagram) + ": " + problem);
  }

  void ExpectNoFailures() {
    std::string all;
    for (size_t i = 0; i < failures.size() && i < 20; i++) all += failures[i] + "\n";
    EXPECT_TRUE(failures.empty()) << failures.size() << " of " << cases << " cases failed:\n" << all;
    printf("[hostile] %c: %d cases, %d answered OK\n", Role(), cases, accepted);
  }

  // Every keyword with nothing, junk, commas, numbers, NUL bytes and random
  // bytes; then random datagrams with no keyword at all.
  void KeywordSweep(int randomPerKeyword, int randomPlain) {
    std::mt19937 rng(0x5eed0000u + static_cast<unsigned>(Role()));
    auto randomBytes = [&rng](size_t n, bool printable) {
      std::string s(n, '\0');
      for (char& c : s)
        c = printable ? static_cast<char>(0x20 + rng() % 0x5F) : static_cast<char>(rng() & 0xFF);
      return s;
    };
    const char* const numbers[] = {
        "99999999999999999999", "-1", "-2147483648", "-2147483649", "2147483648", "4294967296",
        "0x7fffffff", "0xGG", "ZZZZ", "1e308", " -99999999999999999999999", ",-1,-1,-1,-1,-1,-1",
        ",99999999999,99999999999,99999999999,99999999999,99999999999", "ffffffffffffffffffff",
        "1,ffffffffffff,ffffffffffff,-1", "?", "key99999999999", "key-1",
    };
    for (const char* keyword : kKeywords) {
      std::string k = keyword;
      std::string lower = k;
      for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
      Case(k);                                             // (a) nothing
      Case(k + randomBytes(2030, true));                   // (b) junk to the datagram's end
      Case(lower + randomBytes(2100, true));               //     past it, in lower case
      Case(k + std::string(2030, 'A'));
      Case(k + std::string(10, ','));                      // (c) commas
      Case(k + std::string(2030, ','));
      for (const char* n : numbers) Case(k + n);           // (d) numbers
      Case(k + std::string("1\0", 2) + randomBytes(500, true));  // (e) NUL bytes
      Case(k + std::string(1, '\0') + std::string(2000, '9'));
      Case(k + std::string(",\0,\0,\0", 6) + "1,2,3");
      for (int i = 0; i < randomPerKeyword; i++)          // (f) random
        Case(k + randomBytes(rng() % (CommandManager::kReceiveLimit + 40), false), i % 4 == 0);
    }
    for (int i = 0; i < randomPlain; i++) Case(randomBytes(rng() % 2100, false), i % 4 == 0);
  }

  void SweepWithReportsAndLogs();
  void FilterOnTheDevicesOwnPorts();

  FilterRun Filter(const std::string& cmd) {
    FilterRun r;
    __atomic_store_n(&global_debug_flag, 1, __ATOMIC_RELAXED);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    r.reply = Send(cmd);
    r.errors = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();
    __atomic_store_n(&global_debug_flag, 0, __ATOMIC_RELAXED);
    r.started = out.find("Starting Filter") != std::string::npos;
    return r;
  }

  CommandManager* cm = nullptr;
  int cases = 0;
  int accepted = 0;
  int debugLevel = 0;  // global_debug_flag between cases
  std::vector<std::string> failures;
};

class HostileTx : public Hostile {
  char Role() const override { return 'T'; }
};
class HostileRx : public Hostile {
  char Role() const override { return 'R'; }
};

// A datagram source on loopback for the FILTER diagnostic: junk first, then
// empty datagrams (a receive of 0 bytes ends the diagnostic) until stopped.
class FilterFeeder {
 public:
  explicit FilterFeeder(unsigned short port) : mPort(port) {
    mThread = std::thread([this] { Run(); });
  }
  ~FilterFeeder() {
    mStop = true;
    mThread.join();
  }

 private:
  void Run() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(mPort);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string junk(3000, '\x47');
    while (!mStop) {
      sendto(s, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      sendto(s, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      usleep(2000);
    }
    close(s);
  }
  unsigned short mPort;
  std::atomic<bool> mStop{false};
  std::thread mThread;
};

// A UDP port free on every address (bound once and released), as the
// diagnostic binds it: a port taken from loopback alone may be in use on
// another address, where the diagnostic's bind and PortUnbound meet it.
unsigned short FreePort() {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  socklen_t n = sizeof(a);
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

// Whether nothing is bound to a UDP port: a bind without address reuse
// succeeds only then, whatever the other socket's options.
bool PortUnbound(unsigned short port) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_ANY);
  bool free = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
  close(s);
  return free;
}

// The controller's side of CALLBACK: a loopback socket that takes every
// error and log datagram the device sends and checks its shape ("LOG:ERROR "
// or "LOG: ", a bounded message, CR LF, for logs a zero byte).
class Controller {
 public:
  Controller() : mAddress(mUdp.Address()) { mThread = std::thread([this] { Run(); }); }
  ~Controller() {
    mStop = true;
    mThread.join();
  }
  const sockaddr_in& Address() const { return mAddress; }
  int Count() const { return mCount; }
  std::vector<std::string> Bad() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mBad;
  }

 private:
  void Run() {
    std::string d;
    while (!mStop) {
      if (!mUdp.Next(&d, 50)) continue;
      mCount++;
      bool error = d.compare(0, 10, "LOG:ERROR ") == 0;
      bool log = !error && d.compare(0, 5, "LOG: ") == 0;
      std::string end = log ? std::string("\r\n", 3) : std::string("\r\n");
      bool shaped = (error && d.size() <= 10 + 511 + 2) || (log && d.size() <= 5 + 1023 + 3);
      shaped = shaped && d.size() >= end.size() && d.compare(d.size() - end.size(), end.size(), end) == 0;
      // The tuner manager's forwarding (SUB?, LAN?) shares the address:
      // its answers are texts ending in CR LF, under a kilobyte.
      if (!error && !log) shaped = d.size() < 1024;
      if (!shaped) {
        std::lock_guard<std::mutex> lock(mMutex);
        mBad.push_back(Printable(d));
      }
    }
  }
  vyxtest::LoopbackUdp mUdp;
  sockaddr_in mAddress;
  std::atomic<bool> mStop{false};
  std::atomic<int> mCount{0};
  std::mutex mMutex;
  std::vector<std::string> mBad;
  std::thread mThread;
};

// Messages waiting on the player's queue: their text sizes.
std::vector<size_t> DrainPlayerQueue(int q) {
  std::vector<size_t> sizes;
  struct {
    long mtype;
    char text[8192];
  } m;
  ssize_t n;
  while ((n = msgrcv(q, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR)) >= 0)
    sizes.push_back(static_cast<size_t>(n));
  return sizes;
}

}  // namespace

// ---------------------------------------------------------------------------
// Sweeps of the whole table
// ---------------------------------------------------------------------------
TEST_F(HostileTx, EveryKeywordSurvivesHostileText) {
  {
    Quiet quiet;
    KeywordSweep(60, 600);
  }
  ExpectNoFailures();
}

TEST_F(HostileRx, EveryKeywordSurvivesHostileText) {
  {
    Quiet quiet;
    KeywordSweep(60, 600);
  }
  ExpectNoFailures();
}


// The same sweep with error reports and logs going to a controller: every
// datagram the device sends it must be bounded and shaped.
void Hostile::SweepWithReportsAndLogs() {
  Controller controller;
  cm->mpServer->siOther = controller.Address();
  EXPECT_EQ(Send("CALLBACK1"), "OK\r\n");
  EXPECT_EQ(Send("DEBUG2"), "KO\r\n");
  debugLevel = 2;
  {
    Quiet quiet;
    KeywordSweep(20, 200);
  }
  ExpectNoFailures();
  debugLevel = 0;
  EXPECT_EQ(Send("DEBUG0"), "KO\r\n");
  int deadline = 100;
  while (controller.Count() == 0 && deadline-- > 0) usleep(10000);
  EXPECT_GT(controller.Count(), 0);
  std::vector<std::string> bad = controller.Bad();
  EXPECT_TRUE(bad.empty()) << bad.size() << " malformed datagrams, first: " << bad.front();
}

TEST_F(HostileTx, SweepWithReportsAndLogsToTheController) { SweepWithReportsAndLogs(); }

TEST_F(HostileRx, SweepWithReportsAndLogsToTheController) { SweepWithReportsAndLogs(); }

// ---------------------------------------------------------------------------
// UNIT
// ---------------------------------------------------------------------------
TEST_F(HostileTx, UnitFieldsOutOfEveryRange) {
  Quiet quiet;
  const std::string longAddress(300, 'a');
  const std::string longDotted = "127.0.0.1" + std::string(291, 'x');
  std::string manyPairs = "127.0.0.1,5010,5";
  for (int i = 0; i < 300; i++) manyPairs += ",1,3";
  // Every byte as the digit, then the missing and oversized fields of each digit.
  for (int c = 1; c < 256; c++) Case("UNIT" + std::string(1, static_cast<char>(c)) + ",x", false);
  for (char d = '0'; d <= '9'; d++) {
    std::string u = std::string("UNIT") + d;
    for (const std::string& rest :
         {std::string(""), std::string(","), std::string(",,,,"), std::string(",127.0.0.1"),
          std::string(",127.0.0.1,"), std::string(",127.0.0.1,5010"), "," + longAddress + ",5010,5",
          "," + longDotted + ",5010,5", std::string(",127.0.0.1,99999999,5"),
          std::string(",127.0.0.1,-1,5"), std::string(",127.0.0.1,5010,ffffffffffff"),
          std::string(",8,127.0.0.1,5010,5"), std::string(",-1,127.0.0.1,5010,5"),
          std::string(",99999999999999999999,127.0.0.1,5010,5"), std::string(",7"),
          "," + manyPairs, ",7," + manyPairs})
      Case(u + rest, false);
  }
  quiet.Off();
  ExpectNoFailures();

  // Spot checks of what the refusals and the cuts mean.
  quiet.On();
  EXPECT_EQ(Send("UNIT9,127.0.0.1,5010,5"), "KO\r\n");
  EXPECT_EQ(Send("UNIT3,127.0.0.1,5010,5"), "KO\r\n");
  EXPECT_EQ(Send("UNIT1," + longAddress + ",5010,5"), "KO\r\n");
  EXPECT_EQ(Send("UNIT4,8,127.0.0.1,5010,5"), "KO\r\n");
  EXPECT_EQ(Send("UNIT4,99999999999999999999,127.0.0.1,5010,5"), "KO\r\n");
  // An address with text after it passes the dotted-quad check, but what is
  // left of it in the stream's 16 bytes cannot be aimed at: refused.
  EXPECT_EQ(Send("UNIT1," + longDotted + ",5010,5"), "KO\r\n");
  EXPECT_EQ(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_EQ(Send("UNIT1," + manyPairs), "OK\r\n");
  ASSERT_NE(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_EQ(vyxtest::read_file(kStartupFile), ("UNIT1," + manyPairs).substr(0, 254));
  EXPECT_EQ(Send("UNIT4,7," + manyPairs), "OK\r\n");
  EXPECT_NE(cm->mpTsf->mStreamersList[7], nullptr);
  EXPECT_EQ(Send("UNIT5,7"), "OK\r\n");
  EXPECT_EQ(cm->mpTsf->mStreamersList[7], nullptr);
  // The stream number is read as atoi reads it: x is stream 0, 3x stream 3.
  EXPECT_EQ(Send("UNIT4,3x," + manyPairs), "OK\r\n");
  EXPECT_NE(cm->mpTsf->mStreamersList[3], nullptr);
  EXPECT_EQ(Send("UNIT4,0," + manyPairs), "OK\r\n");
  ASSERT_NE(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_EQ(Send("UNIT5,x"), "OK\r\n");
  EXPECT_EQ(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_NE(cm->mpTsf->mStreamersList[3], nullptr);
  EXPECT_EQ(Send("UNIT5,3junk"), "OK\r\n");
  EXPECT_EQ(cm->mpTsf->mStreamersList[3], nullptr);
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
  quiet.Off();
}

TEST_F(HostileRx, UnitFieldsOutOfEveryRange) {
  Quiet quiet;
  const std::string longAddress(300, 'a');
  for (char d = '0'; d <= '9'; d++) {
    std::string u = std::string("UNIT") + d;
    for (const std::string& rest :
         {std::string(""), std::string(","), std::string(",,,,,,,,"), "," + longAddress + ",5000,0,3",
          ",239.1.1.1" + std::string(300, '1') + ",5000,0,3", std::string(",239.1.1.1,70000,0,3"),
          std::string(",239.1.1.1,-5000,0,3"), std::string(",239.1.1.1,5000,0,fffffffffffff,ff,ff"),
          std::string(",239.1.1.1,5000,") + std::string(1100, '7'), std::string(1100, '1')})
      Case(u + rest, false);
  }
  quiet.Off();
  ExpectNoFailures();

  quiet.On();
  EXPECT_EQ(Send("UNIT1," + longAddress + ",5000,0,3"), "KO\r\n");
  EXPECT_EQ(Send("UNIT1,239.1.1.1" + std::string(300, '1') + ",5000,0,3"), "KO\r\n");
  EXPECT_EQ(Send("UNIT1,239.1.1.1,70000,0,3"), "KO\r\n");
  EXPECT_EQ(Send("UNIT1,239.1.1.1,5000,0,fffffffffffff"), "OK\r\n");
  EXPECT_STREQ(cm->mMulticastIpReceived, "239.1.1.1");
  EXPECT_EQ(cm->mProgramReceived, 0xffff);
  std::string longUnit = "UNIT1,239.1.1.2,5000,0,3," + std::string(600, 'f');
  EXPECT_EQ(Send(longUnit), "OK\r\n");
  EXPECT_EQ(std::string(cm->mLastUnitCommand), longUnit.substr(0, 254));
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
  EXPECT_STREQ(cm->mMulticastIpReceived, "0.0.0.0");
  quiet.Off();
}


// UNIT built from plausible and hostile fields in random order and number,
// so that the deeper paths (streams started, re-addressed, stopped, programs
// attached; playback started and stopped) meet hostile values too.
std::string RandomUnit(std::mt19937& rng, const char* digits) {
  static const char* const fields[] = {
      "127.0.0.1", "127.0.0.2", "239.1.1.1", "0.0.0.0", "255.255.255.255", "127.0.0.1x",
      "1.2.3", "256.1.1.1", "-1.2.3.4", "5010", "5011", "0", "65535", "65536", "-1", "7", "8",
      "5", "45", "ffff", "ffffffffffff", "0x10", "", " ", "zz", "\r\n",
      "99999999999999999999", "3", "1",
  };
  std::string u = "UNIT";
  char d = digits[rng() % strlen(digits)];
  u += d;
  // Half of them begin with fields that are right, so that streams start
  // and stop and the hostile fields come after them.
  if (rng() % 2 == 0) {
    if (d == '4' || d == '5') u += "," + std::to_string(rng() % 9);
    static const char* const good[] = {"127.0.0.1,5010,5", "127.0.0.2,5011,7", "239.1.1.1,5000,0"};
    u += std::string(",") + good[rng() % 3];
  }
  int n = static_cast<int>(rng() % 12);
  for (int i = 0; i < n; i++) {
    u += ',';
    unsigned pick = rng() % (sizeof(fields) / sizeof(fields[0]) + 2);
    if (pick < sizeof(fields) / sizeof(fields[0]))
      u += fields[pick];
    else
      u += std::string(rng() % 600, pick % 2 ? '9' : 'a');
  }
  return u;
}

TEST_F(HostileTx, UnitGrammarFuzz) {
  std::mt19937 rng(4242);
  Quiet quiet;
  Case("UNIT1,127.0.0.1,5010,5", false);
  for (int i = 0; i < 250; i++) {
    Case(RandomUnit(rng, "0124455555"), false);
    // A packet size and a stream file now and then, with streams in place.
    if (i % 25 == 0) Case("MCASTPACKETSIZE" + std::to_string(static_cast<int>(rng() % 40000) - 100), false);
  }
  quiet.Off();
  ExpectNoFailures();
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
  for (int i = 0; i < 8; i++) EXPECT_EQ(cm->mpTsf->mStreamersList[i], nullptr);
}

TEST_F(HostileRx, UnitGrammarFuzz) {
  std::mt19937 rng(4343);
  Quiet quiet;
  testing::internal::CaptureStdout();
  for (int i = 0; i < 400; i++) Case(RandomUnit(rng, "01133x"), false);
  testing::internal::GetCapturedStdout();
  quiet.Off();
  ExpectNoFailures();
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
}

// ---------------------------------------------------------------------------
// MCASTPACKETSIZE, TUNERMODE, CALLBACK, DEBUG, RESET
// ---------------------------------------------------------------------------
TEST_F(HostileTx, PacketSizeRefusesWhatIsOutOfRange) {
  Quiet quiet;
  for (const char* bad : {"32769", "99999999999999999999", "-1", "-2147483649",
                          "-99999999999999999999", "2147483648"})
    EXPECT_EQ(Send(std::string("MCASTPACKETSIZE") + bad), "KO\r\n") << bad;
  for (const char* good : {"1316", " 1316", "1316junk", "32768", "0"})
    EXPECT_EQ(Send(std::string("MCASTPACKETSIZE") + good), "OK\r\n") << good;
  EXPECT_EQ(Send("MCASTPACKETSIZE" + std::string(2025, '9')), "KO\r\n");
  EXPECT_EQ(Send("MCASTPACKETSIZE1316"), "OK\r\n");
  quiet.Off();
}

TEST_F(HostileTx, TunerModeTakesOnlyItsThreeModes) {
  Quiet quiet;
  EXPECT_EQ(Send("TUNERMODE0"), "OK\r\n");
  for (const char* bad : {"3", "-1", "99999999999999999999", "2147483648", "4294967297"})
    EXPECT_EQ(Send(std::string("TUNERMODE") + bad), "KO\r\n") << bad;
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
  // The mode is read as atoi reads it: no digit is mode 0.
  for (const char* zero : {"", "x", "\r\n"}) {
    EXPECT_EQ(Send("TUNERMODE2"), "OK\r\n");
    EXPECT_EQ(Send(std::string("TUNERMODE") + zero), "OK\r\n") << zero;
    EXPECT_STREQ(cm->mTunerMode, "ATSC") << zero;
    EXPECT_EQ(vyxtest::read_file(kModeFile), "0\n");
  }
  EXPECT_EQ(Send("TUNERMODE2"), "OK\r\n");
  EXPECT_EQ(Send("TUNERMOD1"), "OK\r\n");  // eight characters match; the text after nine is empty
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
  EXPECT_EQ(Send("TUNERMODE" + std::string(2000, ' ') + "2"), "OK\r\n");
  EXPECT_STREQ(cm->mTunerMode, "QAM256");
  EXPECT_EQ(vyxtest::read_file(kModeFile), "2\n");
  EXPECT_EQ(Send("TUNERMODE1junk"), "OK\r\n");
  EXPECT_STREQ(cm->mTunerMode, "QAM64");
  EXPECT_EQ(Send("TUNERMODE0"), "OK\r\n");
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
  quiet.Off();
}

TEST_F(HostileRx, TunerModeIsRefusedOnTheReceiver) {
  unlink(kModeFile);
  EXPECT_EQ(Send("TUNERMODE1"), "KO\r\n");
  EXPECT_EQ(Send("TUNERMODE" + std::string(2030, '1')), "KO\r\n");
  EXPECT_EQ(vyxtest::read_file(kModeFile), "<missing>");
}

TEST_F(HostileRx, CallbackDebugAndResetWithHostileNumbers) {
  Quiet quiet;
  for (const std::string& n : {std::string("1"), std::string(2030, '1'), std::string("-1"),
                               std::string("99999999999999999999"), std::string("1\0x", 3), std::string("")}) {
    EXPECT_EQ(Send("CALLBACK" + n), "OK\r\n") << Printable(n);
  }
  EXPECT_EQ(Send("CALLBACK1"), "OK\r\n");
  EXPECT_TRUE(cm->mIrForwarding);
  EXPECT_EQ(Send("CALLBACK0" + std::string(2000, '1')), "OK\r\n");
  EXPECT_FALSE(cm->mIrForwarding);

  struct {
    std::string text;
    int flag;
  } debug[] = {{"DEBUG2", 2}, {"DEBUG99999999999999999999", 2147483647}, {"DEBUG-5", -5},
               {"DEBUGx", 0}, {"DEBUG", 0}, {"DEBUG" + std::string(2030, '7'), 2147483647},
               {"DEBUG 1", 1}};
  for (const auto& d : debug) {
    EXPECT_EQ(Send(d.text), "KO\r\n") << Printable(d.text);
    EXPECT_EQ(__atomic_load_n(&global_debug_flag, __ATOMIC_RELAXED), d.flag) << Printable(d.text);
    EXPECT_EQ(Send("DEBUG0"), "KO\r\n");
    EXPECT_EQ(__atomic_load_n(&global_debug_flag, __ATOMIC_RELAXED), 0);
  }

  size_t before = vyxtest::FakeAgent::Get().Requests().size();
  EXPECT_EQ(Send("RESET" + std::string(2030, 'x')), "OK\r\n");
  std::vector<std::string> requests = vyxtest::FakeAgent::Get().Requests();
  ASSERT_GT(requests.size(), before);
  EXPECT_EQ(requests.back(), ".1.3.6.1.4.1.32473.3.5.7.0 i 0");
  quiet.Off();
}

// ---------------------------------------------------------------------------
// STREAMFROMFILE
// ---------------------------------------------------------------------------
TEST_F(HostileTx, StreamFromFileWithHostilePaths) {
  Quiet quiet;
  vyxtest::write_file("in.ts", std::string(188 * 3, '\x47'));
  const std::string longName(2000, 'p');
  for (const std::string& rest :
       {longName, "x," + longName, longName + "," + longName, std::string(",,,,"), std::string(" , "),
        "in.ts," + std::string(255, 'o'), "in.ts," + std::string(256, 'o'),
        std::string(1008, 'q') + ",in.ts", "x," + std::string(1030, 'r') + ",more",
        std::string("missing.ts"), std::string("in.ts\0out.ts", 12)}) {
    Case("STREAMFROMFILE" + rest);
  }
  quiet.Off();
  ExpectNoFailures();

  // A name of 255 characters is a file; one of 256 is refused by the system.
  EXPECT_EQ(Send("STREAMFROMFILEin.ts," + std::string(255, 'o')), "KO\r\n");
  EXPECT_NE(dbg_file_in, nullptr);
  EXPECT_NE(dbg_file_out, nullptr);
  struct stat st;
  EXPECT_EQ(stat(std::string(255, 'o').c_str(), &st), 0);
  EXPECT_EQ(Send("STREAMFROMFILE"), "KO\r\n");
  EXPECT_EQ(dbg_file_in, nullptr);
  EXPECT_EQ(dbg_file_out, nullptr);
  quiet.On();
  EXPECT_EQ(Send("STREAMFROMFILE" + longName), "KO\r\n");
  quiet.Off();
  EXPECT_EQ(dbg_file_in, nullptr);
}

// ---------------------------------------------------------------------------
// K720CMMD: long lines, hundreds of words, and -rtsp
// ---------------------------------------------------------------------------
TEST_F(HostileRx, K720cmmdLinesAreBoundedAndRtspDoesNotEndThePlayer) {
  int q = msgget(QUV_MSG_Q_KEY, IPC_CREAT | 0666);
  ASSERT_GE(q, 0);
  DrainPlayerQueue(q);
  const char* const words[] = {"-udp", "-rtp", "-vs", "-ps", "-os", "-video", "-vnext", "-browser",
                               "-bnext", "-pic", "-pnext", "-vdbg", "-trick", "-res", "-hwc",
                               "-atsc", "-scan", "-image", "-stopall", "-help", "7", "8", "9",
                               "-1", "99999999999999999999", "0xffffffff", "239.1.1.1",
                               "x"};
  std::mt19937 rng(720);
  std::vector<std::string> lines = {
      "K720CMMD",
      "K720CMMD ",
      "K720CMMD " + std::string(2031, 'z'),
      "K720CMMD -udp " + std::string(300, '1') + " 5000",
      "K720CMMD -browser " + std::string(1500, 'u') + " 0 50 50 100 100 0 255 0",
      "K720CMMD -vdbg 7 " + std::string(1000, 't'),
      "K720CMMD -hwc " + std::string(500, 'h') + " 5 1",
      "K720CMMD -video " + std::string(700, 'v') + " 1 2 3 4 5 6 7 8 9",
      "K720CMMD" + std::string(2032, ' '),
  };
  for (int n = 0; n < 40; n++) {
    std::string line = "K720CMMD";
    for (int w = 0; w < 300; w++) line += std::string(" ") + words[rng() % (sizeof(words) / sizeof(words[0]))];
    lines.push_back(line);
  }
  std::string spaced = "K720CMMD";
  while (spaced.size() < 2040) spaced += " 1";
  lines.push_back(spaced);  // more words than the argument vector holds
  testing::internal::CaptureStdout();
  Quiet quiet;
  for (const std::string& l : lines) Case(l);
  for (size_t size : DrainPlayerQueue(q)) EXPECT_LE(size, static_cast<size_t>(QUV_MSG_TEXT_MAX));
  // -rtsp only ends the parse here: what came before it is sent, nothing after.
  EXPECT_EQ(Send("K720CMMD -stopall -rtsp -stopall"), "KO\r\n");
  EXPECT_EQ(DrainPlayerQueue(q).size(), 1u);
  EXPECT_EQ(Send("k720cmmd -rtsp"), "KO\r\n");
  quiet.Off();
  testing::internal::GetCapturedStdout();
  ExpectNoFailures();
  msgctl(q, IPC_RMID, nullptr);
}

// ---------------------------------------------------------------------------
// FILTER: refusals, and a hostile group text on a port that is fed and ended
// ---------------------------------------------------------------------------
TEST_F(HostileTx, FilterRefusesMissingFieldsAndEndsOnAnEmptyDatagram) {
  EXPECT_EQ(Send("FILTER"), "KO\r\n");
  EXPECT_EQ(Send("FILTER127.0.0.1"), "KO\r\n");
  EXPECT_EQ(Send("FILTER127.0.0.1,"), "KO\r\n");
  EXPECT_EQ(Send("FILTER" + std::string(2030, 'g')), "KO\r\n");

  unsigned short port = FreePort();
  ASSERT_NE(port, 0);
  FilterFeeder feeder(port);
  Quiet quiet;
  std::string cmd = "FILTER " + std::string(1500, '9') + "," + std::to_string(port) + "," +
                    std::string(400, ',');
  EXPECT_EQ(Send(cmd), "KO\r\n");
  quiet.Off();
  EXPECT_EQ(StateProblem(cmd), "");
}

// A port the diagnostic could never be fed on (not a number, 0, past 65535,
// negative) must be refused: taken as it is, the number wraps to another port
// (or to an ephemeral one nobody knows) and the command server waits there for
// ever.  Should the refusal be missing, the wrapped port is fed an empty
// datagram to end the wait, and the case fails.
TEST_F(HostileTx, FilterRefusesPortsItCouldNeverBeFedOn) {
  struct {
    const char* port;
    unsigned short wrapped;
  } bad[] = {{"70000", 70000 & 0xFFFF}, {"-1", 0xFFFF}, {"131071", 0xFFFF}};
  bool allPrompt = true;
  for (const auto& b : bad) {
    std::string cmd = std::string("FILTER127.0.0.1,") + b.port;
    std::promise<std::string> done;
    std::future<std::string> reply = done.get_future();
    std::thread t([&] { done.set_value(Send(cmd)); });
    bool prompt = reply.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!prompt) {
      int s = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(b.wrapped);
      to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      while (reply.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
        sendto(s, "", 0, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
      close(s);
    }
    t.join();
    allPrompt = allPrompt && prompt;
    EXPECT_TRUE(prompt) << cmd << " waited on port " << b.wrapped;
    EXPECT_EQ(reply.get(), "KO\r\n") << cmd;
  }
  // Not a number, or 0: nothing could end these but a refusal (skipped when
  // the refusal is missing, as they would wait for ever).
  if (!allPrompt) return;
  EXPECT_EQ(Send("FILTER127.0.0.1,abc"), "KO\r\n");
  EXPECT_EQ(Send("FILTER127.0.0.1,0"), "KO\r\n");
  // The diagnostic also ends by itself when nothing comes: a prompt reply
  // alone does not show the refusal, the receiver must never have started.
  for (const char* port : {"70000", "-1", "0"}) {
    FilterRun r = Filter(std::string("FILTER127.0.0.1,") + port);
    EXPECT_EQ(r.reply, "KO\r\n") << port;
    EXPECT_FALSE(r.started) << port;
  }
}

// The diagnostic's receiver binds with address reuse: on the device's command
// port or the beacon's restart port it would take their datagrams.  Both are
// refused before anything is bound, in either role; the other role's command
// port is only a port.
void Hostile::FilterOnTheDevicesOwnPorts() {
  const int own = Role() == 'T' ? 5000 : 2008;
  ASSERT_EQ(cm->mCommandPort, own);
  for (int port : {own, 52429}) {
    for (const char* group : {"239.1.1.9", "", " :239.1.1.9"}) {
      std::string cmd = std::string("FILTER") + group + "," + std::to_string(port);
      FilterRun r = Filter(cmd);
      EXPECT_EQ(r.reply, "KO\r\n") << cmd;
      EXPECT_FALSE(r.started) << cmd;
      EXPECT_NE(r.errors.find("Filter refused on port " + std::to_string(port)), std::string::npos)
          << cmd << ": " << r.errors;
    }
  }
  // A leading zero or a trailing field does not get past the refusal.
  FilterRun padded = Filter("FILTER239.1.1.9,0" + std::to_string(own) + ",x");
  EXPECT_FALSE(padded.started);
  EXPECT_EQ(Send("VERS"), "VERS0.82.14OK\r\n");
}

TEST_F(HostileTx, FilterOnTheDevicesOwnPortsIsRefused) { FilterOnTheDevicesOwnPorts(); }
TEST_F(HostileRx, FilterOnTheDevicesOwnPortsIsRefused) { FilterOnTheDevicesOwnPorts(); }

// However it ends (an empty datagram, nothing for the idle time), the
// diagnostic leaves its port unbound, and the next FILTER on another port
// starts afresh.  Waits run a thousand times faster here: the idle end comes
// after 30 ms, so whether a fed run ended on its empty datagram is left to
// the end-to-end test.
TEST_F(HostileTx, FilterClosesItsReceiverAndEndsWhenNothingComes) {
  unsigned short fed = FreePort();
  ASSERT_NE(fed, 0);
  {
    FilterFeeder feeder(fed);
    FilterRun r = Filter("FILTER127.0.0.1," + std::to_string(fed));
    EXPECT_EQ(r.reply, "KO\r\n");
    EXPECT_TRUE(r.started);
  }
  EXPECT_TRUE(PortUnbound(fed)) << "port " << fed << " still bound after an empty datagram";

  unsigned short quiet = FreePort();
  ASSERT_NE(quiet, 0);
  FilterRun idle = Filter("FILTER 239.1.1.9," + std::to_string(quiet));
  EXPECT_EQ(idle.reply, "KO\r\n");
  EXPECT_TRUE(idle.started);
  EXPECT_NE(idle.errors.find("Filter on port " + std::to_string(quiet) + ": no datagram for 30 s, ending"),
            std::string::npos)
      << idle.errors;
  EXPECT_TRUE(PortUnbound(quiet)) << "port " << quiet << " still bound after the idle end";

  // And the same port again, fed this time.
  {
    FilterFeeder feeder(quiet);
    FilterRun again = Filter("FILTER127.0.0.1," + std::to_string(quiet));
    EXPECT_TRUE(again.started);
  }
  EXPECT_TRUE(PortUnbound(quiet));
  EXPECT_EQ(Send("VERS"), "VERS0.82.14OK\r\n");
}
