// Bridge to the device's local SNMP agent (request queue 1235, reply queue
// 1236).  The agent keeps every setting of the device; the command handlers
// read and write them here, one exchange at a time, each bounded in time.

#include "snmplocal.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils.h"
#include "waits.h"

SnmpLocal::SnmpLocal() : mSnmpMsqTxId(-1), mSnmpMsqRxId(-1), mLateReplies(0) {
  memset(&mSnmpMsg, 0, sizeof(mSnmpMsg));
  memset(mBuffer, 0, sizeof(mBuffer));
  mSnmpMsqTxId = msgget(SNMP_REQUEST_QUEUE_KEY, IPC_CREAT | 0666);
  if (mSnmpMsqTxId < 0) {
    VYX_ERROR("msgget in snmplc failed");
    exit(-1);
  }
  VYX_LOG("Obtained Tx msqid %d\n", mSnmpMsqTxId);
  mSnmpMsqRxId = msgget(SNMP_REPLY_QUEUE_KEY, IPC_CREAT | 0666);
  if (mSnmpMsqRxId < 0) {
    VYX_ERROR("msgget in snmplc failed");
    exit(-1);
  }
  VYX_LOG("Obtained Rx msqid %d\n", mSnmpMsqRxId);
}

char* SnmpLocal::SnmpGet(const char* oid) {
  memset(mSnmpMsg.text, 0, sizeof(mSnmpMsg.text));
  mSnmpMsg.msg_type = SNMP_MSG_GET;
  if (oid != nullptr) strncpy(mSnmpMsg.text, oid, SNMP_TEXT_LIMIT - 1);
  mSnmpMsg.text[SNMP_TEXT_LIMIT - 1] = 0;
  return SnmpCom();
}

char* SnmpLocal::SnmpSet(const char* format, ...) {
  memset(mSnmpMsg.text, 0, sizeof(mSnmpMsg.text));
  va_list ap;
  va_start(ap, format);
  vsnprintf(mSnmpMsg.text, SNMP_TEXT_LIMIT, format, ap);
  va_end(ap);
  mSnmpMsg.msg_type = SNMP_MSG_SET;
  mSnmpMsg.text[SNMP_TEXT_LIMIT - 1] = 0;
  return SnmpCom();
}

namespace {

// The OID at the head of a request or reply text: up to its first blank or '='.
size_t oid_length(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != 0 && text[n] != ' ' && text[n] != '=') n++;
  return n;
}

// Polls of the queues while waiting: short at first (the agent usually answers
// within a fraction of a millisecond), then every few milliseconds.
class PollPause {
 public:
  explicit PollPause(double scale) : mScale(scale) {}
  void Wait() {
    vyx_sleep_exact(mPause / mScale);
    if (mPause < 0.004) mPause *= 2;
  }

 private:
  double mScale;
  double mPause = 0.00005;
};

}  // namespace

double SnmpLocal::ReplyWait(double scale) {
  double wait = SNMP_REPLY_WAIT_S / scale;
  return wait < SNMP_REPLY_WAIT_MIN_S ? SNMP_REPLY_WAIT_MIN_S : wait;
}

bool SnmpLocal::IsLateReply(ssize_t len) {
  // The agent names the OID it answers; a reply for another OID can only be
  // the late answer to a request given up on.
  size_t mine = oid_length(mBuffer, sizeof(mBuffer));
  size_t theirs = oid_length(mSnmpMsg.text, static_cast<size_t>(len));
  return mine != theirs || memcmp(mBuffer, mSnmpMsg.text, mine) != 0;
}

void SnmpLocal::GiveUp(long type, size_t len) {
  // A request still in the queue is taken back, so that a stopped agent does
  // not carry it out (a reboot, a network change) once it runs again after
  // the command was refused.  The first request of its type may be another
  // client's: that one goes back, and ours is left to be answered late.
  SnmpMsgType taken;
  ssize_t n = msgrcv(mSnmpMsqTxId, &taken, SNMP_TEXT_LIMIT, type, MSG_NOERROR | IPC_NOWAIT);
  if (n >= 0 && static_cast<size_t>(n) == len && memcmp(taken.text, mBuffer, len) == 0) return;
  if (n >= 0 && msgsnd(mSnmpMsqTxId, &taken, static_cast<size_t>(n), IPC_NOWAIT) < 0)
    VYX_ERROR("snmp request of another client lost");
  if (mLateReplies < SNMP_LATE_REPLIES_MAX) mLateReplies++;
}

char* SnmpLocal::SnmpCom() {
  VYX_LOG("Txing SNMP msg %s\n", mSnmpMsg.text);
  const double scale = vyx_time_scale();
  const double deadline = vyx_monotonic_s() + ReplyWait(scale);
  // The request text, its terminator and three more bytes (zero: the text
  // was cleared before it was built), as the agent has always received it.
  // It is kept aside: a received reply overwrites the message buffer.
  size_t len = strnlen(mSnmpMsg.text, SNMP_TEXT_LIMIT - 1) + 4;
  const long type = mSnmpMsg.msg_type;
  memcpy(mBuffer, mSnmpMsg.text, len);

  // Replies already waiting before this request is sent belong to earlier
  // requests that were given up on.
  while (mLateReplies > 0) {
    SnmpMsgType stale;
    if (msgrcv(mSnmpMsqRxId, &stale, SNMP_TEXT_LIMIT, SNMP_MSG_REPLY, MSG_NOERROR | IPC_NOWAIT) < 0) break;
    mLateReplies--;
  }

  // A stopped agent also leaves its request queue full.
  PollPause pause(scale);
  while (msgsnd(mSnmpMsqTxId, &mSnmpMsg, len, IPC_NOWAIT) < 0) {
    if (errno == EINTR) continue;
    if (errno != EAGAIN) {
      VYX_ERROR("msgsnd in snmplc failed");
      return nullptr;
    }
    if (vyx_monotonic_s() >= deadline) {
      VYX_ERROR("snmp agent takes no requests");
      return nullptr;
    }
    pause.Wait();
  }

  // Any type-772 message is the answer (once late replies are dropped); a
  // longer reply is cut at 1024 bytes.  The reply is not necessarily
  // terminated: end it at its received length so nothing of the request (or
  // of an earlier reply) is read as its tail.
  for (;;) {
    ssize_t n = msgrcv(mSnmpMsqRxId, &mSnmpMsg, SNMP_TEXT_LIMIT, SNMP_MSG_REPLY, MSG_NOERROR | IPC_NOWAIT);
    if (n >= 0) {
      if (mLateReplies > 0 && IsLateReply(n)) {
        mLateReplies--;
        continue;
      }
      mSnmpMsg.text[n] = 0;
      break;
    }
    if (errno == EINTR) continue;
    if (errno != ENOMSG) {
      VYX_ERROR("msgrcv in snmplc failed");
      return nullptr;
    }
    if (vyx_monotonic_s() >= deadline) {
      GiveUp(type, len);
      VYX_ERROR("no reply from the snmp agent");
      return nullptr;
    }
    pause.Wait();
  }
  VYX_LOG("Rxing SNMP msg %s\n", mSnmpMsg.text);
  return SnmpProcessResponse();
}

char* SnmpLocal::SnmpProcessResponse() {
  mSnmpMsg.text[SNMP_TEXT_SIZE - 1] = 0;
  return snmp_cut_value(mSnmpMsg.text);
}

char* snmp_cut_value(char* text) {
  if (text == nullptr || strchr(text, '=') == nullptr) {
    VYX_ERROR("could not find a '=' in snmp response");
    return nullptr;
  }
  char* colon = strchr(text, ':');
  if (colon == nullptr) {
    VYX_ERROR("could not find a ':' in snmp response");
    return nullptr;
  }
  // The value follows ": " (and an opening quote).  A reply that ends right
  // after the ':' has an empty value; never step past the terminator.
  char* value = colon + 1;
  if (*value != 0) value++;
  if (*value == '"') value++;
  char* end = strchr(value, '\r');
  if (end != nullptr) *end = 0;
  end = strchr(value, '\n');
  if (end != nullptr) *end = 0;
  size_t len = strlen(value);
  if (len > 0 && value[len - 1] == ' ') value[--len] = 0;
  if (len > 0 && value[len - 1] == '"') value[--len] = 0;
  return value;
}
