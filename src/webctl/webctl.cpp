// webctl: hands a URL or a browser command to the on-screen browser through
// its command queue (after checking that the browser answers, for a URL),
// sends a set request to the local SNMP agent (-H), and carries a few test
// options for the device's shell.

#include <dirent.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "waits.h"

namespace {

// ---- the browser's queues ----
constexpr key_t kBrowserCommandQueueKey = 945602;
constexpr key_t kBrowserStatusQueueKey = 31561;
constexpr long kCommandType = 1;
constexpr long kStatusRequestType = 2;
constexpr int32_t kStatusCmmdId = 71;
constexpr size_t kTextSize = 256;
constexpr size_t kMaxCommandChars = 252;

struct CmdFormat {  // _sMSG_CMD_FORMAT
  int32_t cmmdId;
  int32_t param[7];
};
static_assert(sizeof(CmdFormat) == 32, "status request is 8 words");
static_assert(offsetof(CmdFormat, param) == 4, "param follows cmmdId");

struct BrowserMsg {
  long mtype;
  char text[kTextSize];
};
static_assert(offsetof(BrowserMsg, text) == sizeof(long), "text follows the type word");

// ---- the SNMP agent's queues ----
constexpr key_t kSnmpRequestKey = 1235;
constexpr key_t kSnmpReplyKey = 1236;
constexpr long kSnmpSet = 769;
constexpr long kSnmpReply = 772;
constexpr size_t kSnmpTextSize = 2048;

struct SnmpMsg {
  long mtype;
  char text[kSnmpTextSize + 1];  // one more: the reply is always terminated
};

int msgqid = -1;

void sleep_ms(unsigned ms) {
  vyx_sleep_exact(ms / 1000.0 / vyx_parse_time_scale(getenv("VYX_TIME_SCALE")));
}

[[noreturn]] void finish(int status) {
  fflush(stdout);
  exit(status);
}

void usage(const char* name) {
  printf("usage: %s [-command|url]\n", name);
  printf("-g\tGo and download web page\n");
  printf("-m\tDisplay memory pool usage information\n");
  printf("-k\tKick main app loop if dead\n");
  printf("-c\tShow Cache statistics\n");
  printf("-f\tFlush Cache\n");
}

// The browser's status (param[1] of its answer), or -1.
int is_alive() {
  printf("bcontr: Sending status request ccmdId %d, param[0] %d, param[1] %d ... \n", kStatusCmmdId,
         static_cast<int>(kBrowserStatusQueueKey), 2);
  int replyId = msgget(kBrowserStatusQueueKey, IPC_CREAT | 0666);
  if (replyId < 0) {
    printf("bcontr: Error getting/creating msgq\n");
    finish(1);
  }
  BrowserMsg msg;
  // Answers to earlier requests nobody collected are not ours.
  while (msgrcv(replyId, &msg, sizeof(msg.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
  }
  memset(&msg, 0, sizeof(msg));
  msg.mtype = kStatusRequestType;
  CmdFormat request;
  memset(&request, 0, sizeof(request));
  request.cmmdId = kStatusCmmdId;
  request.param[0] = kBrowserStatusQueueKey;
  request.param[1] = 2;
  memcpy(msg.text, &request, sizeof(request));
  if (msgsnd(msgqid, &msg, sizeof(msg.text), IPC_NOWAIT) < 0) {
    printf("bcontr: Error sending msg\n");
    return -1;
  }
  for (int attempt = 0; attempt < 5; attempt++) {
    sleep_ms(500);
    memset(&msg, 0, sizeof(msg));
    if (msgrcv(replyId, &msg, sizeof(msg.text), 0, IPC_NOWAIT | MSG_NOERROR) >= 0) {
      CmdFormat reply;
      memcpy(&reply, msg.text, sizeof(reply));
      printf("bcontr: Received status %d\n", reply.param[1]);
      return reply.param[1];
    }
  }
  printf("bcontr: Error receiving msg\n");
  return -1;
}

[[noreturn]] void send_command(const char* text) {
  BrowserMsg msg;
  memset(&msg, 0, sizeof(msg));
  msg.mtype = kCommandType;
  strncpy(msg.text, text, kMaxCommandChars);  // the rest stays NUL
  int rc;
  do {
    rc = msgsnd(msgqid, &msg, sizeof(msg.text), 0);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    printf("Error sending message\n");
    finish(1);
  }
  finish(0);
}

// The value of an agent reply, cut as the plug-in's bridge cuts it; prints
// nothing for a reply without '='.
void print_snmp_value(char* text) {
  if (strchr(text, '=') == nullptr) return;
  char* colon = strchr(text, ':');
  if (colon == nullptr) {
    printf("\" \"\n");
    return;
  }
  char* value = colon + 1;
  if (*value != '\0') value++;
  if (*value == '"') value++;
  char* cut = strchr(value, '\r');
  if (cut != nullptr) *cut = '\0';
  cut = strchr(value, '\n');
  if (cut != nullptr) *cut = '\0';
  size_t n = strlen(value);
  if (n > 0 && value[n - 1] == ' ') value[--n] = '\0';
  if (n > 0 && value[n - 1] == '"') value[--n] = '\0';
  printf("\"%s\"\n", value);
}

[[noreturn]] void snmp_set(int argc, char** argv) {
  std::string request;
  for (int i = 2; i < argc && argv[i][0] != '\0'; i++) {
    if (!request.empty()) request += ' ';
    request += argv[i];
  }
  int tx = msgget(kSnmpRequestKey, IPC_CREAT | 0666);
  int rx = msgget(kSnmpReplyKey, IPC_CREAT | 0666);
  if (tx < 0 || rx < 0) {
    perror("msgget in snmplc failed");
    finish(-1);
  }
  static SnmpMsg msg;
  memset(&msg, 0, sizeof(msg));
  msg.mtype = kSnmpSet;
  // The request goes in a fixed 2048-byte text, always terminated.
  snprintf(msg.text, kSnmpTextSize, "%s", request.c_str());
  if (msgsnd(tx, &msg, kSnmpTextSize, 0) < 0) {
    perror("msgsnd in snmplc failed");
    finish(-1);
  }
  memset(&msg, 0, sizeof(msg));
  if (msgrcv(rx, &msg, kSnmpTextSize, kSnmpReply, MSG_NOERROR) < 0) {
    perror("msgrcv in snmplc failed");
    finish(-1);
  }
  msg.text[kSnmpTextSize] = '\0';
  print_snmp_value(msg.text);
  finish(0);
}

void read_test() {
  printf("Testing file read\n");
  FILE* f = fopen("/mnt/hd4/video/Commercial15Mbps.m2t", "rb");
  if (f == nullptr) {
    printf("Cant open file\n");
    return;
  }
  static char block[1024];
  while (fread(block, 1, sizeof(block), f) == sizeof(block)) {
  }
  fclose(f);
  printf("Cant read file\n");
}

// Lists a directory; the caller goes on to send the argument.  A directory
// that cannot be read ends the tool.
void list_directory(const char* dir) {
  DIR* d = dir != nullptr ? opendir(dir) : nullptr;
  if (d == nullptr) {
    printf("Can't open %s", dir != nullptr ? dir : "(null)");
    finish(0);
  }
  struct dirent* e;
  while ((e = readdir(d)) != nullptr) {
    if (e->d_name[0] == '.') continue;
    struct stat st;
    if (stat(e->d_name, &st) != 0) {
      printf("can't stat %s\n", e->d_name);
      closedir(d);
      finish(0);
    }
    printf(S_ISDIR(st.st_mode) ? "directory %s\n" : "file %s\n", e->d_name);
  }
  closedir(d);
}

void process_test() {
  printf("About to start calling system\n");
  fflush(stdout);
  sleep_ms(10 * 1000);
  char line[64];
  for (int i = 0; i < 10000; i++) {
    snprintf(line, sizeof(line), "./printf-test %d", i);
    if (system(line) < 0) printf("FAILED %i\n", i);
  }
  fflush(stdout);
  sleep_ms(10000u * 1000u);
}

void output_test() {
  for (int i = 0; i < 100000; i++) {
    printf("abracadabra bla bla bla: %d\n", i);
    vyx_sleep_exact(10e-6);
  }
}

}  // namespace

int main(int argc, char** argv) {
  msgqid = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
  if (msgqid < 0) {
    printf("bcontr: Error getting/creating msgq 1\n");
    finish(1);
  }
  printf("bcontr: -> obtained msgqid %d\n", msgqid);
  if (argc < 2) {
    usage(argv[0]);
    finish(0);
  }
  const char* first = argv[1];
  if (first[0] != '-') {
    // A URL: only for a browser that answers.
    if (is_alive() < 0) finish(1);
    send_command(first);
  }
  switch (first[1]) {
    case 'H':
      snmp_set(argc, argv);
    case 'a':
      is_alive();
      break;
    case '0':
      printf("=================== Got 0 with |%s|\n", argc > 2 ? argv[2] : "");
      finish(0);
    case '1':
      read_test();
      finish(0);
    case '2':
      list_directory(argc > 2 ? argv[2] : nullptr);
      break;
    case '9':
      process_test();
      break;
    case 'p':
      output_test();
      break;
    default:
      break;
  }
  send_command(first);
}
