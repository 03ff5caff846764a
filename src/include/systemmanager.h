#ifndef VYX_SYSTEMMANAGER_H
#define VYX_SYSTEMMANAGER_H

// Disk remount requests to the device's system manager process.
//
// The disks are mounted read-only; every file write of the plug-in is wrapped
// in RemountHd(part, 1) ... RemountHd(part, 0) (WriteBetweenRemounts).  The request goes to the
// system manager's queue 1240, the reply comes back on queue 1689.

#include <cstddef>
#include <cstdint>
#include <cstdio>

enum : int32_t {
  kSmRequestQueueKey = 1240,   // MSG_Q_ID: the system manager's queue (not created here)
  kSmReplyQueueKey = 1689,     // MY_MSG_Q_ID: our reply queue (created if missing)
  kSmRemountRequestType = 20,  // message type of a request
  kSmReplyType = 1,            // message type of a reply
  kSmRemountReq = 73,          // DEVICE_REMOUNT_REQ
  kSmRemountRes = 74,          // DEVICE_REMOUNT_RES
  kSmRemountTextSize = 60,     // request and reply carry cmmdId + param[0..13]
  kSmReplyWaits = 61,          // one-second waits before giving up
};

// Request: cmmdId 73; param[0] = 1689 (reply queue key), param[1] = 1,
// param[2] = 0, param[3] = partition (1 = /mnt/hd1, 4 = /mnt/hd4),
// param[4] = 1 read-write / 0 read-only, param[5] = 25, the rest 0.
// Reply: cmmdId 74, param[4] = the resulting mount state.
struct _sSM_REMOUNT_APP {
  int32_t cmmdId;
  int32_t param[18];
};
static_assert(sizeof(_sSM_REMOUNT_APP) == 76, "cmmdId + 18 params");
static_assert(offsetof(_sSM_REMOUNT_APP, cmmdId) == 0, "cmmdId");
static_assert(offsetof(_sSM_REMOUNT_APP, param) == 4, "param");
static_assert(offsetof(_sSM_REMOUNT_APP, param[13]) + 4 == kSmRemountTextSize,
              "the 60 bytes sent end after param[13]");
static_assert(offsetof(_sSM_REMOUNT_APP, param[3]) == 16, "partition");
static_assert(offsetof(_sSM_REMOUNT_APP, param[4]) == 20, "mount state");

// The System V message: the kernel's `long` type word, then the record.  On
// the 32-bit board `long` is the 32-bit `type` of the record; on a 64-bit host
// it is 8 bytes, and the text still starts right after it.
struct SmRemountMessage {
  long type;
  _sSM_REMOUNT_APP sapp;
};
static_assert(offsetof(SmRemountMessage, sapp) == sizeof(long), "text follows the type word");

// Fills a file being written; false when something could not be written.
typedef bool (*FileFiller)(FILE* f, void* ctx);

enum : int {
  kWriteFileOpenFailed = -5,    // the temporary file cannot be made
  kWriteFileWriteFailed = -6,   // filling, flushing or syncing it failed
  kWriteFileRenameFailed = -7,  // it cannot replace the old file
  kWriteFileRemoveFailed = -8,  // the file cannot be removed
};

// Replaces `path` as a whole or not at all: the contents go to a temporary
// file in the same directory, which is flushed, synced and renamed over the
// old one, and the directory is synced.  A power cut at any point leaves
// either the old file or the new one.  0 done, else a kWriteFile* code (the
// old file untouched, the temporary file removed).
int WriteFileAtomically(const char* path, FileFiller fill, void* ctx);

// The same, for a file written in pieces as they arrive (the upgrade
// archive): Open makes the temporary file beside `path`, the caller writes
// to File(), Finish flushes, syncs and closes it (it may then be checked at
// TemporaryPath()), and Publish renames it over `path` and syncs the
// directory.  Until Publish, `path` is untouched; a file given up (Abandon,
// a failed step, or the object's end) is removed.
class StagedFile {
 public:
  StagedFile() = default;
  ~StagedFile() { Abandon(); }
  StagedFile(const StagedFile&) = delete;
  StagedFile& operator=(const StagedFile&) = delete;

  int Open(const char* path);  // 0, or kWriteFileOpenFailed
  FILE* File() const { return mFile; }
  bool Staged() const { return mStaged; }
  const char* TemporaryPath() const { return mTemp; }
  int Finish();   // 0, or kWriteFileWriteFailed
  int Publish();  // 0, or kWriteFileWriteFailed / kWriteFileRenameFailed
  void Abandon();

 private:
  FILE* mFile = nullptr;
  bool mStaged = false;  // the temporary file exists
  char mPath[512] = "";
  char mTemp[512] = "";
};

class SystemManager {
 public:
  // Remount partition `part` read-write (rw = 1) or read-only (rw = 0).
  // 0 done; -1 a queue cannot be opened; -2 the request cannot be sent;
  // -3 no reply within 61 one-second waits; -4 the reply does not confirm.
  // Callers on different threads are serialised.
  static int RemountHd(int part, int rw);

  // Every file of the plug-in is written through here: partition `part`
  // remounted read-write, `path` replaced atomically (WriteFileAtomically),
  // the partition remounted read-only.  Writers on different threads take
  // turns, so one never finds the disk remounted read-only under it.
  // 0 done; a RemountHd code when the read-write remount fails (nothing
  // written); a kWriteFile* code when the file could not be replaced.
  static int WriteBetweenRemounts(int part, const char* path, FileFiller fill, void* ctx);
  // `path` removed the same way (a missing file is no error): 0 done, a
  // RemountHd code, or kWriteFileRemoveFailed.
  static int RemoveBetweenRemounts(int part, const char* path);
};

#endif
