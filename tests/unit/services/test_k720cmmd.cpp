// Player command channel: exact message bytes for the options the plug-in
// and the tools use, plus hostile command lines (over-long texts, too many
// words, missing arguments).  Runs in a private IPC namespace where the test
// owns the player's queue (1234) and the system manager's queue (1240).

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include "child_process.h"
#include "services/k720cmmd.h"
#include "private_ipc.h"
#include "quv_interprocess.h"

namespace {

struct Msg {
  long mtype;
  std::vector<unsigned char> text;
  int32_t Word(size_t offset) const {
    int32_t w = 0;
    if (offset + 4 <= text.size()) memcpy(&w, text.data() + offset, 4);
    return w;
  }
  // The record as the player decodes it: the text laid over the union.
  sMSG_COMMON_FORMAT Record() const {
    sMSG_COMMON_FORMAT r;
    memset(&r, 0, sizeof(r));
    memcpy(&r, text.data(), text.size() < sizeof(r) ? text.size() : sizeof(r));
    return r;
  }
};

class K720 : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_IPC();
    player_ = msgget(QUV_MSG_Q_KEY, IPC_CREAT | 0666);
    sysmgr_ = msgget(SYSMGR_MSG_Q_KEY, IPC_CREAT | 0666);
    ASSERT_GE(player_, 0);
    ASSERT_GE(sysmgr_, 0);
    Drain(player_);
    Drain(sysmgr_);
  }
  void TearDown() override {
    if (player_ >= 0) msgctl(player_, IPC_RMID, nullptr);
    if (sysmgr_ >= 0) msgctl(sysmgr_, IPC_RMID, nullptr);
  }

  // Every message waiting on a queue, in order.  The receive buffer is larger
  // than any valid message so that an oversized one would show.
  static std::vector<Msg> Drain(int q) {
    std::vector<Msg> out;
    struct {
      long mtype;
      unsigned char text[4096];
    } buf;
    for (;;) {
      ssize_t n = msgrcv(q, &buf, sizeof(buf.text), 0, IPC_NOWAIT);
      if (n < 0) break;
      out.push_back(Msg{buf.mtype, std::vector<unsigned char>(buf.text, buf.text + n)});
    }
    return out;
  }

  std::vector<Msg> Run(const std::string& line) {
    std::vector<char> copy(line.begin(), line.end());
    copy.push_back(0);
    k720cmmd(copy.data());
    return Drain(player_);
  }

  int player_ = -1;
  int sysmgr_ = -1;
};

// Text of a message: command id, payload, four zero bytes.
void ExpectZeroTail(const Msg& m) {
  ASSERT_GE(m.text.size(), 8u);
  EXPECT_EQ(m.Word(m.text.size() - 4), 0);
}

TEST_F(K720, CommandsWithoutArgumentsSendIdAndFourZeroBytes) {
  struct {
    const char* line;
    int32_t id;
  } cases[] = {{"-stopall", 33}, {"-vstat", 72}, {"-colorbar", 37}, {"-osdstart", 45},
               {"-osdstop", 46}, {"-stoppic", 2}, {"-stopvid", 27},  {"-stopb", 11}};
  for (auto& c : cases) {
    auto msgs = Run(c.line);
    ASSERT_EQ(msgs.size(), 1u) << c.line;
    EXPECT_EQ(msgs[0].mtype, QUV_MSG_TYPE);
    std::vector<unsigned char> expect(8, 0);
    memcpy(expect.data(), &c.id, 4);
    EXPECT_EQ(msgs[0].text, expect) << c.line;
  }
}

TEST_F(K720, DebugSubCodes) {
  auto msgs = Run("-vdbg 12");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 388u);
  std::vector<unsigned char> expect(388, 0);
  int32_t id = 67, val = 12;
  memcpy(&expect[0], &id, 4);
  memcpy(&expect[4], &val, 4);
  EXPECT_EQ(msgs[0].text, expect);

  msgs = Run("-vdbg");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(msgs[0].Word(4)), 0xFFFFFFFFu);

  msgs = Run("-vdbg 16 1");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Word(4), 16);
  EXPECT_EQ(msgs[0].Word(8), 1);

  // Five hex words at most; a sixth value is not an option and is skipped.
  msgs = Run("-vdbg 14 31 34 a b c d");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Word(8), 0x31);
  EXPECT_EQ(msgs[0].Word(12), 0x34);
  EXPECT_EQ(msgs[0].Word(24), 0xc);
  EXPECT_EQ(msgs[0].Word(28), 0);

  msgs = Run("-vdbg 9 host.example");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_STREQ(msgs[0].Record().vdbg.text, "host.example");

  // A text sub-code without its text sends nothing and parsing goes on.
  msgs = Run("-vdbg 8 -stopall");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Word(0), 33);
}

TEST_F(K720, StreamRecords) {
  auto msgs = Run("-udp 239.1.2.3 5000 31 34 50 50 100 100 0 255 0");
  ASSERT_EQ(msgs.size(), 1u);
  ASSERT_EQ(msgs[0].text.size(), 96u);
  ExpectZeroTail(msgs[0]);
  _sSTART_STREAM_DISPLAY s = msgs[0].Record().streamDisplay;
  EXPECT_EQ(s.cmmdId, 1);
  EXPECT_EQ(s.portNo, 5000);
  EXPECT_STREQ(s.addr, "239.1.2.3");
  EXPECT_EQ(s.videoInfo.vType, 0x00310000);
  EXPECT_EQ(s.videoInfo.aType, 0x00340000);
  EXPECT_EQ(s.dispParam.centerX, 50);
  EXPECT_EQ(s.dispParam.height, 100);
  EXPECT_EQ(s.dispParam.alpha, 255);
  EXPECT_EQ(s.dispParam.xyMode, 0);
  EXPECT_EQ(s.dispParam.cmmdId, 65);  // xyMode given
  EXPECT_EQ(s.durSec, 0);

  msgs = Run("-rtp 239.1.2.3 5000 31 34 50 50 100 100 0 255 0");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(static_cast<uint32_t>(msgs[0].Record().streamDisplay.portNo), 0x01001388u);

  // Defaults, and no xyMode: the layer's id stays 0.
  msgs = Run("-udp 239.1.2.3 1234");
  ASSERT_EQ(msgs.size(), 1u);
  s = msgs[0].Record().streamDisplay;
  EXPECT_EQ(s.dispParam.width, 100);
  EXPECT_EQ(s.dispParam.alpha, 255);
  EXPECT_EQ(s.dispParam.cmmdId, 0);
  EXPECT_EQ(s.videoInfo.vType, 0);

  // The port is required: the whole parse ends.
  EXPECT_TRUE(Run("-udp 239.1.2.3 -stopall").empty());
  // An address longer than the field is cut, never written past it.
  msgs = Run("-udp 239.255.255.255.255.255.255.255 7");
  ASSERT_EQ(msgs.size(), 1u);
  s = msgs[0].Record().streamDisplay;
  EXPECT_EQ(std::string(s.addr), "239.255.255.255");
  EXPECT_EQ(s.durSec, 0);
  EXPECT_EQ(s.portNo, 7);
}

TEST_F(K720, FilePictureAndBrowserRecords) {
  auto msgs = Run("-video movie.ts");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 4u + 132u + 4u);
  _sSTART_FILE_PLAY f = msgs[0].Record().filePlay;
  EXPECT_EQ(f.cmmdId, 29);
  EXPECT_EQ(f.repeatCnt, 1);
  EXPECT_EQ(f.durSec, 0);
  EXPECT_EQ(f.mType, 0);
  EXPECT_EQ(f.dispParam.centerX, 50);
  EXPECT_EQ(f.dispParam.centerY, 50);
  EXPECT_EQ(f.dispParam.width, 100);
  EXPECT_EQ(f.dispParam.height, 100);
  EXPECT_EQ(f.dispParam.alpha, 255);
  EXPECT_STREQ(f.fileName, "movie.ts");

  msgs = Run("-vnext a.ts 0 30 -10 20 40 60 1 128 2");
  ASSERT_EQ(msgs.size(), 1u);
  f = msgs[0].Record().filePlay;
  EXPECT_EQ(f.cmmdId, 47);
  EXPECT_EQ(f.repeatCnt, 1);  // loop 0 becomes 1
  EXPECT_EQ(f.durSec, 30);
  EXPECT_EQ(f.dispParam.centerX, -10);
  EXPECT_EQ(f.dispParam.asp, 1);
  EXPECT_EQ(f.dispParam.alpha, 128);
  EXPECT_EQ(f.dispParam.xyMode, 2);

  msgs = Run("-pic a.jpg");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Record().filePlay.cmmdId, 30);
  EXPECT_EQ(msgs[0].Record().filePlay.durSec, 15);
  msgs = Run("-pnext a.jpg 4");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Record().filePlay.cmmdId, 49);
  EXPECT_EQ(msgs[0].Record().filePlay.durSec, 4);

  msgs = Run("-browser http://x/ 9 -bnext http://y/");
  ASSERT_EQ(msgs.size(), 2u);
  f = msgs[0].Record().filePlay;
  EXPECT_EQ(f.cmmdId, 9);
  EXPECT_EQ(f.mType, 2);
  EXPECT_EQ(f.repeatCnt, 1);
  EXPECT_EQ(f.durSec, 9);
  EXPECT_EQ(msgs[0].text.size(), 4u + strlen("http://x/") + 124 + 4);
  EXPECT_EQ(msgs[1].Record().filePlay.cmmdId, 10);
  EXPECT_STREQ(msgs[1].Record().filePlay.fileName, "http://y/");

  // -pic without a name sends nothing and parsing goes on; -video without
  // one ends the parse.
  msgs = Run("-pic -stopall");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Word(0), 33);
  EXPECT_TRUE(Run("-video -stopall").empty());
}

TEST_F(K720, OverLongFileNameIsCutAndPayloadStaysInTheRecord) {
  std::string name(400, 'n');
  auto msgs = Run("-video " + name + " 2");
  ASSERT_EQ(msgs.size(), 1u);
  // 255 characters kept: payload 255 + 124, text = id + payload + 4.
  EXPECT_EQ(msgs[0].text.size(), 4u + 255u + 124u + 4u);
  _sSTART_FILE_PLAY f = msgs[0].Record().filePlay;
  EXPECT_EQ(strnlen(f.fileName, sizeof(f.fileName)), 255u);
  EXPECT_EQ(f.fileName[255], 0);
  EXPECT_EQ(f.repeatCnt, 2);
  // Everything after the record is zero.
  for (size_t k = sizeof(_sSTART_FILE_PLAY); k < msgs[0].text.size(); k++)
    ASSERT_EQ(msgs[0].text[k], 0) << k;
}

TEST_F(K720, HardwareCursorMessage) {
  auto msgs = Run("-hwc ABCDEFGHIJKLMNOPQRST 5 3");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 4u + 128u + 4u);
  _sHWC_MSG h = msgs[0].Record().hwcMsg;
  EXPECT_EQ(h.cmmdId, 114);
  EXPECT_EQ(std::string(h.hwcMsg, sizeof(h.hwcMsg)), "ABCDEFGHIJKL");
  EXPECT_EQ(h.duration, 5);
  EXPECT_EQ(h.position, 3);
  for (size_t k = sizeof(_sHWC_MSG); k < msgs[0].text.size(); k++) ASSERT_EQ(msgs[0].text[k], 0);

  // A short text is padded with zero bytes.
  msgs = Run("-hwc AB 1 2");
  ASSERT_EQ(msgs.size(), 1u);
  h = msgs[0].Record().hwcMsg;
  EXPECT_EQ(std::string(h.hwcMsg, sizeof(h.hwcMsg)), std::string("AB") + std::string(10, '\0'));

  msgs = Run("-hwc -stopall");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Word(0), 33);
}

TEST_F(K720, OverLongDebugTextIsCut) {
  std::string text(500, 't');
  auto msgs = Run("-vdbg 7 " + text);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 388u);
  sMSG_COMMON_FORMAT r = msgs[0].Record();
  EXPECT_EQ(r.vdbg.paramVal, 7);
  EXPECT_EQ(strnlen(r.vdbg.text, sizeof(r.vdbg.text)), sizeof(r.vdbg.text) - 1);
  EXPECT_EQ(msgs[0].Word(384), 0);
}

TEST_F(K720, TrickResolutionLayersTunerAndImage) {
  EXPECT_TRUE(Run("-trick -stopall").empty());
  auto msgs = Run("-trick 2 -stopall");
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].text.size(), 64u);
  EXPECT_EQ(msgs[0].Record().playerCtl.cmmdId, 34);
  EXPECT_EQ(msgs[0].Record().playerCtl.playerCmmd, VOLUME_CHANGE);
  EXPECT_EQ(msgs[0].Record().playerCtl.param[0], 0);
  EXPECT_EQ(msgs[1].Word(0), 33);

  msgs = Run("-trick 2 40");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].Record().playerCtl.param[0], 40);

  msgs = Run("-res 3");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 64u);
  EXPECT_EQ(msgs[0].Word(0), 8);
  EXPECT_EQ(msgs[0].Word(4), 3);
  EXPECT_TRUE(Run("-res").empty());

  msgs = Run("-vs 50 50 100 100 0 255 0 -vdbg 14 31 34");
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].text.size(), 40u);
  _sQUV_LAYER_INFO l = msgs[0].Record().layerInfo;
  EXPECT_EQ(l.cmmdId, 65);
  EXPECT_EQ(l.centerX, 50);
  EXPECT_EQ(l.width, 100);
  EXPECT_EQ(l.asp, 0);
  EXPECT_EQ(l.alpha, 255);
  EXPECT_EQ(l.xyMode, 0);
  EXPECT_EQ(msgs[1].Word(0), 67);
  EXPECT_EQ(msgs[1].Word(4), 14);
  EXPECT_EQ(msgs[1].Word(8), 0x31);
  EXPECT_EQ(msgs[1].Word(12), 0x34);

  msgs = Run("-ps -5 60 70 80 1 200 3 -os 1 2 3 4 5 6");
  ASSERT_EQ(msgs.size(), 2u);
  EXPECT_EQ(msgs[0].Record().layerInfo.cmmdId, 66);
  EXPECT_EQ(msgs[0].Record().layerInfo.centerX, -5);
  EXPECT_EQ(msgs[0].Record().layerInfo.xyMode, 3);
  EXPECT_EQ(msgs[1].Record().layerInfo.cmmdId, 64);
  EXPECT_EQ(msgs[1].Record().layerInfo.alpha, 6);
  // Six values are required.
  EXPECT_TRUE(Run("-vs 1 2 3 4 5 -stopall").empty());

  msgs = Run("-atsc");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 88u);
  _sSTART_TUNER_CHANNEL t = msgs[0].Record().tunerChannel;
  EXPECT_EQ(t.cmmdId, 106);
  EXPECT_EQ(t.channelNo, 14);
  EXPECT_EQ(t.subChannelNo, 1);
  EXPECT_EQ(t.dispParam.alpha, 255);
  EXPECT_EQ(t.dispParam.width, 100);
  msgs = Run("-atsc 7 3 20");
  ASSERT_EQ(msgs.size(), 1u);
  t = msgs[0].Record().tunerChannel;
  EXPECT_EQ(t.channelNo, 7);
  EXPECT_EQ(t.subChannelNo, 3);
  EXPECT_EQ(t.durSec, 20);

  msgs = Run("-scan 1");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 88u);
  EXPECT_EQ(msgs[0].Record().tunerScan.subCmmdId, 1);

  msgs = Run("-image 5");
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 28u);
  _sSTART_IMAGE_DISPLAY im = msgs[0].Record().imageDisplay;
  EXPECT_EQ(im.cmmdId, 0);
  EXPECT_EQ(im.pic1Id, 1);
  EXPECT_EQ(im.pic2Id, 1);
  EXPECT_EQ(im.pic3Id, 0);
  EXPECT_EQ(im.durSec, 10);
  EXPECT_TRUE(Run("-image").empty());
}

TEST_F(K720, MountGoesToTheSystemManager) {
  auto msgs = Run("-mount 2 rw");
  EXPECT_TRUE(msgs.empty());
  auto sys = Drain(sysmgr_);
  ASSERT_EQ(sys.size(), 1u);
  EXPECT_EQ(sys[0].mtype, SYSMGR_MSG_TYPE);
  ASSERT_EQ(sys[0].text.size(), 392u);
  std::vector<unsigned char> expect(392, 0);
  int32_t words[] = {73, 1234, 2, 0, 2, 1, 15};
  memcpy(expect.data(), words, sizeof(words));
  EXPECT_EQ(sys[0].text, expect);

  Run("-mount 4 ro");
  sys = Drain(sysmgr_);
  ASSERT_EQ(sys.size(), 1u);
  EXPECT_EQ(sys[0].Word(16), 4);
  EXPECT_EQ(sys[0].Word(20), 0);
  Run("-mount 4");
  EXPECT_TRUE(Drain(sysmgr_).empty());
}

TEST_F(K720, EmptyLineAndUnknownWordsSendNothing) {
  EXPECT_TRUE(Run("").empty());
  EXPECT_TRUE(Run("k7 stopall -nothing 12").empty());
  char* only[] = {const_cast<char*>("k7")};
  EXPECT_EQ(Main(1, only), 0);
  EXPECT_TRUE(Drain(player_).empty());
}

TEST_F(K720, TooManyWordsAreReportedAndDropped) {
  std::string line;
  for (int k = 0; k < 300; k++) line += (k ? " " : "") + std::string("-stopall");
  testing::internal::CaptureStderr();
  auto msgs = Run(line);
  std::string err = testing::internal::GetCapturedStderr();
  // Entries 1..255 of the vector hold words; the rest are dropped.
  EXPECT_EQ(msgs.size(), 255u);
  size_t count = 0;
  for (size_t p = err.find("k720cmmd TOO MANY ARGUMENTS"); p != std::string::npos;
       p = err.find("k720cmmd TOO MANY ARGUMENTS", p + 1))
    count++;
  EXPECT_EQ(count, 300u - 253u);  // from the 254th word on
}

TEST_F(K720, SendMsgBoundsAndMissingQueue) {
  unsigned char big[1000];
  memset(big, 0xAB, sizeof(big));
  EXPECT_EQ(send_msg(QUV_MSG_Q_KEY, 2, 99, big, sizeof(big)), 1);
  auto msgs = Drain(player_);
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].text.size(), 392u);  // payload cut to 384
  EXPECT_EQ(msgs[0].Word(0), 99);
  EXPECT_EQ(msgs[0].text[387], 0xAB);
  EXPECT_EQ(msgs[0].Word(388), 0);

  EXPECT_EQ(send_msg(QUV_MSG_Q_KEY, 2, 5, nullptr, 16), 1);
  msgs = Drain(player_);
  ASSERT_EQ(msgs.size(), 1u);
  std::vector<unsigned char> zeros(24, 0);
  zeros[0] = 5;
  EXPECT_EQ(msgs[0].text, zeros);  // no payload source: zeros

  // Type 0 is refused by the kernel: reported, 0.
  EXPECT_EQ(send_msg(QUV_MSG_Q_KEY, 0, 5, nullptr, 0), 0);

  // No player: dropped silently.
  msgctl(player_, IPC_RMID, nullptr);
  player_ = -1;
  EXPECT_EQ(send_msg(QUV_MSG_Q_KEY, 2, 33, nullptr, 0), 0);
}

TEST_F(K720, RtspEndsTheToolButNotThePlayer) {
  char line[] = "-rtsp -stopall";
  k720cmmd(line);
  EXPECT_TRUE(Drain(player_).empty());
  char* argv[] = {const_cast<char*>("k720cmmd"), const_cast<char*>("-rtsp")};
  EXPECT_EXIT(Main(2, argv), testing::ExitedWithCode(0), "");
}

// The player's own tool parses on its own; the same line must give the same
// messages, byte for byte, from the tool and from the in-process channel, so
// that a fault on either side shows as a difference.
TEST_F(K720, TheToolAndTheChannelSendTheSameMessages) {
  const std::string tool = vyxtest::build_dir() + "/platform/standins/k720cmmd/k720cmmd";
  if (access(tool.c_str(), X_OK) != 0) GTEST_SKIP() << "build the k720cmmd target first";
  const char* lines[] = {
      "-stopall -vstat -colorbar -osdstart -osdstop -stoppic -stopvid -stopb",
      "-vdbg 12 -vdbg -vdbg 14 31 34 -vdbg 8 host.example -vdbg 9",
      "-udp 239.1.2.3 5000 31 34 50 50 100 100 0 255 0 -rtp 239.1.2.3 5000 31 34 -20 -30 40 60 1 128 2 9",
      "-video movie.ts -vnext m.ts 0 7 1 2 3 4 5 6 7 -pic a.jpg -pnext b.jpg 3 -browser http://x 5 -bnext u",
      "-trick -stopall -trick 2 -stopall -trick 2 7",
      "-vs 50 50 100 100 0 255 0 -ps 1 2 3 4 5 6 -os -1 -2 3 4 5 6 7 -vs 1 2 3",
      "-hwc hello-world-long 9 4 -hwc -atsc -atsc 7 2 30 -scan -scan 1 -image 5",
      "-res -stopall -res 3 -mount 2 rw -mount 4 ro -unknown 12 -mount 4",
      "-image",
  };
  size_t compared = 0;
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    std::vector<Msg> channel = Run(line);
    std::vector<Msg> channelSys = Drain(sysmgr_);
    std::string command = tool + " " + line + " >/dev/null 2>&1";
    ASSERT_EQ(system(command.c_str()), 0);
    std::vector<Msg> fromTool = Drain(player_);
    std::vector<Msg> toolSys = Drain(sysmgr_);
    ASSERT_EQ(fromTool.size(), channel.size());
    compared += channel.size() + channelSys.size();
    for (size_t i = 0; i < channel.size(); i++) {
      EXPECT_EQ(fromTool[i].mtype, channel[i].mtype) << i;
      EXPECT_EQ(fromTool[i].text, channel[i].text) << "message " << i << " id " << channel[i].Word(0);
    }
    ASSERT_EQ(toolSys.size(), channelSys.size());
    for (size_t i = 0; i < channelSys.size(); i++) EXPECT_EQ(toolSys[i].text, channelSys[i].text) << i;
  }
  EXPECT_GE(compared, 30u);  // the lines do send: the comparisons are not of empty lists
}

}  // namespace
