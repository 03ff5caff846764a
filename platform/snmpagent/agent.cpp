// snmpagent: the device's local SNMP agent as the plug-in and the
// browser-control utility see it.  Requests arrive on queue 1235 (type 769 set,
// 770 get), each is answered with one type-772 message on queue 1236.  The
// settings live in memory, start from the board's defaults and are kept in the
// host's agent-settings.txt across restarts.  REBOOT restarts the player (the
// host supervisor does the rest); NETWORK_COMMIT is logged only.

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "agent_store.h"
#include "jsonl.h"
#include "standin.h"
#include "zernsnmp.h"

namespace {

const int32_t kRequestKey = 1235;
const int32_t kReplyKey = 1236;
const long kSetType = 769;
const long kGetType = 770;
const long kReplyType = 772;
const size_t kReceiveMax = 8192;  // longer texts are cut (MSG_NOERROR)
const size_t kReplyMax = 1024;    // what the plug-in receives at most

struct AgentMessage {
  long mtype;
  char text[kReceiveMax + 1];
};

void usage(const char* prog) {
  printf(
      "usage: %s [options]\n"
      "Local SNMP agent of a simulated device host: answers get (770) and set (769)\n"
      "requests on queue 1235 with one reply (772) each on queue 1236.\n"
      "  --log FILE        JSON-lines log (default $VYX_HOSTDIR/agent.jsonl, else stdout)\n"
      "  --hostdir DIR     host directory (default $VYX_HOSTDIR)\n"
      "  --settings FILE   persistent settings (default <hostdir>/agent-settings.txt)\n"
      "  --tx | --rx       board role for ZERN_VERSION (default from VYX_HOST)\n"
      "  --ip A --mask M --gateway G   network defaults (default: the host's address,\n"
      "                    else 10.77.0.2 / 10.77.0.3)\n"
      "  --help\n",
      prog);
}

// Restart of the device: the host supervisor sees the marker file and restarts
// the player (and the launcher) once the player has ended.
void reboot_device(JsonlWriter& log) {
  std::string marker = hostdir_file("reboot-requested");
  bool marked = false;
  if (!marker.empty()) {
    FILE* f = fopen(marker.c_str(), "we");
    if (f != nullptr) {
      fprintf(f, "%.3f\n", standin_now());
      marked = fclose(f) == 0;
    }
  }
  long pid = -1;
  bool signalled = false;
  std::string text;
  std::string pidFile = hostdir_file("player.pid");
  if (!pidFile.empty() && read_file_limited(pidFile, 32, &text)) {
    char* end = nullptr;
    long v = strtol(text.c_str(), &end, 10);
    if (end != text.c_str() && v > 1) pid = v;
  }
  if (pid > 1) signalled = kill(static_cast<pid_t>(pid), SIGTERM) == 0;
  JsonLine j("reboot");
  j.Bool("marked", marked).Int("pid", pid).Bool("signalled", signalled);
  log.Write(j);
}

}  // namespace

int main(int argc, char** argv) {
  const char* logPath = nullptr;
  const char* settingsPath = nullptr;
  AgentIdentity id;
  id.transmitter = env_host_is_tx();
  const char* ip = nullptr;
  const char* mask = nullptr;
  const char* gateway = nullptr;
  for (int i = 1; i < argc; i++) {
    const char* v;
    if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0) {
      usage(argv[0]);
      return 0;
    } else if (strcmp(argv[i], "--tx") == 0) {
      id.transmitter = true;
    } else if (strcmp(argv[i], "--rx") == 0) {
      id.transmitter = false;
    } else if (standin_common_option(argc, argv, &i, &logPath)) {
    } else if ((v = option_value(argc, argv, &i, "--settings")) != nullptr) {
      settingsPath = v;
    } else if ((v = option_value(argc, argv, &i, "--ip")) != nullptr) {
      ip = v;
    } else if ((v = option_value(argc, argv, &i, "--mask")) != nullptr) {
      mask = v;
    } else if ((v = option_value(argc, argv, &i, "--gateway")) != nullptr) {
      gateway = v;
    } else {
      fprintf(stderr, "%s: unknown option %s\n", argv[0], argv[i]);
      usage(argv[0]);
      return 2;
    }
  }

  // Network defaults: options, else the simulated host's own interface, else
  // the role's address in the simulated world.
  std::string hostIp, hostMask;
  bool haveHost = env_str("VYX_HOST", nullptr) != nullptr && host_ipv4(&hostIp, &hostMask);
  id.ip = ip != nullptr ? ip : haveHost ? hostIp : (id.transmitter ? "10.77.0.2" : "10.77.0.3");
  id.mask = mask != nullptr ? mask : haveHost ? hostMask : "255.255.255.0";
  if (gateway != nullptr) {
    id.gateway = gateway;
  } else {
    size_t dot = id.ip.rfind('.');
    id.gateway = dot == std::string::npos ? "0.0.0.0" : id.ip.substr(0, dot) + ".1";
  }

  stop_signals_install(3.0);
  JsonlWriter log;
  std::string defaultLog = hostdir_file("agent.jsonl");
  log.Open(logPath != nullptr ? logPath : defaultLog.c_str());

  AgentStore store(id);
  store.SetItemFile(hostdir_file("player-item.txt"));
  std::string hd4 = hostdir_file("hd4");
  store.SetFreeSpaceDir(hd4.empty() ? "/" : hd4);
  std::string settings = settingsPath != nullptr ? settingsPath : hostdir_file("agent-settings.txt");
  int applied = 0, skipped = 0;
  bool loaded = store.Load(settings, &applied, &skipped);

  int reqQ = queue_open(kRequestKey, true);
  int repQ = queue_open(kReplyKey, true);
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Str("role", id.transmitter ? "tx" : "rx").Str("ip", id.ip.c_str());
    j.Int("version", agent_board_version(id.transmitter)).Str("settings", settings.c_str());
    j.Bool("loaded", loaded).Int("applied", applied).Int("skipped", skipped);
    j.Int("requestQueue", reqQ).Int("replyQueue", repQ);
    log.Write(j);
  }
  if (reqQ < 0 || repQ < 0) {
    fprintf(stderr, "snmpagent: msgget failed: %s\n", strerror(errno));
    return 1;
  }

  static AgentMessage msg;
  static AgentMessage reply;
  auto reopenReplies = [&] { repQ = queue_open(kReplyKey, true); };
  queue_serve(kRequestKey, &reqQ, &msg, kReceiveMax, 0, [&](size_t len) {
    msg.text[len] = '\0';
    if (msg.mtype != kSetType && msg.mtype != kGetType) {
      JsonLine j("ignored");
      j.Int("mtype", msg.mtype).Uint("size", len);
      log.Write(j);
      return true;
    }
    bool isSet = msg.mtype == kSetType;
    AgentResult r = isSet ? store.Set(msg.text, len) : store.Get(msg.text, len);
    if (r.stored && !settings.empty() && !store.Save(settings)) {
      JsonLine j("error");
      j.Str("what", "cannot save settings").Str("file", settings.c_str());
      log.Write(j);
    }

    // One reply per request, terminated, within what the client receives.
    std::string text = r.reply.substr(0, kReplyMax - 1);
    reply.mtype = kReplyType;
    memcpy(reply.text, text.c_str(), text.size() + 1);
    bool answered = msgsnd(repQ, &reply, text.size() + 1, IPC_NOWAIT) == 0;
    int sendErrno = errno;

    JsonLine j(isSet ? "set" : "get");
    j.Str("oid", r.oid.c_str()).StrN("request", msg.text, AgentStore::kMaxRequest + 64);
    j.Str("reply", text.c_str()).Bool("ok", r.ok).Bool("answered", answered);
    if (!answered) j.Str("error", strerror(sendErrno));
    if (strnlen(msg.text, len) > AgentStore::kMaxRequest + 64) j.Bool("truncated", true);
    log.Write(j);

    if (r.action == eActionNetworkCommit) {
      JsonLine c("network_commit");
      c.Str("dhcp", store.Value(eDHCP_ENABLE).c_str()).Str("ip", store.Value(eIP_ADDRESS).c_str());
      c.Str("mask", store.Value(eIP_MASK).c_str()).Str("gateway", store.Value(eIP_GATEWAY).c_str());
      log.Write(c);
    } else if (r.action == eActionUpgrade) {
      JsonLine u("upgrade");
      u.Str("source", store.Value(eMULTIPLE_UPGRADE).c_str());
      log.Write(u);
    } else if (r.action == eActionReboot) {
      reboot_device(log);
    }
    return true;
  }, reopenReplies);
  JsonLine j("stop");
  log.Write(j);
  return 0;
}
