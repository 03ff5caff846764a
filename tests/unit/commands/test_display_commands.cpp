// The receiver's display commands through the dispatcher: VSCALE, URL,
// REMOTE and RESOLUTION, with the exact player lines they produce (read from
// the channel's "k720cmmd <line>" trace), the browser messages, the agent's
// requests, and the refusals of malformed or hostile text.

#define VYX_PRIVATE_MOUNT
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "services/ircontrol.h"
#include "private_ipc.h"
#include "sharedmem.h"
#include "stdio_capture.h"

namespace {

const bool time_scaled = (setenv("VYX_TIME_SCALE", "50", 1), true);
const char kOidCloseCaption[] = ".1.3.6.1.4.1.32473.3.3.54.0";
const char kOidResolution[] = ".1.3.6.1.4.1.32473.3.2.9.0";
const char kOidConfigSave[] = ".1.3.6.1.4.1.32473.3.5.11.0";

using vyxtest::FakeAgent;

class Display : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(time_scaled);
    REQUIRE_PRIVATE_MNT();
    vyxtest::FakeSysMgr::Get();
    cm = vyxtest::shared_manager('R');
    mBrowser = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
    ASSERT_GE(mBrowser, 0);
    BrowserTexts();
    FakeAgent::Get().ClearRequests();
  }

  // The reply and the player lines the command gave, in order.
  std::string Send(const std::string& command, std::vector<std::string>* lines = nullptr) {
    vyxtest::StdioCapture out(stdout);
    std::string reply = vyxtest::dispatch(cm, command);
    std::string text = out.Stop();
    if (lines != nullptr) {
      lines->clear();
      size_t at = 0;
      while ((at = text.find("k720cmmd ", at)) != std::string::npos) {
        size_t end = text.find('\n', at);
        lines->push_back(text.substr(at + 9, end - at - 9));
        at = end;
      }
    }
    return reply;
  }

  // Texts of the messages waiting for the browser (each up to its NUL).
  std::vector<std::string> BrowserTexts() {
    std::vector<std::string> out;
    BrowserMessage m;
    while (msgrcv(mBrowser, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0)
      out.emplace_back(m.text, strnlen(m.text, sizeof(m.text)));
    return out;
  }

  CommandManager* cm = nullptr;
  int mBrowser = -1;
};

TEST_F(Display, VscaleLines) {
  std::vector<std::string> lines;
  EXPECT_EQ(Send("VSCALE", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "-ps 100 100 100 100 0 255 0 -vs 100 100 100 100 0 255 0");

  EXPECT_EQ(Send("VSCALE,0,10,50,41,128", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "-ps 25 30 50 41 0 128 0 -vs 25 30 50 41 0 128 0");

  // Missing and empty fields take their defaults.
  EXPECT_EQ(Send("vscale junk before the comma,20,,60", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "-ps 50 100 60 100 0 255 0 -vs 50 100 60 100 0 255 0");

  EXPECT_EQ(Send("VSCALE,100,100,100,100,0", &lines), "OK\r\n");
  EXPECT_EQ(lines[0], "-ps 150 150 100 100 0 0 0 -vs 150 150 100 100 0 0 0");
}

TEST_F(Display, VscaleReadsFieldsAsAtoiAndRefusesOutOfRange) {
  // A field is read as far as it is a number: 5x is 5, x is 0, 1e2 is 1.
  std::vector<std::string> lines;
  EXPECT_EQ(Send("VSCALE,5x", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "-ps 55 100 100 100 0 255 0 -vs 55 100 100 100 0 255 0");
  EXPECT_EQ(Send("VSCALE,x,1e2,0,0,255junk", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "-ps 0 1 0 0 0 255 0 -vs 0 1 0 0 0 255 0");

  const char* refused[] = {"VSCALE,101", "VSCALE,-1", "VSCALE,0,0,0,0,256", "VSCALE,0,0,101",
                           "VSCALE,99999999999999999999", "VSCALE,4294967346"};
  for (const char* c : refused) {
    std::vector<std::string> lines;
    EXPECT_EQ(Send(c, &lines), "KO\r\n") << c;
    EXPECT_TRUE(lines.empty()) << c;
  }
}

TEST_F(Display, UrlLineWindowAndBrowserState) {
  std::vector<std::string> lines;
  EXPECT_EQ(Send("URLhttp://example.test/a.html,100,100,640,384,128,200", &lines), "OK\r\n");
  ASSERT_EQ(lines.size(), 1u);
  // cx = 100*100/1280 + 640*50/1280 = 7 + 25; cy = 100*100/768 + 384*50/768 = 13 + 25.
  EXPECT_EQ(lines[0],
            "-ps 50 50 100 100 0 200 0 -vs 50 50 100 100 0 200 0 -browser http://example.test/a.html 0 32 38 50 50 0 "
            "128 0 ");
  EXPECT_STREQ(cm->mUrl, "http://example.test/a.html");
  EXPECT_TRUE(cm->mBrowserUp);
  EXPECT_TRUE(cm->mpIrControl->BrowserRunning());
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidCloseCaption + " i 0"));

  // Only a new video alpha: the URL and the window stay; opaque video hides
  // the browser, and captions go back to the chosen service.
  mCCIndex = 3;
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Send("URL,,,,,,255", &lines), "OK\r\n");
  mCCIndex = 0;
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0],
            "-ps 50 50 100 100 0 255 0 -vs 50 50 100 100 0 255 0 -browser http://example.test/a.html 0 32 38 50 50 0 "
            "128 0 ");
  EXPECT_FALSE(cm->mBrowserUp);
  EXPECT_FALSE(cm->mpIrControl->BrowserRunning());
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidCloseCaption + " i 3"));

  // Out-of-range fields are ignored one by one, text reads as far as it is
  // a number (x is 0); negative positions truncate toward zero.
  EXPECT_EQ(Send("URL,-640,-768,1281,769,256,x", &lines), "OK\r\n");
  EXPECT_EQ(cm->mUrlXposition, -640);
  EXPECT_EQ(cm->mUrlYposition, -768);
  EXPECT_EQ(cm->mUrlWidth, 640);
  EXPECT_EQ(cm->mUrlHeight, 384);
  EXPECT_EQ(cm->mUrlAlphaBrowser, 128);
  EXPECT_EQ(cm->mUrlAlphaVideo, 0);
  EXPECT_NE(lines[0].find(" 0 -25 -75 50 50 0 128 0 "), std::string::npos) << lines[0];
  EXPECT_EQ(Send("URL,abc,12y", &lines), "OK\r\n");
  EXPECT_EQ(cm->mUrlXposition, 0);
  EXPECT_EQ(cm->mUrlYposition, 12);
  EXPECT_EQ(Send("URL,99999999999,-4294967296", &lines), "OK\r\n");  // beyond an int: ignored
  EXPECT_EQ(cm->mUrlXposition, 0);
  EXPECT_EQ(cm->mUrlYposition, 12);

  // The blank page, at the stored window.
  EXPECT_EQ(Send("URLblank", &lines), "OK\r\n");
  EXPECT_STREQ(cm->mUrl, "/mnt/hd1/bplayer_app/data/blankPage.html");
  EXPECT_EQ(Send("URLhttp://x.test,0,0,1280,768,0,1", &lines), "OK\r\n");
  EXPECT_EQ(Send("URL0", &lines), "OK\r\n");
  EXPECT_STREQ(cm->mUrl, "/mnt/hd1/bplayer_app/data/blankPage.html");
  EXPECT_EQ(lines[0],
            "-ps 50 50 100 100 0 1 0 -vs 50 50 100 100 0 1 0 -browser /mnt/hd1/bplayer_app/data/blankPage.html 0 50 "
            "50 100 100 0 0 0 ");
}

TEST_F(Display, UrlKeysGoToTheBrowser) {
  EXPECT_EQ(Send("URLkey13"), "OK\r\n");
  EXPECT_EQ(Send("URLkey 0"), "OK\r\n");
  EXPECT_EQ(Send("URLKEY65534"), "OK\r\n");
  // The number is read as far as it goes; none at all is key 0.
  EXPECT_EQ(Send("URLkey"), "OK\r\n");
  EXPECT_EQ(Send("URLkey13x"), "OK\r\n");
  EXPECT_EQ(Send("URLKey\r\n"), "OK\r\n");
  std::vector<std::string> texts = BrowserTexts();
  EXPECT_EQ(texts, (std::vector<std::string>{"-k13", "-k0", "-k65534", "-k0", "-k13", "-k0"}));
  const char* refused[] = {"URLkey65535", "URLkey-1", "URLkey99999999999999999999", "URLkey4294967309"};
  for (const char* c : refused) EXPECT_EQ(Send(c), "KO\r\n") << c;
  EXPECT_TRUE(BrowserTexts().empty());
}

TEST_F(Display, HostileUrlsAnswerKoAndKeepTheState) {
  ASSERT_EQ(Send("URLhttp://kept.test,10,20,300,200,50,60"), "OK\r\n");
  std::vector<std::string> lines;
  std::string huge = "URLhttp://" + std::string(2000, 'a') + ",1,1,1,1,1,1";
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(Send(huge, &lines), "KO\r\n");
  EXPECT_EQ(Send("URL" + std::string(1024, 'b'), &lines), "KO\r\n");
  err.Stop();
  EXPECT_TRUE(lines.empty());
  EXPECT_STREQ(cm->mUrl, "http://kept.test");
  EXPECT_EQ(cm->mUrlXposition, 10);
  // The longest URL the buffer holds is shown whole.
  std::string longest = std::string(1023, 'c');
  EXPECT_EQ(Send("URL" + longest, &lines), "OK\r\n");
  EXPECT_EQ(std::string(cm->mUrl), longest);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("-browser " + longest + " 0 "), std::string::npos);
}

TEST_F(Display, UrlOnATransmitterIsRefused) {
  CommandManager* t = vyxtest::shared_manager('T');
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(vyxtest::dispatch(t, "URLhttp://x.test"), "KO\r\n");
  EXPECT_NE(err.Stop().find("Rx only"), std::string::npos);
}

TEST_F(Display, BrowserThatStopsReadingDoesNotHoldTheServer) {
  // Fill the browser's queue as a browser that reads nothing would leave it.
  BrowserMessage m;
  memset(&m, 0, sizeof(m));
  m.mtype = kBrowserCommandType;
  int queued = 0;
  while (msgsnd(mBrowser, &m, sizeof(m.text), IPC_NOWAIT) == 0) queued++;
  ASSERT_GT(queued, 0);
  auto start = std::chrono::steady_clock::now();
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(Send("URLkey13"), "KO\r\n");
  EXPECT_EQ(cm->mpIrControl->SendKeyToBrowser(eKEY_MENU), -1);
  std::string reports = err.Stop();
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, std::chrono::seconds(3));
  EXPECT_NE(reports.find("browser queue full, command dropped"), std::string::npos) << reports;
  EXPECT_NE(reports.find("key -k016 dropped"), std::string::npos) << reports;
  EXPECT_EQ(BrowserTexts().size(), static_cast<size_t>(queued));
  EXPECT_EQ(Send("URLkey14"), "OK\r\n");  // room again
  EXPECT_EQ(BrowserTexts(), std::vector<std::string>{"-k14"});
}

TEST_F(Display, RemoteSetsTheIrModeCode) {
  EXPECT_EQ(Send("REMOTE6E"), "OK\r\n");
  EXPECT_EQ(SharedMem::Self()->IrModeCode(), 0x6E);
  ASSERT_NE(SharedMem::Self()->Record(), nullptr);
  EXPECT_EQ(SharedMem::Self()->Record()->osdInfo.irSystemCode, 0x916E);
  EXPECT_EQ(Send("REMOTE fe"), "OK\r\n");
  EXPECT_EQ(SharedMem::Self()->IrModeCode(), 0xFE);
  for (const char* c : {"REMOTE0", "REMOTEFF", "REMOTE", "REMOTE100", "REMOTE zz"}) {
    EXPECT_EQ(Send(c), "KO\r\n") << c;
    EXPECT_EQ(SharedMem::Self()->IrModeCode(), 0xFE) << c;
  }
  EXPECT_EQ(Send("REMOTE12"), "OK\r\n");
}

TEST_F(Display, ResolutionQueryChangeAndReplay) {
  FakeAgent::Get().SetValue(kOidResolution, "3");
  EXPECT_EQ(Send("RESOLUTION?"), "RESOLUTION3 OK\r\n");
  FakeAgent::Get().ClearRequests();
  std::vector<std::string> lines;
  EXPECT_EQ(Send("RESOLUTION3", &lines), "OK\r\n");
  EXPECT_TRUE(lines.empty());
  EXPECT_EQ(FakeAgent::Get().Log(), std::vector<std::string>{std::string("get ") + kOidResolution});

  // A change stops what plays and plays it again, without saving it.
  ASSERT_EQ(Send("UNIT1,239.1.1.7,5007,0,3"), "OK\r\n");
  unlink("/mnt/hd1/vyx_def_startup");
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Send("RESOLUTION5", &lines), "OK\r\n");
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidResolution + " i 5"));
  EXPECT_TRUE(FakeAgent::Get().Saw(std::string("set ") + kOidConfigSave + " i 1"));
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[1], "-stopall");
  EXPECT_EQ(lines.back(), "-udp 239.1.1.7 5007 3 0 50 50 100 100 0 255 0");
  EXPECT_STREQ(cm->mLastUnitCommand, "UNIT1,239.1.1.7,5007,0,3");
  EXPECT_EQ(cm->mMulticastPortReceived, 5007);
  EXPECT_EQ(vyxtest::read_file("/mnt/hd1/vyx_def_startup"), "<missing>");
  EXPECT_EQ(Send("RESOLUTION?"), "RESOLUTION5 OK\r\n");

  // Nothing played: the change only stops.
  ASSERT_EQ(Send("UNIT0"), "OK\r\n");
  EXPECT_EQ(Send("RESOLUTION6", &lines), "OK\r\n");
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "-stopall");
}

TEST_F(Display, ResolutionReadsItsNumberAsAtoi) {
  // An empty text asks for resolution 0; 5x asks for 5.
  FakeAgent::Get().SetValue(kOidResolution, "3");
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Send("RESOLUTION"), "OK\r\n");
  EXPECT_EQ(Send("RESOLUTION?"), "RESOLUTION0 OK\r\n");
  EXPECT_EQ(Send("RESOLUTION5x"), "OK\r\n");
  EXPECT_EQ(Send("RESOLUTION?"), "RESOLUTION5 OK\r\n");
  EXPECT_EQ(Send("RESOLUTIONx"), "OK\r\n");
  EXPECT_EQ(Send("RESOLUTION?"), "RESOLUTION0 OK\r\n");
}

TEST_F(Display, ResolutionRefusals) {
  FakeAgent::Get().SetValue(kOidResolution, "3");
  // A number beyond an int is refused before the agent is asked to set it.
  FakeAgent::Get().ClearRequests();
  for (const char* c : {"RESOLUTION99999999999999999999", "RESOLUTION-99999999999999999999"})
    EXPECT_EQ(Send(c), "KO\r\n") << c;
  for (const std::string& r : FakeAgent::Get().Log()) EXPECT_EQ(r.find("set"), std::string::npos) << r;
  // The agent does not take the value.
  FakeAgent::Get().Garble(true);
  vyxtest::StdioCapture err(stderr);
  EXPECT_EQ(Send("RESOLUTION?"), "KO\r\n");
  FakeAgent::Get().Garble(false);
  err.Stop();
  CommandManager* t = vyxtest::shared_manager('T');
  EXPECT_EQ(vyxtest::dispatch(t, "RESOLUTION?"), "KO\r\n");
}

}  // namespace
