// Output packet size (MCASTPACKETSIZE, SetPacketSize with its file between two
// remounts) and the debug stream files (STREAMFROMFILE), request to reply.
// Runs in private IPC and mount namespaces with a scratch /mnt/hd1, an
// in-test SNMP agent and an in-test system manager.

#define VYX_PRIVATE_MOUNT
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "ffmpeg_streams.h"
#include "private_ipc.h"
#include "snmplocal.h"
#include "streamer.h"
#include "systemmanager.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"

using ffstreams::Bytes;
using ffstreams::UdpCapture;

namespace {

// Remounts wait a second before each look at the reply queue.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "200", 1), true);

const char kSizeFile[] = "/mnt/hd1/vyx_packet_size";

using vyxtest::FakeAgent;
using vyxtest::FakeSysMgr;
using vyxtest::read_file;

class StreamCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_MNT();
    FakeSysMgr::Get().Refuse(false);
    cm = vyxtest::shared_manager('T');
    tsf = cm->mpTsf;
    ASSERT_NE(nullptr, tsf);
    ASSERT_TRUE(capture.Ok());
    mkdir("/mnt/hd1", 0755);
    unlink(kSizeFile);
    FakeSysMgr::Get().Take();
  }
  void TearDown() override {
    if (tsf == nullptr) return;
    for (int i = 0; i < TsFilter::kMaxStreams; i++) tsf->RemoveStream(i);
    Send("STREAMFROMFILE");
  }

  // As the command loop does: the datagram in mCommand, then dispatch.
  std::string Send(const std::string& command) {
    testing::internal::CaptureStderr();
    std::string reply = vyxtest::dispatch(cm, command);
    lastErr = testing::internal::GetCapturedStderr();
    return reply;
  }
  Streamer* NewStream(int id) {
    char ip[] = "127.0.0.1";
    EXPECT_TRUE(tsf->AddStream(id, ip, capture.Port()));
    return tsf->mStreamersList[id];
  }

  CommandManager* cm = nullptr;
  TsFilter* tsf = nullptr;
  UdpCapture capture;
  std::string lastErr;
};

using RemountLog = std::vector<std::pair<int, int>>;

// `n` packets on PID 0x1FFB (streamed to every stream as a PSI PID), in
// which no section starts; packet i is filled with i.
Bytes PsipPackets(int n) {
  Bytes source;
  for (int i = 0; i < n; i++) {
    Bytes p = tsfix::MakeDataPacket(0x1FFB, static_cast<uint8_t>(i & 0x0F), static_cast<uint8_t>(i));
    source.insert(source.end(), p.begin(), p.end());
  }
  return source;
}

TEST_F(StreamCommands, PacketSizeIsRoundedForExistingStreamsAndSavedBetweenRemounts) {
  Streamer* s = NewStream(0);
  EXPECT_EQ("OK\r\n", Send("MCASTPACKETSIZE1400"));
  EXPECT_EQ(1316, s->mPacketSize);
  EXPECT_EQ("1400", read_file(kSizeFile));
  EXPECT_EQ((RemountLog{{1, 1}, {1, 0}}), FakeSysMgr::Get().Take());

  EXPECT_EQ("OK\r\n", Send("MCASTPACKETSIZE3000"));
  EXPECT_EQ(2820, s->mPacketSize);
  EXPECT_EQ("3000", read_file(kSizeFile));
  // Streams made later still get the filter's own size.
  EXPECT_EQ(1316, tsf->mPacketSize);
  EXPECT_EQ(1316, NewStream(1)->mPacketSize);
}

TEST_F(StreamCommands, PacketSizeBelowOnePacketSendsOnEveryCall) {
  Streamer* s = NewStream(0);
  EXPECT_EQ("OK\r\n", Send("MCASTPACKETSIZE100"));
  EXPECT_EQ(0, s->mPacketSize);
  Bytes packet(188, 0x47);
  s->Stream(packet.data(), 188);
  s->Stream(packet.data(), 188);
  EXPECT_EQ(2, s->PendingDatagrams());
  EXPECT_EQ(2 * 188, s->Flush());
  EXPECT_EQ(2u, capture.Drain().size());
}

TEST_F(StreamCommands, PacketSizeOutOfRangeIsRefusedAndChangesNothing) {
  Streamer* s = NewStream(0);
  for (const char* cmd : {"MCASTPACKETSIZE32769", "MCASTPACKETSIZE-1",
                          "MCASTPACKETSIZE99999999999999999999"}) {
    EXPECT_EQ("KO\r\n", Send(cmd)) << cmd;
    EXPECT_EQ(1316, s->mPacketSize) << cmd;
  }
  EXPECT_EQ("<missing>", read_file(kSizeFile));
  EXPECT_TRUE(FakeSysMgr::Get().Take().empty());
  EXPECT_EQ("OK\r\n", Send("MCASTPACKETSIZE32768"));
  EXPECT_EQ(32712, s->mPacketSize);
}

TEST_F(StreamCommands, FailedRemountStillAnswersOkButWritesNothing) {
  Streamer* s = NewStream(0);
  FakeSysMgr::Get().Refuse(true);
  EXPECT_EQ("OK\r\n", Send("MCASTPACKETSIZE1880"));
  EXPECT_NE(std::string::npos, lastErr.find("Cant remount rw")) << lastErr;
  EXPECT_EQ(1880, s->mPacketSize);
  EXPECT_EQ("<missing>", read_file(kSizeFile));
  EXPECT_EQ((RemountLog{{1, 1}}), FakeSysMgr::Get().Take());
  FakeSysMgr::Get().Refuse(false);
  EXPECT_TRUE(tsf->SetPacketSize(1880));
  EXPECT_EQ("1880", read_file(kSizeFile));
}

TEST_F(StreamCommands, UnwritableFileIsReportedAndTheDiskGoesBackReadOnly) {
  ASSERT_EQ(0, rmdir("/mnt/hd1"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(tsf->SetPacketSize(1316));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find("cant open vyx_packet_size file for wr")) << err;
  EXPECT_EQ((RemountLog{{1, 1}, {1, 0}}), FakeSysMgr::Get().Take());
}

TEST_F(StreamCommands, StreamFromFileReplaysInputAndCopiesOutput) {
  std::string in = ffstreams::TempPath("replay_in.ts");
  std::string out = ffstreams::TempPath("replay_out.ts");
  Bytes source = PsipPackets(14);
  ASSERT_TRUE(ffstreams::WriteFile(in, source));
  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE" + in + "," + out + "\r\n"));
  ASSERT_NE(nullptr, dbg_file_in);
  ASSERT_NE(nullptr, dbg_file_out);

  NewStream(0);
  tsf->FilterActive(true);
  // The player's bytes are replaced by the file's.
  Bytes buffer(source.size(), 0x00);
  EXPECT_TRUE(tsf->Filter(buffer.data(), static_cast<int>(buffer.size())));
  EXPECT_FALSE(tsf->Filter(buffer.data(), 10));  // the file is used up
  EXPECT_TRUE(capture.Drain().empty());          // copied to the file instead

  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE"));  // closes both
  EXPECT_EQ(nullptr, dbg_file_in);
  EXPECT_EQ(nullptr, dbg_file_out);
  std::string copied = read_file(out);
  // Two datagrams of seven packets each.
  EXPECT_EQ(std::string(source.begin(), source.end()), copied);
}

// The board is 32-bit: without 64-bit file offsets a capture over 2 GB
// cannot even be opened, and a copy stops at 2 GB.
TEST_F(StreamCommands, StreamFromFileTakesCapturesBeyondTwoGigabytes) {
  const off_t kBig = static_cast<off_t>(3) << 30;
  std::string in = ffstreams::TempPath("long_in.ts");
  std::string out = ffstreams::TempPath("long_out.ts");
  // One datagram's worth of packets, then zeros.
  Bytes source = PsipPackets(7);
  ASSERT_TRUE(ffstreams::WriteFile(in, source));
  ASSERT_EQ(0, truncate(in.c_str(), kBig));  // sparse: takes no space
  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE" + in + "," + out));
  EXPECT_EQ(std::string::npos, lastErr.find("Can't open")) << lastErr;
  ASSERT_NE(nullptr, dbg_file_in);
  ASSERT_NE(nullptr, dbg_file_out);
  // As if 3 GB had been copied already: the next datagram still lands.
  ASSERT_EQ(0, fseeko(dbg_file_out, kBig, SEEK_SET));
  NewStream(0);
  tsf->FilterActive(true);
  Bytes buffer(source.size(), 0x00);
  EXPECT_TRUE(tsf->Filter(buffer.data(), static_cast<int>(buffer.size())));
  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE"));
  struct stat st;
  ASSERT_EQ(0, stat(out.c_str(), &st));
  EXPECT_EQ(kBig + static_cast<off_t>(source.size()), st.st_size);
  unlink(in.c_str());
  unlink(out.c_str());
}

TEST_F(StreamCommands, StreamFromFileOutputOnlyAndMissingInput) {
  std::string out = ffstreams::TempPath("copy_only.ts");
  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE x," + out));
  EXPECT_EQ(nullptr, dbg_file_in);
  EXPECT_NE(nullptr, dbg_file_out);

  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE/no/such/file.ts," + out));
  EXPECT_NE(std::string::npos, lastErr.find("Can't open /no/such/file.ts")) << lastErr;
  EXPECT_EQ(nullptr, dbg_file_in);
  EXPECT_EQ(nullptr, dbg_file_out);  // closed by the command, not reopened

  EXPECT_EQ("KO\r\n", Send("STREAMFROMFILE,x"));  // no first field: nothing opened
  EXPECT_EQ(nullptr, dbg_file_out);
}

}  // namespace
