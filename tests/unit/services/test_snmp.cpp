// SNMP bridge: cutting the value out of agent replies, the request texts and
// their limits, the settings table, and the bounded wait for an agent that
// does not answer.  The exchanges run against a small agent thread in a
// private IPC namespace (queues 1235/1236).

#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/msg.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "private_ipc.h"
#include "snmplocal.h"
#include "zernsnmp.h"

namespace {

// The wait for the agent falls to its floor (1 s) here.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "30", 1), true);

std::string Cut(const std::string& reply, std::string* err = nullptr) {
  char buf[2048];
  snprintf(buf, sizeof(buf), "%s", reply.c_str());
  testing::internal::CaptureStderr();
  char* v = snmp_cut_value(buf);
  std::string e = testing::internal::GetCapturedStderr();
  if (err != nullptr) *err = e;
  return v == nullptr ? std::string("<null>") : std::string(v);
}

TEST(SnmpCut, ValuesOfTypicalReplies) {
  EXPECT_EQ(Cut(".1.3.6.1.4.1.32473.3.1.1.0 = IpAddress: 10.0.0.5\n"), "10.0.0.5");
  EXPECT_EQ(Cut(".1.3.6.1.4.1.32473.3.1.13.0 = STRING: \"lab.local\"\n"), "lab.local");
  EXPECT_EQ(Cut(".1.3.6.1.4.1.32473.3.1.13.0 = STRING: \"lab.local\" \r\n"), "lab.local");
  EXPECT_EQ(Cut(".1.3.6.1.4.1.32473.3.5.13.0 = INTEGER: 67305472\r\n"), "67305472");
  // Only the first CR, then the first LF, end the value.
  EXPECT_EQ(Cut("x = STRING: a b\rc\n"), "a b");
  EXPECT_EQ(Cut("x = STRING: ab\ncd\r"), "ab");
  // Only one trailing blank goes, then one closing quote.
  EXPECT_EQ(Cut("x = STRING: \"v\"  \n"), "v\" ");
  EXPECT_EQ(Cut("x = STRING: v\"\"\n"), "v\"");
  // Colons inside the value stay (the first ':' of the text counts).
  EXPECT_EQ(Cut("x = STRING: \"ide://a:b\"\n"), "ide://a:b");
}

TEST(SnmpCut, MalformedRepliesAreRefusedOrStayInside) {
  std::string err;
  EXPECT_EQ(Cut("no equals sign: here", &err), "<null>");
  EXPECT_NE(err.find("could not find a '=' in snmp response"), std::string::npos);
  EXPECT_EQ(Cut("x = nothing", &err), "<null>");
  EXPECT_NE(err.find("could not find a ':' in snmp response"), std::string::npos);
  // A reply that ends at the ':' (or one character after it) has an empty
  // value; the cut never steps past the end of the text.
  EXPECT_EQ(Cut("x = STRING:"), "");
  EXPECT_EQ(Cut("x = STRING: "), "");
  EXPECT_EQ(Cut("x = STRING: \""), "");
  EXPECT_EQ(Cut("x = STRING: \"\"\n"), "");
  EXPECT_EQ(Cut(""), "<null>");
}

TEST(ZernTable, PositionsAndOids) {
  EXPECT_EQ(eNETWORK_BUFFER_SIZE, 68);
  EXPECT_STREQ(ZernSettings[0].field_name, "FIRMWARE_VERSION");
  EXPECT_STREQ(ZernOid(eZERN_VERSION), ".1.3.6.1.4.1.32473.3.5.13.0");
  EXPECT_STREQ(ZernOid(eIP_ADDRESS), ".1.3.6.1.4.1.32473.3.1.1.0");
  EXPECT_STREQ(ZernSettings[eIP_ADDRESS].type, "a");
  EXPECT_STREQ(ZernOid(eREBOOT), ".1.3.6.1.4.1.32473.3.5.7.0");
  EXPECT_STREQ(ZernOid(eSERIAL_PARAMETERS), ".1.3.6.1.4.1.32473.3.2.14.0");
  EXPECT_STREQ(ZernSettings[eSERIAL_PARAMETERS].type, "s");
  EXPECT_STREQ(ZernOid(eCLOSE_CAPTION), ".1.3.6.1.4.1.32473.3.3.54.0");
  EXPECT_STREQ(ZernOid(eNETWORK_BUFFER_SIZE), ".1.3.6.1.4.1.32473.3.3.43.0");
  EXPECT_STREQ(ZernSettings[eWIRELESS_DOMAIN].type, "?");
  EXPECT_STREQ(ZernOid(eBUILD_DATE), "");
  // Every OID is unique and lies under the enterprise subtree.
  for (int i = 0; i < ZERN_SETTINGS_COUNT; i++) {
    const char* oid = ZernSettings[i].snmp_cmd;
    if (oid[0] == 0) continue;
    EXPECT_EQ(strncmp(oid, ".1.3.6.1.4.1.32473.3.", 21), 0) << i;
    for (int j = i + 1; j < ZERN_SETTINGS_COUNT; j++) EXPECT_STRNE(oid, ZernSettings[j].snmp_cmd);
  }
}

// A stand-in agent: answers each request with the prepared reply and keeps
// the last request it saw.
class FakeAgent {
 public:
  FakeAgent() {
    rx_ = msgget(SNMP_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    tx_ = msgget(SNMP_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
  }
  ~FakeAgent() {
    if (thread_.joinable()) thread_.join();
  }
  // Serves one request in the background with `reply` (sent as is, without
  // a terminator).
  void ServeOne(const std::string& reply) {
    thread_ = std::thread([this, reply] {
      struct {
        long mtype;
        char text[4096];
      } m;
      ssize_t n = msgrcv(rx_, &m, sizeof(m.text), 0, 0);
      if (n < 0) return;
      request_type_ = m.mtype;
      request_.assign(m.text, static_cast<size_t>(n));
      m.mtype = SNMP_MSG_REPLY;
      memcpy(m.text, reply.data(), reply.size());
      msgsnd(tx_, &m, reply.size(), 0);
    });
  }
  // Takes one request in the background and never answers it, as an agent
  // that stopped while working on it.
  void TakeOne() {
    thread_ = std::thread([this] {
      struct {
        long mtype;
        char text[4096];
      } m;
      ssize_t n = msgrcv(rx_, &m, sizeof(m.text), 0, 0);
      if (n >= 0) request_.assign(m.text, static_cast<size_t>(n));
    });
  }
  // Serves one request in the background, answering first the request it had
  // taken before it stopped (`late`) and then this one (`reply`).
  void ServeOneAfter(const std::string& late, const std::string& reply) {
    thread_ = std::thread([this, late, reply] {
      struct {
        long mtype;
        char text[4096];
      } m;
      if (msgrcv(rx_, &m, sizeof(m.text), 0, 0) < 0) return;
      Reply(late);
      Reply(reply);
    });
  }
  // Sends one reply now, as the agent does when it runs again.
  void Reply(const std::string& reply) {
    struct {
      long mtype;
      char text[4096];
    } m;
    m.mtype = SNMP_MSG_REPLY;
    memcpy(m.text, reply.data(), reply.size());
    msgsnd(tx_, &m, reply.size(), 0);
  }
  // Requests waiting in the queue.
  unsigned long Queued() {
    struct msqid_ds ds;
    return msgctl(rx_, IPC_STAT, &ds) == 0 ? static_cast<unsigned long>(ds.msg_qnum) : 9999;
  }
  void Join() { thread_.join(); }
  int requests() const { return rx_; }
  long request_type_ = 0;
  std::string request_;

 private:
  int rx_ = -1;
  int tx_ = -1;
  std::thread thread_;
};

class SnmpQueues : public ::testing::Test {
 protected:
  void SetUp() override { REQUIRE_PRIVATE_IPC(); }
};

TEST_F(SnmpQueues, GetSendsTheOidAndReturnsTheValue) {
  SnmpLocal snmp;
  FakeAgent agent;
  agent.ServeOne(".1.3.6.1.4.1.32473.3.1.1.0 = IpAddress: 10.0.0.5\n");
  char* v = snmp.SnmpGet(".1.3.6.1.4.1.32473.3.1.1.0");
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "10.0.0.5");
  EXPECT_EQ(agent.request_type_, SNMP_MSG_GET);
  // The OID, its terminator and three more zero bytes.
  EXPECT_EQ(agent.request_, std::string(".1.3.6.1.4.1.32473.3.1.1.0") + std::string(4, '\0'));
}

TEST_F(SnmpQueues, SetFormatsTheRequest) {
  SnmpLocal snmp;
  FakeAgent agent;
  agent.ServeOne("x = INTEGER: 1\n");
  char* v = snmp.SnmpSet("%s i %d", ZernOid(eDHCP_ENABLE), 1);
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "1");
  EXPECT_EQ(agent.request_type_, SNMP_MSG_SET);
  EXPECT_EQ(agent.request_, std::string(".1.3.6.1.4.1.32473.3.1.6.0 i 1") + std::string(4, '\0'));
}

TEST_F(SnmpQueues, LongRequestsAreCutAt1023) {
  SnmpLocal snmp;
  FakeAgent agent;
  agent.ServeOne("x = STRING: ok\n");
  std::string longValue(2000, 'v');
  ASSERT_NE(snmp.SnmpSet("%s s %s", ZernOid(eDOMAIN), longValue.c_str()), nullptr);
  agent.Join();
  ASSERT_EQ(agent.request_.size(), 1023u + 4u);
  EXPECT_EQ(strlen(agent.request_.c_str()), 1023u);

  agent.ServeOne("x = STRING: ok\n");
  ASSERT_NE(snmp.SnmpGet(longValue.c_str()), nullptr);
  agent.Join();
  EXPECT_EQ(agent.request_.size(), 1027u);
}

TEST_F(SnmpQueues, LongRepliesAreCutAndTerminated) {
  SnmpLocal snmp;
  FakeAgent agent;
  // Unterminated 1100-byte reply: 1024 bytes are kept and the value ends
  // there, without anything of the earlier request.
  std::string reply = "x = STRING: " + std::string(1100 - 12, 'r');
  agent.ServeOne(reply);
  char* v = snmp.SnmpSet("%s s %s", "y", std::string(1020, 'q').c_str());
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v), std::string(1024 - 12, 'r'));

  // An unterminated short reply after a long request: nothing of the
  // request is read as the value's tail.
  agent.ServeOne("x = STRING: ab");
  v = snmp.SnmpSet("%s s %s", "y", std::string(1000, 'q').c_str());
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "ab");

  agent.ServeOne("no separator at all");
  testing::internal::CaptureStderr();
  v = snmp.SnmpGet(".1");
  std::string err = testing::internal::GetCapturedStderr();
  agent.Join();
  EXPECT_EQ(v, nullptr);
  EXPECT_NE(err.find("could not find a '=' in snmp response"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Bounded wait
// ---------------------------------------------------------------------------
double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

const char kOidA[] = ".1.3.6.1.4.1.32473.3.1.1.0";
const char kOidB[] = ".1.3.6.1.4.1.32473.3.1.2.0";

TEST(SnmpWait, BoundIsScaledDownToAFloor) {
  EXPECT_DOUBLE_EQ(SnmpLocal::ReplyWait(1.0), 3.0);
  EXPECT_DOUBLE_EQ(SnmpLocal::ReplyWait(2.0), 1.5);
  EXPECT_DOUBLE_EQ(SnmpLocal::ReplyWait(1000.0), 1.0);
  EXPECT_DOUBLE_EQ(SnmpLocal::ReplyWait(0.5), 6.0);
}

TEST_F(SnmpQueues, SilentAgentIsNoAnswerAndItsRequestIsTakenBack) {
  SnmpLocal snmp;
  FakeAgent agent;
  auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  char* v = snmp.SnmpSet("%s i %d", ZernOid(eREBOOT), 0);
  std::string err = testing::internal::GetCapturedStderr();
  double waited = Seconds(start);
  EXPECT_EQ(v, nullptr);
  EXPECT_NE(err.find("no reply from the snmp agent"), std::string::npos) << err;
  EXPECT_GE(waited, 0.95);
  EXPECT_LT(waited, 20.0);
  // Nobody took the reboot: it is not left for the agent to carry out later,
  // and no reply is awaited for it.
  EXPECT_EQ(agent.Queued(), 0u);
  EXPECT_EQ(snmp.mLateReplies, 0);

  agent.ServeOne(std::string(kOidA) + " = IpAddress: 10.0.0.5\n");
  v = snmp.SnmpGet(kOidA);
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "10.0.0.5");
}

TEST_F(SnmpQueues, LateRepliesAreNotTakenForLaterAnswers) {
  SnmpLocal snmp;
  FakeAgent agent;
  const std::string late = std::string(kOidA) + " = STRING: \"late\"\n";
  const std::string mine = std::string(kOidB) + " = STRING: \"mine\"\n";

  // The agent takes the request and stops; its reply arrives before the next
  // request is sent.
  agent.TakeOne();
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp.SnmpGet(kOidA), nullptr);
  testing::internal::GetCapturedStderr();
  agent.Join();
  EXPECT_EQ(agent.request_, std::string(kOidA) + std::string(4, '\0'));
  EXPECT_EQ(snmp.mLateReplies, 1);
  agent.Reply(late);
  agent.ServeOne(mine);
  char* v = snmp.SnmpGet(kOidB);
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "mine");
  EXPECT_EQ(snmp.mLateReplies, 0);

  // The late reply comes while the next exchange waits for its own.
  agent.TakeOne();
  testing::internal::CaptureStderr();
  EXPECT_EQ(snmp.SnmpGet(kOidA), nullptr);
  testing::internal::GetCapturedStderr();
  agent.Join();
  agent.ServeOneAfter(late, mine);
  v = snmp.SnmpGet(kOidB);
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "mine");
  EXPECT_EQ(snmp.mLateReplies, 0);
}

TEST_F(SnmpQueues, FullRequestQueueIsGivenUpOn) {
  SnmpLocal snmp;
  FakeAgent agent;
  struct {
    long mtype;
    char text[1000];
  } junk;
  junk.mtype = SNMP_MSG_GET;
  memset(junk.text, 'j', sizeof(junk.text));
  // Filled to the last byte: large messages, then ever smaller ones.
  int queued = 0;
  for (size_t size : {1000, 100, 10, 1})
    while (queued < 100000 && msgsnd(agent.requests(), &junk, size, IPC_NOWAIT) == 0) queued++;
  ASSERT_GT(queued, 0);
  ASSERT_LT(queued, 100000);

  auto start = std::chrono::steady_clock::now();
  testing::internal::CaptureStderr();
  char* v = snmp.SnmpGet(kOidA);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(v, nullptr);
  EXPECT_NE(err.find("snmp agent takes no requests"), std::string::npos) << err;
  EXPECT_GE(Seconds(start), 0.95);
  EXPECT_EQ(snmp.mLateReplies, 0);
  EXPECT_EQ(agent.Queued(), static_cast<unsigned long>(queued));

  // The agent runs again and empties the queue (those replies go elsewhere).
  while (msgrcv(agent.requests(), &junk, sizeof(junk.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }
  agent.ServeOne(std::string(kOidA) + " = IpAddress: 10.0.0.6\n");
  v = snmp.SnmpGet(kOidA);
  agent.Join();
  ASSERT_NE(v, nullptr);
  EXPECT_STREQ(v, "10.0.0.6");
}

}  // namespace
