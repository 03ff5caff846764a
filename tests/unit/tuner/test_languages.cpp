// Audio languages and caption services: the LAN?/SUB? answers sent through
// the tuner forwarding, the receiver's translation of a language into the
// played program's PID, the language dump, and the LANG and SUBS handlers on
// both roles (the transmitter's audio filter, the receiver's replay through
// the player and its caption setting).  Runs in a private IPC namespace: the
// status memory, the player's queue and the SNMP queues are fixed keys.

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ipc.h"
#include "sharedmem.h"
#include "stdio_capture.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "udpcom.h"
#include "utils.h"
#include "core/filterentry.h"

extern "C" void Vyx_Filter(unsigned char* data, unsigned len);

namespace {

const bool time_scaled = (setenv("VYX_TIME_SCALE", "50", 1), true);
const char kOidCaption[] = ".1.3.6.1.4.1.32473.3.3.54.0";

#define REQUIRE_IPC() \
  if (!vyxtest::private_ipc()) GTEST_SKIP() << "no private IPC namespace here"

void Add(TunerManager& tm, uint16_t prog, const char* code, int type, uint16_t pid,
         Language::LanguageModeEnum mode = Language::eAudio, int service = 0) {
  char c[4];
  snprintf(c, sizeof(c), "%s", code);
  tm.SetLanguageForProgram(1, prog, c, mode, type, pid, service);
}

// A manager's tuner manager with programs 3, 4 and 5 on its current channel.
void Programs(TunerManager& tm) {
  tm.CleanScalProgramDescriptors();
  tm.AddProgramToScanResults(1, 3);
  tm.AddProgramToScanResults(1, 4);
  tm.AddProgramToScanResults(1, 5);
  Add(tm, 3, "eng", 0, 0x31);
  Add(tm, 3, "spa", 0, 0x34);
  Add(tm, 3, "eng", 0, 0, Language::eCaption, 1);
  Add(tm, 4, "fra", 3, 0x44);
  Add(tm, 5, "eng", 0, 0, Language::eCaption, 2);
  Add(tm, 5, "spa", 0, 0, Language::eCaption, 3);
}

// The list a forwarding controller receives for one query.
std::string Query(TunerManager& tm, Language::LanguageModeEnum mode) {
  vyxtest::LoopbackUdp ctl;
  UdpServer asker;
  asker.siOther = ctl.Address();
  tm.SetTunerForwarding(nullptr);
  tm.SetTunerForwarding(&asker);
  char buffer[64];
  EXPECT_EQ(tm.GetLanguagesOrSubtitles(mode, buffer), nullptr);
  tm.SetTunerForwarding(nullptr);
  std::string d;
  if (!ctl.Next(&d, 2000)) return "<nothing>";
  return d;
}

}  // namespace

TEST(LanguageLists, OneLinePerProgramWithItsEntries) {
  TunerManager tm('T');
  Programs(tm);
  EXPECT_EQ(Query(tm, Language::eAudio),
            "LANG 0001 0003 eng00,spa00\r\nLANG 0001 0004 fra03\r\nLANG 0001 0005 \r\nOK\r\n");
  EXPECT_EQ(Query(tm, Language::eCaption),
            "SUB 0001 0003 eng\r\nSUB 0001 0004 \r\nSUB 0001 0005 eng,spa\r\nOK\r\n");
  // A new stream forgets the languages; the programs keep their lines.
  tm.CleanScalProgramDescriptors();
  EXPECT_EQ(Query(tm, Language::eAudio),
            "LANG 0001 0003 \r\nLANG 0001 0004 \r\nLANG 0001 0005 \r\nOK\r\n");
}

TEST(LanguageLists, ManyEntriesAreCutNotOverrun) {
  TunerManager tm('T');
  tm.CleanScalProgramDescriptors();
  char code[4] = "aaa";
  for (int prog = 1; prog <= 60; prog++) {
    tm.AddProgramToScanResults(1, static_cast<uint16_t>(prog));
    for (int i = 0; i < 25; i++) {
      code[2] = static_cast<char>('a' + i);
      tm.SetLanguageForProgram(1, static_cast<uint16_t>(prog), code, Language::eAudio, i,
                               static_cast<uint16_t>(0x100 + i), 0);
    }
  }
  std::string d = Query(tm, Language::eAudio);
  ASSERT_GT(d.size(), 1000u);
  EXPECT_LT(d.size(), 4096u);
  EXPECT_EQ(d.compare(d.size() - 4, 4, "OK\r\n"), 0);
  EXPECT_EQ(d.compare(0, 27, "LANG 0001 0001 aaa00,aab01,"), 0) << d.substr(0, 40);
  // Whole lines only: the one before "OK" is complete.
  EXPECT_EQ(d.compare(d.size() - 17, 17, "aax23,aay24\r\nOK\r\n"), 0) << d.substr(d.size() - 40);
}

TEST(LanguageLists, PlayedProgramLookups) {
  REQUIRE_IPC();
  ASSERT_TRUE(time_scaled);
  TunerManager tm('R');
  Programs(tm);
  _sVPLAYER_SM_STRUCT* rec = SharedMem::Self()->Record();
  ASSERT_NE(rec, nullptr);
  rec->vStatus.progId = 3;
  char eng[] = "eng", spa[] = "spa", fra[] = "fra";
  EXPECT_EQ(tm.GetAudioPid(spa, 0), 0x34);
  EXPECT_EQ(tm.GetAudioPid(eng, 0), 0x31);
  EXPECT_EQ(tm.GetSubtitleIndex(eng), 1);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(tm.GetAudioPid(fra, 3), 0);  // program 4's, not the played one's
  EXPECT_EQ(tm.GetAudioPid(eng, 2), 0);  // the type must match too
  EXPECT_EQ(tm.GetSubtitleIndex(spa), -1);
  // Three tries a (scaled) second apart each.
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  rec->vStatus.progId = 5;
  EXPECT_EQ(tm.GetSubtitleIndex(spa), 3);
  rec->vStatus.progId = 4;
  EXPECT_EQ(tm.GetAudioPid(fra, 3), 0x44);
}

TEST(LanguageLists, DumpNamesEveryEntry) {
  TunerManager tm('T');
  Programs(tm);
  vyxtest::StdioCapture out(stdout);
  int saved = global_debug_flag;
  global_debug_flag = 1;
  tm.DumpLanguageInfo();
  global_debug_flag = saved;
  std::string text = out.Stop();
  EXPECT_NE(text.find("=== LANGUAGE LIST for trid 0x1, prid 0x3 ==="), std::string::npos) << text;
  EXPECT_NE(text.find("=== language spa, type 0x0, pid 0x34"), std::string::npos) << text;
  EXPECT_NE(text.find("=== language fra, type 0x3, pid 0x44"), std::string::npos) << text;
  EXPECT_NE(text.find("=== language spa, type 0x0, service 0x3"), std::string::npos) << text;
}

// ---------------------------------------------------------------------------
// LANG and SUBS
// ---------------------------------------------------------------------------
class LanguageCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_IPC();
    ASSERT_TRUE(time_scaled);
    mPlayer = msgget(1234, IPC_CREAT | 0666);
    ASSERT_GE(mPlayer, 0);
  }
  // (paramVal, param[0], param[1]) of the debug records sent to the player.
  std::vector<std::vector<int32_t>> PlayerDebugRecords() {
    std::vector<std::vector<int32_t>> out;
    struct {
      long mtype;
      char text[1024];
    } m;
    ssize_t n;
    while ((n = msgrcv(mPlayer, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR)) >= 0) {
      int32_t w[4];
      if (n < 16) continue;
      memcpy(w, m.text, sizeof(w));
      if (w[0] == 67) out.push_back({w[1], w[2], w[3]});
    }
    return out;
  }
  int mPlayer = -1;
};

TEST_F(LanguageCommands, TransmitterFiltersAudioPids) {
  CommandManager* t = vyxtest::shared_manager('T');
  PacketIdMapType* map = t->mpTsf->mPacketIdMap;
  struct Audio {
    int pid;
    const char* code;
  } audio[] = {{0x31, "eng"}, {0x34, "spa"}, {0x35, "fra"}};
  for (const Audio& a : audio) {
    map[a.pid].streamType = 0x81;
    snprintf(map[a.pid].audioLanguage, sizeof(map[a.pid].audioLanguage), "%s", a.code);
    map[a.pid].audioLangType = 0;
    map[a.pid].block = false;
  }
  EXPECT_EQ(vyxtest::dispatch(t, "LANG eng,0,spa,0"), "OK\r\n");
  EXPECT_FALSE(map[0x31].block);
  EXPECT_FALSE(map[0x34].block);
  EXPECT_TRUE(map[0x35].block);
  // Alone, LANG means eng/0 for both.
  EXPECT_EQ(vyxtest::dispatch(t, "LANG"), "OK\r\n");
  EXPECT_FALSE(map[0x31].block);
  EXPECT_TRUE(map[0x34].block);
  EXPECT_TRUE(map[0x35].block);
  // The secondary defaults to eng.
  EXPECT_EQ(vyxtest::dispatch(t, "LANGfra"), "OK\r\n");
  EXPECT_FALSE(map[0x31].block);
  EXPECT_TRUE(map[0x34].block);
  EXPECT_FALSE(map[0x35].block);
  EXPECT_EQ(vyxtest::dispatch(t, "LANG spa,0,fra,0"), "OK\r\n");
  EXPECT_TRUE(map[0x31].block);
  EXPECT_FALSE(map[0x34].block);
  for (const Audio& a : audio) map[a.pid] = PacketIdMapType();
  // The transmitter does not filter captions, and says so kindly.
  EXPECT_EQ(vyxtest::dispatch(t, "SUBS 2"), "OK\r\n");
}

TEST_F(LanguageCommands, ReceiverReplaysThePlayedProgramWithTheChosenPid) {
  CommandManager* r = vyxtest::shared_manager('R');
  Programs(*r->mpTunerManager);
  SharedMem::Self()->Record()->vStatus.progId = 3;
  snprintf(r->mMulticastIpReceived, sizeof(r->mMulticastIpReceived), "%s", "239.1.1.1");
  r->mMulticastPortReceived = 5000;
  PlayerDebugRecords();

  EXPECT_EQ(vyxtest::dispatch(r, "LANG spa,0,eng,0"), "OK\r\n");
  EXPECT_EQ(r->mAudioLanguagePri, 0x34);
  EXPECT_EQ(r->mAudioLanguageSec, 0x31);
  EXPECT_EQ(PlayerDebugRecords(), (std::vector<std::vector<int32_t>>{{14, 3, 0x34}}));

  // A primary the program lacks falls back to the secondary.
  EXPECT_EQ(vyxtest::dispatch(r, "LANG deu,0,eng,0"), "OK\r\n");
  EXPECT_EQ(r->mAudioLanguagePri, 0x31);
  EXPECT_EQ(PlayerDebugRecords(), (std::vector<std::vector<int32_t>>{{14, 3, 0x31}}));

  // Nothing played: translated, nothing sent.
  r->mMulticastPortReceived = 0;
  EXPECT_EQ(vyxtest::dispatch(r, "LANG spa"), "OK\r\n");
  EXPECT_EQ(r->mAudioLanguagePri, 0x34);
  EXPECT_TRUE(PlayerDebugRecords().empty());
  r->mMulticastIpReceived[0] = '\0';
  r->mpTunerManager->CleanScalProgramDescriptors();
}

// The receiver's player hands over bare sections: each PMT is read on the
// PMT PID that the PAT gives its program, so its streams carry the PAT's
// transport id into the "LAN?" lines.  A PMT ahead of any PAT names no PID
// and is left for the next one; a new selection (the PID map forgotten)
// reads the same PAT again at once.
TEST_F(LanguageCommands, ReceiverListsThePlayedProgramUnderItsPatsTransportId) {
  CommandManager* r = vyxtest::shared_manager('R');
  TunerManager& tm = *r->mpTunerManager;
  publish_filter(r->mpTsf, 'R');
  std::vector<uint8_t> pat = tsfix::MakePat(0x0abc, 3, {{0x101, 0x6E}, {0x102, 0x70}});
  std::vector<uint8_t> pmt = tsfix::MakePmt(
      0x101, 0x81, 0,
      {{0x02, 0x81, {}}, {0x04, 0x82, {tsfix::LanguageDescriptor({{"fre", 0}})}},
       {0x04, 0x84, {tsfix::LanguageDescriptor({{"qaa", 0}})}}});
  for (int selection = 0; selection < 2; ++selection) {
    SCOPED_TRACE(selection);
    set_process_pat(false);
    tm.CleanScalProgramDescriptors();
    r->mpTsf->CleanPacketIdMap();
    set_process_pat(true);
    if (selection == 0) {
      Vyx_Filter(pmt.data(), static_cast<unsigned>(pmt.size()));
      EXPECT_EQ(0, r->mpTsf->mPacketIdMap[0x82].programId);
    }
    Vyx_Filter(pat.data(), static_cast<unsigned>(pat.size()));
    Vyx_Filter(pmt.data(), static_cast<unsigned>(pmt.size()));
    EXPECT_EQ(0x0abc, r->mpTsf->mPacketIdMap[0x82].transportId);
    // (Programs of other tests may have their lines too: a selection forgets
    // languages, not programs.)
    std::string lines = Query(tm, Language::eAudio);
    EXPECT_NE(lines.find("LANG 0abc 0101 fre00,qaa00\r\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("LANG 0abc 0102 \r\n"), std::string::npos) << lines;
  }
  set_process_pat(false);
  tm.CleanScalProgramDescriptors();
  r->mpTsf->CleanPacketIdMap();
}

TEST_F(LanguageCommands, ReceiverCaptionService) {
  CommandManager* r = vyxtest::shared_manager('R');
  vyxtest::FakeAgent& agent = vyxtest::FakeAgent::Get();
  const std::string set = std::string("set ") + kOidCaption + " i ";
  agent.ClearRequests();
  EXPECT_EQ(vyxtest::dispatch(r, "SUBS 3"), "OK\r\n");
  EXPECT_EQ(mCCIndex, 3);
  EXPECT_TRUE(agent.Saw(set + "3"));
  for (const char* off : {"SUBS OFF", "SUBSoff", "SUBS 9", "SUBS 0", "SUBS x"}) {
    mCCIndex = 5;
    agent.ClearRequests();
    EXPECT_EQ(vyxtest::dispatch(r, off), "OK\r\n") << off;
    EXPECT_EQ(mCCIndex, 0) << off;
    EXPECT_TRUE(agent.Saw(set + "0")) << off;
  }
  agent.ClearRequests();
  EXPECT_EQ(vyxtest::dispatch(r, "SUBS"), "KO\r\n");
  EXPECT_EQ(vyxtest::dispatch(r, "SUBS  \r\n"), "KO\r\n");
  EXPECT_TRUE(agent.Log().empty());

  agent.Refuse(kOidCaption);
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(vyxtest::dispatch(r, "SUBS 6"), "KO\r\n");
  agent.Refuse(kOidCaption, false);
  EXPECT_NE(err.Stop().find("close caption play"), std::string::npos);
  mCCIndex = 0;
}
