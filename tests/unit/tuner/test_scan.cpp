// The blind scan and the channel list: the scan-results file (round trip,
// exact lines, hostile lines), the SCAL lines and datagrams, the strength
// scale, and the four scan commands with the progress lines the controller
// receives.
//
// The program re-executes itself in private user, IPC, network and mount
// namespaces: the managers talk to the fake agent and system manager over the
// device's fixed queues, and the results file goes to a scratch /mnt/hd1.
// The scan's waits are compressed twenty times.  Where namespaces are not
// available every test skips.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ns.h"
#include "sharedmem.h"
#include "stdio_capture.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "waits.h"

namespace {

bool EnterPrivateWorld() {
  static const char kSetup[] = "ip link set lo up; exec \"$0\" \"$@\"";
  if (!vyxtest::enter_private_world("VYX_SCAN_NS", "20", kSetup, {"/mnt/hd1", "/mnt/bin"})) return false;
  // The player's tool: tuning does nothing here (the strength is set in the
  // shared memory by each test).
  FILE* tool = fopen("/mnt/bin/k720cmmd", "w");
  if (tool == nullptr) return false;
  fputs("#!/bin/sh\nexit 0\n", tool);
  fclose(tool);
  chmod("/mnt/bin/k720cmmd", 0755);
  std::string path = std::string("/mnt/bin:") + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
  setenv("PATH", path.c_str(), 1);
  return true;
}

const bool inside = EnterPrivateWorld();

const char kFile[] = "/mnt/hd1/vyx_scan_results";

using vyxtest::FakeSysMgr;
using vyxtest::read_file;
using vyxtest::write_file;
using Capture = vyxtest::StdioCapture;

// 7 big-endian UTF-16 code units from ASCII text, padded with zeros.
std::string Utf16(const char* text) {
  std::string n(14, '\0');
  for (size_t i = 0; i < 7 && text[i] != 0; ++i) n[2 * i + 1] = text[i];
  return n;
}

// A program found on `channel` as the filter reports it.
void Found(TunerManager& tm, int channel, int strength, uint16_t trid, uint16_t prid) {
  tm.mCurrentChannel = channel;
  tm.mCurrentStrength = strength;
  tm.AddProgramToScanResults(trid, prid);
}

// Every SCAL line of a manager, from the start.
std::vector<std::string> ScalLines(TunerManager& tm) {
  std::vector<std::string> out;
  tm.RewindScan();
  char line[TunerManager::kScalLineMax];
  for (int n; (n = tm.GetNextProgramScalFormatted(line)) != 0;) out.emplace_back(line, n);
  return out;
}

class ScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inside) GTEST_SKIP() << "no private user/IPC/network/mount namespaces here";
    FakeSysMgr::Get().Refuse(false);
    unlink(kFile);
  }
};

// ---------------------------------------------------------------------------
// Scan-results file and SCAL lines
// ---------------------------------------------------------------------------
TEST_F(ScanTest, FileRoundTripKeepsEveryListAndLineForm) {
  TunerManager a('T');
  Found(a, 0x2e, 5, 0x07db, 1);
  a.SetInfoForProgram(0x07db, 1, 0x02, 0);
  a.SetInfoForProgram(0x07db, 1, 0x81, 2);
  a.SetInfoForProgram(0x07db, 1, 0x06, 0);  // neither video nor audio
  std::string wnet = Utf16("WNET-HD");
  a.SetPsipInfoForProgram(0x07db, 1, &wnet[0], 13, 1, 4, 0, 0x07db, 1);
  Found(a, 0x2e, 5, 0x07db, 2);  // no virtual channel: 000 and form A
  Found(a, 158, 3, 0x1234, 0x0abc);
  std::string cyr("\x04\x1f\x04\x35\x04\x40\x04\x32\x04\x4b\x04\x39\x00\x31", 14);
  a.SetPsipInfoForProgram(0x1234, 0x0abc, &cyr[0], 7, 1, 4, 0, 0x1234, 9);

  FakeSysMgr::Get().Take();
  ASSERT_TRUE(a.SaveScanResults());
  EXPECT_EQ((std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}), FakeSysMgr::Get().Take());
  EXPECT_EQ(
      "131 07db 0001 002e ff E 02 81 00 57 00 4e 00 45 00 54 00 2d 00 48 00 44\n"
      "000 07db 0002 002e ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "071 1234 0abc 009e 99 C 00 00 04 1f 04 35 04 40 04 32 04 4b 04 39 00 31\n",
      read_file(kFile));

  const std::vector<std::string> expected = {
      "SCAL 131 07db 0001 [2e:0:ff:02:81] E A WNET-HD\r\n",
      "SCAL 000 07db 0002 [2e:0:ff:00:00] C A \r\n",
      "SCAL 071 1234 0abc [9e:0:99:00:00] C U 041f 0435 0440 0432 044b 0439 0031\r\n",
  };
  EXPECT_EQ(expected, ScalLines(a));

  // Another device reads the same lines back; list 158 is listed too.
  TunerManager b('T');
  ASSERT_TRUE(b.LoadScanResults());
  EXPECT_EQ(expected, ScalLines(b));
  EXPECT_EQ(2, b.GetScalProgramDesc(0x2e)->count);
  EXPECT_EQ(3, b.GetScalProgramDesc(158)->head->signalStrength);
  // And writes the same file.
  std::string first = read_file(kFile);
  ASSERT_TRUE(b.SaveScanResults());
  EXPECT_EQ(first, read_file(kFile));
}

TEST_F(ScanTest, WalkEndsOnceThenStartsOverAndSurvivesAClearedList) {
  TunerManager tm('T');
  Found(tm, 2, 5, 1, 1);
  Found(tm, 2, 5, 1, 2);
  Found(tm, 9, 5, 2, 1);
  char line[TunerManager::kScalLineMax];
  tm.RewindScan();
  ASSERT_GT(tm.GetNextProgramScalFormatted(line), 0);
  // The list being walked goes away between two lines: the walk goes on
  // with the next list instead of following a freed record.
  pthread_mutex_lock(&tm.mMutex);
  tm.ClearChannelList(tm.GetScalProgramDesc(2));
  pthread_mutex_unlock(&tm.mMutex);
  ASSERT_GT(tm.GetNextProgramScalFormatted(line), 0);
  EXPECT_EQ(0, strncmp(line, "SCAL 000 0002 0001 [09:", 23)) << line;
  EXPECT_EQ(0, tm.GetNextProgramScalFormatted(line));
  // After the end the walk starts again at the first record.
  ASSERT_GT(tm.GetNextProgramScalFormatted(line), 0);
  EXPECT_EQ(0, strncmp(line, "SCAL 000 0002 0001", 18)) << line;
}

TEST_F(ScanTest, StrengthScaleBothWays) {
  write_file(kFile,
             "000 0001 0001 0002 99 C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
             "000 0001 0002 0002 80 C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
             "000 0001 0003 0002 32 C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
             "000 0001 0004 0002 1ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n");
  TunerManager tm('T');
  ASSERT_TRUE(tm.LoadScanResults());
  std::vector<int> got;
  for (ScalProgramDesc* p = tm.GetScalProgramDesc(2)->head; p != nullptr; p = p->pNext)
    got.push_back(p->signalStrength);
  // 0x99 is 3, 0x80 is 2, 0x32 is 0; a hand-edited 0x1ff still means full.
  EXPECT_EQ((std::vector<int>{3, 2, 0, 5}), got);
  std::vector<std::string> lines = ScalLines(tm);
  ASSERT_EQ(4u, lines.size());
  EXPECT_NE(std::string::npos, lines[1].find("[02:0:66:"));
  EXPECT_NE(std::string::npos, lines[3].find("[02:0:ff:"));
  // A strength beyond 5 in memory is listed and saved as full, never wider.
  tm.GetScalProgramDesc(2)->head->signalStrength = 9;
  EXPECT_NE(std::string::npos, ScalLines(tm)[0].find("[02:0:ff:"));
}

TEST_F(ScanTest, HostileFileLinesStopOrSkipWithTheirReports) {
  const std::string good2 = "000 0001 0001 0002 ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
  const std::string good3 = "000 0001 0001 0003 ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
  struct Case {
    const char* what;
    std::string text;
    int loaded;          // records loaded
    const char* report;  // text of the report that ends (or marks) the load; null: none
  };
  const Case cases[] = {
      {"end of file", good2 + "\n  \n" + good3, 2, nullptr},
      {"ninth field not hex", good2 + "000 0001 0002 0002 ff C 00 00 zz 00\n" + good3, 1,
       "Error reading scal from file: 8"},
      {"truncated last line", good2 + "000 0001 0002 0002 ff C 00 00 00 00", 1,
       "Error reading scal from file: 10"},
      {"channel beyond the lists",
       good2 + "000 0001 0002 009f ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n" +
           "000 0001 0003 ffffffff ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n" + good3,
       2, "channel 0x9f has no list, line skipped"},
      {"over-long line", good2 + std::string(300, '0') + " 0001\n" + good3, 1,
       "Error reading scal from file: 1"},
      {"binary junk", good2 + std::string("\0\0\x01\xff\x80junk\n", 11) + good3, 1,
       "Error reading scal from file: 0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    write_file(kFile, c.text);
    TunerManager tm('T');
    Capture err(stderr);
    EXPECT_TRUE(tm.LoadScanResults());
    std::string text = err.Stop();
    if (c.report != nullptr)
      EXPECT_NE(std::string::npos, text.find(c.report)) << text;
    else  // a complete file ends without a word of damage
      EXPECT_EQ(std::string::npos, text.find("Error reading scal")) << text;
    EXPECT_EQ(c.loaded, static_cast<int>(ScalLines(tm).size()));
    EXPECT_EQ(1, tm.GetScalProgramDesc(2)->count);
  }
  // The skipped channels' line reports the all-ones channel too.
  write_file(kFile, cases[3].text);
  TunerManager tm('T');
  Capture err(stderr);
  tm.LoadScanResults();
  EXPECT_NE(std::string::npos, err.Stop().find("channel 0xffffffff has no list"));
}

TEST_F(ScanTest, SaveFailuresAreNotSuccess) {
  TunerManager tm('T');
  Found(tm, 2, 5, 1, 1);
  write_file(kFile, "old\n");
  FakeSysMgr::Get().Refuse(true);
  {
    Capture err(stderr);
    EXPECT_FALSE(tm.SaveScanResults());
    EXPECT_NE(std::string::npos, err.Stop().find("Cant remount rw"));
  }
  FakeSysMgr::Get().Refuse(false);
  EXPECT_EQ("old\n", read_file(kFile));
  // A full disk: the cut file is reported, not taken as saved, and the old
  // one stays (a one-page disk, filled up).
  if (mount("tmpfs", "/mnt/hd1", "tmpfs", 0, "size=4k") == 0) {
    write_file(kFile, "old\n");
    FILE* filler = fopen("/mnt/hd1/filler", "w");
    ASSERT_NE(nullptr, filler);
    for (int i = 0; i < 8192 && fputc('x', filler) != EOF; ++i) {
    }
    fclose(filler);
    Capture err(stderr);
    EXPECT_FALSE(tm.SaveScanResults());
    EXPECT_NE(std::string::npos, err.Stop().find("Can't write scan results"));
    EXPECT_EQ("old\n", read_file(kFile));
    umount("/mnt/hd1");
  }
}

// ---------------------------------------------------------------------------
// The commands, against the transmitter's command manager
// ---------------------------------------------------------------------------
class ScanCommands : public ScanTest {
 protected:
  void SetUp() override {
    ScanTest::SetUp();
    if (IsSkipped()) return;
    t = vyxtest::shared_manager('T');
    tm = t->mpTunerManager;
    if (t->mpServer->s < 0) {
      ASSERT_TRUE(t->mpServer->Connect(0, nullptr));
      sockaddr_in a{};
      socklen_t len = sizeof(a);
      getsockname(t->mpServer->s, reinterpret_cast<sockaddr*>(&a), &len);
      t->mpServer->siMe.sin_port = a.sin_port;
    }
    tm->SetTunerForwarding(nullptr);  // progress goes to this test's controller
    tm->SetMode(TunerManager::eATSC);
    Strength(0);
  }

  void Strength(int s) { SharedMem::Self()->Record()->vStatus.tunerSignalStrength = s; }

  // As the loop does: one datagram from the controller, dispatched.
  std::string Deliver(const std::string& cmd) {
    ctl.SendTo(static_cast<unsigned short>(ntohs(t->mpServer->siMe.sin_port)), cmd);
    memset(t->mCommand, 0, CommandManager::kCommandSize);
    if (!t->mpServer->WaitForData(5, 0)) return "<no datagram>";
    int n = t->mpServer->Receive(t->mCommand, CommandManager::kReceiveLimit, 0);
    if (n < 0) return "<receive failed>";
    t->mCommand[n] = '\0';
    char* reply = t->ProcessCommand(t->mCommand, n);
    return reply == nullptr ? "<none>" : std::string(reply);
  }

  // Datagrams until (and including) `last`, or until none came for 5 s.
  std::vector<std::string> Until(const std::string& last) {
    std::vector<std::string> got;
    std::string d;
    while (ctl.Next(&d, 5000)) {
      got.push_back(d);
      if (d == last) break;
    }
    return got;
  }

  void WaitForState(TunerManager::ScanStateEnum s) {
    for (int i = 0; i < 500 && tm->ScanState() != s; ++i) vyx_sleep_exact(0.01);
    ASSERT_EQ(s, tm->ScanState());
  }

  std::string ScanStatus() {
    EXPECT_EQ("<none>", Deliver("SCA?"));
    std::string d;
    EXPECT_TRUE(ctl.Next(&d, 2000));
    return d;
  }

  CommandManager* t = nullptr;
  TunerManager* tm = nullptr;
  vyxtest::LoopbackUdp ctl;
};

TEST_F(ScanCommands, RefusalsAndStatusGoldens) {
  EXPECT_EQ(std::string("\0\0\0\0", 4), ScanStatus());
  EXPECT_EQ("BLINDSTART:0 KO\r\n", Deliver("BLIND7"));
  EXPECT_EQ("BLINDSTART:0 KO\r\n", Deliver("BLIND-1"));
  EXPECT_EQ("BLINDSTART:0 KO\r\n", Deliver("BLIND99999999999"));
  // Channels the tuner cannot take in ATSC mode; 1 is a cable channel.
  for (const char* c : {"Tuner://0", "Tuner://46", "Tuner://1", "Tuner://zz"}) {
    SCOPED_TRACE(c);
    EXPECT_EQ("KO\r\n", Deliver(c));
  }
  EXPECT_EQ(TunerManager::eScanIdle, tm->ScanState());
  EXPECT_TRUE(ctl.Empty());

  // An empty list: one datagram of 11 bytes.
  EXPECT_EQ("<none>", Deliver("SCAL"));
  std::string d;
  ASSERT_TRUE(ctl.Next(&d, 2000));
  EXPECT_EQ(std::string("ffff\r\nOK\r\n\0", 11), d);

  // The receiver has no tuner.
  Capture err(stderr);
  CommandManager* r = vyxtest::shared_manager('R');
  EXPECT_EQ("KO\r\n", vyxtest::dispatch(r, "SCAL"));
  EXPECT_EQ("KO\r\n", vyxtest::dispatch(r, "BLIND0"));
  EXPECT_NE(std::string::npos, err.Stop().find("Bad type R"));
}

TEST_F(ScanCommands, ScansThatCannotStartAreReleasedAsFailedStarts) {
  // The thread cannot be made: a failed start, and the next request tries
  // again.  (The thread is made once per process: this test comes before
  // the other scans.)
  auto real = scan_thread_starter;
  scan_thread_starter = [](pthread_t*, void* (*)(void*), void*) { return 11; };
  // No digit reads as 0: a bare BLIND asks for an ATSC scan (and gets the
  // failed start, not the refusal of an unknown scan).
  EXPECT_EQ("<none>", Deliver("BLIND"));
  scan_thread_starter = real;
  std::string d;
  ASSERT_TRUE(ctl.Next(&d, 2000));
  EXPECT_EQ("BLINDSTART:1 KO\r\n", d);
  EXPECT_EQ(TunerManager::eScanError, tm->ScanState());
  EXPECT_EQ(std::string("\0\0\0\xff", 4), ScanStatus());

  // A scan that ends in error before it starts releases the waiter.
  tm->SetMode(TunerManager::eModeMax);
  EXPECT_EQ("<none>", Deliver("BLIND0"));
  ASSERT_TRUE(ctl.Next(&d, 5000));
  EXPECT_EQ("BLINDSTART:1 KO\r\n", d);
  EXPECT_EQ(TunerManager::eScanError, tm->ScanState());
  tm->SetMode(TunerManager::eATSC);

  EXPECT_EQ("OK\r\n", Deliver("Tuner://2"));
  EXPECT_EQ((std::vector<std::string>{"BLINDSTART:0 OK\r\n", "BLINDCMP:0 OK\r\n"}),
            Until("BLINDCMP:0 OK\r\n"));
}

TEST_F(ScanCommands, ChannelListArrivesInDatagramsOfWholeLines) {
  pthread_mutex_lock(&tm->mMutex);
  for (int c = 0; c < TunerManager::kChannels; ++c) tm->ClearChannelList(&tm->mScalProgramDescriptors[c]);
  pthread_mutex_unlock(&tm->mMutex);
  std::string name = Utf16("KULX");
  std::vector<std::string> expected;
  for (int c : {3, 57, 100, 158}) {
    for (uint16_t p = 1; p <= 12; ++p) {
      Found(*tm, c, 4, static_cast<uint16_t>(c), p);
      if (p % 2) tm->SetPsipInfoForProgram(static_cast<uint16_t>(c), p, &name[0], 10, p, 4, 0, 1, p);
    }
  }
  expected = ScalLines(*tm);
  ASSERT_EQ(48u, expected.size());

  EXPECT_EQ("<none>", Deliver("SCAL"));
  const std::string end("ffff\r\nOK\r\n\0", 11);
  std::vector<std::string> datagrams;
  std::string d;
  while (ctl.Next(&d, 2000)) {
    datagrams.push_back(d);
    if (d.size() >= end.size() && d.compare(d.size() - end.size(), end.size(), end) == 0) break;
  }
  ASSERT_GE(datagrams.size(), 2u);
  std::vector<std::string> lines;
  for (size_t i = 0; i < datagrams.size(); ++i) {
    std::string g = datagrams[i];
    bool last = i + 1 == datagrams.size();
    if (last) {
      ASSERT_GE(g.size(), end.size());
      EXPECT_EQ(end, g.substr(g.size() - end.size()));
      g.resize(g.size() - end.size());
      EXPECT_LE(g.size(), 1024u);
    } else {
      // Sent once past 1024 bytes, with the line that crossed it.
      EXPECT_GT(g.size(), 1024u);
      EXPECT_LE(g.size(), 1024u + TunerManager::kScalLineMax);
    }
    for (size_t at = 0; at < g.size();) {
      size_t e = g.find("\r\n", at);
      ASSERT_NE(std::string::npos, e) << "datagram " << i << " ends inside a line";
      lines.push_back(g.substr(at, e + 2 - at));
      at = e + 2;
    }
  }
  EXPECT_EQ(expected, lines);
  EXPECT_EQ("SCAL 101 009e 0001 [9e:0:cc:00:00] C A KULX\r\n", lines[36]);
}

TEST_F(ScanCommands, OneChannelScanReportsAndLeavesOnlyItsPrograms) {
  Found(*tm, 9, 5, 7, 7);  // an earlier result, gone after the scan
  Strength(5);
  // Stands in for the filter: the channel's two programs arrive once it is
  // locked.
  std::thread filter([this] {
    for (int i = 0; i < 2000 && !(tm->mCurrentChannel == 40 && tm->mTotalChannelsFound == 1); ++i)
      vyx_sleep_exact(0.002);
    Found(*tm, 40, 5, 0x07db, 1);
    Found(*tm, 40, 5, 0x07db, 2);
  });
  EXPECT_EQ("OK\r\n", Deliver("Tuner://28"));
  std::vector<std::string> got = Until("BLINDCMP:0 OK\r\n");
  filter.join();
  EXPECT_EQ((std::vector<std::string>{"BLINDSTART:0 OK\r\n", "BLINDLOCK:40 OK\r\n",
                                      "BLINDFND:2 OK\r\n", "BLINDCMP:0 OK\r\n"}),
            got);
  // Done as soon as BLINDCMP is out: a controller asks SCA? on it.
  EXPECT_EQ(TunerManager::eScanDone, tm->ScanState());
  EXPECT_EQ(std::string("\0\x28\x01\x05", 4), ScanStatus());
  EXPECT_EQ(
      "000 07db 0001 0028 ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n"
      "000 07db 0002 0028 ff C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n",
      read_file(kFile));
  EXPECT_EQ(2u, ScalLines(*tm).size());
  EXPECT_EQ(0, tm->mScanOneChannel);
}

TEST_F(ScanCommands, WeakAndEmptyChannelsGiveTheirReports) {
  Strength(2);
  {
    Capture err(stderr);
    EXPECT_EQ("OK\r\n", Deliver("Tuner://29"));
    EXPECT_EQ((std::vector<std::string>{"BLINDSTART:0 OK\r\n", "BLINDCMP:0 OK\r\n"}),
              Until("BLINDCMP:0 OK\r\n"));
    WaitForState(TunerManager::eScanDone);
    EXPECT_NE(std::string::npos,
              err.Stop().find("Found signal on channel 41, but too weak to be usable (2 of 5). Ignoring"));
  }
  EXPECT_EQ(0, tm->GetTotalChannelsFound());

  Strength(4);  // locked, but the stream carries no PAT
  Capture err(stderr);
  EXPECT_EQ("OK\r\n", Deliver("Tuner://2a"));
  EXPECT_EQ((std::vector<std::string>{"BLINDSTART:0 OK\r\n", "BLINDLOCK:42 OK\r\n",
                                      "BLINDFND:0 OK\r\n", "BLINDCMP:0 OK\r\n"}),
            Until("BLINDCMP:0 OK\r\n"));
  WaitForState(TunerManager::eScanDone);
  std::string text = err.Stop();
  EXPECT_NE(std::string::npos,
            text.find("Found chan 42 strength 4 of 5, but no programs! Rcvd 0 PATs and 0 PMTs. Try again."));
  EXPECT_NE(std::string::npos,
            text.find("Waited extra 5 seconds, but still nothing ... Rcvd 0 PATs and 0 PMTs. giving up"));
  EXPECT_EQ("", read_file(kFile));
}

TEST_F(ScanCommands, BlindScanStopsOnRequestAndRefusesWhileRunning) {
  EXPECT_EQ("<none>", Deliver("BLIND0"));
  std::string d;
  ASSERT_TRUE(ctl.Next(&d, 5000));
  EXPECT_EQ("BLINDSTART:0 OK\r\n", d);
  EXPECT_EQ(TunerManager::eScanInProgress, tm->ScanState());
  std::string status = ScanStatus();
  ASSERT_EQ(4u, status.size());
  EXPECT_EQ(2, status[3]);
  EXPECT_EQ("KO\r\n", Deliver("BLIND1"));
  EXPECT_EQ("KO\r\n", Deliver("Tuner://28"));
  EXPECT_EQ("KO\r\n", Deliver("SCAL"));
  EXPECT_EQ("<none>", Deliver("BLIND99"));
  // The stop is answered first; the scan ends at its next channel.
  EXPECT_EQ((std::vector<std::string>{"OK\r\n", "BLINDCMP:0 OK\r\n"}), Until("BLINDCMP:0 OK\r\n"));
  EXPECT_EQ(TunerManager::eScanDone, tm->ScanState());
  EXPECT_FALSE(tm->mScanRunning);
  EXPECT_LT(tm->GetCurrentChannel(), 69);
}

TEST_F(ScanCommands, CableModeReachesChannel158) {
  tm->SetMode(TunerManager::eQAM256);
  Strength(3);
  std::thread filter([this] {
    for (int i = 0; i < 2000 && tm->mTotalChannelsFound != 1; ++i) vyx_sleep_exact(0.002);
    Found(*tm, 158, 3, 0x42, 3);
  });
  EXPECT_EQ("OK\r\n", Deliver("Tuner://9e"));
  EXPECT_EQ((std::vector<std::string>{"BLINDSTART:0 OK\r\n", "BLINDLOCK:158 OK\r\n",
                                      "BLINDFND:1 OK\r\n", "BLINDCMP:0 OK\r\n"}),
            Until("BLINDCMP:0 OK\r\n"));
  filter.join();
  WaitForState(TunerManager::eScanDone);
  EXPECT_EQ((std::vector<std::string>{"SCAL 000 0042 0003 [9e:0:99:00:00] C A \r\n"}), ScalLines(*tm));
  EXPECT_EQ("000 0042 0003 009e 99 C 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n",
            read_file(kFile));
}

}  // namespace
