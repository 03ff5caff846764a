// browser: the on-screen web browser's control queue as the plug-in, the IR
// module and the browser-control utility use it.  Queue 945602 carries type-1
// commands (1024-byte text from the plug-in, 256 from the utility, 12 for IR
// keys "-k%.3d") and type-2 status requests (_sMSG_CMD_FORMAT, cmmdId 71,
// param[0] = the reply queue key); a status request is answered on the named
// queue with param[1] = the browser's status.

#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "jsonl.h"
#include "sharedmem.h"
#include "standin.h"

namespace {

const size_t kReceiveMax = 4096;

struct BrowserInMessage {
  long mtype;
  char text[kReceiveMax];
};

struct BrowserReply {
  long mtype;
  _sMSG_CMD_FORMAT text;
};

void usage(const char* prog) {
  printf(
      "usage: %s [options]\n"
      "On-screen browser of a simulated device host: logs the commands of queue\n"
      "945602 and answers its status requests on the queue they name.\n"
      "  --log FILE     JSON-lines log (default $VYX_HOSTDIR/browser.jsonl, else stdout)\n"
      "  --hostdir DIR  host directory (default $VYX_HOSTDIR)\n"
      "  --status N     status answered (default 0)\n"
      "  --silent       never answer status requests\n"
      "  --help\n",
      prog);
}

void serve_status(const BrowserInMessage& msg, size_t len, int32_t status, bool silent, JsonlWriter& log) {
  _sMSG_CMD_FORMAT req;
  memset(&req, 0, sizeof(req));
  memcpy(&req, msg.text, len < sizeof(req) ? len : sizeof(req));
  int32_t replyKey = req.param[0];
  bool answered = false;
  std::string why;
  if (len < offsetof(_sMSG_CMD_FORMAT, param) + sizeof(int32_t) || req.cmmdId != kBrowserStatusCmmdId) {
    why = "not a status request";
  } else if (silent) {
    why = "silent";
  } else if (replyKey == IPC_PRIVATE || replyKey == kBrowserCommandQueueKey) {
    // IPC_PRIVATE would make a new queue per request; our own queue would
    // feed the answer back to us.
    why = "bad reply queue";
  } else {
    int q = queue_open(replyKey, false);
    if (q < 0) {
      why = std::string("reply queue: ") + strerror(errno);
    } else {
      BrowserReply reply;
      memset(&reply, 0, sizeof(reply));
      reply.mtype = 1;
      reply.text.cmmdId = kBrowserStatusCmmdId;
      reply.text.param[0] = replyKey;
      reply.text.param[1] = status;
      answered = msgsnd(q, &reply, sizeof(reply.text), IPC_NOWAIT) == 0;
      if (!answered) why = std::string("msgsnd: ") + strerror(errno);
    }
  }
  JsonLine j("status");
  j.Int("replyQueue", replyKey).Bool("answered", answered).Int("status", status);
  j.Int("cmmdId", req.cmmdId).Int("param1", req.param[1]).Uint("size", len);
  if (!why.empty()) j.Str("reason", why.c_str());
  log.Write(j);
}

// Serves the command queue until a stop.
int serve(JsonlWriter& log, long status, bool silent) {
  int q = queue_open(kBrowserCommandQueueKey, true);
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Int("queue", q).Int("status", status).Bool("silent", silent);
    log.Write(j);
  }
  if (q < 0) {
    fprintf(stderr, "browser: msgget failed: %s\n", strerror(errno));
    return 1;
  }

  static BrowserInMessage msg;
  queue_serve(kBrowserCommandQueueKey, &q, &msg, kReceiveMax, 0, [&](size_t len) {
    if (msg.mtype == kBrowserCommandType) {
      // The text is NUL-padded; a sender that filled it completely is cut at
      // the message size.
      JsonLine j("command");
      j.Uint("size", len).StrN("text", msg.text, len);
      if (len != kBrowserTextSize && len != 256 && len != kBrowserKeyTextSize) j.Bool("unexpectedSize", true);
      log.Write(j);
    } else if (msg.mtype == kBrowserStatusRequestType) {
      serve_status(msg, len, static_cast<int32_t>(status), silent, log);
    } else {
      JsonLine j("ignored");
      j.Int("mtype", msg.mtype).Uint("size", len);
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
  long status = 0;
  bool silent = false;
  StandinProgram program("browser.jsonl", 3.0, usage);
  program.option = [&](int n, char** args, int* i) {
    const char* v;
    if (strcmp(args[*i], "--silent") == 0) {
      silent = true;
    } else if ((v = option_value(n, args, i, "--status")) != nullptr) {
      char* end = nullptr;
      errno = 0;
      status = strtol(v, &end, 0);
      if (errno != 0 || end == v || *end != '\0' || status < INT32_MIN || status > INT32_MAX) {
        fprintf(stderr, "%s: bad status %s\n", args[0], v);
        return 2;
      }
    } else {
      return kOptionUnknown;
    }
    return kOptionTaken;
  };
  program.run = [&](JsonlWriter& log, const char*) { return serve(log, status, silent); };
  return standin_main(argc, argv, program);
}
