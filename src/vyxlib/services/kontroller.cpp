// Client side of the on-screen browser's queues: command texts (URLs, option
// text, keys) go to queue 945602 as type-1 messages of 1024 bytes; a status
// request (type 2) names the reply queue 31561, on which the browser answers.
// Called from the command thread only.

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cerrno>
#include <cstring>

#include "sharedmem.h"
#include "utils.h"

namespace {

// The browser command queue id, obtained once and kept.  -1 = not held (a
// queue id of 0 is a valid id).
int msgqid = -1;

bool browser_queue_open() {
  if (msgqid >= 0) return true;
  int id = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
  if (id < 0) {
    VYX_ERROR("bcontr: Error getting/creating msgq 1\n");
    return false;
  }
  msgqid = id;
  VYX_LOG("bcontr: -> obtained msgqid %d\n", msgqid);
  return true;
}

}  // namespace

int sendMessgageToKonqueror(int argc, char* buffer) {
  (void)argc;
  if (!browser_queue_open()) return -1;
  if (buffer == nullptr) return -1;
  if (strncmp(buffer, "-a", 2) == 0) {
    isAlive();
    return 0;
  }
  static BrowserMessage msg;
  memset(&msg, 0, sizeof(msg));
  msg.mtype = kBrowserCommandType;
  strncpy(msg.text, buffer, kBrowserMaxCommandChars);  // the rest stays NUL
  // A full queue (a browser that stopped reading) drops the command after a
  // short wait instead of holding the command server for ever.
  if (browser_msgsnd(msgqid, &msg, sizeof(msg.text)) < 0) {
    if (errno == EAGAIN)
      VYX_ERROR("Error sending message: browser queue full, command dropped\n");
    else
      VYX_ERROR("Error sending message\n");
    return -1;
  }
  return 0;
}

int browser_msgsnd(int qid, const void* msg, size_t textSize) {
  const int kTries = 5;
  for (int attempt = 0;; attempt++) {
    if (msgsnd(qid, msg, textSize, IPC_NOWAIT) == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN || attempt + 1 >= kTries) return -1;
    vyx_sleep_ms(20);
  }
}

int isAlive() {
  VYX_LOG("bcontr: Sending status request ccmdId %d, param[0] %d, param[1] %d ... \n",
          static_cast<int>(kBrowserStatusCmmdId), static_cast<int>(kBrowserStatusQueueKey), 2);
  int replyId = msgget(kBrowserStatusQueueKey, IPC_CREAT | 0666);
  if (replyId < 0) {
    VYX_ERROR("bcontr: Error getting/creating msgq\n");
    return -1;
  }
  static BrowserMessage msg;
  // Throw away replies to earlier requests that nobody collected.
  while (msgrcv(replyId, &msg, sizeof(msg.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }

  // Normally held since the "-a" command that led here; open it otherwise
  // rather than send to an id we do not have.
  if (!browser_queue_open()) return -1;
  memset(&msg, 0, sizeof(msg));
  msg.mtype = kBrowserStatusRequestType;
  _sMSG_CMD_FORMAT request;
  memset(&request, 0, sizeof(request));
  request.cmmdId = kBrowserStatusCmmdId;
  request.param[0] = kBrowserStatusQueueKey;
  request.param[1] = 2;
  memcpy(msg.text, &request, sizeof(request));
  if (msgsnd(msgqid, &msg, sizeof(msg.text), IPC_NOWAIT) < 0) {
    VYX_ERROR("bcontr: Error sending msg\n");
    return -1;
  }

  for (int attempt = 0; attempt < 5; attempt++) {
    vyx_sleep_ms(500);
    memset(&msg, 0, sizeof(msg));
    if (msgrcv(replyId, &msg, sizeof(msg.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
      _sMSG_CMD_FORMAT reply;
      memcpy(&reply, msg.text, sizeof(reply));
      VYX_LOG("bcontr: Received status %d\n", reply.param[1]);
      return reply.param[1];
    }
  }
  VYX_ERROR("bcontr: Error receiving msg\n");
  return -1;
}
