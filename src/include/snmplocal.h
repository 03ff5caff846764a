#ifndef VYX_SNMPLOCAL_H
#define VYX_SNMPLOCAL_H

// Bridge to the device's local SNMP agent over two System V message queues.
// A request is one line of text: the OID alone for a get, or
// "OID <type letter> <value>" for a set (agent command-line style).  The agent
// answers each request with one reply message "OID = TYPE: value" (the value
// possibly quoted and followed by a line end); the value is cut out of it.
//
// One exchange at a time per instance: the message buffer carries the request
// and is then overwritten by the reply, and the returned value points into it
// (valid until the next request on the same instance).
//
// An agent that is stopped or hung must not hold the command thread for ever:
// each exchange (queueing the request and waiting for its reply) is bounded by
// SNMP_REPLY_WAIT_S seconds, divided by the time scale (see below), and a
// request left unanswered counts as no answer (null).  Its reply may still come later; the
// next exchange drops such late replies so that they are not taken for its
// own answer.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

// Queue keys: the agent reads requests on 1235 and answers on 1236.  Both are
// created by the first client (IPC_CREAT, mode 0666).
#define SNMP_REQUEST_QUEUE_KEY 1235
#define SNMP_REPLY_QUEUE_KEY 1236

// Message types (the System V mtype word).
#define SNMP_MSG_SET 769    // 0x301
#define SNMP_MSG_GET 770    // 0x302
#define SNMP_MSG_REPLY 772  // 0x304

// Requests are at most 1024 characters including the terminator; replies are
// received with a limit of 1024 bytes (longer replies are cut).
#define SNMP_TEXT_LIMIT 1024
#define SNMP_TEXT_SIZE 1088

// Longest wait for the agent in one exchange, in seconds before time scaling;
// never below SNMP_REPLY_WAIT_MIN_S, since compressing the device's own time
// does not make the agent (another process) answer any faster.
#define SNMP_REPLY_WAIT_S 3.0
#define SNMP_REPLY_WAIT_MIN_S 1.0
// Late replies remembered at most (requests given up while the agent was
// stopped); more are not expected to come back.
#define SNMP_LATE_REPLIES_MAX 64

// One queue message.  System V hands the kernel a native `long` type word
// followed by the text; the text itself has a fixed size and layout, the same
// on the 32-bit board and on a 64-bit host.  The size given to msgsnd/msgrcv
// counts the text only.
struct SnmpMsgType {
  long msg_type;
  char text[SNMP_TEXT_SIZE];
};
static_assert(offsetof(SnmpMsgType, text) == sizeof(long), "text follows the type word");
static_assert(sizeof(((SnmpMsgType*)nullptr)->text) == 1088, "fixed text size");
static_assert(SNMP_TEXT_LIMIT + 4 <= SNMP_TEXT_SIZE, "request text + 4 fits the buffer");

class SnmpLocal {
 public:
  int mSnmpMsqTxId;  // request queue id
  int mSnmpMsqRxId;  // reply queue id
  SnmpMsgType mSnmpMsg;
  char mBuffer[SNMP_TEXT_LIMIT + 4];  // the request in flight, as sent
  // Requests given up on whose replies have not been dropped yet.
  int mLateReplies;

  // Opens (creating when missing) both queues.  A queue that cannot be opened
  // leaves the device without its settings: reported and the process ends
  // with status -1.
  SnmpLocal();

  // Get request for one OID; returns the value text or null.
  char* SnmpGet(const char* oid);
  // Set request formatted printf-style (the OID first, e.g. "%s i %d"); the
  // text is cut at 1023 characters.  Returns the agent's value text or null.
  char* SnmpSet(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Sends the request held in mSnmpMsg and waits for the reply, both within
  // SNMP_REPLY_WAIT_S (scaled); null when the agent did not answer in time.
  char* SnmpCom();
  // Cuts the value out of the reply held in mSnmpMsg.
  char* SnmpProcessResponse();

 private:
  // A received reply that belongs to an earlier, given-up request.
  bool IsLateReply(ssize_t len);
  // After the wait for a reply ran out: takes the request back from the queue
  // when the agent has not taken it, else counts its reply as one to come late.
  void GiveUp(long type, size_t len);

 public:
  // The bound of one exchange, in seconds, for the given time scale.
  static double ReplyWait(double scale);
};

// Cuts the value out of an agent reply, in place: the text after the first
// ':' and one blank (and an opening '"'), up to the first CR and then the
// first LF, without one trailing blank and then one trailing '"'.  Returns a
// pointer into `text`, or null (reported) when the reply has no '=' or no ':'.
// Shared by the plug-in, the tests and the agent-side tools.
char* snmp_cut_value(char* text);

#endif
