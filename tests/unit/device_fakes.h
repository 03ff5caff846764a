#ifndef VYX_TEST_DEVICE_FAKES_H
#define VYX_TEST_DEVICE_FAKES_H

// In-test stand-ins for the processes a command manager talks to, for tests
// that run in a private IPC namespace (private_ipc.h): the SNMP agent (queues
// 1235/1236) and the system manager (queue 1240, replies on the queue the
// request names).  Both live for the whole test program: the plug-in keeps
// the queue ids it obtained once.

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "snmplocal.h"
#include "systemmanager.h"

namespace vyxtest {

inline std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "<missing>";
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void write_file(const char* path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

// Answers every SNMP request with "OID = INTEGER: 0" and keeps the request
// texts.  Lives for the whole program (the bridge keeps its queue ids).
class FakeAgent {
 public:
  static FakeAgent& Get() {
    static FakeAgent* agent = new FakeAgent();
    return *agent;
  }
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mRequests;
  }

 private:
  FakeAgent() {
    mIn = msgget(SNMP_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
    mOut = msgget(SNMP_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
    std::thread([this] { Run(); }).detach();
  }
  void Run() {
    for (;;) {
      SnmpMsgType m;
      memset(&m, 0, sizeof(m));
      ssize_t n = msgrcv(mIn, &m, SNMP_TEXT_LIMIT, 0, MSG_NOERROR);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      std::string text(m.text, strnlen(m.text, static_cast<size_t>(n)));
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mRequests.push_back(text);
      }
      std::string oid = text.substr(0, text.find(' '));
      SnmpMsgType r;
      memset(&r, 0, sizeof(r));
      r.msg_type = SNMP_MSG_REPLY;
      snprintf(r.text, SNMP_TEXT_LIMIT, "%s = INTEGER: 0\n", oid.c_str());
      msgsnd(mOut, &r, strlen(r.text) + 1, 0);
    }
  }
  int mIn, mOut;
  std::mutex mMutex;
  std::vector<std::string> mRequests;
};

// The system manager: confirms every remount, or answers with the opposite
// state when told to.
class FakeSysMgr {
 public:
  static FakeSysMgr& Get() {
    static FakeSysMgr* sm = new FakeSysMgr();
    return *sm;
  }
  void Refuse(bool refuse) { __atomic_store_n(&mRefuse, refuse, __ATOMIC_RELAXED); }
  int Requests() { return __atomic_load_n(&mCount, __ATOMIC_RELAXED); }

 private:
  FakeSysMgr() {
    mQueue = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
    std::thread([this] { Run(); }).detach();
  }
  void Run() {
    for (;;) {
      SmRemountMessage m;
      memset(&m, 0, sizeof(m));
      if (msgrcv(mQueue, &m, sizeof(m.sapp), 0, MSG_NOERROR) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      __atomic_add_fetch(&mCount, 1, __ATOMIC_RELAXED);
      SmRemountMessage r;
      memset(&r, 0, sizeof(r));
      r.type = kSmReplyType;
      r.sapp.cmmdId = kSmRemountRes;
      bool refuse = __atomic_load_n(&mRefuse, __ATOMIC_RELAXED);
      r.sapp.param[4] = refuse ? !m.sapp.param[4] : m.sapp.param[4];
      int q = msgget(m.sapp.param[0], 0666);
      if (q >= 0) msgsnd(q, &r, kSmRemountTextSize, 0);
    }
  }
  int mQueue;
  bool mRefuse = false;
  int mCount = 0;
};

}  // namespace vyxtest

#endif
