// Error reports and debug logs: the exact bytes on the error stream, on
// standard output and in the datagrams a controller receives, long messages,
// and reports from several threads at once.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "loopback_udp.h"
#include "stdio_capture.h"
#include "udpcom.h"
#include "utils.h"

namespace {

// The controller's socket and the captures of stderr/stdout.
using Controller = vyxtest::LoopbackUdp;
using Capture = vyxtest::StdioCapture;

class Report : public ::testing::Test {
 protected:
  void SetUp() override {
    error_sender_clear();
    saved_flag_ = global_debug_flag;
  }
  void TearDown() override {
    error_sender_clear();
    global_debug_flag = saved_flag_;
  }
  int saved_flag_ = 1;
};

TEST_F(Report, ErrorDatagramAndStreamBytes) {
  Controller ctl;
  ASSERT_TRUE(error_sender_set("127.0.0.1", ctl.Port()));
  Capture err(stderr);
  errno = ENOENT;
  int line = __LINE__ + 1;
  VYX_ERROR("abc");
  int after = errno;
  std::string text = err.Stop();

  std::string d;
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, std::string("LOG:ERROR abc\r\n"));  // 15 bytes, no zero byte
  EXPECT_EQ(d.size(), 15u);
  EXPECT_EQ(text, "PANIC at test_report.cpp:" + std::to_string(line) + "  abc\nperror: " +
                      strerror(ENOENT) + "\n");
  EXPECT_EQ(after, ENOENT);  // the caller's errno survives the report
}

TEST_F(Report, LogDatagramCarriesItsTerminator) {
  Controller ctl;
  ASSERT_TRUE(error_sender_set("127.0.0.1", ctl.Port()));
  global_debug_flag = 2;
  VYX_LOG("abc\n");
  std::string d;
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, std::string("LOG: abc\n\r\n\0", 12));
  // The buffer still starts "LOG:ERROR " for the next error.
  VYX_ERROR("x%d", 7);
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, std::string("LOG:ERROR x7\r\n"));
}

TEST_F(Report, LogLevels) {
  Controller ctl;
  // Level 2 without a destination: nothing anywhere.
  global_debug_flag = 2;
  {
    Capture out(stdout);
    VYX_LOG("nowhere\n");
    EXPECT_EQ(out.Stop(), "");
  }
  ASSERT_TRUE(error_sender_set("127.0.0.1", ctl.Port()));
  // Level 1: standard output only.
  global_debug_flag = 1;
  {
    Capture out(stdout);
    VYX_LOG("hello %d\n", 5);
    EXPECT_EQ(out.Stop(), "VYX: hello 5\n");
  }
  // Levels 0 and others: silent.
  for (int level : {0, 3, -1}) {
    global_debug_flag = level;
    Capture out(stdout);
    VYX_LOG("quiet\n");
    EXPECT_EQ(out.Stop(), "") << level;
  }
  EXPECT_TRUE(ctl.Empty());
}

TEST_F(Report, MessagesLongerThanTheBufferAreCut) {
  Controller ctl;
  ASSERT_TRUE(error_sender_set("127.0.0.1", ctl.Port()));
  std::string huge(5000, 'x');
  {
    Capture err(stderr);
    VYX_ERROR("%s", huge.c_str());
    // The error stream gets the whole message.
    EXPECT_NE(err.Stop().find(huge), std::string::npos);
  }
  std::string d;
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, "LOG:ERROR " + std::string(511, 'x') + "\r\n");

  global_debug_flag = 2;
  VYX_LOG("%s%s", huge.c_str(), huge.c_str());
  ASSERT_TRUE(ctl.Next(&d));
  EXPECT_EQ(d, "LOG: " + std::string(1023, 'x') + std::string("\r\n\0", 3));
}

TEST_F(Report, SenderLifecycle) {
  Controller first, second;
  ASSERT_TRUE(error_sender_set("127.0.0.1", first.Port()));
  // A second CALLBACK1 keeps the existing destination.
  ASSERT_TRUE(error_sender_set("127.0.0.1", second.Port()));
  ASSERT_NE(error_udp_sender, nullptr);
  EXPECT_EQ(error_udp_sender->port, first.Port());
  Capture err(stderr);
  VYX_ERROR("one");
  error_sender_clear();
  EXPECT_EQ(error_udp_sender, nullptr);
  VYX_ERROR("two");  // no destination: the error stream only
  error_sender_clear();  // clearing twice is harmless
  std::string text = err.Stop();
  EXPECT_NE(text.find("  two\n"), std::string::npos);
  std::string d;
  ASSERT_TRUE(first.Next(&d));
  EXPECT_EQ(d, "LOG:ERROR one\r\n");
  EXPECT_TRUE(first.Empty());
  EXPECT_TRUE(second.Empty());
}

TEST_F(Report, UnconnectableDestinationStaysAndSendsFailQuietly) {
  Capture err(stderr);
  EXPECT_FALSE(error_sender_set("not-an-address", 9));
  EXPECT_NE(error_udp_sender, nullptr);
  VYX_ERROR("lost");
  std::string text = err.Stop();
  EXPECT_NE(text.find("sendto() - 2 errno "), std::string::npos);
}

// Each message names its thread and sequence number and carries a run of one
// letter whose length is derived from them, so a datagram that mixed two
// reports cannot pass the check.
std::string Body(int thread, int n) {
  char letter = static_cast<char>('a' + (thread * 7 + n) % 26);
  size_t run = static_cast<size_t>(20 + (thread * 131 + n * 17) % 400);
  return "T" + std::to_string(thread) + "-" + std::to_string(n) + ":" + std::string(run, letter);
}

bool WellFormed(const std::string& d, int* thread, int* n, bool* isError) {
  std::string body;
  if (d.compare(0, 10, "LOG:ERROR ") == 0) {
    if (d.size() < 12 || d.compare(d.size() - 2, 2, "\r\n") != 0) return false;
    body = d.substr(10, d.size() - 12);
    *isError = true;
  } else if (d.compare(0, 5, "LOG: ") == 0) {
    if (d.size() < 8 || d.compare(d.size() - 3, 3, std::string("\r\n\0", 3)) != 0) return false;
    body = d.substr(5, d.size() - 8);
    *isError = false;
  } else {
    return false;
  }
  if (sscanf(body.c_str(), "T%d-%d:", thread, n) != 2) return false;
  return body == Body(*thread, *n);
}

TEST_F(Report, ConcurrentReportsNeverInterleave) {
  const int kThreads = 4;
  const int kEach = 150;
  const int kWindow = 8;  // per-thread datagrams in flight: loopback never drops
  Controller ctl;
  ASSERT_TRUE(error_sender_set("127.0.0.1", ctl.Port()));
  global_debug_flag = 2;

  std::atomic<int> received[kThreads];
  for (auto& r : received) r = 0;
  std::atomic<int> bad{0};
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    std::string d;
    while (!stop) {
      if (!ctl.Next(&d, 200)) continue;
      int t = -1, n = -1;
      bool isError = false;
      if (!WellFormed(d, &t, &n, &isError) || t < 0 || t >= kThreads || isError != (n % 2 == 0)) {
        ++bad;
        continue;
      }
      ++received[t];
    }
  });

  Capture err(stderr);  // the PANIC lines are not looked at here
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int n = 0; n < kEach; ++n) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (n - received[t] >= kWindow && std::chrono::steady_clock::now() < deadline)
          std::this_thread::yield();
        std::string body = Body(t, n);
        if (n % 2 == 0)
          VYX_ERROR("%s", body.c_str());
        else
          VYX_LOG("%s", body.c_str());
      }
    });
  }
  for (auto& w : writers) w.join();
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  auto total = [&] {
    int sum = 0;
    for (auto& r : received) sum += r;
    return sum + bad;
  };
  while (total() < kThreads * kEach && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  reader.join();
  err.Stop();

  EXPECT_EQ(bad.load(), 0);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(received[t].load(), kEach) << "thread " << t;
}

TEST_F(Report, ClearingTheSenderWhileOthersReport) {
  // CALLBACK0/CALLBACK1 from the command thread while other threads report:
  // the sender must never be used after its deletion (AddressSanitizer).
  Controller ctl;
  global_debug_flag = 2;
  std::atomic<bool> stop{false};
  Capture err(stderr);
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int n = 0; !stop && n < 2000; ++n) {
        if (n % 2 == 0)
          VYX_ERROR("%s", Body(t, n).c_str());
        else
          VYX_LOG("%s", Body(t, n).c_str());
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    error_sender_set("127.0.0.1", ctl.Port());
    error_sender_clear();
  }
  stop = true;
  for (auto& w : writers) w.join();
  err.Stop();
  // Whatever got through is whole.
  std::string d;
  int seen = 0;
  while (ctl.Next(&d, 50)) {
    int t, n;
    bool isError;
    EXPECT_TRUE(WellFormed(d, &t, &n, &isError));
    ++seen;
  }
  SUCCEED() << seen << " datagrams";
}

}  // namespace
