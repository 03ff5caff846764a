#ifndef PLATFORM_STANDIN_H
#define PLATFORM_STANDIN_H

// Helpers shared by the processes that stand in for the device's media
// player, SNMP agent, system manager and browser: environment of the
// simulated host, time, waits, clean stopping, System V queues, and the
// skeleton of their main (standin_main).
//
// Environment of a simulated device host: VYX_HOST ("tx"/"rx"), VYX_HOSTDIR
// (the host's directory: logs, pid file, disks), VYX_TIME_SCALE (waits are
// divided by it), VYX_CHANNELS (the tuner's channel map).

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

class JsonlWriter;

// --- environment -----------------------------------------------------------
// Value of an environment variable, or `fallback` when unset or empty.
const char* env_str(const char* name, const char* fallback);
// Integer value (base 0) of an environment variable within [lo, hi], or
// `fallback` when unset, malformed or out of range.
long env_long(const char* name, long fallback, long lo, long hi);
// True when VYX_HOST says this is the transmitter host ("tx", or "t...").
bool env_host_is_tx();

// The host directory: the --hostdir option when given, else VYX_HOSTDIR, else "".
void standin_set_hostdir(const char* dir);
const std::string& standin_hostdir();
// `name` inside the host directory, or "" when there is no host directory.
std::string hostdir_file(const char* name);

// --- time --------------------------------------------------------------------
double standin_now();          // seconds since the epoch
double standin_monotonic();    // seconds, CLOCK_MONOTONIC
double standin_time_scale();   // VYX_TIME_SCALE, default 1
// Waits of the stand-ins: compressed by the time scale like the plug-in's.
void standin_sleep_ms(unsigned int ms);
// Unscaled wait until a CLOCK_MONOTONIC instant (stream pacing only).
void standin_sleep_until(double monotonicSeconds);

// --- stopping ------------------------------------------------------------------
// SIGTERM and SIGINT end the stand-ins cleanly.  Call from main before any
// other thread exists: the two signals are blocked in every thread and taken
// by a watcher thread, which sets the stop flag and interrupts the main thread
// (blocked in msgrcv) with SIGUSR1 until it ends.  If the main thread has not
// ended `graceSeconds` after the signal, the watcher flushes the standard
// streams and ends the process with status 0 itself.
void stop_signals_install(double graceSeconds);
bool stop_requested();
void stop_request();  // same as receiving SIGTERM (tests, "exit" commands)

// --- System V queues ---------------------------------------------------------
// msgget(key, flags); -1 on failure (errno set).
int queue_open(int32_t key, bool create);
// Receives one message of `msgtyp` into buf (type word + text of at most
// textMax bytes, longer texts cut).  Returns the text size, or -1 on error;
// EINTR (stop requested) and EIDRM/EINVAL (queue gone) are left in errno.
ssize_t queue_receive(int qid, void* buf, size_t textMax, long msgtyp);
// The serving loop of a stand-in: until a stop is requested or `handle`
// returns false, receives each message of `msgtyp` on *qid into buf (as
// queue_receive) and hands its text size to `handle`.  After a failure it
// waits 100 ms; a queue someone removed is then made again (key `key`, into
// *qid) and `reopened`, when given, is called to make companion queues again.
void queue_serve(int32_t key, int* qid, void* buf, size_t textMax, long msgtyp,
                 const std::function<bool(size_t)>& handle,
                 const std::function<void()>& reopened = nullptr);

// --- files -------------------------------------------------------------------
// Writes `data` to path through a temporary file and rename.
bool write_file_atomic(const std::string& path, const std::string& data);
// Reads at most maxBytes of a file; false when it cannot be opened.
bool read_file_limited(const std::string& path, size_t maxBytes, std::string* out);

// --- network -------------------------------------------------------------------
// First IPv4 address (and its mask) of an interface that is up and not
// loopback, as dotted text; false when there is none.
bool host_ipv4(std::string* ip, std::string* mask);

// --- command line --------------------------------------------------------------
// Value of "--name VALUE" or "--name=VALUE" at argv[*i]; advances *i past a
// separate value.  Returns null when argv[*i] is not that option.
const char* option_value(int argc, char** argv, int* i, const char* name);
// The options every stand-in takes: "--log FILE" (stored in *logPath) and
// "--hostdir DIR" (standin_set_hostdir).  True when argv[*i] was one of them.
bool standin_common_option(int argc, char** argv, int* i, const char** logPath);

// --- main ------------------------------------------------------------------------
// What a program's own option handler returns: the option was taken, it is
// not one of the program's, or (>= 0) the status to end with at once.
constexpr int kOptionTaken = -1;
constexpr int kOptionUnknown = -2;

// One stand-in for standin_main.
struct StandinProgram {
  StandinProgram(const char* log, double grace, void (*usageText)(const char* prog))
      : logName(log), graceSeconds(grace), usage(usageText) {}

  // Default log in the host directory ("agent.jsonl").
  const char* logName;
  // Time the stop watcher gives the main thread after SIGTERM or SIGINT
  // (stop_signals_install); 0 for a one-shot tool that leaves the signals be.
  double graceSeconds;
  // The usage text on standard output (--help, -h, unknown options).
  void (*usage)(const char* prog);
  // The program's option at argv[*i] (after --log and --hostdir): advances *i
  // past a separate value.  Null when it has none.
  std::function<int(int argc, char** argv, int* i)> option;
  // After the command line, before anything is opened: -1 to go on, or the
  // status to end with.  May be null.
  std::function<int()> check;
  // The program's work once the log is open (at --log, else at logName in
  // the host directory, else standard output; logPath is what was opened, ""
  // for standard output); its exit status.
  std::function<int(JsonlWriter& log, const char* logPath)> run;
};

// The main of every stand-in: --help/-h prints the usage (status 0); --log
// and --hostdir, then the program's options; anything else is "PROG: unknown
// option X" and the usage (status 2).  Then the stop signals, the log and
// `run`.
int standin_main(int argc, char** argv, const StandinProgram& program);

#endif
