// k720ir: presses keys of the remote as the media player reports them: one
// message of type 1 on queue 1250 per key event, 16 bytes of text with the
// key code as the signed byte at offset 4 (offset 0 holds the event's
// sequence number, offset 5 is 1 for a repeat of a held key).
//
//   k720ir [options] KEY...
//     KEY             a key code (1..127) or a name: MENU, KEY_MENU, VOL_UP ...
//     --hold MS       each key is held MS ms: the remote repeats it every
//                     --repeat MS (default 108) while it is down
//     --repeat MS     repeat interval of a held key
//     --presses N     each key is pressed N times (default 1) ...
//     --every MS      ... MS ms apart, press to press (default 400)
//     --gap MS        pause between different keys (default 400)
//     --list          prints the key names and codes
// Timing is real time (never compressed by VYX_TIME_SCALE): the plug-in
// measures key spacing on the monotonic clock.  Every event is logged to
// <hostdir>/ir.jsonl (or --log FILE); exit status 0 when every message was
// queued, 1 when one could not be, 2 on bad usage.

#include <sys/ipc.h>
#include <sys/msg.h>
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jsonl.h"
#include "standin.h"

namespace {

// The player's key messages: queue 1250, type 1, 16 bytes of text with the
// key code as the signed byte at offset 4.
constexpr int kIrInputQueueKey = 1250;
constexpr long kIrKeyMessageType = 1;
constexpr int kIrKeyTextSize = 16;
constexpr int kIrKeyOffset = 4;

// The remote's keys as the player reports them: code and name.  The tool's
// own table (not the plug-in's), so that a wrong entry on either side shows.
struct RemoteKey {
  int code;
  const char* name;
};
const RemoteKey kRemoteKeys[] = {
    {1, "KEY_NUM_0"},    {2, "KEY_NUM_1"},      {3, "KEY_NUM_2"},        {4, "KEY_NUM_3"},   {5, "KEY_NUM_4"},
    {6, "KEY_NUM_5"},    {7, "KEY_NUM_6"},      {8, "KEY_NUM_7"},        {9, "KEY_NUM_8"},   {10, "KEY_NUM_9"},
    {11, "KEY_UP"},      {12, "KEY_DOWN"},      {13, "KEY_RIGHT"},       {14, "KEY_LEFT"},   {15, "KEY_ENTER"},
    {16, "KEY_MENU"},    {26, "KEY_FF"},        {33, "KEY_OFF"},         {34, "KEY_VYX"},    {35, "KEY_RED"},
    {36, "KEY_GREEN"},   {37, "KEY_YELLOW"},    {38, "KEY_BLUE"},        {39, "KEY_F1"},     {40, "KEY_CHAN_UP"},
    {41, "KEY_CHAN_DOWN"}, {42, "KEY_GUIDE"},   {43, "KEY_INFO"},        {44, "KEY_VOL_UP"}, {45, "KEY_VOL_DOWN"},
    {46, "KEY_MUTE"},
};

struct KeyMessage {
  long mtype;
  char text[kIrKeyTextSize];
};

void usage(FILE* out) {
  fprintf(out,
          "usage: k720ir [--hold MS [--repeat MS]] [--presses N [--every MS]] [--gap MS]\n"
          "              [--log FILE] [--hostdir DIR] KEY...\n"
          "       k720ir --list\n"
          "Writes remote-control key messages to queue 1250 (type 1, key at byte 4).\n"
          "KEY is a code 1..127 or a name (MENU, KEY_MENU, UP, VOL_UP, NUM_5 ...).\n"
          "Times are real milliseconds (not scaled by VYX_TIME_SCALE).\n");
}

// The name of a table entry without "KEY_".
std::string short_name(const char* name) {
  std::string s = name;
  if (s.compare(0, 4, "KEY_") == 0) s = s.substr(4);
  return s;
}

// A key code from a number or a name; -1 when neither.
int parse_key(const char* arg) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(arg, &end, 0);
  if (end != arg && *end == '\0' && errno == 0) return v >= 1 && v <= 127 ? static_cast<int>(v) : -1;
  const char* want = strncasecmp(arg, "KEY_", 4) == 0 ? arg + 4 : arg;
  for (const RemoteKey& k : kRemoteKeys)
    if (strcasecmp(short_name(k.name).c_str(), want) == 0) return k.code;
  return -1;
}

bool parse_ms(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 600000) return false;
  *out = v;
  return true;
}

void list_keys() {
  for (const RemoteKey& k : kRemoteKeys) printf("%3d %s\n", k.code, short_name(k.name).c_str());
}

// What the command line sets.
struct Presses {
  long holdMs = 0, repeatMs = 108, presses = 1, everyMs = 400, gapMs = 400;
  std::vector<int> keys;
};

// One key argument or option at argv[*i] (standin_main's option handler).
int press_option(int argc, char** argv, int* i, Presses* p) {
  const char* v;
  if (strcmp(argv[*i], "--list") == 0) {
    list_keys();
    return 0;
  } else if ((v = option_value(argc, argv, i, "--hold")) != nullptr) {
    if (!parse_ms(v, &p->holdMs)) return usage(stderr), 2;
  } else if ((v = option_value(argc, argv, i, "--repeat")) != nullptr) {
    if (!parse_ms(v, &p->repeatMs) || p->repeatMs == 0) return usage(stderr), 2;
  } else if ((v = option_value(argc, argv, i, "--presses")) != nullptr) {
    if (!parse_ms(v, &p->presses) || p->presses == 0 || p->presses > 10000) return usage(stderr), 2;
  } else if ((v = option_value(argc, argv, i, "--every")) != nullptr) {
    if (!parse_ms(v, &p->everyMs)) return usage(stderr), 2;
  } else if ((v = option_value(argc, argv, i, "--gap")) != nullptr) {
    if (!parse_ms(v, &p->gapMs)) return usage(stderr), 2;
  } else if (argv[*i][0] == '-' && argv[*i][1] == '-') {
    fprintf(stderr, "k720ir: unknown option %s\n", argv[*i]);
    return usage(stderr), 2;
  } else {
    int key = parse_key(argv[*i]);
    if (key < 0) {
      fprintf(stderr, "k720ir: no key '%s' (k720ir --list)\n", argv[*i]);
      return 2;
    }
    p->keys.push_back(key);
  }
  return kOptionTaken;
}

// Sends the keys on their schedule; 1 when a message could not be queued.
int press(JsonlWriter& log, const Presses& opt) {
  int q = queue_open(kIrInputQueueKey, true);
  if (q < 0) {
    fprintf(stderr, "k720ir: msgget %d: %s\n", kIrInputQueueKey, strerror(errno));
    return 1;
  }

  // One schedule on the monotonic clock: late sends do not push later ones.
  const double start = standin_monotonic();
  double at = start;
  int32_t seq = 0;
  int failed = 0;
  auto send = [&](int key, bool repeat) {
    standin_sleep_until(at);
    KeyMessage m;
    memset(&m, 0, sizeof(m));
    m.mtype = kIrKeyMessageType;
    memcpy(m.text, &seq, sizeof(seq));
    m.text[kIrKeyOffset] = static_cast<char>(key);
    m.text[kIrKeyOffset + 1] = repeat ? 1 : 0;
    bool ok = msgsnd(q, &m, sizeof(m.text), IPC_NOWAIT) == 0;
    JsonLine j("key");
    j.Int("key", key).Int("seq", seq).Bool("repeat", repeat).Num("t", standin_monotonic() - start).Bool("ok", ok);
    if (!ok) j.Str("error", strerror(errno));
    log.Write(j);
    if (!ok) failed++;
    seq++;
  };
  for (size_t k = 0; k < opt.keys.size(); k++) {
    if (k > 0) at += opt.gapMs / 1000.0;
    const double firstPress = at;
    for (long p = 0; p < opt.presses; p++) {
      const double pressAt = firstPress + p * (opt.everyMs / 1000.0);
      at = pressAt;
      send(opt.keys[k], false);
      // While held, the remote repeats the code until the key is let go.
      for (long t = opt.repeatMs; opt.holdMs > 0 && t <= opt.holdMs; t += opt.repeatMs) {
        at = pressAt + t / 1000.0;
        send(opt.keys[k], true);
      }
    }
  }
  if (failed > 0) fprintf(stderr, "k720ir: %d key message(s) could not be queued\n", failed);
  return failed > 0 ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  Presses p;
  // A one-shot tool: no stop watcher, SIGTERM ends it at once.
  StandinProgram program("ir.jsonl", 0, [](const char*) { usage(stdout); });
  program.option = [&](int n, char** args, int* i) { return press_option(n, args, i, &p); };
  program.check = [&] { return p.keys.empty() ? (usage(stderr), 2) : -1; };
  program.run = [&](JsonlWriter& log, const char*) { return press(log, p); };
  return standin_main(argc, argv, program);
}
