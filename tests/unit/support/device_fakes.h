#ifndef VYX_TEST_DEVICE_FAKES_H
#define VYX_TEST_DEVICE_FAKES_H

// In-test stand-ins for the processes a command manager talks to, for tests
// that run in a private IPC namespace (private_ipc.h): the SNMP agent (queues
// 1235/1236), the system manager (queue 1240, replies on the queue the
// request names), the serial port and the on-screen browser (945602/31561).  Both live for the whole test program: the plug-in keeps
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
#include "sharedmem.h"
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
  // The next request is answered with `reply` as it is (any bytes, no
  // terminator added, cut to what a reply holds); several queue up.
  void Script(const std::string& reply) {
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.push_back(reply);
  }
  void ClearScript() {
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.clear();
  }
  // A reply sent at once, without a request: one meant for another client,
  // or an answer sent twice.
  void Stray(const std::string& reply) { SendReply(reply); }
  // Each request taken is answered only once another request waits behind
  // it: an agent that stopped and is woken by the next request.
  void WakeOnNext(bool on) { __atomic_store_n(&mWakeOnNext, on, __ATOMIC_RELEASE); }
  // Jammed, the agent takes nothing and its request queue is full (of
  // another client's requests), so a request cannot even be queued.  Let go,
  // those requests are taken out unanswered.  Not while held.
  void Jam(bool on) {
    if (on == __atomic_load_n(&mJammed, __ATOMIC_ACQUIRE)) return;
    SnmpMsgType m;
    memset(&m, 0, sizeof(m));
    if (on) {
      __atomic_store_n(&mJammed, true, __ATOMIC_RELEASE);
      // The first one parks the agent; the rest fill the queue to its last
      // byte (large ones, then one-byte ones).
      m.msg_type = SNMP_MSG_GET;
      snprintf(m.text, sizeof(m.text), "%s", kJamText);
      msgsnd(mIn, &m, SNMP_TEXT_LIMIT, 0);
      for (int i = 0; i < 5000 && !__atomic_load_n(&mParked, __ATOMIC_ACQUIRE); i++) usleep(1000);
      while (msgsnd(mIn, &m, SNMP_TEXT_LIMIT, IPC_NOWAIT) == 0) {
      }
      while (msgsnd(mIn, &m, 1, IPC_NOWAIT) == 0) {
      }
      return;
    }
    while (msgrcv(mIn, &m, SNMP_TEXT_LIMIT, 0, MSG_NOERROR | IPC_NOWAIT) >= 0) {
    }
    __atomic_store_n(&mJammed, false, __ATOMIC_RELEASE);
  }

 private:
  struct Request {
    bool set;
    std::string text;
  };
  static constexpr const char* kJamText = "#jam";
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
      if (n > 0 && strncmp(m.text, kJamText, static_cast<size_t>(n)) == 0) {
        __atomic_store_n(&mParked, true, __ATOMIC_RELEASE);
        while (__atomic_load_n(&mJammed, __ATOMIC_ACQUIRE)) usleep(1000);
        __atomic_store_n(&mParked, false, __ATOMIC_RELEASE);
        continue;
      }
      while (__atomic_load_n(&mHold, __ATOMIC_ACQUIRE)) usleep(1000);
      while (__atomic_load_n(&mWakeOnNext, __ATOMIC_ACQUIRE) && Waiting() == 0) usleep(200);
      std::string text(m.text, strnlen(m.text, static_cast<size_t>(n)));
      bool raw = false;
      std::string reply = Answer(m.msg_type == SNMP_MSG_SET, text, &raw);
      if (!raw) reply = std::string(reply.c_str()).substr(0, SNMP_TEXT_LIMIT - 1) + '\0';
      SendReply(reply);
    }
  }
  // Requests waiting in the queue.
  int Waiting() {
    msqid_ds state;
    return msgctl(mIn, IPC_STAT, &state) == 0 ? static_cast<int>(state.msg_qnum) : 0;
  }
  void SendReply(const std::string& bytes) {
    SnmpMsgType r;
    memset(&r, 0, sizeof(r));
    r.msg_type = SNMP_MSG_REPLY;
    const size_t size = std::min(bytes.size(), static_cast<size_t>(SNMP_TEXT_LIMIT));
    memcpy(r.text, bytes.data(), size);
    // Counted before it is sent: whoever reads the reply must see the count.
    __atomic_add_fetch(&mAnswered, 1, __ATOMIC_RELEASE);
    msgsnd(mOut, &r, size, 0);
  }
  std::string Answer(bool set, const std::string& text, bool* raw) {
    std::lock_guard<std::mutex> lock(mMutex);
    mRequests.push_back({set, text});
    if (!mScript.empty()) {
      *raw = true;
      std::string reply = mScript.front();
      mScript.erase(mScript.begin());
      return reply;
    }
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
  std::vector<std::string> mScript;
  bool mGarble = false;
  bool mHold = false;
  bool mWakeOnNext = false;
  bool mJammed = false;
  bool mParked = false;  // holding a jam request
  int mAnswered = 0;
};

// The system manager: confirms every remount, or answers with the opposite
// state when told to, or as scripted for the next requests: with bytes laid
// over the confirming reply, not at all, or twice.  It may also be gone (its
// queue removed) or stopped with its queue full.  Counts the requests and
// keeps (partition, state) of each until taken.
class FakeSysMgr {
 public:
  static FakeSysMgr& Get() {
    static FakeSysMgr* sm = new FakeSysMgr();
    return *sm;
  }
  void Refuse(bool refuse) { __atomic_store_n(&mRefuse, refuse, __ATOMIC_RELAXED); }
  enum Reply { kOverlay, kSilent, kTwice };
  // How the next request is answered; `bytes` (kOverlay) replace the first
  // bytes of the reply record (command id, then the parameters).
  void Script(Reply how, const std::string& bytes = "") {
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.push_back({how, bytes});
  }
  void ClearScript() {
    std::lock_guard<std::mutex> lock(mMutex);
    mScript.clear();
  }
  enum State { kRunning, kStopped, kGone };
  // Stopped: it takes nothing and its queue fills up (with requests of
  // others).  Gone: its queue is removed.  Running again: the queue is back,
  // emptied.
  void SetState(State state) {
    State was = static_cast<State>(__atomic_load_n(&mState, __ATOMIC_ACQUIRE));
    if (state == was) return;
    if (state != kRunning && was != kRunning) SetState(kRunning);
    if (state == kRunning) {
      // Made again (gone), or the backlog taken out (stopped).
      int q = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
      SmRemountMessage m;
      while (q >= 0 && msgrcv(q, &m, sizeof(m.sapp), 0, MSG_NOERROR | IPC_NOWAIT) >= 0) {
      }
      __atomic_store_n(&mState, static_cast<int>(kRunning), __ATOMIC_RELEASE);
      return;
    }
    __atomic_store_n(&mState, static_cast<int>(state), __ATOMIC_RELEASE);
    int q = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
    if (state == kGone) {
      msgctl(q, IPC_RMID, nullptr);
      return;
    }
    // The first message parks the reader; the rest fill the queue to its
    // last byte.
    SmRemountMessage m;
    memset(&m, 0, sizeof(m));
    m.type = kSmRemountRequestType;
    m.sapp.cmmdId = kParkId;
    msgsnd(q, &m, kSmRemountTextSize, 0);
    for (int i = 0; i < 5000 && !__atomic_load_n(&mParked, __ATOMIC_ACQUIRE); i++) usleep(1000);
    while (msgsnd(q, &m, kSmRemountTextSize, IPC_NOWAIT) == 0) {
    }
    while (msgsnd(q, &m, 1, IPC_NOWAIT) == 0) {
    }
  }
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
        if (errno != EIDRM && errno != EINVAL) return;
        // Gone: back when running again.
        while (__atomic_load_n(&mState, __ATOMIC_ACQUIRE) != kRunning) usleep(1000);
        mQueue = msgget(kSmRequestQueueKey, IPC_CREAT | 0666);
        continue;
      }
      if (m.sapp.cmmdId == kParkId) {
        __atomic_store_n(&mParked, true, __ATOMIC_RELEASE);
        while (__atomic_load_n(&mState, __ATOMIC_ACQUIRE) == kStopped) usleep(1000);
        __atomic_store_n(&mParked, false, __ATOMIC_RELEASE);
        continue;
      }
      Scripted how = {kOverlay, ""};
      bool scripted = false;
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back({m.sapp.param[3], m.sapp.param[4]});
        if (!mScript.empty()) {
          how = mScript.front();
          mScript.erase(mScript.begin());
          scripted = true;
        }
      }
      __atomic_add_fetch(&mCount, 1, __ATOMIC_RELAXED);
      SmRemountMessage r;
      memset(&r, 0, sizeof(r));
      r.type = kSmReplyType;
      r.sapp.cmmdId = kSmRemountRes;
      bool refuse = __atomic_load_n(&mRefuse, __ATOMIC_RELAXED);
      r.sapp.param[4] = refuse ? !m.sapp.param[4] : m.sapp.param[4];
      if (scripted && how.reply == kSilent) continue;
      if (scripted && how.reply == kOverlay)
        memcpy(&r.sapp, how.bytes.data(), std::min(how.bytes.size(), static_cast<size_t>(kSmRemountTextSize)));
      int q = msgget(m.sapp.param[0], 0666);
      if (q >= 0) msgsnd(q, &r, kSmRemountTextSize, 0);
      if (q >= 0 && scripted && how.reply == kTwice) msgsnd(q, &r, kSmRemountTextSize, 0);
    }
  }
  struct Scripted {
    Reply reply;
    std::string bytes;
  };
  static constexpr int32_t kParkId = -1;
  int mQueue;
  int mState = kRunning;
  bool mParked = false;
  bool mRefuse = false;
  int mCount = 0;
  std::mutex mMutex;
  std::vector<std::pair<int, int>> mSeen;
  std::vector<Scripted> mScript;
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
  // The far end stops reading (the device's writes then fill the line's
  // buffer and wait), or reads on.
  void Stall(bool on) { __atomic_store_n(&mStalled, on, __ATOMIC_RELEASE); }
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
      if (__atomic_load_n(&mStalled, __ATOMIC_ACQUIRE)) {
        usleep(10000);
        continue;
      }
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
  bool mStalled = false;
  char mPath[128] = {0};
  std::mutex mMutex;
  std::string mSeen;
};

// The on-screen browser: reads its command queue, keeps every message, and
// answers status requests with `status` on the queue they name (never when
// `status` is negative).  Stalled, it stops reading and its queue fills up
// (with keys nobody took), so that senders meet a full queue; let go, it
// reads on and drops that backlog.  Made and stopped by each test, or kept
// for the program.
class FakeBrowser {
 public:
  explicit FakeBrowser(int status) : mStatus(status) {
    mQueue = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
    // Whatever an earlier test left unread is not ours.
    BrowserMessage m;
    while (msgrcv(mQueue, &m, sizeof(m.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
    }
    mThread = std::thread([this] { Run(); });
  }
  ~FakeBrowser() { Stop(); }
  // The status later requests are answered with (negative: none).
  void Answer(int status) { __atomic_store_n(&mStatus, status, __ATOMIC_RELEASE); }

  // The clients keep their queue id, so the queue stays; a quit message,
  // read after everything sent before it, ends the reader.
  void Stop() {
    if (!mThread.joinable()) return;
    Stall(false);
    Control(kQuit);
    mThread.join();
  }
  void Stall(bool on) {
    if (on == __atomic_load_n(&mStalled, __ATOMIC_ACQUIRE)) return;
    __atomic_store_n(&mStalled, on, __ATOMIC_RELEASE);
    if (!on) return;
    Control(kPark);
    for (int i = 0; i < 5000 && !__atomic_load_n(&mParked, __ATOMIC_ACQUIRE); i++) usleep(1000);
    BrowserMessage m;
    memset(&m, 0, sizeof(m));
    m.mtype = kBrowserCommandType;
    snprintf(m.text, sizeof(m.text), "%s", kBacklog);
    while (msgsnd(mQueue, &m, sizeof(m.text), IPC_NOWAIT) == 0) {
    }
    while (msgsnd(mQueue, &m, 1, IPC_NOWAIT) == 0) {
    }
  }

  struct Seen {
    long type;
    ssize_t size;
    std::vector<char> text;
  };
  std::vector<Seen> Messages() {
    std::lock_guard<std::mutex> lock(mMutex);
    return mSeen;
  }
  std::vector<Seen> Take() {
    std::lock_guard<std::mutex> lock(mMutex);
    std::vector<Seen> out;
    out.swap(mSeen);
    return out;
  }

 private:
  static constexpr long kQuit = 99;
  static constexpr long kPark = 98;
  static constexpr const char* kBacklog = "#backlog";

  void Control(long type) {
    BrowserMessage m;
    memset(&m, 0, sizeof(m));
    m.mtype = type;
    msgsnd(mQueue, &m, 4, 0);
  }
  void Run() {
    for (;;) {
      BrowserMessage m;
      memset(&m, 0, sizeof(m));
      ssize_t n = msgrcv(mQueue, &m, sizeof(m.text), 0, MSG_NOERROR);
      if (n < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (m.mtype == kQuit) return;
      if (m.mtype == kPark) {
        __atomic_store_n(&mParked, true, __ATOMIC_RELEASE);
        while (__atomic_load_n(&mStalled, __ATOMIC_ACQUIRE)) usleep(1000);
        __atomic_store_n(&mParked, false, __ATOMIC_RELEASE);
        continue;
      }
      if (n > 0 && strncmp(m.text, kBacklog, static_cast<size_t>(n)) == 0) continue;
      {
        std::lock_guard<std::mutex> lock(mMutex);
        mSeen.push_back({m.mtype, n, std::vector<char>(m.text, m.text + sizeof(m.text))});
      }
      int status = __atomic_load_n(&mStatus, __ATOMIC_ACQUIRE);
      if (m.mtype != kBrowserStatusRequestType || status < 0) continue;
      _sMSG_CMD_FORMAT req;
      memcpy(&req, m.text, sizeof(req));
      int replyQueue = msgget(req.param[0], 0666);
      BrowserMessage r;
      memset(&r, 0, sizeof(r));
      r.mtype = 5;  // any type
      _sMSG_CMD_FORMAT rep;
      memset(&rep, 0, sizeof(rep));
      rep.cmmdId = kBrowserStatusCmmdId;
      rep.param[1] = status;
      memcpy(r.text, &rep, sizeof(rep));
      if (replyQueue >= 0) msgsnd(replyQueue, &r, sizeof(rep), 0);
    }
  }

  int mStatus;
  int mQueue;
  bool mStalled = false;
  bool mParked = false;
  std::thread mThread;
  std::mutex mMutex;
  std::vector<Seen> mSeen;
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
