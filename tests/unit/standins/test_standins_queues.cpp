// The system manager and browser stand-ins (platform/standins/sysmgr, platform/standins/browser)
// over their real queues, driven by the plug-in's own clients (RemountHd,
// the browser control) and by hand-made messages.

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <string>

#include "services/k720cmmd.h"
#include "sharedmem.h"
#include "standins_support.h"
#include "systemmanager.h"

using namespace standins;

namespace {

// Empties a queue.  The queues stay: the plug-in's clients keep their ids.
void drain_queue(int key) {
  RawMessage m;
  int q = msgget(key, 0666);
  while (q >= 0 && msgrcv(q, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }
}

class QueueStandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_STANDIN_NAMESPACES();
    // RemountHd and the browser client wait in 1 s / 500 ms steps: compress
    // them, but not so far that a stand-in held up on a loaded machine misses
    // the window (RemountHd still waits 6 s for an answer).  The scale is read
    // once per process: CTest runs every test in a process of its own.
    setenv("VYX_TIME_SCALE", "10", 1);
    for (int key : {1240, 1689, 1234, 945602, 31561}) drain_queue(key);
    mDir = make_temp_dir();
    ASSERT_FALSE(mDir.empty());
  }
  void TearDown() override {
    mChild.Stop();
    remove_tree(mDir);
  }
  void Start(const char* program, const std::vector<std::string>& extra) {
    ASSERT_TRUE(file_exists(program_path(program))) << "build the " << program << " target first";
    mLog = mDir + "/" + (std::string(program) == "sysmgr" ? "sysmgr" : "browser") + ".jsonl";
    std::vector<std::string> args = {"--hostdir", mDir};
    args.insert(args.end(), extra.begin(), extra.end());
    ASSERT_TRUE(mChild.Start(program_path(program), args));
    ASSERT_TRUE(wait_event(mLog, "start"));
  }
  std::string mDir, mLog;
  Child mChild;
};

// The browser client gives the browser 2.5 s (here a tenth of it) to answer
// and drops late answers at its next call: ask again until the deadline,
// so that only a wrong or missing status fails.
int alive_status(int expected) {
  int status = isAlive();
  wait_for([&] { return status == expected || (status = isAlive()) == expected; });
  return status;
}

// --- system manager -------------------------------------------------------------

TEST_F(QueueStandinTest, SysmgrWithoutMountsAnswersAsAsked) {
  Start("sysmgr", {"--no-mount"});
  EXPECT_EQ(SystemManager::RemountHd(1, 1), 0);
  EXPECT_EQ(SystemManager::RemountHd(4, 0), 0);
  std::vector<std::string> r = events(mLog, "remount");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(json_get(r[0], "cmmdId"), "73");
  EXPECT_EQ(json_get(r[0], "replyQueue"), "1689");
  EXPECT_EQ(json_get(r[0], "part"), "1");
  EXPECT_EQ(json_get(r[0], "rw"), "1");
  EXPECT_EQ(json_get(r[0], "state"), "1");
  EXPECT_EQ(json_get(r[0], "answered"), "true");
  EXPECT_EQ(json_get(r[1], "part"), "4");
  EXPECT_EQ(json_get(r[1], "state"), "0");
  // A partition the device does not have: the state says "nothing there".
  EXPECT_EQ(SystemManager::RemountHd(2, 1), -4);
  EXPECT_EQ(json_get(events(mLog, "remount").back(), "state"), "-1");
}

TEST_F(QueueStandinTest, SysmgrSilentNeverAnswers) {
  Start("sysmgr", {"--no-mount", "--silent"});
  EXPECT_EQ(SystemManager::RemountHd(1, 1), -3);
  std::vector<std::string> r = events(mLog, "remount");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(json_get(r[0], "answered"), "false");
}

TEST_F(QueueStandinTest, SysmgrWrongStateIsNotConfirmed) {
  Start("sysmgr", {"--no-mount", "--wrong-state"});
  EXPECT_EQ(SystemManager::RemountHd(1, 1), -4);
  EXPECT_EQ(json_get(events(mLog, "remount")[0], "state"), "0");
}

TEST_F(QueueStandinTest, SysmgrNeverAnswersOnThePlayerQueueAndSurvivesJunk) {
  Start("sysmgr", {"--no-mount"});
  char line[] = "-mount 4 rw";
  k720cmmd(line);
  ASSERT_TRUE(wait_event(mLog, "remount"));
  std::string r = events(mLog, "remount")[0];
  EXPECT_EQ(json_get(r, "replyQueue"), "1234");
  EXPECT_EQ(json_get(r, "part"), "4");
  EXPECT_EQ(json_get(r, "rw"), "1");
  EXPECT_EQ(json_get(r, "answered"), "false");
  EXPECT_EQ(queue_count(1234), 0);

  // Too short to be a request, another type, a request naming IPC_PRIVATE.
  int32_t shortReq[2] = {73, 1689};
  EXPECT_TRUE(queue_send(1240, 20, shortReq, sizeof(shortReq)));
  EXPECT_TRUE(queue_send(1240, 3, shortReq, sizeof(shortReq)));
  int32_t privateReq[15] = {73, 0, 1, 0, 1, 1, 25};
  EXPECT_TRUE(queue_send(1240, 20, privateReq, sizeof(privateReq)));
  ASSERT_TRUE(wait_event(mLog, "ignored", 2));
  ASSERT_TRUE(wait_event(mLog, "remount", 2));
  EXPECT_EQ(json_get(events(mLog, "remount")[1], "answered"), "false");
  EXPECT_EQ(SystemManager::RemountHd(1, 1), 0);
}

// Mount state of a mount point from /proc/self/mountinfo ("rw"/"ro"/"").
std::string mount_opts(const std::string& path) {
  std::string state;
  for (const std::string& l : read_lines("/proc/self/mountinfo")) {
    std::vector<std::string> f;
    size_t s = 0;
    while (f.size() < 6) {
      size_t e = l.find(' ', s);
      if (e == std::string::npos) break;
      f.push_back(l.substr(s, e - s));
      s = e + 1;
    }
    if (f.size() == 6 && f[4] == path) state = f[5].substr(0, 2);
  }
  return state;
}

TEST_F(QueueStandinTest, SysmgrRemountsForReal) {
  // A scratch /mnt in this test's own mount namespace, with hd1 as a
  // read-only bind mount the way the simulated host keeps its disks.
  ASSERT_EQ(mount("standins", "/mnt", "tmpfs", 0, "mode=755"), 0) << strerror(errno);
  ASSERT_EQ(mkdir("/mnt/hd1", 0755), 0);
  ASSERT_EQ(mount("/mnt/hd1", "/mnt/hd1", nullptr, MS_BIND, nullptr), 0);
  ASSERT_EQ(mount(nullptr, "/mnt/hd1", nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr), 0);
  ASSERT_EQ(mount_opts("/mnt/hd1"), "ro");

  Start("sysmgr", {});
  EXPECT_EQ(SystemManager::RemountHd(1, 1), 0);
  EXPECT_EQ(mount_opts("/mnt/hd1"), "rw");
  write_file("/mnt/hd1/probe", "x");
  EXPECT_TRUE(file_exists("/mnt/hd1/probe"));
  EXPECT_EQ(SystemManager::RemountHd(1, 0), 0);
  EXPECT_EQ(mount_opts("/mnt/hd1"), "ro");
  FILE* f = fopen("/mnt/hd1/other", "w");
  EXPECT_EQ(f, nullptr);
  if (f != nullptr) fclose(f);
  // hd4 is not mounted here: the manager says so and the request fails.
  EXPECT_EQ(SystemManager::RemountHd(4, 1), -4);
  std::vector<std::string> r = events(mLog, "remount");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(json_get(r[0], "mode"), "mount");
  EXPECT_EQ(json_get(r[2], "state"), "-1");
  umount2("/mnt", MNT_DETACH);
}

// --- browser ----------------------------------------------------------------------

TEST_F(QueueStandinTest, BrowserAnswersStatusOnTheNamedQueue) {
  Start("browser", {"--status", "7"});
  _sMSG_CMD_FORMAT req = {kBrowserStatusCmmdId, {kBrowserStatusQueueKey, 2, 0, 0, 0, 0, 0}};
  char text[1024] = {0};
  memcpy(text, &req, sizeof(req));
  // The browser answers only on a queue that exists: make it before asking,
  // as the plug-in's client does.
  ASSERT_GE(msgget(kBrowserStatusQueueKey, IPC_CREAT | 0666), 0);
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 2, text, sizeof(text)));
  RawMessage m;
  ASSERT_GE(queue_wait(kBrowserStatusQueueKey, 0, &m), static_cast<ssize_t>(sizeof(_sMSG_CMD_FORMAT)));
  _sMSG_CMD_FORMAT reply;
  memcpy(&reply, m.text, sizeof(reply));
  EXPECT_EQ(reply.param[1], 7);
  ASSERT_TRUE(wait_event(mLog, "status"));
  std::string s = events(mLog, "status")[0];
  EXPECT_EQ(json_get(s, "replyQueue"), "31561");
  EXPECT_EQ(json_get(s, "answered"), "true");
  EXPECT_EQ(json_get(s, "status"), "7");

  // The plug-in's client sees the same status.
  EXPECT_EQ(alive_status(7), 7);
}

TEST_F(QueueStandinTest, BrowserSilentAndBadReplyQueues) {
  Start("browser", {"--silent"});
  EXPECT_EQ(isAlive(), -1);
  ASSERT_TRUE(wait_event(mLog, "status"));
  EXPECT_EQ(json_get(events(mLog, "status")[0], "answered"), "false");
  mChild.Stop();

  Start("browser", {});
  for (int32_t key : {0, static_cast<int32_t>(kBrowserCommandQueueKey)}) {
    _sMSG_CMD_FORMAT req = {kBrowserStatusCmmdId, {key, 2, 0, 0, 0, 0, 0}};
    ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 2, &req, sizeof(req)));
  }
  int32_t tiny = 71;
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 2, &tiny, 2));
  ASSERT_TRUE(wait_event(mLog, "status", 4));
  std::vector<std::string> s = events(mLog, "status");
  for (size_t i = 1; i < s.size(); i++) EXPECT_EQ(json_get(s[i], "answered"), "false") << s[i];
  EXPECT_EQ(alive_status(0), 0);
}

TEST_F(QueueStandinTest, BrowserLogsCommandsOfEverySize) {
  Start("browser", {});
  char url[] = "http://10.77.0.1/page?a=\"b\"&c=\\d";
  EXPECT_EQ(sendMessgageToKonqueror(1, url), 0);
  char small[256] = "-g";
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 1, small, sizeof(small)));
  char key[12] = "-k123";
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 1, key, sizeof(key)));
  char odd[256] = "line1\nline2 \xff\xfe caf\xc3\xa9";
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 1, odd, sizeof(odd)));
  char full[12];
  memset(full, 'z', sizeof(full));  // no terminator at all
  ASSERT_TRUE(queue_send(kBrowserCommandQueueKey, 1, full, sizeof(full)));
  ASSERT_TRUE(wait_event(mLog, "command", 5));
  std::vector<std::string> c = events(mLog, "command");
  EXPECT_EQ(json_get(c[0], "size"), "1024");
  EXPECT_EQ(json_get(c[0], "text"), url);
  EXPECT_EQ(json_get(c[1], "size"), "256");
  EXPECT_EQ(json_get(c[1], "text"), "-g");
  EXPECT_EQ(json_get(c[2], "size"), "12");
  EXPECT_EQ(json_get(c[2], "text"), "-k123");
  // Invalid UTF-8 is escaped byte by byte, valid UTF-8 kept as it is.
  EXPECT_NE(c[3].find("line1\\nline2 \\u00ff\\u00fe caf\xc3\xa9"), std::string::npos) << c[3];
  EXPECT_EQ(json_get(c[4], "text"), std::string(12, 'z'));
}

// --- remote keys ------------------------------------------------------------------

// Runs the key tool to its end; its exit status, or -1.
int run_k720ir(const std::string& dir, const std::vector<std::string>& args) {
  Child c;
  std::vector<std::string> all = {"--hostdir", dir};
  all.insert(all.end(), args.begin(), args.end());
  if (!c.Start(program_path("k720ir"), all)) return -1;
  wait_for([&] { return !c.Running(); });
  int st = c.Stop(SIGKILL);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(QueueStandinTest, K720irPressesHeldAndRepeatedKeysOnTheIrQueue) {
  ASSERT_TRUE(file_exists(program_path("k720ir"))) << "build the k720ir target first";
  drain_queue(1250);
  // VOL_UP held 250 ms with repeats every 100 ms (press, +100, +200), then
  // key 11 pressed twice 150 ms apart.
  ASSERT_EQ(run_k720ir(mDir, {"--hold", "250", "--repeat", "100", "VOL_UP"}), 0);
  ASSERT_EQ(run_k720ir(mDir, {"--presses", "2", "--every", "150", "11"}), 0);
  RawMessage m;
  std::vector<int> keys, repeats;
  ssize_t n;
  while ((n = queue_wait(1250, 0, &m, 0.5)) >= 0) {
    EXPECT_EQ(m.mtype, 1);
    EXPECT_EQ(n, 16);
    keys.push_back(static_cast<signed char>(m.text[4]));
    repeats.push_back(m.text[5]);
  }
  EXPECT_EQ(keys, (std::vector<int>{44, 44, 44, 11, 11}));
  EXPECT_EQ(repeats, (std::vector<int>{0, 1, 1, 0, 0}));
  // The schedule is kept in real time: events are never early.
  std::vector<std::string> ev = events(mDir + "/ir.jsonl", "key");
  ASSERT_EQ(ev.size(), 5u);
  EXPECT_GE(atof(json_get(ev[2], "t").c_str()), 0.2);
  EXPECT_GE(atof(json_get(ev[4], "t").c_str()), 0.15);
  EXPECT_EQ(json_get(ev[4], "ok"), "true");

  // Unknown names and codes out of range are refused before anything is sent.
  EXPECT_EQ(run_k720ir(mDir, {"MENU", "NO_SUCH_KEY"}), 2);
  EXPECT_EQ(run_k720ir(mDir, {"128"}), 2);
  EXPECT_EQ(run_k720ir(mDir, {"--hold", "x", "MENU"}), 2);
  EXPECT_EQ(queue_count(1250), 0);
  ASSERT_EQ(run_k720ir(mDir, {"key_menu"}), 0);
  ASSERT_GE(queue_wait(1250, 1, &m, 1.0), 5);
  EXPECT_EQ(m.text[4], 16);
}

}  // namespace
