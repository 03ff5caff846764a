// Disk remount requests against an in-test system manager: the request as it
// reaches queue 1240, each return code, and callers on two threads.

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
#include "systemmanager.h"

namespace {

// 61 one-second waits become about three seconds.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "20", 1), true);

void remove_queue(key_t key) {
  int id = msgget(key, 0666);
  if (id >= 0) msgctl(id, IPC_RMID, nullptr);
}

// The system manager process: reads requests of type 20 from queue 1240 and
// answers on the queue named in param[0].
class FakeSystemManager {
 public:
  enum Mode { kEcho, kFixedState, kSilent };

  explicit FakeSystemManager(Mode mode, int state = 0, int cmmdId = kSmRemountRes)
      : mMode(mode), mState(state), mCmmdId(cmmdId) {
    remove_queue(kSmRequestQueueKey);
    mQueue = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
    mThread = std::thread([this] { Run(); });
  }
  ~FakeSystemManager() {
    // Removing the queue wakes the blocked receive with EIDRM.
    msgctl(mQueue, IPC_RMID, nullptr);
    mThread.join();
  }

  struct Seen {
    ssize_t size;
    long type;
    _sSM_REMOUNT_APP sapp;
  };
  std::vector<Seen> Requests() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSeen;
  }
  bool Ok() const { return mQueue >= 0; }

 private:
  void Run() {
    for (;;) {
      SmRemountMessage m;
      memset(&m, 0, sizeof(m));
      ssize_t n = msgrcv(mQueue, &m, sizeof(m.sapp), 0, MSG_NOERROR);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back({n, m.type, m.sapp});
      }
      if (mMode == kSilent) continue;
      SmRemountMessage r;
      memset(&r, 0, sizeof(r));
      r.type = kSmReplyType;
      r.sapp.cmmdId = mCmmdId;
      r.sapp.param[3] = m.sapp.param[3];
      r.sapp.param[4] = mMode == kEcho ? m.sapp.param[4] : mState;
      int replyQueue = msgget(m.sapp.param[0], 0666);
      if (replyQueue >= 0) msgsnd(replyQueue, &r, kSmRemountTextSize, 0);
    }
  }

  Mode mMode;
  int mState;
  int mCmmdId;
  int mQueue;
  std::thread mThread;
  std::mutex mMutex;
  std::vector<Seen> mSeen;
};

}  // namespace

TEST(RemountHd, RequestLayoutAndSuccess) {
  REQUIRE_PRIVATE_IPC();
  ASSERT_TRUE(time_scaled);
  FakeSystemManager sm(FakeSystemManager::kEcho);
  ASSERT_TRUE(sm.Ok());

  EXPECT_EQ(SystemManager::RemountHd(1, 1), 0);
  EXPECT_EQ(SystemManager::RemountHd(4, 0), 0);

  std::vector<FakeSystemManager::Seen> seen = sm.Requests();
  ASSERT_EQ(seen.size(), 2u);
  const FakeSystemManager::Seen& a = seen[0];
  EXPECT_EQ(a.size, 60);
  EXPECT_EQ(a.type, 20);
  EXPECT_EQ(a.sapp.cmmdId, 73);
  EXPECT_EQ(a.sapp.param[0], 1689);
  EXPECT_EQ(a.sapp.param[1], 1);
  EXPECT_EQ(a.sapp.param[2], 0);
  EXPECT_EQ(a.sapp.param[3], 1);
  EXPECT_EQ(a.sapp.param[4], 1);
  EXPECT_EQ(a.sapp.param[5], 25);
  for (int i = 6; i < 18; i++) EXPECT_EQ(a.sapp.param[i], 0) << "param " << i;
  EXPECT_EQ(seen[1].sapp.param[3], 4);
  EXPECT_EQ(seen[1].sapp.param[4], 0);
}

TEST(RemountHd, ReplyThatDoesNotConfirmIsMinus4) {
  REQUIRE_PRIVATE_IPC();
  {
    FakeSystemManager sm(FakeSystemManager::kFixedState, 0);
    testing::internal::CaptureStderr();
    int rc = SystemManager::RemountHd(1, 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -4);
    EXPECT_NE(err.find("Remount unsuccesfull: mount state 0, cmmdId 74"), std::string::npos) << err;
  }
  {
    // Right state, wrong command id.
    FakeSystemManager sm(FakeSystemManager::kFixedState, 1, 75);
    testing::internal::CaptureStderr();
    int rc = SystemManager::RemountHd(1, 1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(rc, -4);
    EXPECT_NE(err.find("Remount unsuccesfull: mount state 1, cmmdId 75"), std::string::npos) << err;
  }
}

TEST(RemountHd, SilentSystemManagerIsMinus3) {
  REQUIRE_PRIVATE_IPC();
  FakeSystemManager sm(FakeSystemManager::kSilent);
  testing::internal::CaptureStderr();
  int rc = SystemManager::RemountHd(1, 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -3);
  EXPECT_NE(err.find("msgrcv"), std::string::npos) << err;
  EXPECT_EQ(sm.Requests().size(), 1u);
}

TEST(RemountHd, NoRequestQueueIsMinus1) {
  REQUIRE_PRIVATE_IPC();
  remove_queue(kSmRequestQueueKey);
  testing::internal::CaptureStderr();
  int rc = SystemManager::RemountHd(1, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -1);
  EXPECT_NE(err.find("msgget"), std::string::npos) << err;
  // The request queue belongs to the system manager: we never create it.
  EXPECT_LT(msgget(kSmRequestQueueKey, 0666), 0);
}

TEST(RemountHd, FullRequestQueueIsMinus2) {
  REQUIRE_PRIVATE_IPC();
  remove_queue(kSmRequestQueueKey);
  int q = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
  ASSERT_GE(q, 0);
  // Shrink the queue to one request and fill it: nobody reads it.
  struct msqid_ds ds;
  ASSERT_EQ(msgctl(q, IPC_STAT, &ds), 0);
  ds.msg_qbytes = kSmRemountTextSize;
  ASSERT_EQ(msgctl(q, IPC_SET, &ds), 0);
  SmRemountMessage filler;
  memset(&filler, 0, sizeof(filler));
  filler.type = 99;
  ASSERT_EQ(msgsnd(q, &filler, kSmRemountTextSize, IPC_NOWAIT), 0);

  testing::internal::CaptureStderr();
  int rc = SystemManager::RemountHd(1, 1);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(rc, -2);
  EXPECT_NE(err.find("msgsnd"), std::string::npos) << err;
  msgctl(q, IPC_RMID, nullptr);
}

TEST(RemountHd, StaleReplyOfAnEarlierRequestIsNotTakenAsTheAnswer) {
  REQUIRE_PRIVATE_IPC();
  int replyQueue = msgget(kSmReplyQueueKey, IPC_CREAT | 0666);
  ASSERT_GE(replyQueue, 0);
  SmRemountMessage stale;
  memset(&stale, 0, sizeof(stale));
  stale.type = kSmReplyType;
  stale.sapp.cmmdId = kSmRemountRes;
  stale.sapp.param[4] = 0;  // a late "read-only" from a request that gave up
  ASSERT_EQ(msgsnd(replyQueue, &stale, kSmRemountTextSize, IPC_NOWAIT), 0);

  FakeSystemManager sm(FakeSystemManager::kEcho);
  EXPECT_EQ(SystemManager::RemountHd(1, 1), 0);
}

TEST(RemountHd, CallersOnTwoThreadsEachGetTheirOwnReply) {
  REQUIRE_PRIVATE_IPC();
  FakeSystemManager sm(FakeSystemManager::kEcho);
  std::atomic<int> failures{0};
  auto caller = [&failures](int rw) {
    for (int i = 0; i < 5; i++)
      if (SystemManager::RemountHd(1, rw) != 0) failures++;
  };
  std::thread a(caller, 1);
  std::thread b(caller, 0);
  a.join();
  b.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(sm.Requests().size(), 10u);
}
