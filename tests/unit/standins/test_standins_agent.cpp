// The SNMP agent stand-in (platform/standins/snmpagent) over its real queues: reply
// format per value type, the plug-in's own client against it, persistence
// across restarts, hostile requests, the reboot protocol, OIDs left
// unanswered, the burner and network commits applied to the host's eth0.

#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "snmplocal.h"
#include "standins_support.h"
#include "zernsnmp.h"

using namespace standins;

namespace {

const int kReq = 1235;
const int kRep = 1236;

void remove_queue(int key) {
  int q = msgget(key, 0666);
  if (q >= 0) msgctl(q, IPC_RMID, nullptr);
}

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_STANDIN_NAMESPACES();
    ASSERT_TRUE(file_exists(program_path("snmpagent"))) << "build the snmpagent target first";
    remove_queue(kReq);
    remove_queue(kRep);
    mDir = make_temp_dir();
    ASSERT_FALSE(mDir.empty());
    mLog = mDir + "/agent.jsonl";
  }
  void TearDown() override {
    mAgent.Stop();
    remove_tree(mDir);
  }

  void StartAgent(const std::vector<std::string>& extra = {}, const char* host = "VYX_HOST=tx") {
    std::vector<std::string> args = {"--hostdir", mDir};
    args.insert(args.end(), extra.begin(), extra.end());
    size_t starts = events(mLog, "start").size();
    ASSERT_TRUE(mAgent.Start(program_path("snmpagent"), args, {host}));
    ASSERT_TRUE(wait_event(mLog, "start", starts + 1));
  }

  // One request, its one reply ("<none>" when nothing comes within the deadline).
  std::string Request(long type, const std::string& text) {
    EXPECT_TRUE(queue_send(kReq, type, text.c_str(), text.size() + 1));
    RawMessage m;
    ssize_t n = queue_wait(kRep, 772, &m);
    if (n < 0) return "<none>";
    return std::string(m.text, strnlen(m.text, static_cast<size_t>(n)));
  }
  std::string Get(const std::string& oid) { return Request(770, oid); }
  std::string Set(const std::string& text) { return Request(769, text); }

  // What the plug-in's reply cutter makes of a reply (null -> "<null>").
  static std::string Cut(const std::string& reply) {
    std::vector<char> buf(reply.begin(), reply.end());
    buf.push_back('\0');
    char* v = snmp_cut_value(buf.data());
    return v == nullptr ? "<null>" : std::string(v);
  }

  std::string mDir, mLog;
  Child mAgent;
};

const std::string kZern = ".1.3.6.1.4.1.32473.3.5.13.0";
const std::string kIp = ".1.3.6.1.4.1.32473.3.1.1.0";
const std::string kDhcp = ".1.3.6.1.4.1.32473.3.1.6.0";
const std::string kDomain = ".1.3.6.1.4.1.32473.3.1.13.0";
const std::string kSerial = ".1.3.6.1.4.1.32473.3.2.14.0";
const std::string kReboot = ".1.3.6.1.4.1.32473.3.5.7.0";
const std::string kItem = ".1.3.6.1.4.1.32473.3.3.1.0";
const std::string kMask = ".1.3.6.1.4.1.32473.3.1.2.0";
const std::string kGateway = ".1.3.6.1.4.1.32473.3.1.3.0";
const std::string kCommit = ".1.3.6.1.4.1.32473.3.1.7.0";
const std::string kUpgrade = ".1.3.6.1.4.1.32473.3.5.32.0";

std::string command_output(const std::string& cmd) {
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return "<popen failed>";
  char buf[512];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

long long file_size(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

TEST_F(AgentTest, RepliesInTheAgentFormatForEachType) {
  StartAgent({"--ip", "10.77.0.2", "--mask", "255.255.255.0"});
  std::string zern = Get(kZern);
  EXPECT_EQ(zern.compare(0, kZern.size() + 12, kZern + " = INTEGER: "), 0) << zern;
  long version = strtol(Cut(zern).c_str(), nullptr, 10);
  EXPECT_EQ((version >> 24) & 0xFF, 4);
  EXPECT_EQ(version & 0x00FF0000, 0x000E0000) << "transmitter board";
  EXPECT_EQ(Get(kIp), kIp + " = IpAddress: 10.77.0.2\n");
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 0\n");
  EXPECT_EQ(Get(kDomain), kDomain + " = STRING: \"local\"\n");
  EXPECT_EQ(Cut(Get(kDomain)), "local");
  // A quoted value comes back with its own quotes through the cutter.
  EXPECT_EQ(Cut(Get(kSerial)), "\"9600,N,8,1\"");

  // A set answers with the new value in the same form.
  EXPECT_EQ(Set(kDhcp + " i 1"), kDhcp + " = INTEGER: 1\n");
  EXPECT_EQ(Set(kIp + " a 10.77.0.9"), kIp + " = IpAddress: 10.77.0.9\n");
  EXPECT_EQ(Set(kDomain + " s two words"), kDomain + " = STRING: \"two words\"\n");
  EXPECT_EQ(Cut(Get(kDomain)), "two words");

  // Every row of the settings table that has an OID answers a get.
  for (int row = 0; row < ZERN_SETTINGS_COUNT; row++) {
    if (ZernSettings[row].snmp_cmd[0] == '\0') continue;
    EXPECT_NE(Cut(Get(ZernSettings[row].snmp_cmd)), "<null>") << ZernSettings[row].field_name;
  }

  std::vector<std::string> sets = events(mLog, "set");
  ASSERT_EQ(sets.size(), 3u);
  EXPECT_EQ(json_get(sets[2], "oid"), kDomain);
  EXPECT_EQ(json_get(sets[2], "request"), kDomain + " s two words");
  EXPECT_EQ(json_get(sets[2], "reply"), kDomain + " = STRING: \"two words\"\n");
}

// A handful of settings as the device documents them: the table's name,
// request type and OID, and the agent's answer in that type's form.
TEST_F(AgentTest, DocumentedSettingsKeepTheirOidsAndTypes) {
  struct Row {
    ZernSettingEnum setting;
    const char* name;
    const char* type;
    const char* oid;
    const char* replyForm;  // what follows "<oid> = " in a get's answer
  } rows[] = {
      {eZERN_VERSION, "ZERN_VERSION", "", ".1.3.6.1.4.1.32473.3.5.13.0", "INTEGER: "},
      {eIP_MASK, "IP_MASK", "a", ".1.3.6.1.4.1.32473.3.1.2.0", "IpAddress: "},
      {eDHCP_ENABLE, "DHCP_ENABLE", "i", ".1.3.6.1.4.1.32473.3.1.6.0", "INTEGER: "},
      {eDOMAIN, "DOMAIN", "s", ".1.3.6.1.4.1.32473.3.1.13.0", "STRING: "},
      {eMULTIPLE_UPGRADE, "MULTIPLE_UPGRADE", "s", ".1.3.6.1.4.1.32473.3.5.32.0", nullptr},
      {eIR_CONTROL, "IR_CONTROL", "i", ".1.3.6.1.4.1.32473.3.5.27.0", "INTEGER: "},
      {eNETWORK_BUFFER_SIZE, "NETWORK_BUFFER_SIZE", "i", ".1.3.6.1.4.1.32473.3.3.43.0", "INTEGER: "},
  };
  for (const Row& r : rows) {
    EXPECT_STREQ(ZernSettings[r.setting].field_name, r.name) << r.name;
    EXPECT_STREQ(ZernSettings[r.setting].type, r.type) << r.name;
    EXPECT_STREQ(ZernOid(r.setting), r.oid) << r.name;
  }
  StartAgent({"--ip", "10.77.0.2", "--mask", "255.255.255.0"});
  for (const Row& r : rows) {
    if (r.replyForm == nullptr) continue;
    std::string want = std::string(r.oid) + " = " + r.replyForm;
    EXPECT_EQ(Get(r.oid).compare(0, want.size(), want), 0) << r.name;
  }
  EXPECT_EQ(Get(".1.3.6.1.4.1.32473.3.1.2.0"), ".1.3.6.1.4.1.32473.3.1.2.0 = IpAddress: 255.255.255.0\n");
}

TEST_F(AgentTest, ReceiverBoardVersionAndThePluginClient) {
  StartAgent({}, "VYX_HOST=rx");
  SnmpLocal snmp;  // the plug-in's own bridge, against the running agent
  char* v = snmp.SnmpGet(kZern.c_str());
  ASSERT_NE(v, nullptr);
  long version = strtol(v, nullptr, 10);
  EXPECT_EQ((version >> 24) & 0xFF, 4);
  EXPECT_NE(version & 0x00FF0000, 0x000E0000);
  EXPECT_NE(version & 0x00FF0000, 0x000F0000);
  ASSERT_NE(snmp.SnmpSet("%s i %d", ZernOid(eNETWORK_BUFFER_SIZE), 3072), nullptr);
  v = snmp.SnmpGet(ZernOid(eNETWORK_BUFFER_SIZE));
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "3072");
  // An unknown object is "no answer" for the plug-in.
  EXPECT_EQ(snmp.SnmpGet(".1.3.6.1.4.1.32473.3.9.9.0"), nullptr);
  EXPECT_EQ(snmp.SnmpSet("%s a %s", ZernOid(eIP_ADDRESS), ""), nullptr);
}

TEST_F(AgentTest, SettingsSurviveARestart) {
  StartAgent();
  EXPECT_EQ(Set(kDhcp + " i 1"), kDhcp + " = INTEGER: 1\n");
  EXPECT_EQ(Set(kIp + " a 10.1.2.3"), kIp + " = IpAddress: 10.1.2.3\n");
  EXPECT_EQ(Set(kSerial + " s \"19200,E,7,2\""), kSerial + " = STRING: \"\"19200,E,7,2\"\"\n");
  EXPECT_NE(Set(kReboot + " i 0").find("INTEGER: 0"), std::string::npos);
  EXPECT_EQ(mAgent.Stop(), 0);

  std::string saved = read_file(mDir + "/agent-settings.txt");
  EXPECT_NE(saved.find(kIp + " a 10.1.2.3\n"), std::string::npos) << saved;
  EXPECT_EQ(saved.find(kReboot), std::string::npos) << "an action is not a setting";

  StartAgent();
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 1\n");
  EXPECT_EQ(Get(kIp), kIp + " = IpAddress: 10.1.2.3\n");
  EXPECT_EQ(Cut(Get(kSerial)), "\"19200,E,7,2\"");
  std::vector<std::string> starts = events(mLog, "start");
  ASSERT_EQ(starts.size(), 2u);
  EXPECT_EQ(json_get(starts[1], "applied"), "3");

  // A damaged settings file costs only its bad lines.
  mAgent.Stop();
  write_file(mDir + "/agent-settings.txt", kIp + " a 999.1.1.1\n" + kDhcp + " i 0\ngarbage\n" + kZern + " i 5\n");
  StartAgent();
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 0\n");
  EXPECT_EQ(Get(kIp).find("999"), std::string::npos);
  EXPECT_EQ(Get(kZern).find("INTEGER: 5\n"), std::string::npos) << "read-only values are not loaded";
  EXPECT_EQ(json_get(events(mLog, "start").back(), "skipped"), "3");
}

TEST_F(AgentTest, HostileRequestsGetOneErrorShapedReplyEach) {
  StartAgent();
  // Each of these must be answered exactly once with something the plug-in
  // reads as "no answer".
  const std::vector<std::pair<long, std::string>> bad = {
      {770, ""},
      {770, ".1.3.6.1.4.1.32473.3.9.9.0"},
      {770, "not.an.oid"},
      {769, kIp},                     // no type, no value
      {769, kIp + " i 5"},            // wrong type for the row
      {769, kIp + " a 10.0.0"},       // not an address
      {769, kDhcp + " i 12x"},        // not an integer
      {769, kDhcp + " i 99999999999"},  // out of range
      {769, kDhcp + " q 1"},          // unknown type letter
      {769, kDomain + " s a\tb"},     // control character
      {769, kZern + " i 1"},          // read-only
      {769, ".1.3.6.1.4.1.32473.3.9.9.0 i 1"},
      {769, kDomain + " s " + std::string(900, 'x')},  // value too long
      {770, std::string(5000, '1')},  // request too long
  };
  for (const auto& b : bad) {
    std::string reply = Request(b.first, b.second);
    EXPECT_NE(reply, "<none>") << b.second.substr(0, 60);
    EXPECT_EQ(Cut(reply), "<null>") << b.second.substr(0, 60) << " -> " << reply;
    EXPECT_LT(reply.size(), 1024u);
  }
  EXPECT_EQ(queue_count(kRep), 0) << "one reply per request";

  // A request that fills its text without a terminator, and a message type the
  // agent does not serve (no reply), then a good request still answered in order.
  std::string full(8000, '7');
  EXPECT_TRUE(queue_send(kReq, 770, full.data(), full.size()));
  RawMessage m;
  EXPECT_GE(queue_wait(kRep, 772, &m), 0);
  EXPECT_TRUE(queue_send(kReq, 5, "junk", 4));
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 0\n");
  EXPECT_EQ(events(mLog, "ignored").size(), 1u);
  EXPECT_TRUE(mAgent.Running());
  // Nothing bad was stored.
  EXPECT_EQ(Get(kDomain), kDomain + " = STRING: \"local\"\n");
}

TEST_F(AgentTest, RebootAnswersThenEndsThePlayer) {
  Child player;  // any process stands for the player here
  ASSERT_TRUE(player.Start("/bin/sleep", {"60"}));
  write_file(mDir + "/player.pid", std::to_string(player.Pid()) + "\n");
  StartAgent();
  EXPECT_EQ(Set(kReboot + " i 0"), kReboot + " = INTEGER: 0\n");
  ASSERT_TRUE(wait_for([&] { return !player.Running(); }));
  int status = player.Stop();
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  EXPECT_TRUE(file_exists(mDir + "/reboot-requested"));
  ASSERT_TRUE(wait_event(mLog, "reboot"));
  EXPECT_EQ(json_get(events(mLog, "reboot")[0], "signalled"), "true");

  // A network commit is answered and logged.
  EXPECT_EQ(Set(kCommit + " i 0"), kCommit + " = INTEGER: 0\n");
  ASSERT_TRUE(wait_event(mLog, "network_commit"));
}

TEST_F(AgentTest, ChosenOidsAreServedButNeverAnswered) {
  StartAgent({"--silent-oid", kIp});
  // The silent get is logged; the next reply on the queue is the next request's.
  ASSERT_TRUE(queue_send(kReq, 770, kIp.c_str(), kIp.size() + 1));
  ASSERT_TRUE(wait_event(mLog, "get"));
  EXPECT_EQ(json_get(events(mLog, "get")[0], "silent"), "true");
  EXPECT_EQ(json_get(events(mLog, "get")[0], "answered"), "false");
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 0\n");
  EXPECT_EQ(queue_count(kRep), 0);

  // The file is read again at every request, OIDs in any accepted spelling.
  write_file(mDir + "/agent-silent.txt", "\n" + kDhcp.substr(1) + "\r\n");
  ASSERT_TRUE(queue_send(kReq, 769, (kDhcp + " i 1").c_str(), kDhcp.size() + 5));
  ASSERT_TRUE(wait_event(mLog, "set"));
  EXPECT_EQ(json_get(events(mLog, "set")[0], "silent"), "true");
  EXPECT_EQ(Get(kZern).compare(0, kZern.size(), kZern), 0);
  write_file(mDir + "/agent-silent.txt", "");
  EXPECT_EQ(Get(kDhcp), kDhcp + " = INTEGER: 1\n") << "the silent set was still made";
}

TEST_F(AgentTest, BurnChecksTheArchiveLogsItAndRestarts) {
  Child player;
  ASSERT_TRUE(player.Start("/bin/sleep", {"60"}));
  write_file(mDir + "/player.pid", std::to_string(player.Pid()) + "\n");
  write_file(mDir + "/a.txt", "first member\n");
  write_file(mDir + "/b.bin", std::string(3000, '\x5a'));
  std::string tarCmd = "tar -cf " + mDir + "/up.tar -C " + mDir + " a.txt b.bin";
  ASSERT_EQ(system(tarCmd.c_str()), 0);
  write_file(mDir + "/junk.tar", std::string(20480, 'j'));
  StartAgent({"--burn-ms", "0"});

  // Not a tar: a failed burn, and the device is left alone.
  EXPECT_EQ(Set(kUpgrade + " s ide://" + mDir + "/junk.tar"),
            kUpgrade + " = STRING: \"ide://" + mDir + "/junk.tar\"\n");
  ASSERT_TRUE(wait_event(mLog, "burn"));
  std::string failed = events(mLog, "burn")[0];
  EXPECT_EQ(json_get(failed, "ok"), "false");
  EXPECT_EQ(json_get(failed, "error"), "not a tar archive");
  Set(kUpgrade + " s ftp://elsewhere/up.tar");
  ASSERT_TRUE(wait_event(mLog, "burn", 2));
  EXPECT_EQ(json_get(events(mLog, "burn")[1], "error"), "not an ide:// source");
  Set(kUpgrade + " s ide://" + mDir + "/missing.tar");
  ASSERT_TRUE(wait_event(mLog, "burn", 3));
  EXPECT_EQ(json_get(events(mLog, "burn")[2], "error"), "cannot read the archive");
  EXPECT_TRUE(player.Running());
  EXPECT_TRUE(events(mLog, "reboot").empty());

  // A tar archive: members, size and SHA-256 logged, then the restart.
  Set(kUpgrade + " s ide://" + mDir + "/up.tar");
  ASSERT_TRUE(wait_event(mLog, "burn", 4));
  std::string burn = events(mLog, "burn")[3];
  EXPECT_EQ(json_get(burn, "ok"), "true");
  EXPECT_EQ(json_get(burn, "members"), "2");
  EXPECT_NE(burn.find("\"names\":[\"a.txt\",\"b.bin\"]"), std::string::npos) << burn;
  FILE* p = popen(("sha256sum " + mDir + "/up.tar").c_str(), "r");
  ASSERT_NE(p, nullptr);
  char sum[65] = {0};
  ASSERT_EQ(fread(sum, 1, 64, p), 64u);
  pclose(p);
  EXPECT_EQ(json_get(burn, "sha256"), sum);
  EXPECT_EQ(json_get(burn, "size"), std::to_string(file_size(mDir + "/up.tar")));
  ASSERT_TRUE(wait_for([&] { return !player.Running(); }));
  EXPECT_TRUE(file_exists(mDir + "/reboot-requested"));
  EXPECT_EQ(events(mLog, "reboot").size(), 1u);
}

TEST_F(AgentTest, NetworkCommitMovesTheHostsEth0) {
  // This test's private network gets an eth0 of its own.
  ASSERT_EQ(system("ip link add eth0 type veth peer name eth0peer && ip link set eth0peer up && ip link set eth0 up && "
                   "ip addr add 10.77.0.2/24 dev eth0"), 0);
  StartAgent();
  Set(kIp + " a 10.77.5.20");
  Set(kMask + " a 255.255.0.0");
  Set(kGateway + " a 10.77.0.1");
  Set(kDhcp + " i 0");
  EXPECT_EQ(Set(kCommit + " i 0"), kCommit + " = INTEGER: 0\n");
  ASSERT_TRUE(wait_event(mLog, "network_apply"));
  EXPECT_EQ(json_get(events(mLog, "network_apply")[0], "ok"), "true");
  EXPECT_EQ(command_output("ip -4 -o addr show dev eth0 | awk '{print $4}'"), "10.77.5.20/16\n");
  EXPECT_EQ(command_output("ip -4 route show default"), "default via 10.77.0.1 dev eth0 \n");
  EXPECT_NE(command_output("ip -4 route show 224.0.0.0/4"), "");

  // A mask that is no mask changes nothing.
  Set(kMask + " a 255.0.255.0");
  Set(kCommit + " i 0");
  ASSERT_TRUE(wait_event(mLog, "network_apply", 2));
  EXPECT_EQ(json_get(events(mLog, "network_apply")[1], "failed"), "mask");
  EXPECT_EQ(command_output("ip -4 -o addr show dev eth0 | awk '{print $4}'"), "10.77.5.20/16\n");

  // With DHCP on, the addresses read back are the host's own (the lease's),
  // while the stored static ones stay for later.
  Set(kIp + " a 10.77.9.9");
  EXPECT_EQ(Get(kIp), kIp + " = IpAddress: 10.77.9.9\n");
  Set(kDhcp + " i 1");
  EXPECT_EQ(Get(kIp), kIp + " = IpAddress: 10.77.5.20\n");
  EXPECT_EQ(Get(kMask), kMask + " = IpAddress: 255.255.0.0\n");
  EXPECT_EQ(Get(kGateway), kGateway + " = IpAddress: 10.77.0.1\n");
  Set(kDhcp + " i 0");
  EXPECT_EQ(Get(kIp), kIp + " = IpAddress: 10.77.9.9\n");
  EXPECT_EQ(system("ip link del eth0"), 0);
}

TEST_F(AgentTest, CurrentItemFollowsThePlayer) {
  StartAgent();
  EXPECT_EQ(Cut(Get(kItem)), "None");
  write_file(mDir + "/player-item.txt", "Stream udp://239.1.1.1:5000\n");
  EXPECT_EQ(Get(kItem), kItem + " = STRING: \"Stream udp://239.1.1.1:5000\"\n");
}

}  // namespace
