// The IR module: the repeat filter on a synthetic clock, the exact forwarded
// datagram, and keys written to the player's key queue reaching the
// controller after CALLBACK1 or the browser after CALLBACK0.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "services/ircontrol.h"
#include "loopback_udp.h"
#include "private_ipc.h"
#include "sharedmem.h"
#include "stdio_capture.h"
#include "utils.h"

namespace {

const bool time_scaled = (setenv("VYX_TIME_SCALE", "50", 1), true);

// ---------------------------------------------------------------------------
// Repeat filter
// ---------------------------------------------------------------------------
// Presses of `key` at the given times; the ones that went out with their flag.
std::vector<std::pair<long long, int>> Presses(SlowKeyState* st, int key, std::vector<long long> times) {
  std::vector<std::pair<long long, int>> out;
  for (long long t : times) {
    unsigned char repeat = 9;
    if (slow_key_filter(st, key, &repeat, t)) out.push_back({t, repeat});
  }
  return out;
}

TEST(SlowKey, HeldVolumeKeyRepeatsEvery250Units) {
  SlowKeyState st = {0, 0, false};
  std::vector<long long> times;
  for (long long t = 1000; t <= 1800; t += 100) times.push_back(t);
  auto out = Presses(&st, eKEY_VOL_UP, times);
  std::vector<std::pair<long long, int>> expect = {{1000, 0}, {1300, 1}, {1600, 1}};
  EXPECT_EQ(out, expect);
  // Exactly 250 units after the last one that went out is enough.
  unsigned char repeat = 0;
  EXPECT_FALSE(slow_key_filter(&st, eKEY_VOL_UP, &repeat, 1849));
  EXPECT_TRUE(slow_key_filter(&st, eKEY_VOL_UP, &repeat, 1850));
  EXPECT_EQ(repeat, 1);
  // The other volume key goes out at once, without the flag.
  EXPECT_TRUE(slow_key_filter(&st, eKEY_VOL_DOWN, &repeat, 1860));
  EXPECT_EQ(repeat, 0);
}

TEST(SlowKey, HeldKeyGoesOutOnce) {
  SlowKeyState st = {0, 0, false};
  std::vector<long long> times;
  for (long long t = 0; t <= 4000; t += 200) times.push_back(t);
  auto out = Presses(&st, eKEY_UP, times);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].first, 0);
  EXPECT_EQ(out[0].second, 0);
  // Let go for 300 units: it goes out again; 299 is not enough.
  EXPECT_FALSE(slow_key_filter(&st, eKEY_UP, nullptr, 4299));
  EXPECT_TRUE(slow_key_filter(&st, eKEY_UP, nullptr, 4599));
  // Another key in between is always accepted, and the repeat flag never set.
  unsigned char repeat = 7;
  EXPECT_TRUE(slow_key_filter(&st, eKEY_MENU, &repeat, 4600));
  EXPECT_EQ(repeat, 0);
  EXPECT_TRUE(slow_key_filter(&st, eKEY_UP, &repeat, 4601));
}

TEST(SlowKey, ClockUnitsAre1024thsOfASecond) {
  long long a = slow_key_now();
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  long long d = slow_key_now() - a;
  // Seconds count 1024 units, microseconds one per 1024 of them (977 a
  // second), so a quarter second is 244..256 units.
  EXPECT_GE(d, 240);
  EXPECT_LT(d, 1024);
}

// ---------------------------------------------------------------------------
// Datagram and key table
// ---------------------------------------------------------------------------
TEST(IrDatagram, MuteWithModeCode12) {
  unsigned char d[kIrDatagramSize];
  ASSERT_TRUE(ir_build_datagram(eKEY_MUTE, 0x12, 0, d));
  const unsigned char expect[] = {0x52, 0x45, 0x4D, 0x4F, 0x54, 0x45, 0x01, 0x04, 0x12, 0x05, 0x00, 0xCC};
  EXPECT_EQ(std::string(reinterpret_cast<char*>(d), 12), std::string(reinterpret_cast<const char*>(expect), 12));
  ASSERT_TRUE(ir_build_datagram(eKEY_VOL_UP, 0x6E, 1, d));
  EXPECT_EQ(d[8], 0x6E);
  EXPECT_EQ(d[9], 8);
  EXPECT_EQ(d[10], 1);
  EXPECT_FALSE(ir_build_datagram(99, 0x6E, 0, d));
  EXPECT_EQ(d[9], 0x0F);
  EXPECT_EQ(d[11], 0xCC);
}

TEST(IrDatagram, KeyTable) {
  // Every key of the remote and its code out; nothing else is known.
  const int table[][2] = {{1, 25},  {2, 15},  {3, 16},  {4, 17},  {5, 18},  {6, 19},  {7, 20},  {8, 21},
                          {9, 22},  {10, 23}, {11, 7},  {12, 13}, {13, 11}, {14, 9},  {15, 10}, {16, 29},
                          {26, 14}, {33, 2},  {34, 3},  {35, 27}, {36, 28}, {37, 30}, {38, 31}, {39, 26},
                          {40, 1},  {41, 4},  {42, 12}, {43, 24}, {44, 8},  {45, 6},  {46, 5}};
  int known = 0;
  for (int key = -130; key < 300; key++) {
    uint8_t code = 0;
    const char* name = nullptr;
    if (!ir_key_lookup(key, &code, &name)) continue;
    known++;
    bool listed = false;
    for (const auto& row : table)
      if (row[0] == key) listed = row[1] == code;
    EXPECT_TRUE(listed) << key;
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(strncmp(name, "KEY_", 4), 0);
  }
  EXPECT_EQ(known, 31);
}

// ---------------------------------------------------------------------------
// The IR thread of a receiver
// ---------------------------------------------------------------------------
class IrKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_IPC();
    cm = vyxtest::shared_manager('R');
    ASSERT_NE(cm->mpIrControl, nullptr);
    mKeys = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
    mBrowser = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
    ASSERT_GE(mKeys, 0);
    ASSERT_GE(mBrowser, 0);
    BrowserTexts(0);
  }
  void TearDown() override {
    if (cm != nullptr) {
      vyxtest::dispatch(cm, "CALLBACK0");
      error_sender_clear();
      cm->mpIrControl->BrowserRunning(false);
    }
  }

  // As the player writes a key: type 1, 16 bytes, the code at offset 4.
  void Press(int key) {
    struct {
      long mtype;
      char text[16];
    } m;
    memset(&m, 0, sizeof(m));
    m.mtype = 1;
    m.text[4] = static_cast<char>(key);
    ASSERT_EQ(msgsnd(mKeys, &m, sizeof(m.text), 0), 0);
  }

  // The browser's messages, waiting up to `ms` for at least one.
  std::vector<std::string> BrowserTexts(int ms) {
    std::vector<std::string> out;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      BrowserMessage m;
      ssize_t n;
      while ((n = msgrcv(mBrowser, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR)) >= 0) {
        EXPECT_EQ(n, 12);
        out.emplace_back(m.text, strnlen(m.text, static_cast<size_t>(n)));
      }
      if (!out.empty() || std::chrono::steady_clock::now() >= until) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // CALLBACK1 as if it came from the controller.
  void Callback(vyxtest::LoopbackUdp& ctl, const char* command) {
    cm->mpServer->siOther = ctl.Address();
    ASSERT_EQ(vyxtest::dispatch(cm, command), "OK\r\n");
  }

  // The next key datagram, past the error reports the controller also gets.
  static bool NextKey(vyxtest::LoopbackUdp& ctl, std::string* d, int ms = 5000) {
    while (ctl.Next(d, ms))
      if (d->compare(0, 4, "LOG:") != 0) return true;
    return false;
  }
  static bool NoKeys(vyxtest::LoopbackUdp& ctl) {
    std::string d;
    return !NextKey(ctl, &d, 50);
  }

  static std::string Datagram(int modeCode, int code, int repeat) {
    const char head[] = "REMOTE\x01\x04";
    std::string d(head, 8);
    d += static_cast<char>(modeCode);
    d += static_cast<char>(code);
    d += static_cast<char>(repeat);
    d += '\xCC';
    return d;
  }

  CommandManager* cm = nullptr;
  int mKeys = -1;
  int mBrowser = -1;
};

TEST_F(IrKeys, ForwardedToTheControllerNotTheBrowser) {
  vyxtest::LoopbackUdp ctl;
  ASSERT_TRUE(ctl.Ok());
  SharedMem::Self()->IrModeCode(0x12);
  Callback(ctl, "CALLBACK1");
  EXPECT_TRUE(cm->mIrForwarding);
  Press(eKEY_MENU);
  Press(eKEY_MUTE);
  Press(99);  // unknown: the template's code
  std::string d;
  ASSERT_TRUE(NextKey(ctl, &d));
  EXPECT_EQ(d, Datagram(0x12, 29, 0));
  ASSERT_TRUE(NextKey(ctl, &d));
  EXPECT_EQ(d, Datagram(0x12, 5, 0));
  ASSERT_TRUE(NextKey(ctl, &d));
  EXPECT_EQ(d, Datagram(0x12, 0x0F, 0));
  EXPECT_TRUE(BrowserTexts(50).empty());
  EXPECT_FALSE(cm->mpIrControl->BrowserRunning());

  // A second controller takes the keys over.
  vyxtest::LoopbackUdp other;
  Callback(other, "CALLBACK1");
  Press(42);
  ASSERT_TRUE(NextKey(other, &d));
  EXPECT_EQ(d, Datagram(0x12, 12, 0));
  EXPECT_TRUE(NoKeys(ctl));
  SharedMem::Self()->IrModeCode(110);
}

TEST_F(IrKeys, MenuKeyOpensTheBrowserThenKeysFollowIt) {
  vyxtest::LoopbackUdp ctl;
  Callback(ctl, "CALLBACK0");
  EXPECT_FALSE(cm->mIrForwarding);
  cm->mpIrControl->BrowserRunning(false);
  Press(eKEY_UP);  // nobody takes it
  EXPECT_TRUE(BrowserTexts(100).empty());
  Press(eKEY_MENU);
  EXPECT_EQ(BrowserTexts(2000), std::vector<std::string>{"-k016"});
  EXPECT_TRUE(cm->mpIrControl->BrowserRunning());
  Press(12);
  Press(eKEY_VOL_DOWN);
  std::vector<std::string> texts = BrowserTexts(2000);
  if (texts.size() < 2) {
    auto more = BrowserTexts(2000);
    texts.insert(texts.end(), more.begin(), more.end());
  }
  EXPECT_EQ(texts, (std::vector<std::string>{"-k012", "-k045"}));
  EXPECT_TRUE(NoKeys(ctl));
}

TEST_F(IrKeys, ShortOrEmptyKeyMessagesAreSkipped) {
  vyxtest::LoopbackUdp ctl;
  Callback(ctl, "CALLBACK1");
  struct {
    long mtype;
    char text[16];
  } m;
  memset(&m, 0x2E, sizeof(m));  // a key byte 0x2E (mute) beyond the short text
  m.mtype = 1;
  vyxtest::StdioCapture err(stderr);
  ASSERT_EQ(msgsnd(mKeys, &m, 4, 0), 0);
  ASSERT_EQ(msgsnd(mKeys, &m, 0, 0), 0);
  Press(eKEY_NUM_9);
  std::string d;
  ASSERT_TRUE(NextKey(ctl, &d, 8000));
  err.Stop();
  EXPECT_EQ(d[9], 23);  // the only key that went out
  EXPECT_TRUE(NoKeys(ctl));
}

TEST_F(IrKeys, KeyQueueMadeAgainByThePlayerKeepsKeysComing) {
  vyxtest::LoopbackUdp ctl;
  Callback(ctl, "CALLBACK1");
  // A restarted player removes its key queue and makes it again.
  vyxtest::StdioCapture err(stderr);
  ASSERT_EQ(msgctl(mKeys, IPC_RMID, nullptr), 0);
  mKeys = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
  ASSERT_GE(mKeys, 0);
  Press(eKEY_NUM_0);
  // Bounded as a whole: a thread stuck on the old queue reports without end.
  std::string d;
  bool got = false;
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(8);
  while (!got && std::chrono::steady_clock::now() < until && ctl.Next(&d, 500)) got = d.compare(0, 4, "LOG:") != 0;
  std::string text = err.Stop();
  ASSERT_TRUE(got);
  EXPECT_EQ(d, Datagram(SharedMem::Self()->IrModeCode(), 25, 0));
  EXPECT_NE(text.find("Message Queue receive error"), std::string::npos) << text;
}

}  // namespace
