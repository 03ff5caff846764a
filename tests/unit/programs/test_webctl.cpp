// webctl as a child process in a private IPC namespace, against the shared
// browser fake (answers on the queue a status request names) and the fake
// SNMP agent: usage, URLs for a browser that answers or not, plain
// commands, the SNMP set, and the test options.  The sanitizer build runs it
// with LeakSanitizer on, so a leak fails its exit status.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "device_fakes.h"
#define VYX_PRIVATE_MOUNT
#include "private_ipc.h"

namespace {

// What the browser got, read as webctl's messages: a text, or a status
// request.
struct Seen {
  long type;
  size_t size;
  std::string text;
  _sMSG_CMD_FORMAT request;
};

using Outcome = vyxtest::ChildRun;

class Webctl : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_IPC();
    path_ = vyxtest::build_dir() + "/src/webctl/webctl";
    if (access(path_.c_str(), X_OK) != 0) GTEST_SKIP() << "webctl not built at " << path_;
    browser_.reset(new vyxtest::FakeBrowser(-1));
  }

  std::vector<Seen> Take() {
    std::vector<Seen> out;
    for (const vyxtest::FakeBrowser::Seen& m : browser_->Take()) {
      size_t n = static_cast<size_t>(m.size);
      Seen s{m.type, n, std::string(m.text.data(), strnlen(m.text.data(), n)), {}};
      memcpy(&s.request, m.text.data(), sizeof(s.request));
      out.push_back(s);
    }
    return out;
  }

  Outcome Start(const std::vector<std::string>& args, const char* cwd = nullptr) {
    vyxtest::ChildOptions options;
    options.env = {"VYX_TIME_SCALE=5", "ASAN_OPTIONS=detect_leaks=1"};
    options.cwd = cwd;
    // A leak report stays in the test's own output.
    options.collectErr = false;
    Outcome r = vyxtest::run_child(path_, args, options);
    // Let the browser thread take what was sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return r;
  }

  static bool Has(const std::string& text, const std::string& what) { return text.find(what) != std::string::npos; }

  std::string path_;
  std::unique_ptr<vyxtest::FakeBrowser> browser_;
};

TEST_F(Webctl, UsageWithoutArguments) {
  Outcome r = Start({});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "bcontr: -> obtained msgqid ")) << r.out;
  EXPECT_TRUE(Has(r.out, "usage: " + path_ + " [-command|url]\n-g\tGo and download web page\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "-f\tFlush Cache\n"));
  EXPECT_TRUE(Take().empty());
}

TEST_F(Webctl, UrlToASilentBrowserIsNotSent) {
  auto start = std::chrono::steady_clock::now();
  Outcome r = Start({"http://x"});
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Has(r.out, "bcontr: Sending status request ccmdId 71, param[0] 31561, param[1] 2 ... \n")) << r.out;
  EXPECT_TRUE(Has(r.out, "bcontr: Error receiving msg\n")) << r.out;
  // Five half-second tries, compressed five times.
  EXPECT_GE(took, std::chrono::milliseconds(450));
  std::vector<Seen> seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, 2);
  EXPECT_EQ(seen[0].size, 256u);
  EXPECT_EQ(seen[0].request.cmmdId, 71);
  EXPECT_EQ(seen[0].request.param[0], 31561);
  EXPECT_EQ(seen[0].request.param[1], 2);
}

TEST_F(Webctl, UrlToAnAnsweringBrowser) {
  // A stale answer waiting from an earlier request is thrown away first.
  int replies = msgget(31561, IPC_CREAT | 0666);
  struct {
    long mtype;
    _sMSG_CMD_FORMAT f;
  } stale;
  memset(&stale, 0, sizeof(stale));
  stale.mtype = 1;
  stale.f.param[1] = 7;
  ASSERT_EQ(msgsnd(replies, &stale, sizeof(stale.f), 0), 0);
  browser_->Answer(3);
  Outcome r = Start({"http://x.test/page.html"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "bcontr: Received status 3\n")) << r.out;
  std::vector<Seen> seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1].type, 1);
  EXPECT_EQ(seen[1].size, 256u);
  EXPECT_EQ(seen[1].text, "http://x.test/page.html");

  // A negative status stops the URL.
  browser_->Answer(-2);
  r = Start({"http://y.test"});
  EXPECT_EQ(r.status, 1);
  seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, 2);
}

TEST_F(Webctl, CommandsGoStraightToTheBrowser) {
  Outcome r = Start({"-g"});
  EXPECT_EQ(r.status, 0);
  std::vector<Seen> seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].type, 1);
  EXPECT_EQ(seen[0].text, "-g");

  std::string long_arg = "-k" + std::string(300, 'z');
  r = Start({long_arg});
  EXPECT_EQ(r.status, 0);
  seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, long_arg.substr(0, 252));

  // -a asks for the status, then the text goes too.
  browser_->Answer(0);
  r = Start({"-a"});
  EXPECT_EQ(r.status, 0);
  seen = Take();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, 2);
  EXPECT_EQ(seen[1].text, "-a");
}

TEST_F(Webctl, SnmpSetPrintsTheStoredValue) {
  vyxtest::FakeAgent::Get().ClearRequests();
  Outcome r = Start({"-H", ".1.3.6.1.4.1.32473.3.1.13.0", "s", "lan.test", "", "ignored"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_TRUE(Has(r.out, "\"lan.test\"\n")) << r.out;
  EXPECT_EQ(vyxtest::FakeAgent::Get().Log(),
            std::vector<std::string>{"set .1.3.6.1.4.1.32473.3.1.13.0 s lan.test"});
  EXPECT_TRUE(Take().empty());
  // A reply the bridge cannot cut prints nothing.
  vyxtest::FakeAgent::Get().Garble(true);
  r = Start({"-H", ".1.3.6.1.4.1.32473.3.1.13.0", "s", "x"});
  vyxtest::FakeAgent::Get().Garble(false);
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(Has(r.out, "\""));
}

TEST_F(Webctl, TestOptions) {
  Outcome r = Start({"-0", "abc"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "=================== Got 0 with |abc|\n"));
  r = Start({"-1"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "Testing file read\nCant open file\n")) << r.out;
  EXPECT_TRUE(Take().empty());

  // On the scratch tmpfs where there is one: a 32-bit program under a
  // user-mode emulator cannot read an ext4 directory (its 64-bit offsets).
  std::string where = vyxtest::private_mnt() ? "/mnt/hd1" : "/tmp";
  std::string tmpl = where + "/webctl-test-XXXXXX";
  ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
  std::string dir = tmpl;
  ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
  vyxtest::write_file((dir + "/f.txt").c_str(), "x");
  vyxtest::write_file((dir + "/.hidden").c_str(), "x");
  r = Start({"-2", "."}, dir.c_str());
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "directory sub\n")) << r.out;
  EXPECT_TRUE(Has(r.out, "file f.txt\n")) << r.out;
  EXPECT_FALSE(Has(r.out, "hidden"));
  std::vector<Seen> seen = Take();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].text, "-2");
  r = Start({"-2", (dir + "/none").c_str()});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(Has(r.out, "Can't open " + dir + "/none"));
  EXPECT_TRUE(Take().empty());
  unlink((dir + "/f.txt").c_str());
  unlink((dir + "/.hidden").c_str());
  rmdir((dir + "/sub").c_str());
  rmdir(dir.c_str());
}

}  // namespace
