// snmpagent: the device's local SNMP agent as the plug-in and the
// browser-control utility see it.  Requests arrive on queue 1235 (type 769 set,
// 770 get), each is answered with one type-772 message on queue 1236.  The
// settings live in memory, start from the board's defaults and are kept in the
// host's agent-settings.txt across restarts.  After its answer an action is
// carried out on the host: REBOOT restarts the player (the host supervisor does
// the rest), NETWORK_COMMIT moves eth0, MULTIPLE_UPGRADE burns an archive.

#include <signal.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "agent_actions.h"
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
      "  --silent-oid OID  never answer requests to OID (repeatable; also the lines\n"
      "                    of <hostdir>/agent-silent.txt, read at every request)\n"
      "  --burn-ms N       time a burn takes before the restart (default 2000, scaled)\n"
      "  --reboot-ms N     time from a REBOOT answer to the restart (default 1000, scaled)\n"
      "  --no-apply        log network commits without changing the host\n"
      "  --help\n",
      prog);
}

// OIDs this agent leaves unanswered (a request to them is still served and
// logged, but no reply is sent): the --silent-oid options, and the lines of
// <hostdir>/agent-silent.txt, read again at every request so that a test can
// change them while the device runs.
bool is_silent(const std::vector<std::string>& fixed, const AgentStore& store,
               const std::string& oid) {
  if (oid.empty()) return false;
  for (const std::string& f : fixed) {
    if (f == oid) return true;
  }
  std::string file = hostdir_file("agent-silent.txt");
  std::string text;
  if (file.empty() || !read_file_limited(file, 16384, &text)) return false;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (!line.empty()) {
      const AgentSetting* s = store.Find(line);
      if (s != nullptr && s == store.Find(oid)) return true;
    }
    start = end + 1;
  }
  return false;
}

// What the command line sets.
struct AgentOptions {
  std::vector<std::string> silentOids;
  unsigned burnMs = 2000;
  unsigned rebootMs = 1000;
  bool applyNetwork = false;
  const char* settingsPath = nullptr;
  AgentIdentity id;
  const char* ip = nullptr;
  const char* mask = nullptr;
  const char* gateway = nullptr;
};

// Serves the request queue until a stop.
int serve(JsonlWriter& log, const char* logPath, AgentOptions& opt) {
  // Network defaults: options, else the simulated host's own interface, else
  // the role's address in the simulated world.
  std::string hostIp, hostMask;
  bool haveHost = env_str("VYX_HOST", nullptr) != nullptr && host_ipv4(&hostIp, &hostMask);
  opt.id.ip = opt.ip != nullptr ? opt.ip : haveHost ? hostIp : (opt.id.transmitter ? "10.77.0.2" : "10.77.0.3");
  opt.id.mask = opt.mask != nullptr ? opt.mask : haveHost ? hostMask : "255.255.255.0";
  if (opt.gateway != nullptr) {
    opt.id.gateway = opt.gateway;
  } else {
    size_t dot = opt.id.ip.rfind('.');
    opt.id.gateway = dot == std::string::npos ? "0.0.0.0" : opt.id.ip.substr(0, dot) + ".1";
  }

  NetworkApplier network(log, logPath);

  AgentStore store(opt.id);
  store.SetItemFile(hostdir_file("player-item.txt"));
  std::string hd4 = hostdir_file("hd4");
  store.SetFreeSpaceDir(hd4.empty() ? "/" : hd4);
  store.SetLiveNetwork(opt.applyNetwork);
  std::string settings = opt.settingsPath != nullptr ? opt.settingsPath : hostdir_file("agent-settings.txt");
  int applied = 0, skipped = 0;
  bool loaded = store.Load(settings, &applied, &skipped);

  int reqQ = queue_open(kRequestKey, true);
  int repQ = queue_open(kReplyKey, true);
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Str("role", opt.id.transmitter ? "tx" : "rx").Str("ip", opt.id.ip.c_str());
    j.Int("version", agent_board_version(opt.id.transmitter)).Str("settings", settings.c_str());
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
    // When the request was taken: the reply (and so the client's next step)
    // comes before the log line is written.
    double received = standin_now();
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
    bool silent = is_silent(opt.silentOids, store, r.oid);
    bool answered = !silent && msgsnd(repQ, &reply, text.size() + 1, IPC_NOWAIT) == 0;
    int sendErrno = errno;

    JsonLine j(isSet ? "set" : "get");
    j.Str("oid", r.oid.c_str()).StrN("request", msg.text, AgentStore::kMaxRequest + 64);
    j.Str("reply", text.c_str()).Bool("ok", r.ok).Bool("answered", answered).Time("received", received);
    if (silent) {
      j.Bool("silent", true);
    } else if (!answered) {
      j.Str("error", strerror(sendErrno));
    }
    if (strnlen(msg.text, len) > AgentStore::kMaxRequest + 64) j.Bool("truncated", true);
    log.Write(j);

    if (r.action == eActionNetworkCommit) {
      JsonLine c("network_commit");
      c.Str("dhcp", store.Value(eDHCP_ENABLE).c_str()).Str("ip", store.Value(eIP_ADDRESS).c_str());
      c.Str("mask", store.Value(eIP_MASK).c_str()).Str("gateway", store.Value(eIP_GATEWAY).c_str());
      log.Write(c);
      if (opt.applyNetwork) {
        NetworkSettings s;
        s.dhcp = store.Value(eDHCP_ENABLE) == "1";
        s.ip = store.Value(eIP_ADDRESS);
        s.mask = store.Value(eIP_MASK);
        s.gateway = store.Value(eIP_GATEWAY);
        network.Commit(s);
      }
    } else if (r.action == eActionUpgrade) {
      JsonLine u("upgrade");
      u.Str("source", store.Value(eMULTIPLE_UPGRADE).c_str());
      log.Write(u);
      burn_start(store.Value(eMULTIPLE_UPGRADE), log, opt.burnMs);
    } else if (r.action == eActionReboot) {
      reboot_later(log, opt.rebootMs);
    }
    return true;
  }, reopenReplies);
  JsonLine j("stop");
  log.Write(j);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Run by the DHCP client as its event script.
  if (getenv(kDhcpScriptEnv) != nullptr && argc == 2) return dhcp_script_event(argv[1]);

  AgentOptions opt;
  // Only a simulated host's own network is ever changed.
  opt.applyNetwork = env_str("VYX_HOST", nullptr) != nullptr;
  opt.id.transmitter = env_host_is_tx();
  StandinProgram program("agent.jsonl", 3.0, usage);
  program.option = [&](int n, char** args, int* i) {
    const char* v;
    if (strcmp(args[*i], "--tx") == 0) {
      opt.id.transmitter = true;
    } else if (strcmp(args[*i], "--rx") == 0) {
      opt.id.transmitter = false;
    } else if ((v = option_value(n, args, i, "--settings")) != nullptr) {
      opt.settingsPath = v;
    } else if ((v = option_value(n, args, i, "--ip")) != nullptr) {
      opt.ip = v;
    } else if ((v = option_value(n, args, i, "--mask")) != nullptr) {
      opt.mask = v;
    } else if ((v = option_value(n, args, i, "--gateway")) != nullptr) {
      opt.gateway = v;
    } else if ((v = option_value(n, args, i, "--silent-oid")) != nullptr) {
      opt.silentOids.push_back(v);
    } else if ((v = option_value(n, args, i, "--reboot-ms")) != nullptr) {
      opt.rebootMs = static_cast<unsigned>(strtoul(v, nullptr, 10));
    } else if ((v = option_value(n, args, i, "--burn-ms")) != nullptr) {
      opt.burnMs = static_cast<unsigned>(strtoul(v, nullptr, 10));
    } else if (strcmp(args[*i], "--no-apply") == 0) {
      opt.applyNetwork = false;
    } else {
      return kOptionUnknown;
    }
    return kOptionTaken;
  };
  program.run = [&](JsonlWriter& log, const char* logPath) { return serve(log, logPath, opt); };
  return standin_main(argc, argv, program);
}
