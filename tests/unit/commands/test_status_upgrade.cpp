// Status, network and upgrade commands against the fake SNMP agent and
// system manager: STATUS on both roles, IP? with every failing read
// reported, DHCP with its early reply and commit, and the whole UPGR state
// machine writing /mnt/hd4/multiple.tar.
//
// The program re-executes itself in private user, IPC, network and mount
// namespaces: the device's queues are fixed, IP? reads eth0's hardware
// address (a veth with a known address here) and the archive goes to a
// scratch /mnt.  Where namespaces are not available every test skips.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "loopback_udp.h"
#include "private_ns.h"
#include "sharedmem.h"
#include "stdio_capture.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

const char kMac[] = "02:11:22:33:44:55";

bool EnterPrivateWorld() {
  static const char kSetup[] =
      "ip link set lo up; "
      "ip link add eth0 address 02:11:22:33:44:55 type veth peer name eth1 >/dev/null 2>&1 && "
      "ip link set eth1 up && ip link set eth0 up; "
      "exec \"$0\" \"$@\"";
  // Remounts, the CPU sample and the commit wait pass quickly in here.
  return vyxtest::enter_private_world("VYX_DEVCMD_NS", "50", kSetup, {"/mnt/hd1", "/mnt/hd4"});
}

const bool inside = EnterPrivateWorld();

const char kOidDhcp[] = ".1.3.6.1.4.1.32473.3.1.6.0";
const char kOidIp[] = ".1.3.6.1.4.1.32473.3.1.1.0";
const char kOidGateway[] = ".1.3.6.1.4.1.32473.3.1.3.0";
const char kOidMask[] = ".1.3.6.1.4.1.32473.3.1.2.0";
const char kOidCommit[] = ".1.3.6.1.4.1.32473.3.1.7.0";
const char kOidItem[] = ".1.3.6.1.4.1.32473.3.3.1.0";
const char kOidUpgrade[] = ".1.3.6.1.4.1.32473.3.5.32.0";
const char kArchive[] = "/mnt/hd4/multiple.tar";
const char kArchiveTemp[] = "/mnt/hd4/multiple.tar.tmp";

using vyxtest::FakeAgent;
using vyxtest::FakeSysMgr;
using Capture = vyxtest::StdioCapture;

// A controller on loopback talking to a manager's command socket as the loop
// does: deliver one datagram, dispatch it, and collect what the handler sent
// by itself.
class DeviceCommands : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!inside) GTEST_SKIP() << "no private user/IPC/network/mount namespaces here";
    // Made before the agent's log is cleared: construction sets IR_CONTROL.
    vyxtest::shared_manager('T');
    vyxtest::shared_manager('R');
    FakeAgent::Get().RefuseNone();
    FakeAgent::Get().ClearRequests();
    FakeSysMgr::Get().Refuse(false);
    FakeSysMgr::Get().Take();
  }
  void TearDown() override { FakeAgent::Get().RefuseNone(); }

  CommandManager* Bound(char type) {
    CommandManager* m = vyxtest::shared_manager(type);
    if (m->mpServer->s < 0) {
      EXPECT_TRUE(m->mpServer->Connect(0, nullptr));
      sockaddr_in a{};
      socklen_t len = sizeof(a);
      getsockname(m->mpServer->s, reinterpret_cast<sockaddr*>(&a), &len);
      m->mpServer->siMe.sin_port = a.sin_port;
    }
    return m;
  }

  // The handler's return: its text, or "<none>".
  std::string Deliver(CommandManager* m, const std::string& cmd) {
    ctl.SendTo(static_cast<unsigned short>(ntohs(m->mpServer->siMe.sin_port)), cmd);
    memset(m->mCommand, 0, CommandManager::kCommandSize);
    if (!m->mpServer->WaitForData(5, 0)) return "<no datagram>";
    int n = m->mpServer->Receive(m->mCommand, CommandManager::kReceiveLimit, 0);
    if (n < 0) return "<receive failed>";
    m->mCommand[n] = '\0';
    char* reply = m->ProcessCommand(m->mCommand, n);
    return reply == nullptr ? "<none>" : std::string(reply);
  }

  // Datagrams the handler sent to the controller by itself.
  std::vector<std::string> Sent() {
    std::vector<std::string> out;
    for (const std::vector<uint8_t>& d : ctl.Drain()) out.emplace_back(d.begin(), d.end());
    return out;
  }

  vyxtest::LoopbackUdp ctl;
};

std::string Sets(const std::string& oid, const std::string& rest) {
  return "set " + oid + " " + rest;
}

// ---------------------------------------------------------------------------
// STATUS
// ---------------------------------------------------------------------------
TEST_F(DeviceCommands, TransmitterStatusWithoutStreams) {
  CommandManager* t = vyxtest::shared_manager('T');
  _sVPLAYER_SM_STRUCT* rec = SharedMem::Self()->Record();
  ASSERT_NE(rec, nullptr);
  for (int i = 0; i < TsFilter::kMaxStreams; i++) t->mpTsf->RemoveStream(i);

  rec->vStatus.tunerSignalStrength = 5;
  std::string reply = vyxtest::dispatch(t, "STATUS");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      reply, m, std::regex("STATUS 0 0 0\\.0\\.0\\.0:0 0:1:ff:\\[\\] F:ATSC E:0 C:\"NO CAM\" "
                           "([0-9]+)% OK\r\n")))
      << reply;
  EXPECT_LE(std::stoi(m[1]), 100);

  rec->vStatus.tunerSignalStrength = 0;
  snprintf(t->mTunerMode, sizeof(t->mTunerMode), "%s", "QAM256");
  reply = vyxtest::dispatch(t, "status");
  snprintf(t->mTunerMode, sizeof(t->mTunerMode), "%s", "ATSC");
  EXPECT_EQ(reply.compare(0, 46, "STATUS 0 0 0.0.0.0:0 0:0:00:[] F:QAM256 E:0 C:"), 0) << reply;
}

TEST_F(DeviceCommands, TransmitterStatusListsEverySlot) {
  CommandManager* t = vyxtest::shared_manager('T');
  TsFilter* f = t->mpTsf;
  SharedMem::Self()->Record()->vStatus.tunerSignalStrength = 2;
  char a[] = "239.1.1.1", b[] = "239.1.1.2";
  ASSERT_TRUE(f->AddStream(0, a, 5000));
  ASSERT_TRUE(f->AddStream(3, b, 5002));
  f->mStreamersList[0]->AddProgramToList(3, 0x31);
  f->mStreamersList[0]->AddProgramToList(4, 0x41);
  f->mStreamersList[0]->AddProgramToList(0x1234, 0x51);
  f->mStreamersList[0]->SetActive(true);
  f->mStreamersList[3]->SetActive(false);

  std::string reply = vyxtest::dispatch(t, "STATUS");
  for (int i = 0; i < TsFilter::kMaxStreams; i++) f->RemoveStream(i);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      reply, m,
      std::regex("STATUS 1 0 239\\.1\\.1\\.1:5000 0:1:66:\\[0003:0004:1234\\] "
                 "0 3 239\\.1\\.1\\.2:5002 0:1:66:\\[\\] F:ATSC E:0 C:\"NO CAM\" ([0-9]+)% OK\r\n")))
      << reply;
}

TEST_F(DeviceCommands, ReceiverStatusFollowsPlaybackAndTheBrowser) {
  CommandManager* r = vyxtest::shared_manager('R');
  _sVPLAYER_SM_STRUCT* rec = SharedMem::Self()->Record();
  ASSERT_NE(rec, nullptr);
  rec->vStatus.progId = 0x3a;
  rec->vStatus.vidType = 1;   // reported as 0
  rec->vStatus.audType = 7;   // reported as 1
  snprintf(r->mMulticastIpReceived, sizeof(r->mMulticastIpReceived), "%s", "239.1.1.1");
  r->mMulticastPortReceived = 5000;
  r->mLastUnitCommandId = 1;
  r->mBrowserUp = true;
  FakeAgent::Get().SetValue(kOidItem, "Stream udp://239.1.1.1:5000");
  std::string reply = vyxtest::dispatch(r, "STATUS");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      reply, m, std::regex("STATUS 1 239\\.1\\.1\\.1:5000 5:003a 0 1 2 0 ([0-9]+)%OK\r\n")))
      << reply;

  // Not a stream, then no answer from the agent: not locked.
  r->mBrowserUp = false;
  FakeAgent::Get().SetValue(kOidItem, "Video /mnt/hd4/a.ts");
  reply = vyxtest::dispatch(r, "STATUS");
  EXPECT_EQ(reply.compare(0, 33, "STATUS 1 239.1.1.1:5000 0:003a 0 "), 0) << reply;
  FakeAgent::Get().Refuse(kOidItem);
  {
    Capture err(stderr);
    reply = vyxtest::dispatch(r, "STATUS");
    EXPECT_NE(err.Stop().find("  snmp\n"), std::string::npos);
  }
  EXPECT_TRUE(std::regex_match(reply, std::regex("STATUS 1 239\\.1\\.1\\.1:5000 0:003a 0 1 0 0 "
                                                 "[0-9]+%OK\r\n")))
      << reply;
  r->mLastUnitCommandId = 0;
  r->mMulticastIpReceived[0] = '\0';
  r->mMulticastPortReceived = 0;
}

// ---------------------------------------------------------------------------
// IP?
// ---------------------------------------------------------------------------
TEST_F(DeviceCommands, IpQueryReadsEverySetting) {
  CommandManager* t = Bound('T');
  FakeAgent& agent = FakeAgent::Get();
  agent.SetValue(kOidDhcp, "0");
  agent.SetValue(kOidIp, "10.77.0.2");
  agent.SetValue(kOidGateway, "10.77.0.1");
  agent.SetValue(kOidMask, "255.255.255.0");
  EXPECT_EQ(vyxtest::dispatch(t, "IP?"),
            "DHCP:0 MAC:021122334455 IP:10.77.0.2 GW:10.77.0.1 NM:255.255.255.0 OK\r\n");
  (void)kMac;
}

TEST_F(DeviceCommands, IpQueryReportsEveryFailingItem) {
  CommandManager* t = Bound('T');
  FakeAgent& agent = FakeAgent::Get();
  agent.Refuse(kOidGateway);
  {
    Capture err(stderr);
    EXPECT_EQ(vyxtest::dispatch(t, "IP?"), "KO\r\n");
    std::string e = err.Stop();
    EXPECT_NE(e.find("  gateway addr\n"), std::string::npos) << e;
    EXPECT_EQ(e.find("  ip addr\n"), std::string::npos) << e;
  }
  // The mask is still read after the gateway failed.
  EXPECT_TRUE(agent.Saw(std::string("get ") + kOidMask));

  agent.Refuse(kOidDhcp);
  agent.Refuse(kOidIp);
  agent.Refuse(kOidGateway, false);
  agent.ClearRequests();
  {
    Capture err(stderr);
    EXPECT_EQ(vyxtest::dispatch(t, "IP?"), "KO\r\n");
    std::string e = err.Stop();
    EXPECT_NE(e.find("  dhcp\n"), std::string::npos) << e;
    EXPECT_NE(e.find("  ip addr\n"), std::string::npos) << e;
  }
  EXPECT_EQ(agent.Requests().size(), 4u);

  agent.RefuseNone();
  agent.Refuse(kOidMask);
  EXPECT_EQ(vyxtest::dispatch(t, "IP?"), "KO\r\n");
}

// The agent's values are printed whole; the hardware address is read at each
// query and is empty while eth0 cannot be found.
TEST_F(DeviceCommands, IpQueryPrintsWholeValuesAndNoStaleMac) {
  CommandManager* t = Bound('T');
  FakeAgent& agent = FakeAgent::Get();
  agent.SetValue(kOidDhcp, "1");
  agent.SetValue(kOidIp, "fd00:77::1234:5678");
  agent.SetValue(kOidGateway, "10.77.0.1 (router)");
  agent.SetValue(kOidMask, "255.255.255.0");
  EXPECT_EQ(vyxtest::dispatch(t, "IP?"),
            "DHCP:1 MAC:021122334455 IP:fd00:77::1234:5678 GW:10.77.0.1 (router) NM:255.255.255.0 OK\r\n");
  ASSERT_EQ(system("ip link set eth0 down && ip link set eth0 name eth7"), 0);
  std::string reply;
  {
    Capture out(stdout);
    reply = vyxtest::dispatch(t, "IP?");
  }
  EXPECT_EQ(system("ip link set eth7 name eth0 && ip link set eth0 up"), 0);
  EXPECT_EQ(reply, "DHCP:1 MAC: IP:fd00:77::1234:5678 GW:10.77.0.1 (router) NM:255.255.255.0 OK\r\n");
  EXPECT_EQ(vyxtest::dispatch(t, "IP?").substr(0, 23), "DHCP:1 MAC:021122334455");
}

// ---------------------------------------------------------------------------
// DHCP
// ---------------------------------------------------------------------------
TEST_F(DeviceCommands, DhcpOnAnswersBeforeTheCommitAndLeavesAddresses) {
  CommandManager* t = Bound('T');
  EXPECT_EQ(Deliver(t, "DHCP1"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"OK\r\n"});
  std::vector<std::string> log = FakeAgent::Get().Log();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0], Sets(kOidDhcp, "i 1"));
  EXPECT_EQ(log[1], Sets(kOidCommit, "i 0"));

  // No field at all means DHCP on too.
  FakeAgent::Get().ClearRequests();
  EXPECT_EQ(Deliver(t, "DHCP"), "<none>");
  EXPECT_EQ(FakeAgent::Get().Log()[0], Sets(kOidDhcp, "i 1"));
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(DeviceCommands, DhcpOffSetsTheAddressesInOrderThenCommits) {
  CommandManager* t = Bound('R');
  EXPECT_EQ(Deliver(t, "DHCP0,10.77.0.20,10.77.0.1,255.255.255.0\r\n"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"OK\r\n"});
  EXPECT_EQ(FakeAgent::Get().Log(),
            (std::vector<std::string>{Sets(kOidDhcp, "i 0"), Sets(kOidIp, "a 10.77.0.20"),
                                      Sets(kOidGateway, "a 10.77.0.1"),
                                      Sets(kOidMask, "a 255.255.255.0"), Sets(kOidCommit, "i 0")}));
}

TEST_F(DeviceCommands, DhcpRefusalsAndFailures) {
  CommandManager* t = Bound('T');
  FakeAgent& agent = FakeAgent::Get();
  // A static setting without a usable address changes nothing.
  for (const char* bad : {"DHCP0", "DHCP0,10.77.0.20,10.77.0.1", "DHCP0,10.77.0,10.77.0.1,255.0.0.0",
                          "DHCP0,10.77.0.300,10.77.0.1,255.255.255.0"}) {
    Capture err(stderr);
    EXPECT_EQ(Deliver(t, bad), "KO\r\n") << bad;
  }
  EXPECT_TRUE(agent.Log().empty());
  EXPECT_TRUE(Sent().empty());

  // The gateway set fails: what was set stays set, nothing is committed.
  agent.Refuse(kOidGateway);
  {
    Capture err(stderr);
    EXPECT_EQ(Deliver(t, "DHCP0,10.77.0.20,10.77.0.1,255.255.255.0"), "KO\r\n");
    EXPECT_NE(err.Stop().find("  set gw addr\n"), std::string::npos);
  }
  EXPECT_EQ(agent.Log().size(), 3u);
  EXPECT_FALSE(agent.Saw(Sets(kOidCommit, "i 0")));
  EXPECT_TRUE(Sent().empty());

  // The commit fails after the early reply: a second reply "KO".
  agent.RefuseNone();
  agent.Refuse(kOidCommit);
  {
    Capture err(stderr);
    EXPECT_EQ(Deliver(t, "DHCP1"), "KO\r\n");
    EXPECT_NE(err.Stop().find("  net commit\n"), std::string::npos);
  }
  EXPECT_EQ(Sent(), std::vector<std::string>{"OK\r\n"});

  agent.Refuse(kOidCommit, false);
  agent.Refuse(kOidDhcp);
  {
    Capture err(stderr);
    EXPECT_EQ(Deliver(t, "DHCP1"), "KO\r\n");
    EXPECT_NE(err.Stop().find("  set dhcp\n"), std::string::npos);
  }
  EXPECT_TRUE(Sent().empty());
}

TEST_F(DeviceCommands, DhcpIsRefusedDuringAnUpgrade) {
  CommandManager* t = Bound('T');
  for (CommandManager::UpgradeStateEnum s :
       {CommandManager::eUpgradeDownloading, CommandManager::eUpgradeBurning}) {
    t->mUpgradeState = s;
    EXPECT_EQ(Deliver(t, "DHCP0,10.77.0.20,10.77.0.1,255.255.255.0"), "KO\r\n");
  }
  t->mUpgradeState = CommandManager::eUpgradeDownloadError;
  EXPECT_TRUE(FakeAgent::Get().Log().empty());
  EXPECT_TRUE(Sent().empty());
  EXPECT_EQ(Deliver(t, "DHCP1"), "<none>");  // an ended download no longer blocks it
  t->mUpgradeState = CommandManager::eUpgradeIdle;
}

// ---------------------------------------------------------------------------
// UPGR
// ---------------------------------------------------------------------------
class Upgrade : public DeviceCommands {
 protected:
  void SetUp() override {
    DeviceCommands::SetUp();
    if (IsSkipped()) return;
    m = Bound('T');
    m->mUpgradeState = CommandManager::eUpgradeIdle;
    unlink(kArchive);
  }
  void TearDown() override {
    if (m != nullptr) {
      // Close any open archive, then forget the state for the next test.
      if (m->mUpgradeState == CommandManager::eUpgradeDownloading) Deliver(m, "UPGR0");
      Sent();
      m->mUpgradeState = CommandManager::eUpgradeIdle;
    }
    DeviceCommands::TearDown();
  }
  // The archive in chunks of 2035 bytes; the last chunk's return.
  std::string SendArchive(const std::string& archive) {
    std::string reply;
    for (size_t at = 0; at < archive.size(); at += 2035) {
      reply = Deliver(m, "UPGR:" + archive.substr(at, 2035));
      if (at + 2035 < archive.size() && reply != "OK\r\n")
        return "chunk at " + std::to_string(at) + ": " + reply;
    }
    return reply;
  }
  std::string State() {
    Deliver(m, "UPGR?");
    std::vector<std::string> s = Sent();
    return s.size() == 1 ? s[0] : "<" + std::to_string(s.size()) + " replies>";
  }
  CommandManager* m = nullptr;
};

// Bytes 0..255 over and over, NULs, CRs and colons included.
std::string Binary(size_t n, unsigned seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + seed) & 0xFF);
  return s;
}

// A ustar header of a member of `size` bytes, its checksum right.
std::string TarHeader(const std::string& name, size_t size, char type = '0') {
  std::string h(512, '\0');
  auto put = [&h](size_t at, const std::string& text) { h.replace(at, text.size(), text); };
  char field[16];
  put(0, name.substr(0, 99));
  put(100, "0000644");
  put(108, "0000000");
  put(116, "0000000");
  snprintf(field, sizeof(field), "%011zo", size);
  put(124, field);
  put(136, "14621154000");
  h[156] = type;
  put(257, std::string("ustar\0" "00", 8));
  put(148, "        ");
  unsigned sum = 0;
  for (unsigned char c : h) sum += c;
  snprintf(field, sizeof(field), "%06o", sum);
  put(148, std::string(field) + std::string(1, '\0') + " ");
  return h;
}

// A whole tar of the given members (each padded to its blocks) and the two
// zero blocks.
std::string Tar(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string t;
  for (const auto& m : members) {
    t += TarHeader(m.first, m.second.size()) + m.second;
    t.append((512 - m.second.size() % 512) % 512, '\0');
  }
  return t + std::string(1024, '\0');
}

TEST_F(Upgrade, SizeLimits) {
  EXPECT_EQ(Deliver(m, "UPGR10"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n File too large or too small: 10\r\n"});
  EXPECT_EQ(Deliver(m, "UPGR1000000001"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n File too large or too small: 1000000001\r\n"});
  EXPECT_EQ(Deliver(m, "UPGR99999999999"), "<none>");
  EXPECT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Deliver(m, "UPGR"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n File too large or too small: 0\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeIdle);
  EXPECT_TRUE(FakeSysMgr::Get().Take().empty());
  EXPECT_EQ(State(), "UPGRSTATUS0 OK\r\n\r\n");

  EXPECT_EQ(Deliver(m, "UPGR11"), "OK\r\n");
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloading);
  EXPECT_EQ(m->mUpgradeBytes, 11);
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{4, 1}}));
  // The chunks go to a temporary file; the archive's name is free until the
  // archive is whole.
  struct stat st;
  ASSERT_EQ(stat(kArchiveTemp, &st), 0);
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(access(kArchive, F_OK), -1);
}

// A transfer cut (abandoned for a new size, or past its size) or an archive
// refused never leaves a part of an archive under the name the burner reads,
// nor its temporary file; a whole one lands there.
TEST_F(Upgrade, OnlyAWholeCheckedArchiveTakesTheName) {
  const std::string archive = Tar({{"rootfs.img", Binary(5000, 8)}});
  vyxtest::write_file(kArchive, "burned last time");
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(archive.size())), "OK\r\n");
  ASSERT_EQ(Deliver(m, "UPGR:" + archive.substr(0, 2035)), "OK\r\n");
  EXPECT_EQ(access(kArchive, F_OK), -1);
  EXPECT_EQ(vyxtest::read_file(kArchiveTemp), archive.substr(0, 2035));
  // The controller gives up and starts again with another size: the part
  // is gone.
  ASSERT_EQ(Deliver(m, "UPGR3000"), "OK\r\n");
  ASSERT_EQ(Deliver(m, "UPGR:" + archive.substr(0, 2000)), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kArchiveTemp), archive.substr(0, 2000));
  // Too many bytes: abandoned, nothing left.
  EXPECT_EQ(Deliver(m, "UPGR:" + archive.substr(0, 2000)), "<none>");
  Sent();
  EXPECT_EQ(access(kArchive, F_OK), -1);
  EXPECT_EQ(access(kArchiveTemp, F_OK), -1);
  // Damaged at the end: refused, nothing left either.
  std::string damaged = archive;
  damaged[3] ^= 0x20;
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(damaged.size())), "OK\r\n");
  {
    Capture err(stderr);
    EXPECT_EQ(SendArchive(damaged), "<none>");
  }
  Sent();
  EXPECT_EQ(access(kArchive, F_OK), -1);
  EXPECT_EQ(access(kArchiveTemp, F_OK), -1);
  EXPECT_FALSE(FakeAgent::Get().Saw(Sets(kOidUpgrade, "s ide:///mnt/hd4/multiple.tar")));
  // Whole: in place, and partition 4 read-only again after each attempt.
  FakeSysMgr::Get().Take();
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(archive.size())), "OK\r\n");
  EXPECT_EQ(SendArchive(archive), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kArchive), archive);
  EXPECT_EQ(access(kArchiveTemp, F_OK), -1);
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{4, 1}, {4, 0}}));
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurning);
}

TEST_F(Upgrade, WholeArchiveThenBurn) {
  const std::string data = Tar({{"rootfs.img", Binary(3000, 3)}, {"VERSION", "0.82.15\n"}});
  const size_t kSize = data.size();
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(kSize)), "OK\r\n");
  EXPECT_TRUE(m->UpgradeInProgress());
  size_t at = 0;
  while (at < kSize) {
    size_t n = std::min<size_t>(2035, kSize - at);
    ASSERT_EQ(Deliver(m, "UPGR:" + data.substr(at, n)), "OK\r\n") << at;
    at += n;
    if (at == 2035) {
      EXPECT_EQ(State(), "UPGRSTATUS1 OK\r\n\r\n");  // the download goes on
    }
  }
  EXPECT_EQ(vyxtest::read_file(kArchive), data);
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurning);
  EXPECT_TRUE(FakeAgent::Get().Saw(Sets(kOidUpgrade, "s ide:///mnt/hd4/multiple.tar")));
  // Partition 4 went read-write for the download and back afterwards.
  EXPECT_EQ(FakeSysMgr::Get().Take(), (std::vector<std::pair<int, int>>{{4, 1}, {4, 0}}));
  EXPECT_TRUE(Sent().empty());

  // Burning is final: everything but the status query is refused.
  for (const char* cmd : {"UPGR20", "UPGR:abc", "UPGR"}) {
    EXPECT_EQ(Deliver(m, cmd), "<none>");
    EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n Invalid state 2\r\n"}) << cmd;
  }
  EXPECT_EQ(State(), "UPGRSTATUS2 OK\r\n\r\n");
  EXPECT_TRUE(m->UpgradeInProgress());
}

TEST_F(Upgrade, ChunkPastTheAnnouncedSize) {
  ASSERT_EQ(Deliver(m, "UPGR20"), "OK\r\n");
  ASSERT_EQ(Deliver(m, "UPGR:" + Binary(15, 1)), "OK\r\n");
  EXPECT_EQ(Deliver(m, "UPGR:" + Binary(10, 2)), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n Error saving upgrade file at 25 of 20 bytes\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloadError);
  EXPECT_FALSE(m->UpgradeInProgress());
  EXPECT_EQ(State(), "UPGRSTATUS3 OK\r\n\r\n");
  EXPECT_FALSE(FakeAgent::Get().Saw(Sets(kOidUpgrade, "s ide:///mnt/hd4/multiple.tar")));

  // A chunk outside a download is read as a size (none: refused).
  EXPECT_EQ(Deliver(m, "UPGR:" + Binary(5, 0)), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n File too large or too small: 0\r\n"});
  // The controller starts again with a new size.
  const std::string archive = Tar({{"a", Binary(12, 9)}});
  EXPECT_EQ(Deliver(m, "UPGR" + std::to_string(archive.size())), "OK\r\n");
  EXPECT_EQ(SendArchive(archive), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kArchive), archive);
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurning);
}

TEST_F(Upgrade, NewSizeDuringADownloadRestartsIt) {
  const std::string archive = Tar({{"b", Binary(16, 5)}});
  ASSERT_EQ(Deliver(m, "UPGR4000"), "OK\r\n");
  ASSERT_EQ(Deliver(m, "UPGR:" + Binary(1800, 4)), "OK\r\n");
  EXPECT_EQ(Deliver(m, "UPGR" + std::to_string(archive.size())), "OK\r\n");
  EXPECT_EQ(m->mUpgradeBytes, static_cast<int>(archive.size()));
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloading);
  ASSERT_EQ(SendArchive(archive), "OK\r\n");
  EXPECT_EQ(vyxtest::read_file(kArchive), archive);  // truncated, then rewritten
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurning);

  // A bad size during a download abandons it and is refused.
  m->mUpgradeState = CommandManager::eUpgradeIdle;
  ASSERT_EQ(Deliver(m, "UPGR40"), "OK\r\n");
  EXPECT_EQ(Deliver(m, "UPGR5"), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n File too large or too small: 5\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloadError);
}

TEST_F(Upgrade, BurnRequestNotAnswered) {
  FakeAgent::Get().Refuse(kOidUpgrade);
  const std::string archive = Tar({{"hello", "world"}});
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(archive.size())), "OK\r\n");
  EXPECT_EQ(SendArchive(archive), "<none>");
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n Error starting burn process\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurnError);
  EXPECT_EQ(State(), "UPGRSTATUS4 OK\r\n\r\n");
  FakeAgent::Get().Refuse(kOidUpgrade, false);
  EXPECT_EQ(Deliver(m, "UPGR11"), "OK\r\n");
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloading);
}

// An archive that is not a whole tar is refused after its last chunk, and
// the burner is never asked; a good one is burned afterwards.
TEST_F(Upgrade, DamagedArchiveIsRefused) {
  const std::string good = Tar({{"rootfs.img", Binary(1500, 1)}, {"VERSION", "0.82.15\n"}});
  std::string badSum = good;
  badSum[3] ^= 0x20;  // the first member's name: its header checksum no longer holds
  std::string badSize = good;
  badSize.replace(0, 512, TarHeader("rootfs.img", 40000));  // larger than the archive
  std::string grown = good;
  grown.replace(3072, 512, TarHeader("extra", 1000));  // a header where the end blocks were
  struct Case {
    const char* what;
    std::string archive;
    const char* why;
  } cases[] = {
      {"checksum", badSum, "bad header checksum at byte 0"},
      {"size", badSize, "member at byte 0 runs past the end"},
      {"cut", good.substr(0, good.size() - 512), "only one end-of-archive block"},
      {"no end", good.substr(0, good.size() - 1024), "no end-of-archive blocks"},
      {"odd length", good + "x", "size not a whole number of blocks"},
      {"trailing", good + TarHeader("late", 0), "data after the end-of-archive blocks"},
      {"header past the end", grown, "member at byte 3072 runs past the end"},
      {"not a tar", Binary(2048, 7), "bad header checksum at byte 0"},
  };
  for (const Case& c : cases) {
    FakeAgent::Get().ClearRequests();
    ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(c.archive.size())), "OK\r\n") << c.what;
    for (size_t at = 0; at < c.archive.size(); at += 2035) {
      std::string chunk = c.archive.substr(at, 2035);
      bool last = at + chunk.size() >= c.archive.size();
      Capture err(stderr);
      EXPECT_EQ(Deliver(m, "UPGR:" + chunk), last ? "<none>" : "OK\r\n") << c.what;
      if (last) {
        EXPECT_NE(err.Stop().find("Upgrade archive refused: "), std::string::npos) << c.what;
      }
    }
    EXPECT_EQ(Sent(), std::vector<std::string>{std::string("KO\r\n Upgrade archive is not a complete tar: ") +
                                               c.why + "\r\n"})
        << c.what;
    EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloadError) << c.what;
    EXPECT_FALSE(FakeAgent::Get().Saw(Sets(kOidUpgrade, "s ide:///mnt/hd4/multiple.tar"))) << c.what;
  }
  // What tar itself writes (a directory, a long name, a link, the padding
  // to a whole record) passes.
  const std::string dir = "/mnt/hd4/tree";
  const std::string longName = dir + "/" + std::string(120, 'n');
  ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
  vyxtest::write_file(longName.c_str(), Binary(700, 2));
  ASSERT_EQ(symlink("nowhere", (dir + "/link").c_str()), 0);
  ASSERT_EQ(system(("tar -C /mnt/hd4 -cf /mnt/hd4/real.tar tree && rm -r " + dir).c_str()), 0);
  const std::string real = vyxtest::read_file("/mnt/hd4/real.tar");
  unlink("/mnt/hd4/real.tar");
  ASSERT_EQ(Deliver(m, "UPGR" + std::to_string(real.size())), "OK\r\n");
  for (size_t at = 0; at < real.size(); at += 2035)
    ASSERT_EQ(Deliver(m, "UPGR:" + real.substr(at, 2035)), "OK\r\n") << at;
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeBurning);
  EXPECT_TRUE(FakeAgent::Get().Saw(Sets(kOidUpgrade, "s ide:///mnt/hd4/multiple.tar")));
}

TEST_F(Upgrade, RemountAndOpenFailures) {
  FakeSysMgr::Get().Refuse(true);
  {
    Capture err(stderr);
    EXPECT_EQ(Deliver(m, "UPGR100"), "<none>");
  }
  FakeSysMgr::Get().Refuse(false);
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n Can't remount 'w' (-4).\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloadError);

  // The archive's place is taken by a directory: it cannot be opened.
  ASSERT_EQ(mkdir(kArchive, 0755), 0);
  EXPECT_EQ(Deliver(m, "UPGR100"), "<none>");
  rmdir(kArchive);
  EXPECT_EQ(Sent(), std::vector<std::string>{"KO\r\n Can't open upgrade file\r\n"});
  EXPECT_EQ(m->mUpgradeState, CommandManager::eUpgradeDownloadError);
  // Read-write, then back read-only after the failed open.
  EXPECT_EQ(FakeSysMgr::Get().Take().back(), (std::pair<int, int>{4, 0}));
}

TEST_F(Upgrade, ChannelSelectionIsRefusedMeanwhile) {
  ASSERT_EQ(Deliver(m, "UPGR100"), "OK\r\n");
  EXPECT_EQ(Deliver(m, "UNIT0"), "KO\r\n");
  EXPECT_EQ(Deliver(m, "DHCP1"), "KO\r\n");
  EXPECT_EQ(State(), "UPGRSTATUS1 OK\r\n\r\n");
}

}  // namespace
