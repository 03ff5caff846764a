// Transmitter commands through the dispatcher, request to reply: UNIT (every
// digit, refusals, the saved start-up item), TUNERMODE, and the start-up
// routine that reads the saved files back.  Runs in private IPC and mount
// namespaces with a scratch /mnt/hd1, an in-test SNMP agent and an in-test
// system manager.

#define VYX_PRIVATE_MOUNT
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "device_fakes.h"
#include "private_ipc.h"
#include "snmplocal.h"
#include "statistics.h"
#include "streamer.h"
#include "systemmanager.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"

namespace {

// The stream start waits 3 s for the tuner and 5 s for the tables; remounts
// wait a second each.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "50", 1), true);

const char kStartupFile[] = "/mnt/hd1/vyx_def_startup";
const char kModeFile[] = "/mnt/hd1/vyx_tunermode";

class TxCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_MNT();
    vyxtest::FakeSysMgr::Get().Refuse(false);
    cm = vyxtest::shared_manager('T');
    unlink(kStartupFile);
    unlink(kModeFile);
  }

  std::string Send(const std::string& command) { return vyxtest::dispatch(cm, command); }

  // What the PAT and PMT analysis leaves for one PID of a program.
  void Learnt(uint16_t pid, uint16_t program, int8_t type) {
    PacketIdMapType& e = cm->mpTsf->mPacketIdMap[pid];
    e.transportId = 0x21;
    e.programId = program;
    e.count = 10;
    e.type = type;
    e.status = ePidKnown;
  }
  bool Attached(uint16_t pid, int streamId) {
    StreamerList* list = cm->mpTsf->mPacketIdMap[pid].streamers;
    for (int i = 0; list != nullptr && i < list->Size(); i++)
      if (list->At(i)->mId == streamId) return true;
    return false;
  }

  CommandManager* cm = nullptr;
};

}  // namespace

TEST_F(TxCommands, UnitRefusalsAnswerKoAndSaveNothing) {
  const char* refused[] = {
      "UNIT3,239.1.1.1,1234,5",       // receiver only
      "UNIT7,239.1.1.1,1234,5",       // unknown digit
      "UNIT",                         // no digit at all
      "UNIT4,3",                      // stream number but no stream text
      "UNIT4,8,127.0.0.1,5010,5",     // stream number out of range
      "UNIT4,-1,127.0.0.1,5010,5",
      "UNIT5,8",
      "UNIT5,99999999999999999999",
      "UNIT1,999.1.1.1,5010,5",       // not an address
      "UNIT1,127.0.0.1",              // no port, no channel
  };
  for (const char* cmd : refused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(Send(cmd), "KO\r\n") << cmd;
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(vyxtest::read_file(kStartupFile), "<missing>") << cmd;
  }
  for (int i = 0; i < 8; i++) EXPECT_EQ(cm->mpTsf->mStreamersList[i], nullptr);
}

TEST_F(TxCommands, UnitStopsAreSavedAsTheStartupItem) {
  EXPECT_EQ(Send("UNIT5,2"), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kStartupFile), "UNIT5,2");
  EXPECT_EQ(cm->mLastUnitCommandId, '5');
  EXPECT_EQ(Send("unit0"), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kStartupFile), "unit0");
  EXPECT_EQ(cm->mLastUnitCommandId, '0');
  // The stream number is read as atoi reads it: x and an empty field are
  // stream 0.
  EXPECT_EQ(Send("UNIT5,x"), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kStartupFile), "UNIT5,x");
  EXPECT_EQ(Send("UNIT4,,127.0.0.1,5010,5"), "OK\r\n");
  ASSERT_NE(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_EQ(cm->mpTsf->mStreamersList[0]->StreamGetPort(), 5010);
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
}

TEST_F(TxCommands, UnitStartsAndStopsStreams) {
  EXPECT_EQ(Send("UNIT1,127.0.0.1,5010,5"), "OK\r\n");
  Streamer* s0 = cm->mpTsf->mStreamersList[0];
  ASSERT_NE(s0, nullptr);
  EXPECT_STREQ(s0->StreamGetIp(), "127.0.0.1");
  EXPECT_EQ(s0->StreamGetPort(), 5010);
  EXPECT_EQ(vyxtest::read_file(kStartupFile), "UNIT1,127.0.0.1,5010,5");

  // A second stream next to the first one: UNIT4 stops 0 and the given one.
  EXPECT_EQ(Send("UNIT4,3,127.0.0.1,5011,5,1,3"), "OK\r\n");
  Streamer* s3 = cm->mpTsf->mStreamersList[3];
  ASSERT_NE(s3, nullptr);
  EXPECT_EQ(s3->StreamGetPort(), 5011);
  EXPECT_EQ(cm->mpTsf->mStreamersList[0], nullptr);

  EXPECT_EQ(Send("UNIT5,3"), "OK\r\n");
  EXPECT_EQ(cm->mpTsf->mStreamersList[3], nullptr);

  // UNIT2 keeps address, port and channel only.
  EXPECT_EQ(Send("UNIT2,127.0.0.1,5012,5,1,3"), "OK\r\n");
  ASSERT_NE(cm->mpTsf->mStreamersList[0], nullptr);
  EXPECT_EQ(cm->mpTsf->mStreamersList[0]->StreamGetPort(), 5012);

  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
  for (int i = 0; i < 8; i++) EXPECT_EQ(cm->mpTsf->mStreamersList[i], nullptr);
}

TEST_F(TxCommands, SavedItemIsCutAt254Characters) {
  std::string cmd = "UNIT1,127.0.0.1,5013,5";
  while (cmd.size() < 400) cmd += ",1,3";
  EXPECT_EQ(Send(cmd), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kStartupFile), cmd.substr(0, 254));
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
}

TEST_F(TxCommands, RefusedRemountStillStreamsButDoesNotSave) {
  vyxtest::FakeSysMgr::Get().Refuse(true);
  testing::internal::CaptureStderr();
  EXPECT_EQ(Send("UNIT5,1"), "OK\r\n");
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't remount rw"), std::string::npos) << err;
  EXPECT_NE(err.find("Can't save default startup item"), std::string::npos) << err;
  EXPECT_EQ(vyxtest::read_file(kStartupFile), "<missing>");

  testing::internal::CaptureStderr();
  EXPECT_EQ(Send("TUNERMODE1"), "KO\r\n");
  err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Can't remount HD rw"), std::string::npos) << err;
  EXPECT_EQ(vyxtest::read_file(kModeFile), "<missing>");
}

TEST_F(TxCommands, TunerModeIsStoredAppliedAndRefusedOutOfRange) {
  size_t before = vyxtest::FakeAgent::Get().Requests().size();
  EXPECT_EQ(Send("TUNERMODE1"), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kModeFile), "1\n");
  EXPECT_STREQ(cm->mTunerMode, "QAM64");
  EXPECT_EQ(cm->mpTunerManager->mTunerMode, TunerManager::eQAM64);
  std::vector<std::string> req = vyxtest::FakeAgent::Get().Requests();
  ASSERT_GT(req.size(), before);
  EXPECT_EQ(req.back(), ".1.3.6.1.4.1.32473.3.8.5.0 i 1");

  EXPECT_EQ(Send("TUNERMODE 2"), "OK\r\n");  // leading blanks allowed
  EXPECT_EQ(vyxtest::read_file(kModeFile), "2\n");
  EXPECT_STREQ(cm->mTunerMode, "QAM256");

  const char* refused[] = {"TUNERMODE3", "TUNERMODE-1", "TUNERMODE4294967297"};
  for (const char* cmd : refused) {
    EXPECT_EQ(Send(cmd), "KO\r\n") << cmd;
    EXPECT_EQ(vyxtest::read_file(kModeFile), "2\n") << cmd;
    EXPECT_STREQ(cm->mTunerMode, "QAM256") << cmd;
  }
  // No digit reads as mode 0, as the protocol's controllers expect.
  EXPECT_EQ(Send("TUNERMODEx"), "OK\r\n");
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
  EXPECT_EQ(vyxtest::read_file(kModeFile), "0\n");
}

TEST_F(TxCommands, SetTunerModeRejectsUnknownModes) {
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cm->SetTunerMode(3));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(cm->mTunerMode, "TUNER_ERR");
  EXPECT_NE(err.find("Invalid Tuner Mode: TUNER_ERR"), std::string::npos) << err;
  EXPECT_TRUE(cm->SetTunerMode(0));
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
}

TEST_F(TxCommands, StartupRestoresModeAndReadsTheItemBounded) {
  vyxtest::write_file(kModeFile, "2\n");
  // Longer than the kilobyte read back; "UNIT0" is not replayed.
  vyxtest::write_file(kStartupFile, "UNIT0" + std::string(1500, 'z'));
  cm->ProcessTunerModeAndDefaultStartupItem(nullptr);
  EXPECT_STREQ(cm->mTunerMode, "QAM256");
  EXPECT_EQ(strlen(cm->mCommand), 1024u);

  // No files: ATSC and nothing to play.
  unlink(kModeFile);
  unlink(kStartupFile);
  testing::internal::CaptureStderr();
  cm->ProcessTunerModeAndDefaultStartupItem(nullptr);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
  EXPECT_EQ(cm->mCommand[0], '\0');
  EXPECT_NE(err.find("Can't open def startup file"), std::string::npos) << err;

  // A mode file with junk falls back to ATSC.
  vyxtest::write_file(kModeFile, "QAM\n");
  cm->SetTunerMode(1);
  cm->ProcessTunerModeAndDefaultStartupItem(nullptr);
  EXPECT_STREQ(cm->mTunerMode, "ATSC");
}

TEST_F(TxCommands, StreamTextIsReadOnceAndRefusedWhenIncomplete) {
  CommandManager::StreamRequest req;
  fields::Split split(" 239.1.1.1 , 5010 ,1e,21,2,,3,21\r\n", ',');
  ASSERT_TRUE(CommandManager::ParseStreamText(split, &req));
  EXPECT_STREQ(req.address, "239.1.1.1");
  EXPECT_EQ(req.port, 5010);
  EXPECT_EQ(req.channel, 0x1e);
  ASSERT_EQ(req.pairs, 3);
  EXPECT_EQ(req.transportId[0], 0x21);
  EXPECT_EQ(req.programId[0], 2);
  EXPECT_EQ(req.transportText[1], nullptr);  // empty: read as 0
  EXPECT_EQ(req.programId[1], 3);
  EXPECT_STREQ(req.transportText[2], "21");
  EXPECT_EQ(req.programText[2], nullptr);  // a trailing transport: its program is missing

  const char* refused[] = {"127.0.0.1,5010",    "127.0.0.1,5010,",   "127.0.0.1,,5",
                           "127.0.0.1,x,5",     "127.0.0.1,70000,5", "127.0.0.1,0,5",
                           "300.1.1.1,5010,5",  ""};
  testing::internal::CaptureStderr();
  for (const char* r : refused) {
    fields::Split bad(r, ',');
    EXPECT_FALSE(CommandManager::ParseStreamText(bad, &req)) << r;
  }
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("Invalid Ip address 300.1.1.1"), std::string::npos) << err;
  EXPECT_NE(err.find("Invalid port 70000"), std::string::npos) << err;

  // Stream numbers outside 0..7 create nothing.
  char start[] = "127.0.0.1,5010,5";
  testing::internal::CaptureStderr();
  EXPECT_FALSE(cm->StartStream(8, start));
  EXPECT_FALSE(cm->StartStream(-1, start));
  testing::internal::GetCapturedStderr();
  for (int i = 0; i < 8; i++) EXPECT_EQ(cm->mpTsf->mStreamersList[i], nullptr);
}

// A stream started on the channel the tuner is on while another stream of it
// runs: no retune (the counters, the tuner's program count and what the
// filter learnt of the multiplex stay), its programs attach at once.  On
// another channel the tuner moves and the counters start again.
TEST_F(TxCommands, StreamOnTheTunedChannelAttachesWithoutRetune) {
  ASSERT_EQ(Send("UNIT4,1,127.0.0.1,5020,5,21,1"), "OK\r\n");
  TsFilter* f = cm->mpTsf;
  TunerManager* tm = cm->mpTunerManager;
  ASSERT_EQ(tm->GetCurrentChannel(), 5);
  for (uint16_t program = 1; program <= 3; program++) {
    Learnt(static_cast<uint16_t>(0x80 + program - 1), program, ePidTypePmt);
    Learnt(static_cast<uint16_t>(0x100 * program), program, ePidTypeEs);
  }
  Statistics::Self()->mPatCounter = 77;
  tm->mProgramsOnChannel = 3;

  ASSERT_EQ(Send("UNIT4,2,127.0.0.1,5021,5,21,2"), "OK\r\n");
  EXPECT_EQ(Statistics::Self()->mPatCounter, 77u);
  EXPECT_EQ(tm->mProgramsOnChannel, 3);
  EXPECT_EQ(f->mPacketIdMap[0x200].programId, 2);
  EXPECT_TRUE(Attached(0x81, 2));
  EXPECT_TRUE(Attached(0x200, 2));
  EXPECT_FALSE(Attached(0x100, 2));
  ASSERT_NE(f->mStreamersList[1], nullptr);
  EXPECT_TRUE(f->mRunFilter);

  // A transport without its program ends the list: a stream of no program.
  ASSERT_EQ(Send("UNIT4,3,127.0.0.1,5022,5,21"), "OK\r\n");
  ASSERT_NE(f->mStreamersList[3], nullptr);
  EXPECT_EQ(f->mStreamersList[3]->GetProgramCount(), 0);
  for (uint16_t pid : {0x80, 0x81, 0x82, 0x100, 0x200, 0x300}) EXPECT_FALSE(Attached(pid, 3)) << pid;
  // The second pair lacks its program: only the first is carried.
  ASSERT_EQ(Send("UNIT4,4,127.0.0.1,5023,5,21,1,21"), "OK\r\n");
  EXPECT_TRUE(Attached(0x100, 4));
  EXPECT_FALSE(Attached(0x200, 4));
  EXPECT_EQ(Statistics::Self()->mPatCounter, 77u);

  ASSERT_EQ(Send("UNIT4,5,127.0.0.1,5024,6"), "OK\r\n");
  EXPECT_EQ(tm->GetCurrentChannel(), 6);
  EXPECT_EQ(Statistics::Self()->mPatCounter, 0u);
  EXPECT_EQ(tm->mProgramsOnChannel, 0);
  EXPECT_EQ(Send("UNIT0"), "OK\r\n");
}
