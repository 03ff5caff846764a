// Disk remount through the system manager process: a request on its queue
// 1240, the reply on our queue 1689, polled once a second for up to 61 s.

#include "systemmanager.h"

#include <sys/ipc.h>
#include <sys/msg.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "utils.h"

namespace {

// The message buffer is one process-wide record; callers on different
// threads (command thread, scan thread) take turns.
std::mutex remount_mutex;
SmRemountMessage msg;

}  // namespace

int SystemManager::RemountHd(int part, int rw) {
  std::lock_guard<std::mutex> lock(remount_mutex);

  int requestQueue = msgget(kSmRequestQueueKey, 0666);
  int replyQueue = msgget(kSmReplyQueueKey, IPC_CREAT | 0666);
  if (requestQueue < 0 || replyQueue < 0) {
    VYX_ERROR("msgget");
    return -1;
  }

  // A reply that came after an earlier request gave up would otherwise be
  // taken as the answer to this one.
  while (msgrcv(replyQueue, &msg, kSmRemountTextSize, kSmReplyType, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }

  memset(&msg, 0, sizeof(msg));
  msg.type = kSmRemountRequestType;
  msg.sapp.cmmdId = kSmRemountReq;
  msg.sapp.param[0] = kSmReplyQueueKey;
  msg.sapp.param[1] = 1;
  msg.sapp.param[2] = 0;
  msg.sapp.param[3] = part;
  msg.sapp.param[4] = rw;
  msg.sapp.param[5] = 25;
  if (msgsnd(requestQueue, &msg, kSmRemountTextSize, IPC_NOWAIT | MSG_NOERROR) < 0) {
    perror("msgsnd");
    return -2;
  }

  memset(&msg, 0, sizeof(msg));
  int attempts = 0;
  for (;;) {
    vyx_sleep_s(1);
    ssize_t got = msgrcv(replyQueue, &msg, kSmRemountTextSize, kSmReplyType, IPC_NOWAIT | MSG_NOERROR);
    attempts++;
    if (attempts >= kSmReplyWaits) {
      VYX_ERROR("msgrcv");
      return -3;
    }
    if (got >= 0) break;
  }

  if (msg.sapp.cmmdId != kSmRemountRes || msg.sapp.param[4] != rw) {
    VYX_ERROR("Remount unsuccesfull: mount state %d, cmmdId %d\n", msg.sapp.param[4], msg.sapp.cmmdId);
    return -4;
  }
  return 0;
}
