// Who may command the device, through the command manager: CONTROLLERS read,
// replaced and removed (the file written whole between remounts), the source
// check of the command loop with its counter, forwarding stopped for a
// controller that is no longer listed, and the list read again at start-up.
//
// The program re-executes itself in private user, IPC, network and mount
// namespaces (the fake agent and system manager, a scratch /mnt); where they
// are not available every test skips.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ns.h"
#include "services/controllers.h"
#include "stdio_capture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

bool EnterPrivateWorld() {
  if (getenv("VYX_CTLLIST_NS") == nullptr) setenv("VYX_TIME_SCALE", "50", 1);
  if (!vyxtest::reexec_in_namespaces("VYX_CTLLIST_NS", {"--ipc", "--net", "--mount"},
                                     "ip link set lo up; exec \"$0\" \"$@\""))
    return false;
  if (mount("vyxtest", "/mnt", "tmpfs", 0, "mode=755") != 0) return false;
  if (mkdir("/mnt/hd1", 0755) != 0 || mkdir("/mnt/hd4", 0755) != 0) return false;
  alarm(120);
  return true;
}

const bool inside = EnterPrivateWorld();
const char kFile[] = "/mnt/hd1/vyx_controllers";

using vyxtest::FakeSysMgr;
using Capture = vyxtest::StdioCapture;

class Controllers : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inside) GTEST_SKIP() << "no private user/IPC/network/mount namespaces here";
    m = vyxtest::shared_manager('R');
    m->mControllers.Set(nullptr, 0);
    unlink(kFile);
    FakeSysMgr::Get().Refuse(false);
    FakeSysMgr::Get().Take();
  }
  void TearDown() override {
    if (m == nullptr) return;
    m->mControllers.Set(nullptr, 0);
    unlink(kFile);
  }
  // The command as if it came from `source`.
  std::string From(const char* source, const std::string& command) {
    m->mpServer->siOther.sin_family = AF_INET;
    m->mpServer->siOther.sin_addr.s_addr = inet_addr(source);
    m->mpServer->siOther.sin_port = htons(52430);
    Capture err(stderr);
    return vyxtest::dispatch(m, command);
  }
  bool Accepts(const char* source) {
    m->mpServer->siOther.sin_addr.s_addr = inet_addr(source);
    Capture err(stderr);
    return m->SourceAllowed();
  }
  CommandManager* m = nullptr;
};

TEST_F(Controllers, ReadReplaceAndRemove) {
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS?"), "CONTROLLERS0 OK\r\n");
  EXPECT_TRUE(Accepts("192.0.2.7"));

  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3,10.77.1.9/24\r\n"), "OK\r\n");
  EXPECT_EQ(From("10.77.0.3", "controllers?"), "CONTROLLERS2,10.77.0.3,10.77.1.0/24 OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kFile),
            "# Controllers that may command this device; set by CONTROLLERS\n10.77.0.3\n10.77.1.0/24\n");
  EXPECT_EQ(access("/mnt/hd1/vyx_controllers.tmp", F_OK), -1);  // renamed into place
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}));
  EXPECT_TRUE(Accepts("10.77.1.200"));
  EXPECT_FALSE(Accepts("10.77.2.1"));

  // Refused, the list unchanged: a bad entry, too many, a list without the
  // sender, an unlisted sender, an unknown form.
  std::string many = "CONTROLLERS,10.77.0.3";
  for (int i = 1; i <= ControllerList::kMaxEntries; i++) many += ",10.1.1." + std::to_string(i);
  for (const std::string& c : {std::string("CONTROLLERS,10.77.0.3,10.77.0.300"), many,
                               std::string("CONTROLLERS,10.77.9.0/24"), std::string("CONTROLLERS,"),
                               std::string("CONTROLLERS"), std::string("CONTROLLERS1,10.77.0.3")})
    EXPECT_EQ(From("10.77.0.3", c), "KO\r\n") << c;
  EXPECT_EQ(From("10.77.2.1", "CONTROLLERS0"), "KO\r\n");
  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS?"), "CONTROLLERS2,10.77.0.3,10.77.1.0/24 OK\r\n");
  EXPECT_TRUE(FakeSysMgr::Get().Take().empty());

  // A listed controller replaces it; a disk that stays read-only keeps the
  // old list in force.
  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS,10.77.1.5"), "OK\r\n");
  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS?"), "CONTROLLERS1,10.77.1.5 OK\r\n");
  FakeSysMgr::Get().Refuse(true);
  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS,10.77.1.0/24"), "KO\r\n");
  FakeSysMgr::Get().Refuse(false);
  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS?"), "CONTROLLERS1,10.77.1.5 OK\r\n");
  EXPECT_FALSE(Accepts("10.77.1.6"));

  EXPECT_EQ(From("10.77.1.5", "CONTROLLERS0"), "OK\r\n");
  EXPECT_EQ(access(kFile, F_OK), -1);
  EXPECT_EQ(From("10.9.9.9", "CONTROLLERS?"), "CONTROLLERS0 OK\r\n");
  EXPECT_TRUE(Accepts("10.9.9.9"));
}

// A list that cannot be written leaves the old file whole and the old list
// in force, and the disk goes back to read-only; so does a removal.
TEST_F(Controllers, AFailedWriteKeepsTheOldFile) {
  ASSERT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3"), "OK\r\n");
  const std::string saved = vyxtest::read_file(kFile);
  FakeSysMgr::Get().Take();
  // The temporary file cannot be made: a directory holds its name.
  ASSERT_EQ(mkdir("/mnt/hd1/vyx_controllers.tmp", 0755), 0);
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3,10.77.5.0/24"), "KO\r\n");
  EXPECT_EQ(vyxtest::read_file(kFile), saved);
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}));
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS?"), "CONTROLLERS1,10.77.0.3 OK\r\n");
  rmdir("/mnt/hd1/vyx_controllers.tmp");
  // Removal between the remounts as well; a file that cannot go stays.
  ASSERT_EQ(chmod("/mnt/hd1", 0555), 0);
  bool rootish = access("/mnt/hd1", W_OK) == 0;  // a capability that passes modes
  if (!rootish) {
    EXPECT_EQ(From("10.77.0.3", "CONTROLLERS0"), "KO\r\n");
    EXPECT_EQ(vyxtest::read_file(kFile), saved);
  }
  ASSERT_EQ(chmod("/mnt/hd1", 0755), 0);
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS0"), "OK\r\n");
  EXPECT_EQ(access(kFile, F_OK), -1);
  EXPECT_EQ(FakeSysMgr::Get().Take().size(), rootish ? 2u : 4u);
}

// A system manager that is not running, or stopped with its queue full: the
// list is not written and the one in force stays; running again, it is
// asked as before.
TEST_F(Controllers, SystemManagerGoneOrStoppedKeepsTheListInForce) {
  ASSERT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3"), "OK\r\n");
  const std::string saved = vyxtest::read_file(kFile);
  for (FakeSysMgr::State state : {FakeSysMgr::kGone, FakeSysMgr::kStopped}) {
    FakeSysMgr::Get().SetState(state);
    FakeSysMgr::Get().Take();
    EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3,10.77.5.0/24"), "KO\r\n") << state;
    EXPECT_TRUE(FakeSysMgr::Get().Take().empty()) << state;
    FakeSysMgr::Get().SetState(FakeSysMgr::kRunning);
    EXPECT_EQ(vyxtest::read_file(kFile), saved) << state;
    EXPECT_EQ(From("10.77.0.3", "CONTROLLERS?"), "CONTROLLERS1,10.77.0.3 OK\r\n") << state;
  }
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3,10.77.5.0/24"), "OK\r\n");
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}));
}

// The list in the file is the one in force after a restart; refused sources
// are counted for DUMPSTATS.
TEST_F(Controllers, ListSurvivesARestartAndRefusalsAreCounted) {
  ASSERT_EQ(From("127.0.0.1", "CONTROLLERS,127.0.0.1,10.77.0.0/16"), "OK\r\n");
  m->mControllers.Set(nullptr, 0);  // as a fresh process
  {
    Capture out(stdout);
    m->LoadControllers();
  }
  EXPECT_EQ(From("127.0.0.1", "CONTROLLERS?"), "CONTROLLERS2,127.0.0.1,10.77.0.0/16 OK\r\n");

  unsigned before = m->mControllers.Refused();
  EXPECT_FALSE(Accepts("10.78.0.1"));
  EXPECT_FALSE(Accepts("10.78.0.2"));
  EXPECT_TRUE(Accepts("10.77.200.1"));
  EXPECT_EQ(m->mControllers.Refused(), before + 2);
  std::string dump;
  {
    Capture out(stdout);
    vyxtest::dispatch(m, "DUMPSTATS");
    dump = out.Stop();
  }
  EXPECT_NE(dump.find("Commands refused from unlisted sources " + std::to_string(before + 2) + "\n"),
            std::string::npos)
      << dump;

  // A broken file at start-up: reported, and everyone is served.
  vyxtest::write_file(kFile, "10.77.0.0/99\n");
  std::string err;
  {
    Capture e(stderr);
    m->LoadControllers();
    err = e.Stop();
  }
  EXPECT_NE(err.find("every controller is served"), std::string::npos) << err;
  EXPECT_TRUE(Accepts("10.78.0.1"));
}

// Error, log, IR and serial forwarding set up by a controller that a new list
// leaves out stops; a listed one's goes on.
TEST_F(Controllers, ForwardingOnlyToListedControllers) {
  vyxtest::LoopbackUdp ctl;
  m->mpServer->siOther = ctl.Address();
  {
    Capture err(stderr);
    ASSERT_EQ(vyxtest::dispatch(m, "CALLBACK1"), "OK\r\n");
  }
  ASSERT_NE(error_udp_sender, nullptr);
  ASSERT_NE(m->mpTunerManager->mpUdp, nullptr);
  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3,127.0.0.0/8"), "OK\r\n");
  EXPECT_NE(error_udp_sender, nullptr);
  EXPECT_TRUE(m->mIrForwarding);

  EXPECT_EQ(From("10.77.0.3", "CONTROLLERS,10.77.0.3"), "OK\r\n");
  EXPECT_EQ(error_udp_sender, nullptr);
  EXPECT_FALSE(m->mIrForwarding);
  EXPECT_EQ(m->mCallbackClient, 0u);
  EXPECT_EQ(m->mpTunerManager->mpUdp, nullptr);
}

}  // namespace
