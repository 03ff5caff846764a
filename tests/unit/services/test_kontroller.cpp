// Browser control client against an in-test browser on queues 945602/31561:
// the command message, the status request, a silent browser and stale replies.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device_fakes.h"
#include "private_ipc.h"
#include "sharedmem.h"
#include "stdio_capture.h"

namespace {

// Five half-second polls become 1.25 s.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "2", 1), true);

using vyxtest::FakeBrowser;

void put_stale_reply(int status) {
  int q = msgget(kBrowserStatusQueueKey, IPC_CREAT | 0666);
  ASSERT_GE(q, 0);
  BrowserMessage r;
  memset(&r, 0, sizeof(r));
  r.mtype = 1;
  _sMSG_CMD_FORMAT rep;
  memset(&rep, 0, sizeof(rep));
  rep.param[1] = status;
  memcpy(r.text, &rep, sizeof(rep));
  ASSERT_EQ(msgsnd(q, &r, sizeof(rep), IPC_NOWAIT), 0);
}

}  // namespace

TEST(Kontroller, CommandMessagesAsTheBrowserReadsThem) {
  REQUIRE_PRIVATE_IPC();
  ASSERT_TRUE(time_scaled);
  FakeBrowser browser(-1);
  char url[] = "http://192.168.1.5/menu.html";
  ASSERT_EQ(sendMessgageToKonqueror(1, url), 0);
  std::string longText(2000, 'x');
  ASSERT_EQ(sendMessgageToKonqueror(1, &longText[0]), 0);
  browser.Stop();

  std::vector<FakeBrowser::Seen> seen = browser.Messages();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, 1);
  EXPECT_EQ(seen[0].size, 1024);
  EXPECT_STREQ(seen[0].text.data(), url);
  for (size_t i = strlen(url); i < 1024; i++) ASSERT_EQ(seen[0].text[i], 0) << i;
  // At most 1020 characters; the rest of the kilobyte stays zero.
  EXPECT_EQ(seen[1].size, 1024);
  EXPECT_EQ(strnlen(seen[1].text.data(), 1024), 1020u);
}

TEST(Kontroller, BrowserThatStopsReadingLosesTheCommandNotTheCaller) {
  REQUIRE_PRIVATE_IPC();
  ASSERT_TRUE(time_scaled);
  FakeBrowser browser(-1);
  browser.Stall(true);
  char dropped[] = "-k13";
  vyxtest::StdioCapture err(stderr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sendMessgageToKonqueror(1, dropped), -1);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  std::string text = err.Stop();
  EXPECT_NE(text.find("browser queue full, command dropped"), std::string::npos) << text;
  // Reading again, it gets the next command, and never the dropped one.
  browser.Stall(false);
  char next[] = "-k7";
  EXPECT_EQ(sendMessgageToKonqueror(1, next), 0);
  browser.Stop();
  std::vector<FakeBrowser::Seen> seen = browser.Messages();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_STREQ(seen[0].text.data(), "-k7");
}

TEST(Kontroller, StatusRequestThroughDashA) {
  REQUIRE_PRIVATE_IPC();
  FakeBrowser browser(7);
  char ask[] = "-a";
  EXPECT_EQ(sendMessgageToKonqueror(1, ask), 0);  // the status itself is not returned
  EXPECT_EQ(isAlive(), 7);
  browser.Stop();

  std::vector<FakeBrowser::Seen> seen = browser.Messages();
  ASSERT_EQ(seen.size(), 2u);  // "-a" is never sent as a command text
  for (const FakeBrowser::Seen& s : seen) {
    EXPECT_EQ(s.type, 2);
    EXPECT_EQ(s.size, 1024);
    _sMSG_CMD_FORMAT req;
    memcpy(&req, s.text.data(), sizeof(req));
    EXPECT_EQ(req.cmmdId, 71);
    EXPECT_EQ(req.param[0], 31561);
    EXPECT_EQ(req.param[1], 2);
    for (int i = 2; i < 7; i++) EXPECT_EQ(req.param[i], 0);
  }
}

TEST(Kontroller, SilentBrowserIsMinus1) {
  REQUIRE_PRIVATE_IPC();
  FakeBrowser browser(-1);
  testing::internal::CaptureStderr();
  int status = isAlive();
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(status, -1);
  EXPECT_NE(err.find("bcontr: Error receiving msg"), std::string::npos) << err;
}

TEST(Kontroller, StaleReplyIsDiscardedBeforeTheRequest) {
  REQUIRE_PRIVATE_IPC();
  {
    // Only a stale reply, and a browser that never answers: not alive.
    put_stale_reply(42);
    FakeBrowser silent(-1);
    EXPECT_EQ(isAlive(), -1);
  }
  {
    put_stale_reply(42);
    put_stale_reply(43);
    FakeBrowser browser(5);
    EXPECT_EQ(isAlive(), 5);
  }
}
