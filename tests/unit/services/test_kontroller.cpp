// Browser control client against an in-test browser on queues 945602/31561:
// the command message, the status request, a silent browser and stale replies.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "private_ipc.h"
#include "sharedmem.h"

namespace {

// Five half-second polls become 1.25 s.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "2", 1), true);

const long kQuit = 99;

class FakeBrowser {
 public:
  // status < 0: never answers status requests.
  explicit FakeBrowser(int status) : mStatus(status) {
    mQueue = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
    // Whatever an earlier test left unread is not ours.
    BrowserMessage m;
    while (msgrcv(mQueue, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
    mThread = std::thread([this] { Run(); });
  }
  ~FakeBrowser() { Stop(); }

  // The client keeps its queue id, so the queue stays; a quit message, read
  // after everything sent before it, ends the reader.
  void Stop() {
    if (!mThread.joinable()) return;
    BrowserMessage m;
    memset(&m, 0, sizeof(m));
    m.mtype = kQuit;
    msgsnd(mQueue, &m, 4, 0);
    mThread.join();
  }

  struct Seen {
    long type;
    ssize_t size;
    std::vector<char> text;
  };
  std::vector<Seen> Messages() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSeen;
  }

 private:
  void Run() {
    for (;;) {
      BrowserMessage m;
      memset(&m, 0, sizeof(m));
      ssize_t n = msgrcv(mQueue, &m, sizeof(m.text), 0, MSG_NOERROR);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (m.mtype == kQuit) return;
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back({m.mtype, n, std::vector<char>(m.text, m.text + sizeof(m.text))});
      }
      if (m.mtype != kBrowserStatusRequestType || mStatus < 0) continue;
      _sMSG_CMD_FORMAT req;
      memcpy(&req, m.text, sizeof(req));
      int replyQueue = msgget(req.param[0], 0666);
      BrowserMessage r;
      memset(&r, 0, sizeof(r));
      r.mtype = 5;  // any type
      _sMSG_CMD_FORMAT rep;
      memset(&rep, 0, sizeof(rep));
      rep.cmmdId = kBrowserStatusCmmdId;
      rep.param[1] = mStatus;
      memcpy(r.text, &rep, sizeof(rep));
      if (replyQueue >= 0) msgsnd(replyQueue, &r, sizeof(rep), 0);
    }
  }

  int mStatus;
  int mQueue;
  std::thread mThread;
  std::mutex mMutex;
  std::vector<Seen> mSeen;
};

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
