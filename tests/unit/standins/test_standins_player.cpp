// The media player stand-in (platform/standins/mediaplayer) with a recording plug-in
// (libvyxfake.so) in place of libvyx.so: decoding of the command records,
// the status segment, loading the plug-in, the tuner's feed, the receiver's
// PAT/PMT hand-over and a clean end.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/shm.h>
#include <sys/socket.h>

#include <string>

#include "services/k720cmmd.h"
#include "quv_interprocess.h"
#include "sharedmem.h"
#include "standins_support.h"

using namespace standins;

namespace {

const std::string kSamples = VYX_SAMPLES_DIR;

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_STANDIN_NAMESPACES();
    ASSERT_TRUE(file_exists(program_path("mediaplayer"))) << "build the mediaplayer target first";
    RawMessage m;
    int q = msgget(QUV_MSG_Q_KEY, 0666);
    while (q >= 0 && msgrcv(q, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
    mDir = make_temp_dir();
    ASSERT_FALSE(mDir.empty());
    mLog = mDir + "/player.jsonl";
    mFake = mDir + "/fake.log";
    write_file(mDir + "/channels",
               "# channel map\n14 " + kSamples + "/atsc-wnet13-psip.ts 4\n15 missing.ts\n");
  }
  void TearDown() override {
    mPlayer.Stop();
    remove_tree(mDir);
  }
  void StartPlayer(const std::vector<std::string>& env = {}) {
    std::vector<std::string> e = {"VYX_HOSTDIR=" + mDir, "VYX_LIBVYX=" + fake_plugin_path(),
                                  "VYX_FAKE_LOG=" + mFake, "VYX_CHANNELS=" + mDir + "/channels"};
    e.insert(e.end(), env.begin(), env.end());
    ASSERT_TRUE(mPlayer.Start(program_path("mediaplayer"), {}, e));
    ASSERT_TRUE(wait_event(mLog, "start"));
    ASSERT_TRUE(wait_for([&] { return file_exists(mDir + "/player.pid"); }));
  }
  void Cmd(const char* text) {
    std::vector<char> line(text, text + strlen(text) + 1);
    k720cmmd(line.data());
  }
  // The n-th "cmd" line (waits for it).
  std::string CmdLine(size_t n) {
    EXPECT_TRUE(wait_event(mLog, "cmd", n + 1));
    std::vector<std::string> c = events(mLog, "cmd");
    return c.size() > n ? c[n] : std::string();
  }
  _sVPLAYER_SM_STRUCT* Record() {
    int id = shmget(kSharedMemKey, 0, 0666);
    if (id < 0) return nullptr;
    void* a = shmat(id, nullptr, SHM_RDONLY);
    if (a == reinterpret_cast<void*>(-1)) return nullptr;
    return reinterpret_cast<_sVPLAYER_SM_STRUCT*>(static_cast<char*>(a) + kPlayerStatusOffset);
  }
  // Lines of the fake plug-in's record that begin with `word`.
  std::vector<std::string> Fake(const std::string& word) {
    std::vector<std::string> out;
    for (const std::string& l : read_lines(mFake))
      if (l.compare(0, word.size() + 1, word + " ") == 0) out.push_back(l);
    return out;
  }

  std::string mDir, mLog, mFake;
  Child mPlayer;
};

TEST_F(PlayerTest, DecodesEveryRecordByItsFields) {
  StartPlayer();
  Cmd("-udp 127.0.0.1 47000 31 34 50 40 100 90 0 255 0");
  std::string l = CmdLine(0);
  EXPECT_EQ(json_get(l, "queue"), "1234");
  EXPECT_EQ(json_get(l, "mtype"), "2");
  EXPECT_EQ(json_get(l, "cmmdId"), "1");
  EXPECT_EQ(json_get(l, "size"), "96");
  EXPECT_EQ(json_get(l, "portNo"), "47000");
  EXPECT_EQ(json_get(l, "addr"), "127.0.0.1");
  EXPECT_EQ(json_get(l, "vType"), std::to_string(0x310000));
  EXPECT_EQ(json_get(l, "aType"), std::to_string(0x340000));
  EXPECT_EQ(json_get(l, "centerY"), "40");
  EXPECT_EQ(json_get(l, "height"), "90");
  EXPECT_EQ(json_get(l, "alpha"), "255");
  EXPECT_EQ(json_get(l, "dispParam.cmmdId"), "65");

  Cmd("-rtp 127.0.0.1 47000");
  EXPECT_EQ(json_get(CmdLine(1), "portNo"), std::to_string(0x01000000 | 47000));
  Cmd("-video movie.ts");
  l = CmdLine(2);
  EXPECT_EQ(json_get(l, "cmmdId"), "29");
  EXPECT_EQ(json_get(l, "size"), "140");
  EXPECT_EQ(json_get(l, "fileName"), "movie.ts");
  EXPECT_EQ(json_get(l, "repeatCnt"), "1");
  EXPECT_EQ(json_get(l, "width"), "100");
  Cmd("-hwc ABCDEFGHIJKLMNOP 5 3");
  l = CmdLine(3);
  EXPECT_EQ(json_get(l, "hwcMsg"), "ABCDEFGHIJKL");
  EXPECT_EQ(json_get(l, "duration"), "5");
  EXPECT_EQ(json_get(l, "position"), "3");
  Cmd("-vdbg 8 somehost");
  l = CmdLine(4);
  EXPECT_EQ(json_get(l, "paramVal"), "8");
  EXPECT_EQ(json_get(l, "text"), "somehost");
  Cmd("-vdbg 14 31 34");
  EXPECT_EQ(json_get(CmdLine(5), "param"), "[49,52,0,0,0]");
  Cmd("-trick 2 7");
  l = CmdLine(6);
  EXPECT_EQ(json_get(l, "playerCmmd"), "2");
  EXPECT_EQ(json_get(l, "param").compare(0, 5, "[7,0,"), 0);
  Cmd("-atsc 20 3");
  l = CmdLine(7);
  EXPECT_EQ(json_get(l, "channelNo"), "20");
  EXPECT_EQ(json_get(l, "subChannelNo"), "3");
  Cmd("-vs 10 20 30 40 1 128 2");
  l = CmdLine(8);
  EXPECT_EQ(json_get(l, "cmmdId"), "65");
  EXPECT_EQ(json_get(l, "centerX"), "10");
  EXPECT_EQ(json_get(l, "asp"), "1");
  EXPECT_EQ(json_get(l, "alpha"), "128");
  EXPECT_EQ(json_get(l, "xyMode"), "2");
  Cmd("-stopall");
  l = CmdLine(9);
  EXPECT_EQ(json_get(l, "name"), "stopall");
  EXPECT_EQ(json_get(l, "size"), "8");

  // Hostile messages: too short, unknown, oversized, a name filling its field.
  ASSERT_TRUE(queue_send(QUV_MSG_Q_KEY, 2, "ab", 2));
  EXPECT_EQ(json_get(CmdLine(10), "short"), "true");
  int32_t unknown[3] = {999, 7, 8};
  ASSERT_TRUE(queue_send(QUV_MSG_Q_KEY, 2, unknown, sizeof(unknown)));
  l = CmdLine(11);
  EXPECT_EQ(json_get(l, "unknown"), "true");
  EXPECT_EQ(json_get(l, "words"), "[7,8]");
  std::string big(4000, 'A');
  ASSERT_TRUE(queue_send(QUV_MSG_Q_KEY, 2, big.data(), big.size()));
  EXPECT_EQ(json_get(CmdLine(12), "size"), "4000");
  _sSTART_FILE_PLAY fp;
  memset(&fp, 'x', sizeof(fp));
  fp.cmmdId = QUV_CMMD_VIDEO_PLAY;
  ASSERT_TRUE(queue_send(QUV_MSG_Q_KEY, 2, &fp, sizeof(fp)));
  EXPECT_EQ(json_get(CmdLine(13), "fileName"), std::string(256, 'x'));
  EXPECT_TRUE(mPlayer.Running());
}

TEST_F(PlayerTest, KeepsTheStatusSegmentAndTheCurrentItem) {
  StartPlayer();
  _sVPLAYER_SM_STRUCT* rec = Record();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->vStatus.layerCnt, 2);
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 0);
  EXPECT_EQ(read_file(mDir + "/player-item.txt"), "None\n");
  Cmd("-udp 127.0.0.1 47001 31 34 40 60 80 90 0 200 0");
  // The item file is the player's last step of a play: the record is complete
  // by then (under an emulator the steps are far apart).
  ASSERT_TRUE(wait_for([&] { return read_file(mDir + "/player-item.txt") == "Stream udp://127.0.0.1:47001\n"; }));
  EXPECT_EQ(rec->vStatus.progId, 0x31);
  // The stream's layer record places the video layer.
  EXPECT_EQ(rec->osdInfo.vOsdCx, 40);
  EXPECT_EQ(rec->osdInfo.vOsdHeight, 90);
  // Video and audio types only while data arrives, and again after silence.
  ASSERT_TRUE(wait_event(mLog, "play_stream"));
  EXPECT_EQ(rec->vStatus.vidType, 0);
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(47001);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  char junk[188] = {0x47};
  ASSERT_EQ(sendto(s, junk, sizeof(junk), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)), 188);
  close(s);
  ASSERT_TRUE(wait_for([&] { return rec->vStatus.vidType == 1 && rec->vStatus.audType == 1; }));
  EXPECT_EQ(sharedmem_video_type(rec->vStatus.vidType), 0);
  EXPECT_EQ(sharedmem_audio_type(rec->vStatus.audType), 0);
  ASSERT_TRUE(wait_for([&] { return rec->vStatus.vidType == 0 && rec->vStatus.audType == 0; }));
  std::vector<std::string> data = events(mLog, "stream_data");
  ASSERT_EQ(data.size(), 2u);
  EXPECT_EQ(json_get(data[0], "playing"), "true");
  EXPECT_EQ(json_get(data[1], "playing"), "false");

  // Layers, alpha and the browser's URL; "-vdbg 14" switches the audio PID.
  Cmd("-vs 10 20 30 40 1 128 2 -ps 5 6 7 8 0 64 -os 1 2 3 4 0 255 0");
  ASSERT_TRUE(wait_event(mLog, "layer", 4));
  std::vector<std::string> layers = events(mLog, "layer");
  EXPECT_EQ(json_get(layers[0], "by"), "stream");
  EXPECT_EQ(json_get(layers[0], "alpha"), "200");
  EXPECT_EQ(json_get(layers[1], "layer"), "video");
  EXPECT_EQ(json_get(layers[1], "alpha"), "128");
  EXPECT_EQ(json_get(layers[1], "xyMode"), "2");
  EXPECT_EQ(json_get(layers[2], "layer"), "browser");
  EXPECT_EQ(json_get(layers[2], "width"), "7");
  EXPECT_EQ(json_get(layers[2], "alpha"), "64");
  EXPECT_EQ(json_get(layers[3], "layer"), "picture");
  EXPECT_EQ(rec->osdInfo.vOsdCx, 10);
  EXPECT_EQ(rec->osdInfo.vOsdWidth, 30);
  Cmd("-vdbg 14 31 44");
  ASSERT_TRUE(wait_event(mLog, "audio_pid"));
  std::string a = events(mLog, "audio_pid")[0];
  EXPECT_EQ(json_get(a, "audio"), "68");
  EXPECT_EQ(json_get(a, "previous"), "52");
  EXPECT_EQ(json_get(a, "program"), "49");

  Cmd("-browser http://portal/ 0 50 50 100 100 0 77 0");
  ASSERT_TRUE(wait_for([&] { return rec->vStatus.layer[1].status == 1; }));
  EXPECT_STREQ(rec->vStatus.layer[1].item, "http://portal/");
  EXPECT_EQ(rec->osdInfo.browserState, 1);
  ASSERT_TRUE(wait_event(mLog, "browser"));
  std::string b = events(mLog, "browser")[0];
  EXPECT_EQ(json_get(b, "url"), "http://portal/");
  EXPECT_EQ(json_get(b, "alpha"), "77");
  Cmd("-stopall");
  ASSERT_TRUE(wait_for([&] { return rec->vStatus.progId == 0 && rec->vStatus.layer[1].status == 0; }));
  EXPECT_EQ(rec->osdInfo.browserState, 0);
  EXPECT_TRUE(wait_for([&] { return read_file(mDir + "/player-item.txt") == "None\n"; }));
  shmdt(reinterpret_cast<char*>(rec) - kPlayerStatusOffset);
}

TEST_F(PlayerTest, LoadsThePluginAndFeedsTheTunedChannel) {
  StartPlayer({"VYX_FEED_FAST=1"});
  Cmd("-vdbg 12");
  ASSERT_TRUE(wait_for([&] { return Fake("start").size() == 1; }));
  EXPECT_EQ(Fake("start")[0], "start T");
  ASSERT_TRUE(wait_event(mLog, "serial_test"));
  // The plug-in records the answer after the player has logged the call.
  EXPECT_TRUE(wait_for([&] { return !Fake("serial_test").empty(); }));
  EXPECT_EQ(Fake("serial_test").size(), 1u);
  std::vector<std::string> loads = events(mLog, "load");
  ASSERT_EQ(loads.size(), 1u);
  EXPECT_EQ(json_get(loads[0], "type"), "T");
  EXPECT_EQ(json_get(loads[0], "ok"), "true");

  Cmd("-atsc 14");
  ASSERT_TRUE(wait_event(mLog, "tune"));
  std::string t = events(mLog, "tune")[0];
  EXPECT_EQ(json_get(t, "channel"), "14");
  EXPECT_EQ(json_get(t, "strength"), "4");
  EXPECT_EQ(json_get(t, "file"), kSamples + "/atsc-wnet13-psip.ts");
  _sVPLAYER_SM_STRUCT* rec = Record();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 4);

  // Several loops of the 15792-byte file, in buffers that are not whole
  // packets, with the packet grid intact across buffers and loops.
  unsigned long long calls = 0, bytes = 0, unaligned = 0, syncErrors = 0, hash = 0;
  ASSERT_TRUE(wait_for([&] {
    std::vector<std::string> f = Fake("filter");
    if (f.empty()) return false;
    sscanf(f.back().c_str(), "filter %llu %llu %llu %llu %llu", &calls, &bytes, &unaligned, &syncErrors,
           &hash);
    return bytes > 5 * 15792ull;
  }));
  EXPECT_GT(unaligned, calls / 2);
  EXPECT_EQ(syncErrors, 0u);
  // The very bytes of the file, loop after loop, with nothing skipped or
  // repeated where a buffer wraps from the file's end to its start.
  std::string file = read_file(kSamples + "/atsc-wnet13-psip.ts");
  ASSERT_EQ(file.size(), 15792u);
  unsigned long long want = 0;
  for (unsigned long long i = 0; i < bytes; i++)
    want = want * 31 + static_cast<unsigned char>(file[i % file.size()]);
  EXPECT_EQ(hash, want);

  Cmd("-stopvid");
  ASSERT_TRUE(wait_event(mLog, "feed_stop"));
  EXPECT_EQ(json_get(events(mLog, "feed_stop")[0], "reason"), "stopvid");
  Cmd("-atsc 20");
  ASSERT_TRUE(wait_event(mLog, "tune", 2));
  t = events(mLog, "tune")[1];
  EXPECT_EQ(json_get(t, "file"), "null");
  EXPECT_EQ(json_get(t, "strength"), "0");
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 0);
  Cmd("-atsc 15");
  ASSERT_TRUE(wait_event(mLog, "tune", 3));
  t = events(mLog, "tune")[2];
  EXPECT_EQ(json_get(t, "strength"), "0");
  EXPECT_NE(json_get(t, "error"), "");
  shmdt(reinterpret_cast<char*>(rec) - kPlayerStatusOffset);
}

TEST_F(PlayerTest, PacesByTheStreamsOwnPcrRate) {
  // A constant-rate multiplex made for the purpose: its PCRs say 1.5 Mbit/s.
  std::string cbr = mDir + "/cbr.ts";
  std::string make = "ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=25 -t 2 -c:v mpeg2video "
                     "-b:v 300k -muxrate 1500000 -f mpegts '" + cbr + "' >/dev/null 2>&1";
  if (system(make.c_str()) != 0 || !file_exists(cbr)) GTEST_SKIP() << "no ffmpeg to make a stream";
  write_file(mDir + "/channels", "31 cbr.ts\n");  // relative to the map's directory
  StartPlayer();
  Cmd("-atsc 31");
  ASSERT_TRUE(wait_event(mLog, "tune"));
  std::string t = events(mLog, "tune")[0];
  EXPECT_EQ(json_get(t, "strength"), "5") << "default strength";
  EXPECT_EQ(json_get(t, "file"), cbr);
  EXPECT_NEAR(atof(json_get(t, "pcrRate").c_str()), 1500000.0, 15000.0);
  EXPECT_EQ(json_get(t, "rate"), json_get(t, "pcrRate"));
  mPlayer.Stop();

  // VYX_FEED_RATE overrides it; a file without PCRs gets the default rate.
  write_file(mDir + "/channels", "31 cbr.ts\n14 " + kSamples + "/atsc-wnet13-psip.ts\n");
  StartPlayer({"VYX_FEED_RATE=250000"});
  Cmd("-atsc 31");
  Cmd("-atsc 14");
  ASSERT_TRUE(wait_event(mLog, "tune", 3));  // one from the first run
  std::vector<std::string> tunes = events(mLog, "tune");
  ASSERT_EQ(tunes.size(), 3u);
  EXPECT_EQ(json_get(tunes[1], "rate"), "250000");
  EXPECT_EQ(json_get(tunes[2], "pcrRate"), "0");
  ASSERT_TRUE(wait_event(mLog, "feed_stop", 2));  // the first run's ended at its exit
  EXPECT_EQ(json_get(events(mLog, "feed_stop")[0], "reason"), "exit");
  EXPECT_EQ(json_get(events(mLog, "feed_stop")[1], "reason"), "retune");
}

// A live channel: a file renamed over the channel's is fed from the feed's
// next return to the start, whole and in order; while <hostdir>/signal-lost
// exists nothing is fed and the strength reads 0, and the feed resumes after.
TEST_F(PlayerTest, LiveChannelTakesAReplacedFileAndLosesTheSignal) {
  const std::string a = read_file(kSamples + "/atsc-wnet13-psip.ts");
  ASSERT_EQ(a.size(), 15792u);
  std::string b = a.substr(0, 188 * 40);
  for (size_t i = 4; i < b.size(); i += 188) b[i] = static_cast<char>(0x5A);  // not a prefix of a
  write_file(mDir + "/live.ts", a);
  write_file(mDir + "/channels", "16 live.ts 4\n");
  StartPlayer({"VYX_FEED_RATE=8000000", "VYX_FEED_PROGRESS_MS=20"});
  Cmd("-vdbg 12");
  ASSERT_TRUE(wait_for([&] { return Fake("start").size() == 1; }));
  Cmd("-atsc 16");
  ASSERT_TRUE(wait_event(mLog, "tune"));
  unsigned long long calls = 0, bytes = 0, unaligned = 0, syncErrors = 0, hash = 0;
  auto fed = [&](unsigned long long atLeast) {
    return wait_for([&] {
      std::vector<std::string> f = Fake("filter");
      if (f.empty()) return false;
      sscanf(f.back().c_str(), "filter %llu %llu %llu %llu %llu", &calls, &bytes, &unaligned, &syncErrors,
             &hash);
      return bytes > atLeast;
    });
  };
  ASSERT_TRUE(fed(2 * a.size()));
  write_file(mDir + "/live.ts.new", b);
  ASSERT_EQ(rename((mDir + "/live.ts.new").c_str(), (mDir + "/live.ts").c_str()), 0);
  ASSERT_TRUE(wait_event(mLog, "feed_reload"));
  std::string reload = events(mLog, "feed_reload")[0];
  EXPECT_EQ(json_get(reload, "bytes"), std::to_string(b.size()));
  const unsigned long long at = std::stoull(json_get(reload, "at"));
  EXPECT_EQ(at % a.size(), 0u) << "the switch is at a return to the file's start";
  ASSERT_TRUE(fed(at + 5 * b.size()));
  EXPECT_EQ(syncErrors, 0u);
  // The old file whole up to the switch, then the new one loop after loop.
  unsigned long long want = 0;
  for (unsigned long long i = 0; i < bytes; i++)
    want = want * 31 + static_cast<unsigned char>(i < at ? a[i % a.size()] : b[(i - at) % b.size()]);
  EXPECT_EQ(hash, want);

  _sVPLAYER_SM_STRUCT* rec = Record();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 4);
  write_file(mDir + "/signal-lost", "");
  ASSERT_TRUE(wait_event(mLog, "signal"));
  EXPECT_EQ(json_get(events(mLog, "signal")[0], "lost"), "true");
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 0);
  EXPECT_EQ(rec->vStatus.sigLock, 0);
  // Nothing more is fed while the signal is lost (a fed buffer logs its
  // progress every 20 ms).
  usleep(300 * 1000);
  std::vector<std::string> log = read_lines(mLog);
  size_t fedWhileLost = 0;
  bool lost = false;
  for (const std::string& l : log) {
    lost = lost || l.find("\"signal\"") != std::string::npos;
    if (lost && l.find("\"feed_progress\"") != std::string::npos) fedWhileLost++;
  }
  EXPECT_EQ(fedWhileLost, 0u);
  const size_t linesLost = Fake("filter").size();
  ASSERT_EQ(unlink((mDir + "/signal-lost").c_str()), 0);
  ASSERT_TRUE(wait_event(mLog, "signal", 2));
  EXPECT_EQ(json_get(events(mLog, "signal")[1], "lost"), "false");
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 4);
  EXPECT_TRUE(wait_for([&] { return Fake("filter").size() > linesLost; }));
  shmdt(reinterpret_cast<char*>(rec) - kPlayerStatusOffset);
}

TEST_F(PlayerTest, NoPatCarrierLocksAndFeedsOnlyNullPackets) {
  write_file(mDir + "/channels", "9 nopat 3\n");
  StartPlayer({"VYX_FEED_FAST=1"});
  Cmd("-vdbg 12");
  ASSERT_TRUE(wait_for([&] { return Fake("start").size() == 1; }));
  Cmd("-atsc 9");
  ASSERT_TRUE(wait_event(mLog, "tune"));
  std::string t = events(mLog, "tune")[0];
  EXPECT_EQ(json_get(t, "file"), "nopat");
  EXPECT_EQ(json_get(t, "strength"), "3");
  EXPECT_EQ(json_get(t, "error"), "");
  _sVPLAYER_SM_STRUCT* rec = Record();
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->vStatus.tunerSignalStrength, 3);
  shmdt(reinterpret_cast<char*>(rec) - kPlayerStatusOffset);
  // The bytes are null packets (PID 0x1FFF), loop after loop.
  unsigned long long calls = 0, bytes = 0, unaligned = 0, syncErrors = 0, hash = 0;
  ASSERT_TRUE(wait_for([&] {
    std::vector<std::string> f = Fake("filter");
    if (f.empty()) return false;
    sscanf(f.back().c_str(), "filter %llu %llu %llu %llu %llu", &calls, &bytes, &unaligned, &syncErrors,
           &hash);
    return bytes > 3 * 188000ull;
  }));
  EXPECT_EQ(syncErrors, 0u);
  unsigned long long want = 0;
  for (unsigned long long i = 0; i < bytes; i++) {
    unsigned long long k = i % 188, n = (i / 188) % 1000;
    unsigned char b = k == 0 ? 0x47 : k == 1 ? 0x1F : k == 2 ? 0xFF : k == 3 ? (0x10 | (n & 0x0F)) : 0xFF;
    want = want * 31 + b;
  }
  EXPECT_EQ(hash, want);
}

TEST_F(PlayerTest, RoleLetterOverrideAndSecondLoad) {
  StartPlayer({"VYX_PLAYER_TYPE=A"});
  Cmd("-vdbg 16 1");
  Cmd("-vdbg 16 0");  // not a load request
  Cmd("-vdbg 16 1");
  ASSERT_TRUE(wait_for([&] { return Fake("start").size() == 2; }));
  EXPECT_EQ(Fake("start")[0], "start A");
  EXPECT_EQ(Fake("start")[1], "start A");
  EXPECT_EQ(events(mLog, "load").size(), 2u);
}

TEST_F(PlayerTest, MissingPluginIsReportedAndThePlayerGoesOn) {
  StartPlayer({"VYX_LIBVYX=" + mDir + "/nothing-here.so"});
  Cmd("-vdbg 12");
  ASSERT_TRUE(wait_event(mLog, "load"));
  std::string l = events(mLog, "load")[0];
  EXPECT_EQ(json_get(l, "ok"), "false");
  EXPECT_NE(json_get(l, "error"), "");
  Cmd("-stopall");
  ASSERT_TRUE(wait_event(mLog, "cmd", 2));
  EXPECT_TRUE(mPlayer.Running());
}

// The first PAT of a sample file: its length as a section.
size_t first_pat_length(const std::string& ts) {
  for (size_t i = 0; i + 188 <= ts.size(); i += 188) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(ts.data() + i);
    if (((p[1] & 0x1F) << 8 | p[2]) == 0 && (p[1] & 0x40) && p[4] == 0) return 3 + (((p[6] & 0x0F) << 8) | p[7]);
  }
  return 0;
}

void send_stream(int port, const std::string& ts, size_t packets, bool rtp) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  struct sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (size_t i = 0; i + 7 <= packets && (i + 7) * 188 <= ts.size(); i += 7) {
    std::string d;
    if (rtp) d = std::string("\x80\x21\x00\x01\x00\x00\x00\x00\x00\x00\x00\x01", 12);
    d += ts.substr(i * 188, 7 * 188);
    sendto(s, d.data(), d.size(), 0, reinterpret_cast<struct sockaddr*>(&to), sizeof(to));
    if (i % 70 == 0) sleep_ms(1);
  }
  close(s);
}

TEST_F(PlayerTest, ReceiverHandsPatAndPmtSectionsToThePlugin) {
  StartPlayer();
  Cmd("-vdbg 16 1");
  ASSERT_TRUE(wait_for([&] { return Fake("start").size() == 1; }));
  std::string ts = read_file(kSamples + "/dvbt-france2-3lang.ts");
  size_t patLength = first_pat_length(ts);
  ASSERT_GT(patLength, 0u);

  Cmd("-udp 127.0.0.1 47010 100 101");
  ASSERT_TRUE(wait_event(mLog, "play_stream"));
  EXPECT_EQ(json_get(events(mLog, "play_stream")[0], "error"), "");
  bool gotBoth = false;
  for (int round = 0; round < 20 && !gotBoth; round++) {
    send_stream(47010, ts, 700, false);
    gotBoth = wait_for([&] {
      bool pat = false, pmt = false;
      for (const std::string& s : Fake("section")) {
        pat = pat || s == "section 0 " + std::to_string(patLength);
        pmt = pmt || s.compare(0, 10, "section 2 ") == 0;
      }
      return pat && pmt;
    }, 1.0);
  }
  EXPECT_TRUE(gotBoth) << read_file(mFake);
  // Only PATs and PMTs reach the plug-in.
  for (const std::string& s : Fake("section"))
    EXPECT_TRUE(s.compare(0, 10, "section 0 ") == 0 || s.compare(0, 10, "section 2 ") == 0) << s;

  // The same over RTP: the header is taken off first.
  Cmd("-rtp 127.0.0.1 47011");
  ASSERT_TRUE(wait_event(mLog, "play_stop"));
  size_t before = Fake("section").size();
  bool more = false;
  for (int round = 0; round < 20 && !more; round++) {
    send_stream(47011, ts, 700, true);
    more = wait_for([&] { return Fake("section").size() > before + 1; }, 1.0);
  }
  EXPECT_TRUE(more);
}

TEST_F(PlayerTest, EndsCleanlyOnSigtermAndOnTheExitRequest) {
  StartPlayer({"VYX_FEED_FAST=1"});
  Cmd("-vdbg 12");
  Cmd("-atsc 14");
  ASSERT_TRUE(wait_for([&] { return !Fake("filter").empty(); }));
  int status = mPlayer.Stop(SIGTERM);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_FALSE(file_exists(mDir + "/player.pid"));
  EXPECT_EQ(events(mLog, "stop").size(), 1u);

  StartPlayer();
  Cmd("-vdbg 4");
  ASSERT_TRUE(wait_for([&] { return !mPlayer.Running(); }));
  status = mPlayer.Stop();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(events(mLog, "exit_request").size(), 1u);
}

}  // namespace
