// Tuner manager: scan-result records, program languages, pools, role check,
// tuning through the player's tool, progress forwarding.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "filter_fixture.h"
#include "sharedmem.h"
#include "udpcom.h"

namespace {

using vyxtest::FindProgram;

// Waits are compressed; must be set before the first wait reads it.
const int kTimeScale = (setenv("VYX_TIME_SCALE", "1000", 1), 0);

std::string Codes(TunerManager& tm, uint16_t prog) {
  std::string s;
  ScalProgramDesc* p = FindProgram(tm, prog);
  for (Language* l = p ? p->language.head : nullptr; l != nullptr; l = l->pNext) {
    if (!s.empty()) s += ",";
    s += l->language;
  }
  return s;
}

bool Lang(TunerManager& tm, uint16_t prog, const char* code, uint16_t pid, int type = 0,
          Language::LanguageModeEnum mode = Language::eAudio) {
  char c[4];
  strncpy(c, code, 3);
  c[3] = 0;
  return tm.SetLanguageForProgram(1, prog, c, mode, type, pid, 0);
}

}  // namespace

TEST(ScanResults, AddProgramOncePerChannel) {
  TunerManager tm('T');
  EXPECT_TRUE(tm.AddProgramToScanResults(1, 3));
  EXPECT_TRUE(tm.AddProgramToScanResults(2, 3));  // transport not compared
  EXPECT_TRUE(tm.AddProgramToScanResults(1, 4));
  EXPECT_EQ(2, tm.GetScalProgramDesc(0)->count);
  EXPECT_EQ(2, tm.mProgramsOnChannel);
  ScalProgramDesc* p = FindProgram(tm, 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(1, p->transportId);
  EXPECT_EQ('C', p->encryption);
  EXPECT_EQ(0, p->channelId);
  // Another channel has its own list.
  tm.mCurrentChannel = 40;
  tm.mCurrentStrength = 4;
  EXPECT_TRUE(tm.AddProgramToScanResults(1, 3));
  EXPECT_EQ(1, tm.GetScalProgramDesc(40)->count);
  EXPECT_EQ(40, tm.GetScalProgramDesc(40)->head->channelId);
  EXPECT_EQ(4, tm.GetScalProgramDesc(40)->head->signalStrength);
  EXPECT_EQ(nullptr, tm.GetScalProgramDesc(159));
  EXPECT_EQ(tm.GetScalProgramDesc(40), tm.GetScalProgramDesc(-1));
}

TEST(ScanResults, StreamTypesAndScrambling) {
  TunerManager tm('T');
  tm.AddProgramToScanResults(1, 3);
  tm.SetInfoForProgram(1, 3, 0x02, 1);
  tm.SetInfoForProgram(1, 3, 0x81, 1);
  tm.SetInfoForProgram(1, 3, 0x06, 1);
  ScalProgramDesc* p = FindProgram(tm, 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0x02u, p->videoType);
  EXPECT_EQ(0x81u, p->audioType);
  EXPECT_EQ('C', p->encryption);
  tm.SetInfoForProgram(1, 3, 0x1B, 2);
  EXPECT_EQ(0x1Bu, p->videoType);
  EXPECT_EQ('E', p->encryption);
  tm.SetInfoForProgram(1, 3, 0x0F, 1);
  EXPECT_EQ('E', p->encryption);  // never back to clear
  EXPECT_EQ(0x0Fu, p->audioType);
  // Transmitter: the transport id must match too.
  tm.SetInfoForProgram(2, 3, 0x03, 1);
  EXPECT_EQ(0x0Fu, p->audioType);
  // Receiver: it is ignored.
  TunerManager rx('R');
  rx.AddProgramToScanResults(0, 5);
  rx.SetInfoForProgram(7, 5, 0x04, 0);
  const ScalProgramDesc* r5 = FindProgram(rx, 5);
  ASSERT_NE(nullptr, r5);
  EXPECT_EQ(0x04u, r5->audioType);
  EXPECT_EQ(7, r5->transportId);
}

TEST(Languages, AddRefreshAndAge) {
  TunerManager tm('T');
  EXPECT_FALSE(Lang(tm, 3, "eng", 0x44));  // no such program
  tm.AddProgramToScanResults(1, 3);
  EXPECT_TRUE(Lang(tm, 3, "eng", 0x44));
  EXPECT_FALSE(Lang(tm, 3, "eng", 0x44));  // known: refreshed
  ScalProgramDesc* p = FindProgram(tm, 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(1, p->language.count);
  EXPECT_EQ(TunerManager::LANG_CNT, p->language.head->languageCount);
  EXPECT_TRUE(Lang(tm, 3, "eng", 0x45));  // same code, other PID
  EXPECT_TRUE(Lang(tm, 3, "eng", 0x44, 3));  // other type
  EXPECT_EQ("eng,eng,eng", Codes(tm, 3));
  // Captions share the list; the mode takes no part in the match.
  EXPECT_FALSE(Lang(tm, 3, "eng", 0x44, 0, Language::eCaption));
}

TEST(Languages, AlternatingKeepsBothAndSilentOneAgesOut) {
  for (bool spaFirst : {false, true}) {
    TunerManager tm('T');
    tm.AddProgramToScanResults(1, 3);
    if (spaFirst) Lang(tm, 3, "spa", 0x45);
    Lang(tm, 3, "eng", 0x44);
    if (!spaFirst) Lang(tm, 3, "spa", 0x45);
    for (int i = 0; i < 100; ++i) {
      Lang(tm, 3, "eng", 0x44);
      Lang(tm, 3, "spa", 0x45);
    }
    const ScalProgramDesc* p = FindProgram(tm, 3);
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(2, p->language.count);
    // spa is no longer announced: gone on the 30th call after its last one.
    for (int i = 1; i < TunerManager::LANG_CNT; ++i) {
      Lang(tm, 3, "eng", 0x44);
      ASSERT_EQ(2, p->language.count) << i;
    }
    Lang(tm, 3, "eng", 0x44);
    EXPECT_EQ("eng", Codes(tm, 3)) << spaFirst;
  }
}

TEST(Languages, CleanEmptiesTheCurrentChannelsLists) {
  TunerManager tm('R');
  tm.AddProgramToScanResults(0, 3);
  Lang(tm, 3, "eng", 0x44);
  Lang(tm, 3, "fre", 0x45);
  unsigned int freeBefore = 0;
  for (Language* l = tm.mpFreeLanguages; l != nullptr; l = l->pNext) ++freeBefore;
  tm.CleanScalProgramDescriptors();
  const ScalProgramDesc* p = FindProgram(tm, 3);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(0, p->language.count);
  EXPECT_EQ(nullptr, p->language.head);
  unsigned int freeAfter = 0;
  for (Language* l = tm.mpFreeLanguages; l != nullptr; l = l->pNext) ++freeAfter;
  EXPECT_EQ(freeBefore + 2, freeAfter);  // back in the pool
  EXPECT_TRUE(Lang(tm, 3, "eng", 0x44));
}

TEST(Pools, ExhaustedPoolsDropAndCount) {
  TunerManager tm('T');
  for (int i = 0; i < TunerManager::kProgramPool; ++i)
    ASSERT_TRUE(tm.AddProgramToScanResults(1, static_cast<ushort>(i + 1)));
  EXPECT_EQ(0u, tm.mProgramsDropped);
  EXPECT_TRUE(tm.AddProgramToScanResults(1, 0xFFFF));
  EXPECT_EQ(1u, tm.mProgramsDropped);
  EXPECT_EQ(TunerManager::kProgramPool, tm.GetScalProgramDesc(0)->count);
  EXPECT_EQ(TunerManager::kProgramPool, tm.mProgramsOnChannel);
  // 8 languages on each of 1024 programs fill the language pool.
  const int perProgram = TunerManager::kLanguagePool / TunerManager::kProgramPool;
  for (int i = 0; i < TunerManager::kProgramPool; ++i)
    for (int k = 0; k < perProgram; ++k)
      ASSERT_TRUE(Lang(tm, static_cast<uint16_t>(i + 1), "eng", static_cast<uint16_t>(0x100 + k)));
  EXPECT_EQ(nullptr, tm.mpFreeLanguages);
  EXPECT_FALSE(Lang(tm, 1, "spa", 0x200));
  EXPECT_EQ(1u, tm.mLanguagesDropped);
  EXPECT_FALSE(Lang(tm, 1, "eng", 0x100));  // known entries still refresh
  EXPECT_EQ(1u, tm.mLanguagesDropped);
}

TEST(Tuner, RoleCheckReportsAndCarriesOn) {
  TunerManager rx('R');
  testing::internal::CaptureStderr();
  rx.SetMode(TunerManager::eQAM256);
  EXPECT_TRUE(rx.StartTuner());
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("Bad type R"));
  EXPECT_EQ(TunerManager::eQAM256, rx.mTunerMode);
  TunerManager tx('T');
  testing::internal::CaptureStderr();
  tx.SetMode(TunerManager::eQAM64);
  EXPECT_EQ(std::string::npos, testing::internal::GetCapturedStderr().find("Bad type"));
}

TEST(Tuner, ChannelRangesByMode) {
  TunerManager tm('T');
  tm.mCurrentChannel = 7;
  EXPECT_FALSE(tm.TuneToChannel(70));
  EXPECT_FALSE(tm.TuneToChannel(0));
  EXPECT_FALSE(tm.TuneToChannel(1));  // cable channel in ATSC mode
  tm.SetMode(TunerManager::eQAM64);
  EXPECT_FALSE(tm.TuneToChannel(159));
  EXPECT_FALSE(tm.TuneToChannel(-3));
  EXPECT_EQ(7, tm.GetCurrentChannel());
}

// Tuning runs the player's tool through the shell and reads the strength
// from the status memory: done in a child with its own IPC namespace and a
// stand-in k720cmmd on the PATH that records its arguments.
TEST(Tuner, TuneRunsThePlayerToolAndReadsTheStrength) {
  char dir[] = "/tmp/vyx_tuner_XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(dir));
  std::string tool = std::string(dir) + "/k720cmmd";
  std::string log = std::string(dir) + "/args";
  FILE* t = fopen(tool.c_str(), "w");
  ASSERT_NE(nullptr, t);
  fprintf(t, "#!/bin/sh\necho \"$*\" >> '%s'\n", log.c_str());
  fclose(t);
  chmod(tool.c_str(), 0755);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (unshare(CLONE_NEWIPC) != 0) _exit(2);
    std::string path = std::string(dir) + ":" + (getenv("PATH") ? getenv("PATH") : "/bin:/usr/bin");
    setenv("PATH", path.c_str(), 1);
    SharedMem* shm = SharedMem::Self();
    if (shm->Record() == nullptr) _exit(3);
    shm->Record()->vStatus.tunerSignalStrength = 4;
    TunerManager tm('T');
    tm.mProgramsOnChannel = 9;
    tm.SetMode(TunerManager::eQAM256);
    if (!tm.TuneToChannel(1)) _exit(4);
    if (tm.GetCurrentChannel() != 1 || tm.mCurrentStrength != 4 || tm.mProgramsOnChannel != 0) _exit(5);
    tm.K720CmmdSet("%s", std::string(200, 'x').c_str());  // cut to 95 characters
    if (!tm.StopTuner()) _exit(6);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(0, WEXITSTATUS(status));
  FILE* a = fopen(log.c_str(), "r");
  ASSERT_NE(nullptr, a);
  char line[512];
  std::string lines[3];
  for (std::string& l : lines) {
    ASSERT_NE(nullptr, fgets(line, sizeof(line), a));
    l = line;
  }
  fclose(a);
  EXPECT_EQ("-atsc 1\n", lines[0]);
  EXPECT_EQ(std::string(95, 'x') + "\n", lines[1]);
  EXPECT_EQ("-stopvid\n", lines[2]);
  unlink(log.c_str());
  unlink(tool.c_str());
  rmdir(dir);
}

TEST(Tuner, ForwardingFollowsTheFirstController) {
  UdpServer server;
  ASSERT_TRUE(server.Connect(0));
  sockaddr_in me{};
  socklen_t len = sizeof(me);
  ASSERT_EQ(0, getsockname(server.s, reinterpret_cast<sockaddr*>(&me), &len));
  int client = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(client, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = me.sin_port;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(4, sendto(client, "SCA?", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)));
  char buf[64];
  ASSERT_EQ(4, server.Receive(buf, sizeof(buf), 0));

  TunerManager tm('T');
  tm.SetTunerForwarding(nullptr);
  EXPECT_EQ(nullptr, tm.mpUdp);
  EXPECT_FALSE(tm.mReportScanResults);
  tm.SetTunerForwarding(&server);
  ASSERT_NE(nullptr, tm.mpUdp);
  EXPECT_TRUE(tm.mReportScanResults);
  UdpSender* first = tm.mpUdp;
  tm.SetTunerForwarding(&server);
  EXPECT_EQ(first, tm.mpUdp);
  ASSERT_EQ(17, tm.mpUdp->Send("BLINDSTART:0 OK\r\n", 17));
  timeval tv{5, 0};
  setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ssize_t n = recv(client, buf, sizeof(buf), 0);
  ASSERT_EQ(17, n);
  EXPECT_EQ(0, memcmp(buf, "BLINDSTART:0 OK\r\n", 17));
  tm.SetTunerForwarding(nullptr);
  EXPECT_EQ(nullptr, tm.mpUdp);
  EXPECT_FALSE(tm.mReportScanResults);
  close(client);
}
