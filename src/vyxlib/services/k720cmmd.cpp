// Player command channel.  The media player reads binary command records from
// its System V queue (key 1234, type 2; -mount goes to the system manager's
// queue 1240, type 20).  Other modules never build records: they write a
// k720cmmd command line ("-udp 239.1.2.3 5000 ...", "-atsc 7") and this parser
// turns each option into one message.
//
// Every text copied into a record is cut to its field, and no payload is
// larger than the record union it is taken from.

#include "services/k720cmmd.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "quv_interprocess.h"

void k720cmmd_print_menu();  // k720cmmd_menu.cpp

namespace {

// The record is built in a zero-filled union and the payload starts at its
// second word; the largest payload (384 bytes, -mount) therefore reaches four
// bytes past the union.  The tail keeps those bytes inside this object (and
// zero), so the message carries exactly what the player expects.
struct RecordBuffer {
  sMSG_COMMON_FORMAT rec;
  int32_t tail;
};
static_assert(sizeof(RecordBuffer) >= 4 + QUV_MSG_PAYLOAD_MAX, "payload source");

inline void* payload(RecordBuffer* b) { return b->rec.raw + 4; }

// A value is an argument that does not start with '-', or a negative number.
bool is_value(const char* a) {
  return a != nullptr && (a[0] != '-' || isdigit(static_cast<unsigned char>(a[1])));
}

int32_t num_u(const char* a, int base = 0) {
  return static_cast<int32_t>(strtoul(a, nullptr, base));
}
int32_t num_s(const char* a) { return static_cast<int32_t>(strtol(a, nullptr, 0)); }

// Copies at most size - 1 characters and terminates.
void copy_text(char* dst, size_t size, const char* src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = 0;
}

// Cursor over the argument vector.  `Value()` takes the next argument when it
// is a value; `Next()` takes it whatever it is.
struct Args {
  int argc;
  char** argv;
  int i;

  const char* Value() {
    if (i + 1 < argc && is_value(argv[i + 1])) return argv[++i];
    return nullptr;
  }
  const char* Next() {
    if (i + 1 < argc && argv[i + 1] != nullptr) return argv[++i];
    return nullptr;
  }
};

// Optional geometry and layer words shared by the stream, file, picture and
// browser options: Cx Cy W H (strtol), asp, alpha, xyMode (strtoul).
// Returns true when xyMode was given.
bool read_layer(Args* a, _sQUV_LAYER_INFO* l) {
  const char* v;
  if ((v = a->Value()) != nullptr) l->centerX = num_s(v);
  if ((v = a->Value()) != nullptr) l->centerY = num_s(v);
  if ((v = a->Value()) != nullptr) l->width = num_s(v);
  if ((v = a->Value()) != nullptr) l->height = num_s(v);
  if ((v = a->Value()) != nullptr) l->asp = num_u(v);
  if ((v = a->Value()) != nullptr) l->alpha = num_u(v);
  if ((v = a->Value()) != nullptr) {
    l->xyMode = num_u(v);
    return true;
  }
  return false;
}

void layer_defaults(_sQUV_LAYER_INFO* l) {
  l->centerX = 50;
  l->centerY = 50;
  l->width = 100;
  l->height = 100;
  l->asp = 0;
  l->alpha = 255;
  l->xyMode = 0;
}

int send_player(unsigned cmmdId, RecordBuffer* b, int size) {
  b->rec.cmdOnly.cmmdId = static_cast<int32_t>(cmmdId);
  return send_msg(QUV_MSG_Q_KEY, QUV_MSG_TYPE, cmmdId, payload(b), size);
}

// Payload of a file record: the name and the words before it, as the player
// has always been sent it (name length + 124), never more than the union.
int file_payload(const _sSTART_FILE_PLAY* f) {
  int n = static_cast<int>(strnlen(f->fileName, sizeof(f->fileName))) + 124;
  return n > QUV_MSG_PAYLOAD_MAX - 4 ? QUV_MSG_PAYLOAD_MAX - 4 : n;
}

enum FileKind { kVideo, kBrowser, kPicture };

void file_option(Args* a, unsigned cmmdId, FileKind kind, const char* name, RecordBuffer* b) {
  _sSTART_FILE_PLAY* f = &b->rec.filePlay;
  copy_text(f->fileName, sizeof(f->fileName), name);
  layer_defaults(&f->dispParam);
  const char* v;
  if (kind == kVideo) {
    f->repeatCnt = 1;
    if ((v = a->Value()) != nullptr) f->repeatCnt = num_u(v);
    if (f->repeatCnt == 0) f->repeatCnt = 1;
  } else {
    f->repeatCnt = 1;
  }
  if ((v = a->Value()) != nullptr) f->durSec = num_u(v);
  if (kind == kPicture && f->durSec == 0) f->durSec = 15;
  read_layer(a, &f->dispParam);
  f->mType = kind == kBrowser ? 2 : 0;
  if (kind == kVideo) printf("[k720cmmd] play video %s\n", f->fileName);
  if (kind == kBrowser)
    printf(cmmdId == QUV_CMMD_BROWSER_NEXT ? "[k720cmmd] play next browser item %s\n"
                                           : "[k720cmmd] play browser %s\n",
           f->fileName);
  send_player(cmmdId, b, file_payload(f));
}

// -hostip: false ends the parse.
bool host_ip(const char* name) {
  struct hostent* h = gethostbyname(name);
  if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr ||
      h->h_length < 4) {
    perror("[hostIp] iplookup");
    printf("[hostIp] iplookup error: %s(%d)\n", hstrerror(h_errno), h_errno);
    return false;
  }
  printf("[hostIp] h_name = %s\n\th_addrtype = %d\n\th_length = %d\n\t", h->h_name, h->h_addrtype,
         h->h_length);
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(h->h_addr_list[0]);
  printf("[hostIp] %s ip = %u.%u.%u.%u\n", name, ip[0], ip[1], ip[2], ip[3]);
  return true;
}

// -hostname: false ends the parse.  The address is read as a dotted quad.
bool host_name(const char* address) {
  struct in_addr addr;
  struct hostent* h = nullptr;
  if (inet_aton(address, &addr) != 0) h = gethostbyaddr(&addr, sizeof(addr), AF_INET);
  if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr ||
      h->h_length < 4) {
    perror("[hostName] namelookup");
    printf("[hostName] lookup for %s error: %s(%d)\n", address, hstrerror(h_errno), h_errno);
    return false;
  }
  printf("[hostName] h_name = %s\n\th_addrtype = %d\n\th_length = %d\n\t", h->h_name,
         h->h_addrtype, h->h_length);
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(h->h_addr_list[0]);
  printf("\t\t = %u.%u.%u.%u\n", ip[0], ip[1], ip[2], ip[3]);
  return true;
}

// ---- the options ----
// Each option is one row: its name, how many value arguments it requires,
// and the builder that reads its optional arguments and sends its record.
// A required argument that is missing (or not a value) ends the whole parse
// before the builder runs; a builder returns false to end it too.

// What a builder works on: the argument cursor, the zeroed record, the
// option's name and its required arguments.
struct Option {
  Args* a;
  RecordBuffer* b;
  const char* name;
  const char* req[6];
  bool mayExit;
};

// Arity of -res: the next argument whatever it is (it must be present).
constexpr int kAnyNext = -1;

bool opt_help(Option&) {
  k720cmmd_print_menu();
  return true;
}

bool opt_mount(Option& o) {
  _sSAPP_CMMD_MSG* m = &o.b->rec.sapp;
  m->cmmdId = QUV_CMMD_DEVICE_REMOUNT;
  m->param[0] = QUV_MSG_Q_KEY;
  m->param[1] = 2;
  m->param[2] = 0;
  m->param[3] = num_u(o.req[0]);
  m->param[4] = strcmp(o.req[1], "rw") == 0 ? 1 : 0;
  m->param[5] = 15;
  send_msg(SYSMGR_MSG_Q_KEY, SYSMGR_MSG_TYPE, QUV_CMMD_DEVICE_REMOUNT, payload(o.b), QUV_MSG_PAYLOAD_MAX);
  return true;
}

bool opt_image(Option& o) {  // the required duration is not used
  o.b->rec.imageDisplay.pic1Id = 1;
  o.b->rec.imageDisplay.pic2Id = 1;
  o.b->rec.imageDisplay.durSec = 10;
  send_player(QUV_CMMD_IMAGE_DISPLAY, o.b, 20);
  return true;
}

bool opt_rtsp(Option& o) {
  if (o.mayExit) exit(0);
  // Inside the media player this would end the player itself.
  fprintf(stderr, "k720cmmd: -rtsp ignored in the player process\n");
  return false;
}

bool opt_stream(Option& o) {  // -rtp / -udp IP PORT [...]
  _sSTART_STREAM_DISPLAY* s = &o.b->rec.streamDisplay;
  const char* v;
  copy_text(s->addr, sizeof(s->addr), o.req[0]);
  s->portNo = num_u(o.req[1]);
  if (o.name[2] == 't') s->portNo |= QUV_RTP_PORT_FLAG;
  layer_defaults(&s->dispParam);
  if ((v = o.a->Value()) != nullptr) s->videoInfo.vType = static_cast<int32_t>(strtoul(v, nullptr, 16) << 16);
  if ((v = o.a->Value()) != nullptr) s->videoInfo.aType = static_cast<int32_t>(strtoul(v, nullptr, 16) << 16);
  if (read_layer(o.a, &s->dispParam)) s->dispParam.cmmdId = QUV_CMMD_VIDEO_LAYER;
  if ((v = o.a->Value()) != nullptr) s->durSec = num_u(v);
  send_player(QUV_CMMD_STREAM_DISPLAY, o.b, 88);
  return true;
}

bool opt_vdbg(Option& o) {
  _sVDBG_MSG* d = &o.b->rec.vdbg;
  const char* v;
  d->paramVal = -1;  // 0xFFFFFFFF: no sub-code given
  if ((v = o.a->Value()) != nullptr) d->paramVal = num_u(v);
  if (d->paramVal == 7 || d->paramVal == 8 || d->paramVal == 9) {
    if ((v = o.a->Value()) == nullptr) return true;  // nothing sent, the parse goes on
    copy_text(d->text, sizeof(d->text), v);
  } else {
    for (int k = 0; k < 5 && (v = o.a->Value()) != nullptr; k++) d->param[k] = num_u(v, 16);
  }
  send_player(QUV_CMMD_DEBUG, o.b, 380);
  return true;
}

// The options without arguments: one record of command id only.
bool opt_plain(Option& o) {
  static const struct {
    const char* name;
    unsigned id;
  } kPlain[] = {{"-vstat", QUV_CMMD_VIDEO_STAT},   {"-colorbar", QUV_CMMD_COLOR_BAR},
                {"-osdstart", QUV_CMMD_OSD_START}, {"-osdstop", QUV_CMMD_OSD_STOP},
                {"-stopall", QUV_CMMD_STOP_ALL},   {"-stoppic", QUV_CMMD_STOP_PICTURE},
                {"-stopvid", QUV_CMMD_STOP_VIDEO}, {"-stopb", QUV_CMMD_STOP_BROWSER}};
  for (const auto& p : kPlain)
    if (strcmp(o.name, p.name) == 0) send_player(p.id, o.b, 0);
  return true;
}

bool opt_trick(Option& o) {
  _sQUV_PLAYER_CTL* t = &o.b->rec.playerCtl;
  const char* v;
  t->playerCmmd = num_u(o.req[0]);
  if ((v = o.a->Value()) != nullptr) t->param[0] = num_u(v);
  printf("[k720cmmd] trick id = %d/%d\n", t->playerCmmd, t->param[0]);
  send_player(QUV_CMMD_PLAYER_CTL, o.b, 56);
  return true;
}

bool opt_res(Option& o) {
  o.b->rec.sapp.param[0] = num_u(o.req[0]);
  printf("[ti] resolution index = %d\n", o.b->rec.sapp.param[0]);
  send_player(QUV_CMMD_RESOLUTION, o.b, 56);
  return true;
}

bool opt_layer(Option& o) {  // -vs / -ps / -os Cx Cy W H asp alpha [xyMode]
  unsigned id = o.name[1] == 'v'   ? QUV_CMMD_VIDEO_LAYER
                : o.name[1] == 'p' ? QUV_CMMD_BROWSER_LAYER
                                   : QUV_CMMD_PICTURE_LAYER;
  _sQUV_LAYER_INFO* l = &o.b->rec.layerInfo;
  int32_t* words[6] = {&l->centerX, &l->centerY, &l->width, &l->height, &l->asp, &l->alpha};
  for (int k = 0; k < 6; k++) *words[k] = k < 4 ? num_s(o.req[k]) : num_u(o.req[k]);
  const char* v;
  if ((v = o.a->Value()) != nullptr) l->xyMode = num_u(v);
  printf("[ti] %s command %d\n", o.name, id);
  send_player(id, o.b, 32);
  return true;
}

bool opt_video(Option& o) {
  file_option(o.a, strcmp(o.name, "-video") == 0 ? QUV_CMMD_VIDEO_PLAY : QUV_CMMD_VIDEO_NEXT, kVideo, o.req[0],
              o.b);
  return true;
}

bool opt_browser(Option& o) {
  file_option(o.a, strcmp(o.name, "-browser") == 0 ? QUV_CMMD_BROWSER_PLAY : QUV_CMMD_BROWSER_NEXT, kBrowser,
              o.req[0], o.b);
  return true;
}

bool opt_picture(Option& o) {  // without a value name nothing is sent, the parse goes on
  const char* v = o.a->Value();
  if (v != nullptr)
    file_option(o.a, strcmp(o.name, "-pic") == 0 ? QUV_CMMD_PICTURE_PLAY : QUV_CMMD_PICTURE_NEXT, kPicture, v, o.b);
  return true;
}

bool opt_hwc(Option& o) {  // without a value message nothing is sent, the parse goes on
  const char* v = o.a->Value();
  if (v == nullptr) return true;
  _sHWC_MSG* h = &o.b->rec.hwcMsg;
  // 12 characters, zero-padded, not terminated when the text fills them.
  memset(h->hwcMsg, 0, sizeof(h->hwcMsg));
  memcpy(h->hwcMsg, v, strnlen(v, sizeof(h->hwcMsg)));
  if ((v = o.a->Value()) != nullptr) {
    h->duration = num_u(v);
    if ((v = o.a->Value()) != nullptr) h->position = num_u(v);
  }
  printf("\n[k720cmmd] hwc = %.12s. dur = %u-sec. pos = %u.\n\n", h->hwcMsg, static_cast<unsigned>(h->duration),
         static_cast<unsigned>(h->position));
  send_player(QUV_CMMD_HWC_MSG, o.b, 128);
  return true;
}

bool opt_atsc(Option& o) {
  _sSTART_TUNER_CHANNEL* t = &o.b->rec.tunerChannel;
  const char* v;
  if ((v = o.a->Value()) != nullptr) {
    t->channelNo = num_u(v);
    if ((v = o.a->Value()) != nullptr) {
      t->subChannelNo = num_u(v);
      if ((v = o.a->Value()) != nullptr) t->durSec = num_u(v);
    }
  }
  if (t->channelNo == 0) t->channelNo = 14;
  if (t->subChannelNo == 0) t->subChannelNo = 1;
  layer_defaults(&t->dispParam);
  send_player(QUV_CMMD_TUNER_CHANNEL, o.b, 80);
  return true;
}

bool opt_scan(Option& o) {
  const char* v = o.a->Value();
  if (v != nullptr) o.b->rec.tunerScan.subCmmdId = num_u(v);
  send_player(QUV_CMMD_TUNER_SCAN, o.b, 80);
  return true;
}

bool opt_hostip(Option& o) { return host_ip(o.req[0]); }
bool opt_hostname(Option& o) { return host_name(o.req[0]); }

struct OptionRow {
  const char* name;
  int required;  // value arguments that must follow, or kAnyNext
  bool (*build)(Option& o);
};

const OptionRow kOptions[] = {
    {"-help", 0, opt_help},        {"-mount", 2, opt_mount},       {"-image", 1, opt_image},
    {"-rtsp", 0, opt_rtsp},        {"-rtp", 2, opt_stream},        {"-udp", 2, opt_stream},
    {"-vdbg", 0, opt_vdbg},        {"-vstat", 0, opt_plain},       {"-colorbar", 0, opt_plain},
    {"-osdstart", 0, opt_plain},   {"-osdstop", 0, opt_plain},     {"-stopall", 0, opt_plain},
    {"-stoppic", 0, opt_plain},    {"-stopvid", 0, opt_plain},     {"-stopb", 0, opt_plain},
    {"-trick", 1, opt_trick},      {"-res", kAnyNext, opt_res},    {"-vs", 6, opt_layer},
    {"-ps", 6, opt_layer},         {"-os", 6, opt_layer},          {"-video", 1, opt_video},
    {"-vnext", 1, opt_video},      {"-browser", 1, opt_browser},   {"-bnext", 1, opt_browser},
    {"-hwc", 0, opt_hwc},          {"-atsc", 0, opt_atsc},         {"-scan", 0, opt_scan},
    {"-pic", 0, opt_picture},      {"-pnext", 0, opt_picture},     {"-hostip", 1, opt_hostip},
    {"-hostname", 1, opt_hostname},
};

const OptionRow* find_option(const char* name) {
  for (const OptionRow& row : kOptions)
    if (strcmp(name, row.name) == 0) return &row;
  return nullptr;
}

// The parser.  `mayExit`: -rtsp ends the process (the command-line tool);
// otherwise it only ends the parse.
int run_options(int argc, char** argv, bool mayExit) {
  if (argc < 1 || argv == nullptr) {
    k720cmmd_print_menu();
    printf("\n\t struct timeval size = %d\n", 8);
    return 0;
  }
  Args a{argc, argv, 0};
  RecordBuffer b;
  for (a.i = 0; a.i < argc; a.i++) {
    if (argv[a.i] == nullptr) continue;
    const OptionRow* row = find_option(argv[a.i]);
    if (row == nullptr) continue;  // names no option: skipped
    memset(&b, 0, sizeof(b));
    Option o{&a, &b, row->name, {}, mayExit};
    if (row->required == kAnyNext) {
      if ((o.req[0] = a.Next()) == nullptr) return 0;
    }
    for (int k = 0; k < row->required; k++)
      if ((o.req[k] = a.Value()) == nullptr) return 0;
    if (!row->build(o)) return 0;
  }
  return 0;
}

std::mutex line_mutex;
constexpr int kArgVectorSize = 256;
char* line_argv[kArgVectorSize];
char k7_name[] = "k7";

}  // namespace

int send_msg(unsigned msgQID, unsigned TypeId, unsigned cmmdId, void* pParam, int paramSize) {
  int id = msgget(static_cast<key_t>(msgQID), 0666);
  if (id < 0) return 0;  // the player (or system manager) is not running
  if (paramSize < 0) paramSize = 0;
  if (paramSize > QUV_MSG_PAYLOAD_MAX) paramSize = QUV_MSG_PAYLOAD_MAX;
  QuvMsgWire msg;
  memset(&msg, 0, sizeof(msg));
  msg.mtype = static_cast<long>(TypeId);
  int32_t id32 = static_cast<int32_t>(cmmdId);
  memcpy(msg.text, &id32, sizeof(id32));
  if (pParam != nullptr && paramSize > 0) memcpy(msg.text + 4, pParam, static_cast<size_t>(paramSize));
  // Command id, payload and four zero bytes.  A full queue is not waited on.
  if (msgsnd(id, &msg, static_cast<size_t>(paramSize) + 8, IPC_NOWAIT | MSG_NOERROR) < 0) {
    int err = errno;
    printf("[ti] can't send cmmd %u Type: %u to msg %u (id=%d)\n\tError %s (%d)\n", cmmdId, TypeId,
           msgQID, id, strerror(err), err);
    return 0;
  }
  return 1;
}

int Main(int argc, char** argv) { return run_options(argc, argv, true); }

void k720cmmd(char* line) {
  // Calls are serialised: the argument vector is static.
  std::lock_guard<std::mutex> lock(line_mutex);
  printf("k720cmmd %s\n", line != nullptr ? line : "");
  line_argv[0] = k7_name;
  int count = 1;
  char* save = nullptr;
  for (char* word = line != nullptr ? strtok_r(line, " ", &save) : nullptr; word != nullptr;
       word = strtok_r(nullptr, " ", &save)) {
    if (count >= kArgVectorSize - 2) fprintf(stderr, "k720cmmd TOO MANY ARGUMENTS");
    if (count < kArgVectorSize) line_argv[count++] = word;
  }
  run_options(count, line_argv, false);
}
