#ifndef VYX_TEST_DEVICE_FAKES_H
#define VYX_TEST_DEVICE_FAKES_H

// In-test stand-ins for the processes a command manager talks to, for tests
// that run in a private IPC namespace (private_ipc.h): the SNMP agent (queues
// 1235/1236) and the system manager (queue 1240, replies on the queue the
// request names).  Both live for the whole test program: the plug-in keeps
// the queue ids it obtained once.  Also the command managers those tests
// drive, and the loop's dispatch of one command.

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "commands/commandmanager.h"
#include "snmplocal.h"
#include "systemmanager.h"
#include "uart.h"

namespace vyxtest {

inline std::string read_file(const std::string& path) {
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

// The SNMP agent: keeps every request, answers a set with "OID = INTEGER:
// VALUE" and remembers the value, a get of a remembered OID with
// "OID = STRING: "VALUE"" and any other get with "OID = INTEGER: 0".  Told to
// garble, it answers what the bridge cannot cut (the bridge's "no answer"):
// every request, or only those of the OIDs it is told to refuse.  Held, it
// behaves as a stopped process: the request it has taken stays unanswered and
// the rest wait in the queue, all answered in order once it is let go.  Lives
// for the whole program (the bridge keeps its queue ids).
class FakeAgent {
 public:
  static FakeAgent& Get() {
    static FakeAgent* agent = new FakeAgent();
    return *agent;
  }
  // Request texts as sent ("OID" or "OID t VALUE").
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> out;
    for (const Request& r : mRequests) out.push_back(r.text);
    return out;
  }
  // The same, each after its kind: "get OID", "set OID t VALUE".
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::string> out;
    for (const Request& r : mRequests) out.push_back((r.set ? "set " : "get ") + r.text);
    return out;
  }
  bool Saw(const std::string& logged) {
    for (const std::string& r : Log())
      if (r == logged) return true;
    return false;
  }
  void ClearRequests() {
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.clear();
  }
  void SetValue(const std::string& oid, const std::string& value) {
    std::lock_guard<std::mutex> lock(mMutex);
    mValues[oid] = value;
  }
  void Garble(bool on) {
    std::lock_guard<std::mutex> lock(mMutex);
    mGarble = on;
  }
  // Gets and sets of this OID are answered with garble until allowed again.
  void Refuse(const std::string& oid, bool on = true) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (on)
      mRefused.insert(oid);
    else
      mRefused.erase(oid);
  }
  void RefuseNone() {
    std::lock_guard<std::mutex> lock(mMutex);
    mRefused.clear();
  }
  void Hold(bool on) { __atomic_store_n(&mHold, on, __ATOMIC_RELEASE); }
  // Replies sent so far.
  int Answered() { return __atomic_load_n(&mAnswered, __ATOMIC_ACQUIRE); }

 private:
  struct Request {
    bool set;
    std::string text;
  };
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
      while (__atomic_load_n(&mHold, __ATOMIC_ACQUIRE)) usleep(1000);
      std::string text(m.text, strnlen(m.text, static_cast<size_t>(n)));
      std::string reply = Answer(m.msg_type == SNMP_MSG_SET, text);
      SnmpMsgType r;
      memset(&r, 0, sizeof(r));
      r.msg_type = SNMP_MSG_REPLY;
      snprintf(r.text, SNMP_TEXT_LIMIT, "%s", reply.c_str());
      // Counted before it is sent: whoever reads the reply must see the count.
      __atomic_add_fetch(&mAnswered, 1, __ATOMIC_RELEASE);
      msgsnd(mOut, &r, strlen(r.text) + 1, 0);
    }
  }
  std::string Answer(bool set, const std::string& text) {
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.push_back({set, text});
    std::string oid = text.substr(0, text.find(' '));
    if (mGarble || mRefused.count(oid) != 0) return "no such thing\n";
    if (set) {
      // "OID t VALUE"
      size_t at = text.find(' ');
      at = at == std::string::npos ? at : text.find(' ', at + 1);
      mValues[oid] = at == std::string::npos ? "" : text.substr(at + 1);
      return oid + " = INTEGER: " + mValues[oid] + "\n";
    }
    auto v = mValues.find(oid);
    if (v == mValues.end()) return oid + " = INTEGER: 0\n";
    return oid + " = STRING: \"" + v->second + "\"\n";
  }
  int mIn, mOut;
  std::mutex mMutex;
  std::vector<Request> mRequests;
  std::map<std::string, std::string> mValues;
  std::set<std::string> mRefused;
  bool mGarble = false;
  bool mHold = false;
  int mAnswered = 0;
};

// The system manager: confirms every remount, or answers with the opposite
// state when told to.  Counts the requests and keeps (partition, state) of
// each until taken.
class FakeSysMgr {
 public:
  static FakeSysMgr& Get() {
    static FakeSysMgr* sm = new FakeSysMgr();
    return *sm;
  }
  void Refuse(bool refuse) { __atomic_store_n(&mRefuse, refuse, __ATOMIC_RELAXED); }
  int Requests() { return __atomic_load_n(&mCount, __ATOMIC_RELAXED); }
  // (partition, state) of the requests since the last call.
  std::vector<std::pair<int, int>> Take() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<std::pair<int, int>> seen;
    seen.swap(mSeen);
    return seen;
  }

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
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back({m.sapp.param[3], m.sapp.param[4]});
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
  std::mutex mMutex;
  std::vector<std::pair<int, int>> mSeen;
};

// The serial port: a pseudo-terminal in raw mode whose device side the
// serial module opens in place of /dev/ttyS0.  A thread keeps reading the
// other side, so writes to the port never wait, and remembers what came.
class FakeSerial {
 public:
  static FakeSerial& Get() {
    static FakeSerial* port = new FakeSerial();
    return *port;
  }
  bool Ok() const { return mMaster >= 0; }
  const char* Path() const { return mPath; }
  // What the module wrote to the port since the last call.
  std::string Take() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::string out;
    out.swap(mSeen);
    return out;
  }
  // Waits until at least n bytes were written (or about 5 s passed).
  std::string TakeAtLeast(size_t n) {
    for (int i = 0; i < 500; i++) {
      {
        std::lock_guard<std::mutex> lock(mMutex);
        if (mSeen.size() >= n) break;
      }
      usleep(10000);
    }
    return Take();
  }
  // Bytes typed at the port's far end.
  bool Type(const std::string& bytes) {
    return write(mMaster, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
  }

 private:
  FakeSerial() {
    mMaster = posix_openpt(O_RDWR | O_NOCTTY);
    if (mMaster < 0 || grantpt(mMaster) != 0 || unlockpt(mMaster) != 0 || ptsname(mMaster) == nullptr) {
      if (mMaster >= 0) close(mMaster);
      mMaster = -1;
      snprintf(mPath, sizeof(mPath), "%s", "/nonexistent/ttyS0");
      return;
    }
    snprintf(mPath, sizeof(mPath), "%s", ptsname(mMaster));
    // Raw both ways (no echo, no line editing), as a serial line is.  The
    // device side is held open so that settings stick and reads never hang up.
    mSlave = open(mPath, O_RDWR | O_NOCTTY);
    termios t;
    if (mSlave >= 0 && tcgetattr(mSlave, &t) == 0) {
      cfmakeraw(&t);
      tcsetattr(mSlave, TCSANOW, &t);
    }
    std::thread([this] { Run(); }).detach();
  }
  void Run() {
    char buf[4096];
    for (;;) {
      ssize_t n = read(mMaster, buf, sizeof(buf));
      if (n <= 0) {
        usleep(10000);
        continue;
      }
      std::lock_guard<std::mutex> lock(mMutex);
      if (mSeen.size() < (1u << 20)) mSeen.append(buf, static_cast<size_t>(n));
    }
  }
  int mMaster = -1;
  int mSlave = -1;
  char mPath[128] = {0};
  std::mutex mMutex;
  std::string mSeen;
};

// One command manager of each role per program (the device never destroys
// one), made with the fake agent answering.
inline CommandManager* shared_manager(char type) {
  static CommandManager* managers[2] = {nullptr, nullptr};
  FakeAgent::Get();
  // Never the build host's own serial port.
  uart_device_path = FakeSerial::Get().Path();
  CommandManager*& m = managers[type == 'T' ? 0 : 1];
  if (m == nullptr) m = new CommandManager(type);
  return m;
}

// Makes a datagram safe to run in a test: no FILTER (it would wait on a
// socket), no directories in STREAMFROMFILE paths (files stay in the working
// directory), no name lookups in K720CMMD (-hostip, -hostname).
inline std::string tame_command(std::string d) {
  auto starts = [&d](const char* prefix) {
    size_t n = strlen(prefix);
    return d.size() >= n && strncasecmp(d.c_str(), prefix, n) == 0;
  };
  if (starts("FILTER")) d[0] = '#';
  if (starts("STREAMFROMFILE")) std::replace(d.begin(), d.end(), '/', '_');
  if (starts("K720CMMD")) {
    size_t at;
    while ((at = d.find("-host")) != std::string::npos) d[at] = '_';
  }
  return d;
}

// As the command loop does: the datagram in a cleared mCommand (cut to what
// the buffer holds), then dispatch.
inline std::string dispatch(CommandManager* m, const std::string& command) {
  memset(m->mCommand, 0, CommandManager::kCommandSize);
  memcpy(m->mCommand, command.data(), std::min(command.size(), static_cast<size_t>(CommandManager::kCommandSize) - 1));
  char* reply = m->ProcessCommand(m->mCommand, static_cast<int>(command.size()));
  return reply == nullptr ? "<none>" : std::string(reply);
}

}  // namespace vyxtest

#endif
