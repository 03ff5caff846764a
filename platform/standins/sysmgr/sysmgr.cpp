// sysmgr: the device's system manager as far as the plug-in needs it.  It
// serves remount requests (type 20, cmmdId 73) on its queue 1240: partition 1
// is /mnt/hd1, 4 is /mnt/hd4; it remounts the partition read-write or
// read-only and answers on the queue named in the request (type 1, cmmdId 74,
// param[4] = the mount state it then reads back).  The player tool's "-mount"
// message has the same layout but names the player's own queue 1234, which is
// never answered on.

#include <spawn.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jsonl.h"
#include "quv_interprocess.h"
#include "standin.h"
#include "systemmanager.h"

extern char** environ;

namespace {

const size_t kReceiveMax = 1024;

struct SmMessage {
  long mtype;
  char text[kReceiveMax];
};

struct Options {
  bool silent = false;
  bool wrongState = false;
  bool noMount = false;
  std::string mountRoot = "/mnt";
};

void usage(const char* prog) {
  printf(
      "usage: %s [options]\n"
      "System manager of a simulated device host: serves disk remount requests\n"
      "(type 20, cmmdId 73) on queue 1240 and answers (type 1, cmmdId 74) on the\n"
      "queue named in param[0].\n"
      "  --log FILE        JSON-lines log (default $VYX_HOSTDIR/sysmgr.jsonl, else stdout)\n"
      "  --hostdir DIR     host directory (default $VYX_HOSTDIR)\n"
      "  --mount-root DIR  where hd1 and hd4 are mounted (default /mnt)\n"
      "  --no-mount        do not touch mounts; answer the state asked for\n"
      "  --silent          never answer\n"
      "  --wrong-state     answer with the opposite of the resulting state\n"
      "  --help\n",
      prog);
}

// Unescapes the octal escapes (\040 etc.) of a mountinfo path field.
std::string mountinfo_path(const char* p, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; i++) {
    bool octal = p[i] == '\\' && i + 3 < n;
    for (size_t k = 1; octal && k <= 3; k++) octal = p[i + k] >= '0' && p[i + k] <= '7';
    if (octal) {
      out += static_cast<char>((p[i + 1] - '0') * 64 + (p[i + 2] - '0') * 8 + (p[i + 3] - '0'));
      i += 3;
    } else {
      out += p[i];
    }
  }
  return out;
}

// Mount state of `path` from /proc/self/mountinfo: 1 read-write, 0 read-only,
// -1 when nothing is mounted there.  The last entry for the path wins (it is
// the one on top).
int mount_state(const std::string& path) {
  std::string text;
  if (!read_file_limited("/proc/self/mountinfo", 4 << 20, &text)) return -1;
  int state = -1;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    // Fields: id parent major:minor root mountpoint options ...
    const char* line = text.data() + start;
    size_t len = end - start;
    start = end + 1;
    size_t field = 0, fs = 0;
    std::string mountPoint;
    for (size_t i = 0; i <= len; i++) {
      if (i == len || line[i] == ' ') {
        if (field == 4) mountPoint = mountinfo_path(line + fs, i - fs);
        if (field == 5 && mountPoint == path) {
          std::string opts(line + fs, i - fs);
          state = (opts == "rw" || opts.compare(0, 3, "rw,") == 0) ? 1 : 0;
        }
        field++;
        fs = i + 1;
        if (field > 5) break;
      }
    }
  }
  return state;
}

// mount -o remount,bind,rw|ro PATH; the exit status of mount, or -1.
int remount(const std::string& path, bool rw, std::string* error) {
  std::string opts = rw ? "remount,bind,rw" : "remount,bind,ro";
  const char* args[] = {"mount", "-o", opts.c_str(), path.c_str(), nullptr};
  pid_t pid;
  int rc = posix_spawnp(&pid, "mount", nullptr, nullptr, const_cast<char* const*>(args), environ);
  if (rc != 0) {
    *error = std::string("cannot run mount: ") + strerror(rc);
    return -1;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      *error = "waitpid failed";
      return -1;
    }
  }
  if (!WIFEXITED(status)) {
    *error = "mount ended by a signal";
    return -1;
  }
  if (WEXITSTATUS(status) != 0) *error = "mount exit status " + std::to_string(WEXITSTATUS(status));
  return WEXITSTATUS(status);
}

void serve_remount(const Options& opt, const _sSM_REMOUNT_APP& req, size_t textSize, JsonlWriter& log) {
  int32_t replyKey = req.param[0];
  int32_t part = req.param[3];
  int32_t rw = req.param[4];
  std::string error;
  int state = -1;
  std::string path;
  if (part == 1 || part == 4) path = opt.mountRoot + "/hd" + std::to_string(part);
  if (path.empty()) {
    error = "no such partition";
  } else if (rw != 0 && rw != 1) {
    error = "bad mount mode";
  } else if (opt.noMount) {
    state = rw;
  } else {
    remount(path, rw == 1, &error);
    state = mount_state(path);
    if (state < 0 && error.empty()) error = "nothing mounted at " + path;
  }
  if (opt.wrongState && state >= 0) state = state == 1 ? 0 : 1;

  // Answer on the queue the request names, but never on the player's command
  // queue (the player tool's -mount names it), on this manager's own queue,
  // or on IPC_PRIVATE, which would make a new queue for every request.
  bool answered = false;
  std::string why;
  if (opt.silent) {
    why = "silent";
  } else if (replyKey == QUV_MSG_Q_KEY) {
    why = "reply queue is the player's command queue";
  } else if (replyKey == kSmRequestQueueKey || replyKey == IPC_PRIVATE) {
    why = "bad reply queue";
  } else {
    int q = queue_open(replyKey, false);
    if (q < 0) {
      why = std::string("reply queue: ") + strerror(errno);
    } else {
      SmRemountMessage reply;
      memset(&reply, 0, sizeof(reply));
      reply.type = kSmReplyType;
      reply.sapp = req;
      reply.sapp.cmmdId = kSmRemountRes;
      reply.sapp.param[4] = state;
      answered = msgsnd(q, &reply, kSmRemountTextSize, IPC_NOWAIT) == 0;
      if (!answered) why = std::string("msgsnd: ") + strerror(errno);
    }
  }
  JsonLine j("remount");
  j.Int("cmmdId", req.cmmdId).Int("replyQueue", replyKey).Int("part", part).Int("rw", rw);
  j.Int("state", state).Bool("answered", answered).Uint("size", textSize);
  j.Str("mode", opt.noMount ? "no-mount" : "mount");
  if (!path.empty()) j.Str("path", path.c_str());
  if (!error.empty()) j.Str("error", error.c_str());
  if (!why.empty()) j.Str("reason", why.c_str());
  log.Write(j);
}

// Serves the request queue until a stop.
int serve(JsonlWriter& log, const Options& opt) {
  int q = queue_open(kSmRequestQueueKey, true);
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Int("queue", q).Bool("silent", opt.silent).Bool("wrongState", opt.wrongState);
    j.Bool("noMount", opt.noMount).Str("mountRoot", opt.mountRoot.c_str());
    log.Write(j);
  }
  if (q < 0) {
    fprintf(stderr, "sysmgr: msgget failed: %s\n", strerror(errno));
    return 1;
  }

  static SmMessage msg;
  queue_serve(kSmRequestQueueKey, &q, &msg, kReceiveMax, 0, [&](size_t len) {
    _sSM_REMOUNT_APP req;
    memset(&req, 0, sizeof(req));
    memcpy(&req, msg.text, len < sizeof(req) ? len : sizeof(req));
    // A request must carry at least cmmdId and param[0..4].
    bool longEnough = len >= offsetof(_sSM_REMOUNT_APP, param[4]) + sizeof(int32_t);
    if (msg.mtype == kSmRemountRequestType && req.cmmdId == kSmRemountReq && longEnough) {
      serve_remount(opt, req, len, log);
    } else {
      JsonLine j("ignored");
      j.Int("mtype", msg.mtype).Int("cmmdId", len >= 4 ? req.cmmdId : -1).Uint("size", len);
      log.Write(j);
    }
    return true;
  });
  JsonLine j("stop");
  log.Write(j);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  StandinProgram program("sysmgr.jsonl", 3.0, usage);
  program.option = [&](int n, char** args, int* i) {
    const char* v;
    if (strcmp(args[*i], "--silent") == 0) {
      opt.silent = true;
    } else if (strcmp(args[*i], "--wrong-state") == 0) {
      opt.wrongState = true;
    } else if (strcmp(args[*i], "--no-mount") == 0) {
      opt.noMount = true;
    } else if ((v = option_value(n, args, i, "--mount-root")) != nullptr) {
      opt.mountRoot = v;
    } else {
      return kOptionUnknown;
    }
    return kOptionTaken;
  };
  program.run = [&](JsonlWriter& log, const char*) { return serve(log, opt); };
  return standin_main(argc, argv, program);
}
