// Bridge to the device's local SNMP agent (request queue 1235, reply queue
// 1236).  The agent keeps every setting of the device; the command handlers
// read and write them here, one blocking exchange at a time.

#include "snmplocal.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "utils.h"

SnmpLocal::SnmpLocal() : mSnmpMsqTxId(-1), mSnmpMsqRxId(-1) {
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

char* SnmpLocal::SnmpCom() {
  VYX_LOG("Txing SNMP msg %s\n", mSnmpMsg.text);
  // The request text, its terminator and three more bytes (zero: the text
  // was cleared before it was built), as the agent has always received it.
  size_t len = strnlen(mSnmpMsg.text, SNMP_TEXT_LIMIT - 1) + 4;
  if (msgsnd(mSnmpMsqTxId, &mSnmpMsg, len, 0) < 0) {
    VYX_ERROR("msgsnd in snmplc failed");
    return nullptr;
  }
  // Any type-772 message is the answer; a longer reply is cut at 1024 bytes.
  // The reply is not necessarily terminated: end it at its received length so
  // nothing of the request (or of an earlier reply) is read as its tail.
  ssize_t n = msgrcv(mSnmpMsqRxId, &mSnmpMsg, SNMP_TEXT_LIMIT, SNMP_MSG_REPLY, MSG_NOERROR);
  if (n < 0) {
    VYX_ERROR("msgrcv in snmplc failed");
    return nullptr;
  }
  mSnmpMsg.text[n] = 0;
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
