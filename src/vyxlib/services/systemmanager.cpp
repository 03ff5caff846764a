// Disk remount through the system manager process: a request on its queue
// 1240, the reply on our queue 1689, polled once a second for up to 61 s;
// and the one way the plug-in writes a file: atomically, between remounts.

#include "systemmanager.h"

#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
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

int StagedFile::Open(const char* path) {
  Abandon();
  if (path == nullptr) return kWriteFileOpenFailed;
  // Beside the file, so that the rename stays within one file system.
  int n = snprintf(mTemp, sizeof(mTemp), "%s.tmp", path);
  if (n < 0 || n >= static_cast<int>(sizeof(mTemp))) return kWriteFileOpenFailed;
  snprintf(mPath, sizeof(mPath), "%s", path);
  mFile = fopen(mTemp, "w");
  if (mFile == nullptr) return kWriteFileOpenFailed;
  mStaged = true;
  return 0;
}

int StagedFile::Finish() {
  if (mFile == nullptr) {
    Abandon();
    return kWriteFileWriteFailed;
  }
  bool written = fflush(mFile) == 0;
  written = fsync(fileno(mFile)) == 0 && written;
  written = fclose(mFile) == 0 && written;
  mFile = nullptr;
  if (!written) {
    Abandon();
    return kWriteFileWriteFailed;
  }
  return 0;
}

int StagedFile::Publish() {
  if (mFile != nullptr) {
    int rc = Finish();
    if (rc != 0) return rc;
  }
  if (!mStaged) return kWriteFileWriteFailed;
  if (rename(mTemp, mPath) != 0) {
    Abandon();
    return kWriteFileRenameFailed;
  }
  mStaged = false;
  sync_directory(mPath);
  return 0;
}

void StagedFile::Abandon() {
  if (mFile != nullptr) fclose(mFile);
  mFile = nullptr;
  if (mStaged) unlink(mTemp);
  mStaged = false;
}

int WriteFileAtomically(const char* path, FileFiller fill, void* ctx) {
  if (fill == nullptr) return kWriteFileOpenFailed;
  StagedFile staged;
  int rc = staged.Open(path);
  if (rc != 0) return rc;
  if (!fill(staged.File(), ctx)) {
    staged.Abandon();
    return kWriteFileWriteFailed;
  }
  return staged.Publish();
}

int SystemManager::WriteBetweenRemounts(int part, const char* path, FileFiller fill, void* ctx) {
  std::lock_guard<std::mutex> lock(write_mutex);
  int rc = RemountHd(part, 1);
  if (rc != 0) return rc;
  rc = WriteFileAtomically(path, fill, ctx);
  RemountHd(part, 0);
  return rc;
}

int SystemManager::RemoveBetweenRemounts(int part, const char* path) {
  if (path == nullptr) return kWriteFileRemoveFailed;
  std::lock_guard<std::mutex> lock(write_mutex);
  int rc = RemountHd(part, 1);
  if (rc != 0) return rc;
  rc = unlink(path) == 0 || errno == ENOENT ? 0 : kWriteFileRemoveFailed;
  if (rc == 0) sync_directory(path);
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
