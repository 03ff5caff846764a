// Disk remount through the system manager process: a request on its queue
// 1240, the reply on our queue 1689, polled once a second for up to 61 s;
// and the one way the plug-in writes a file: atomically, between remounts.

#include "systemmanager.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>

#include "utils.h"

namespace {

// The message buffer is one process-wide record; callers on different
// threads (command thread, scan thread) take turns.
std::mutex remount_mutex;
SmRemountMessage msg;

// Held from the read-write remount to the read-only one: another writer's
// read-only remount must not land in the middle of a write.
std::mutex write_mutex;

// Syncs the directory holding `path`, so that the rename itself is on the
// disk.  Some file systems refuse fsync on a directory: not an error then.
void sync_directory(const char* path) {
  char dir[512];
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    snprintf(dir, sizeof(dir), ".");
  } else if (slash == path) {
    snprintf(dir, sizeof(dir), "/");
  } else {
    snprintf(dir, sizeof(dir), "%.*s", static_cast<int>(slash - path), path);
  }
  int fd = open(dir, O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

int WriteFileAtomically(const char* path, FileFiller fill, void* ctx) {
  if (path == nullptr || fill == nullptr) return kWriteFileOpenFailed;
  // Beside the file, so that the rename stays within one file system.
  char temp[512];
  int n = snprintf(temp, sizeof(temp), "%s.tmp", path);
  if (n < 0 || n >= static_cast<int>(sizeof(temp))) return kWriteFileOpenFailed;
  FILE* f = fopen(temp, "w");
  if (f == nullptr) return kWriteFileOpenFailed;
  bool written = fill(f, ctx);
  written = fflush(f) == 0 && written;
  written = fsync(fileno(f)) == 0 && written;
  written = fclose(f) == 0 && written;
  if (!written) {
    unlink(temp);
    return kWriteFileWriteFailed;
  }
  if (rename(temp, path) != 0) {
    unlink(temp);
    return kWriteFileRenameFailed;
  }
  sync_directory(path);
  return 0;
}

int SystemManager::WriteBetweenRemounts(int part, const char* path, FileFiller fill, void* ctx) {
  std::lock_guard<std::mutex> lock(write_mutex);
  int rc = RemountHd(part, 1);
  if (rc != 0) return rc;
  rc = WriteFileAtomically(path, fill, ctx);
  RemountHd(part, 0);
  return rc;
}

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
