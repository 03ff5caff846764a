#ifndef PLATFORM_AGENT_ACTIONS_H
#define PLATFORM_AGENT_ACTIONS_H

// What the agent does to its host after answering an action request:
// NETWORK_COMMIT moves the host's eth0 to the stored settings (static
// addresses, or a DHCP client), MULTIPLE_UPGRADE burns an archive (checked,
// logged, then the device restarts), REBOOT restarts the device.

#include <string>
#include <vector>

class JsonlWriter;

// Runs argv[0] from PATH with its arguments (no shell) and waits for it.
// Returns its exit status, or -1 when it could not run or was killed.  With
// `out`, standard output is kept (at most maxOut bytes, the rest drained).
int run_program(const std::vector<std::string>& argv, std::string* out = nullptr,
                size_t maxOut = 0);

// Prefix length of a dotted mask with contiguous ones; -1 otherwise.
int mask_prefix(const std::string& mask);

struct NetworkSettings {
  bool dhcp = false;
  std::string ip;
  std::string mask;
  std::string gateway;
};

// Applies network settings to the host's eth0.  A DHCP client (udhcpc) runs
// in the background until the next commit; it calls this program back as its
// event script (see dhcp_script_event).
class NetworkApplier {
 public:
  NetworkApplier(JsonlWriter& log, const std::string& logPath);
  ~NetworkApplier();
  void Commit(const NetworkSettings& s);

 private:
  void StopClient();
  JsonlWriter& mLog;
  std::string mLogPath;
  long mClient = -1;
};

// Environment variable that marks a run of this program as udhcpc's event
// script; its value is the agent's log file.
extern const char* const kDhcpScriptEnv;
// The script: `event` is udhcpc's first argument (deconfig, bound, renew, ...),
// the lease comes in its environment.  Returns the exit status.
int dhcp_script_event(const char* event);

// Restart of the device: the host supervisor sees the marker file and restarts
// the player (and the launcher) once the player has ended.
void reboot_device(JsonlWriter& log);
// The same from a thread of its own after `delayMs` (time-scaled): the
// plug-in that asked sends its own reply once the agent has answered, and a
// restart at once would often end it before that reply left.
void reboot_later(JsonlWriter& log, unsigned delayMs);

// MULTIPLE_UPGRADE "ide://PATH": in a thread of its own (the agent keeps
// answering), checks that PATH is a readable tar archive, logs its members,
// size and SHA-256, waits `burnMs` (time-scaled) as a burn would and restarts
// the device.  Anything else is logged as a failed burn and changes nothing.
// One burn at a time: a request during a burn is logged and dropped.
void burn_start(const std::string& source, JsonlWriter& log, unsigned burnMs);

#endif
