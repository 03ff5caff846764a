// Text helpers of the command handlers, waits and worker threads.

#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "utils.h"

namespace {

TEST(Hatoi, ReadsHexAndSkipsOtherCharacters) {
  EXPECT_EQ(hatoi(""), 0u);
  EXPECT_EQ(hatoi(nullptr), 0u);
  EXPECT_EQ(hatoi("ff"), 255u);
  EXPECT_EQ(hatoi("g1"), 1u);
  EXPECT_EQ(hatoi("1F"), 31u);
  EXPECT_EQ(hatoi("0x1F"), 31u);
  EXPECT_EQ(hatoi("1 f"), 31u);
  EXPECT_EQ(hatoi("1f\r\n"), 31u);
  EXPECT_EQ(hatoi("xyz:2a"), 0x2au);  // letters past 'f' are skipped
  EXPECT_EQ(hatoi("IT1,"), 1u);
  EXPECT_EQ(hatoi("deadBEEF"), 0xdeadbeefu);
}

TEST(Hatoi, LongTextsKeepTheLowestEightDigits) {
  EXPECT_EQ(hatoi("123456789"), 0x23456789u);
  EXPECT_EQ(hatoi("ffffffff0"), 0xfffffff0u);
  std::string many(200, 'f');
  EXPECT_EQ(hatoi(many.c_str()), 0xffffffffu);
  // 127, 128, 255 and 256 characters: the lengths a signed 8-bit count got
  // wrong; the value depends on the digits only.
  for (size_t n : {127u, 128u, 255u, 256u, 300u}) {
    std::string text(n, 'x');
    text.replace(n - 3, 3, "abc");
    EXPECT_EQ(hatoi(text.c_str()), 0xabcu) << n;
  }
}

TEST(Mystrtok, EmptyFieldsYieldNull) {
  char text[] = "a,,b";
  char* t = mystrtok(text, ",");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "a");
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);  // the empty field
  t = mystrtok(nullptr, ",");
  ASSERT_NE(t, nullptr);
  EXPECT_STREQ(t, "b");
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);  // stays at the end
}

TEST(Mystrtok, OnlyTheFirstDelimiterCharacterCounts) {
  char text[] = "x;y,z";
  EXPECT_STREQ(mystrtok(text, ",;"), "x;y");
  EXPECT_STREQ(mystrtok(nullptr, ",;"), "z");
  EXPECT_EQ(mystrtok(nullptr, ",;"), nullptr);
}

TEST(Mystrtok, TrailingDelimiterAndEmptyText) {
  char text[] = "url,";
  EXPECT_STREQ(mystrtok(text, ","), "url");
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);
  char empty[] = "";
  EXPECT_EQ(mystrtok(empty, ","), nullptr);
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);
}

TEST(Mystrtok, TokenLongerThan1024IsRefused) {
  std::string big(1500, 'k');
  big += ",tail";
  std::string copy = big;
  EXPECT_EQ(mystrtok(&copy[0], ","), nullptr);
  EXPECT_EQ(mystrtok(nullptr, ","), nullptr);  // nothing to resume from
  std::string fits(1023, 'k');
  fits += ",tail";
  EXPECT_NE(mystrtok(&fits[0], ","), nullptr);
  EXPECT_STREQ(mystrtok(nullptr, ","), "tail");
}

TEST(Mystrtok, EmptyDelimiterNeverResumesPastTheText) {
  // The terminator would "match" a zero delimiter; the next call must not
  // read beyond the text (AddressSanitizer checks the heap copy).
  char* text = static_cast<char*>(malloc(4));
  memcpy(text, "abc", 4);
  EXPECT_STREQ(mystrtok(text, ""), "abc");
  EXPECT_EQ(mystrtok(nullptr, ""), nullptr);
  EXPECT_EQ(mystrtok(nullptr, nullptr), nullptr);
  free(text);
}

TEST(IsValidIp, DottedQuads) {
  EXPECT_TRUE(is_valid_ip("10.0.0.1"));
  EXPECT_TRUE(is_valid_ip("255.255.255.255"));
  EXPECT_TRUE(is_valid_ip("10.0.0.1x"));   // trailing text accepted
  EXPECT_TRUE(is_valid_ip(" 10.0.0.1"));   // leading blanks accepted
  EXPECT_FALSE(is_valid_ip("10.0.0.256"));
  EXPECT_FALSE(is_valid_ip("256.0.0.1"));
  EXPECT_FALSE(is_valid_ip("10.0.0"));
  EXPECT_FALSE(is_valid_ip("10.0.0."));
  EXPECT_FALSE(is_valid_ip("a.b.c.d"));
  EXPECT_FALSE(is_valid_ip("-1.0.0.1"));
  EXPECT_FALSE(is_valid_ip(""));
  EXPECT_FALSE(is_valid_ip(nullptr));
}

// The scale is read once per process, so each value is tried in a child.
double ScaleInChild(const char* value) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (value != nullptr)
      setenv("VYX_TIME_SCALE", value, 1);
    else
      unsetenv("VYX_TIME_SCALE");
    double v = vyx_time_scale();
    setenv("VYX_TIME_SCALE", "1000", 1);  // later changes are not seen
    double again = vyx_time_scale();
    double out[2] = {v, again};
    ssize_t w = write(fds[1], out, sizeof(out));
    _exit(w == sizeof(out) ? 0 : 1);
  }
  close(fds[1]);
  double in[2] = {-1, -1};
  ssize_t r = read(fds[0], in, sizeof(in));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (r != sizeof(in) || in[0] != in[1]) return -2;
  return in[0];
}

TEST(TimeScale, ParsedOncePositiveDefaultOne) {
  EXPECT_DOUBLE_EQ(ScaleInChild(nullptr), 1.0);
  EXPECT_DOUBLE_EQ(ScaleInChild("4"), 4.0);
  EXPECT_DOUBLE_EQ(ScaleInChild("0.5"), 0.5);
  EXPECT_DOUBLE_EQ(ScaleInChild("0"), 1.0);
  EXPECT_DOUBLE_EQ(ScaleInChild("-3"), 1.0);
  EXPECT_DOUBLE_EQ(ScaleInChild("fast"), 1.0);
  EXPECT_DOUBLE_EQ(ScaleInChild("inf"), 1.0);
  EXPECT_DOUBLE_EQ(ScaleInChild(""), 1.0);
}

void OnAlarm(int) {}

TEST(Sleep, SignalsDoNotShortenTheWait) {
  // A timer interrupts the sleep every 5 ms; the sleep must still last its
  // whole (scaled) duration.  Only a lower bound is checked.
  struct sigaction sa;
  memset(&sa, 0, sizeof(sa));
  sa.sa_handler = OnAlarm;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
  struct itimerval timer;
  memset(&timer, 0, sizeof(timer));
  timer.it_interval.tv_usec = 5000;
  timer.it_value.tv_usec = 5000;
  ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

  double scale = vyx_time_scale();
  auto start = std::chrono::steady_clock::now();
  vyx_sleep_ms(200);
  auto elapsed = std::chrono::steady_clock::now() - start;

  memset(&timer, 0, sizeof(timer));
  setitimer(ITIMER_REAL, &timer, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  double ms = std::chrono::duration<double, std::milli>(elapsed).count();
  EXPECT_GE(ms, 200.0 / scale - 1.0);
}

struct ThreadProbe {
  std::atomic<bool> ran{false};
  std::atomic<int> detach{-1};
  std::atomic<int> policy{-1};
};

void* ProbeBody(void* arg) {
  auto* probe = static_cast<ThreadProbe*>(arg);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    int d = -1;
    pthread_attr_getdetachstate(&attr, &d);
    probe->detach = d;
    pthread_attr_destroy(&attr);
  }
  int policy = -1;
  struct sched_param param;
  if (pthread_getschedparam(pthread_self(), &policy, &param) == 0) probe->policy = policy;
  probe->ran = true;
  return nullptr;
}

TEST(StartThread, DetachedRoundRobinOrInherited) {
  static ThreadProbe probe;  // outlives the detached thread
  pthread_t id;
  ASSERT_EQ(vyx_start_thread(&id, ProbeBody, &probe), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!probe.ran && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_TRUE(probe.ran);
  EXPECT_EQ(probe.detach.load(), PTHREAD_CREATE_DETACHED);
  int own = -1;
  struct sched_param param;
  pthread_getschedparam(pthread_self(), &own, &param);
  // Real-time where permitted, else the creator's policy.
  EXPECT_TRUE(probe.policy == SCHED_RR || probe.policy == own) << probe.policy;
}

}  // namespace
