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
    const char* opt = argv[a.i];
    if (opt == nullptr) continue;
    memset(&b, 0, sizeof(b));
    const char* v;

    if (strcmp(opt, "-help") == 0) {
      k720cmmd_print_menu();
    } else if (strcmp(opt, "-mount") == 0) {
      const char* part = a.Value();
      if (part == nullptr) return 0;
      const char* mode = a.Value();
      if (mode == nullptr) return 0;
      _sSAPP_CMMD_MSG* m = &b.rec.sapp;
      m->cmmdId = QUV_CMMD_DEVICE_REMOUNT;
      m->param[0] = QUV_MSG_Q_KEY;
      m->param[1] = 2;
      m->param[2] = 0;
      m->param[3] = num_u(part);
      m->param[4] = strcmp(mode, "rw") == 0 ? 1 : 0;
      m->param[5] = 15;
      send_msg(SYSMGR_MSG_Q_KEY, SYSMGR_MSG_TYPE, QUV_CMMD_DEVICE_REMOUNT, payload(&b),
               QUV_MSG_PAYLOAD_MAX);
    } else if (strcmp(opt, "-image") == 0) {
      if (a.Value() == nullptr) return 0;  // the duration is required but not used
      b.rec.imageDisplay.pic1Id = 1;
      b.rec.imageDisplay.pic2Id = 1;
      b.rec.imageDisplay.durSec = 10;
      send_player(QUV_CMMD_IMAGE_DISPLAY, &b, 20);
    } else if (strcmp(opt, "-rtsp") == 0) {
      if (mayExit) exit(0);
      // Inside the media player this would end the player itself.
      fprintf(stderr, "k720cmmd: -rtsp ignored in the player process\n");
      return 0;
    } else if (strcmp(opt, "-rtp") == 0 || strcmp(opt, "-udp") == 0) {
      _sSTART_STREAM_DISPLAY* s = &b.rec.streamDisplay;
      const char* ip = a.Value();
      if (ip == nullptr) return 0;
      const char* port = a.Value();
      if (port == nullptr) return 0;
      copy_text(s->addr, sizeof(s->addr), ip);
      s->portNo = num_u(port);
      if (opt[2] == 't') s->portNo |= QUV_RTP_PORT_FLAG;
      layer_defaults(&s->dispParam);
      if ((v = a.Value()) != nullptr) s->videoInfo.vType = static_cast<int32_t>(strtoul(v, nullptr, 16) << 16);
      if ((v = a.Value()) != nullptr) s->videoInfo.aType = static_cast<int32_t>(strtoul(v, nullptr, 16) << 16);
      if (read_layer(&a, &s->dispParam)) s->dispParam.cmmdId = QUV_CMMD_VIDEO_LAYER;
      if ((v = a.Value()) != nullptr) s->durSec = num_u(v);
      send_player(QUV_CMMD_STREAM_DISPLAY, &b, 88);
    } else if (strcmp(opt, "-vdbg") == 0) {
      _sVDBG_MSG* d = &b.rec.vdbg;
      d->paramVal = -1;  // 0xFFFFFFFF: no sub-code given
      if ((v = a.Value()) != nullptr) d->paramVal = num_u(v);
      if (d->paramVal == 7 || d->paramVal == 8 || d->paramVal == 9) {
        if ((v = a.Value()) == nullptr) continue;
        copy_text(d->text, sizeof(d->text), v);
      } else {
        for (int k = 0; k < 5 && (v = a.Value()) != nullptr; k++) d->param[k] = num_u(v, 16);
      }
      send_player(QUV_CMMD_DEBUG, &b, 380);
    } else if (strcmp(opt, "-vstat") == 0) {
      send_player(QUV_CMMD_VIDEO_STAT, &b, 0);
    } else if (strcmp(opt, "-colorbar") == 0) {
      send_player(QUV_CMMD_COLOR_BAR, &b, 0);
    } else if (strcmp(opt, "-osdstart") == 0) {
      send_player(QUV_CMMD_OSD_START, &b, 0);
    } else if (strcmp(opt, "-osdstop") == 0) {
      send_player(QUV_CMMD_OSD_STOP, &b, 0);
    } else if (strcmp(opt, "-stopall") == 0) {
      send_player(QUV_CMMD_STOP_ALL, &b, 0);
    } else if (strcmp(opt, "-stoppic") == 0) {
      send_player(QUV_CMMD_STOP_PICTURE, &b, 0);
    } else if (strcmp(opt, "-stopvid") == 0) {
      send_player(QUV_CMMD_STOP_VIDEO, &b, 0);
    } else if (strcmp(opt, "-stopb") == 0) {
      send_player(QUV_CMMD_STOP_BROWSER, &b, 0);
    } else if (strcmp(opt, "-trick") == 0) {
      _sQUV_PLAYER_CTL* t = &b.rec.playerCtl;
      if ((v = a.Value()) == nullptr) return 0;
      t->playerCmmd = num_u(v);
      if ((v = a.Value()) != nullptr) t->param[0] = num_u(v);
      printf("[k720cmmd] trick id = %d/%d\n", t->playerCmmd, t->param[0]);
      send_player(QUV_CMMD_PLAYER_CTL, &b, 56);
    } else if (strcmp(opt, "-res") == 0) {
      if ((v = a.Next()) == nullptr) return 0;
      b.rec.sapp.param[0] = num_u(v);
      printf("[ti] resolution index = %d\n", b.rec.sapp.param[0]);
      send_player(QUV_CMMD_RESOLUTION, &b, 56);
    } else if (strcmp(opt, "-vs") == 0 || strcmp(opt, "-ps") == 0 || strcmp(opt, "-os") == 0) {
      unsigned id = opt[1] == 'v'   ? QUV_CMMD_VIDEO_LAYER
                    : opt[1] == 'p' ? QUV_CMMD_BROWSER_LAYER
                                    : QUV_CMMD_PICTURE_LAYER;
      _sQUV_LAYER_INFO* l = &b.rec.layerInfo;
      int32_t* words[6] = {&l->centerX, &l->centerY, &l->width, &l->height, &l->asp, &l->alpha};
      for (int k = 0; k < 6; k++) {
        if ((v = a.Value()) == nullptr) return 0;
        *words[k] = k < 4 ? num_s(v) : num_u(v);
      }
      if ((v = a.Value()) != nullptr) l->xyMode = num_u(v);
      printf("[ti] %s command %d\n", opt, id);
      send_player(id, &b, 32);
    } else if (strcmp(opt, "-video") == 0 || strcmp(opt, "-vnext") == 0) {
      if ((v = a.Value()) == nullptr) return 0;
      file_option(&a, opt[1] == 'v' && opt[2] == 'i' ? QUV_CMMD_VIDEO_PLAY : QUV_CMMD_VIDEO_NEXT,
                  kVideo, v, &b);
    } else if (strcmp(opt, "-browser") == 0 || strcmp(opt, "-bnext") == 0) {
      if ((v = a.Value()) == nullptr) return 0;
      file_option(&a, opt[2] == 'r' ? QUV_CMMD_BROWSER_PLAY : QUV_CMMD_BROWSER_NEXT, kBrowser, v,
                  &b);
    } else if (strcmp(opt, "-hwc") == 0) {
      if ((v = a.Value()) == nullptr) continue;
      _sHWC_MSG* h = &b.rec.hwcMsg;
      // 12 characters, zero-padded, not terminated when the text fills them.
      memset(h->hwcMsg, 0, sizeof(h->hwcMsg));
      memcpy(h->hwcMsg, v, strnlen(v, sizeof(h->hwcMsg)));
      if ((v = a.Value()) != nullptr) {
        h->duration = num_u(v);
        if ((v = a.Value()) != nullptr) h->position = num_u(v);
      }
      printf("\n[k720cmmd] hwc = %.12s. dur = %u-sec. pos = %u.\n\n", h->hwcMsg,
             static_cast<unsigned>(h->duration), static_cast<unsigned>(h->position));
      send_player(QUV_CMMD_HWC_MSG, &b, 128);
    } else if (strcmp(opt, "-atsc") == 0) {
      _sSTART_TUNER_CHANNEL* t = &b.rec.tunerChannel;
      if ((v = a.Value()) != nullptr) {
        t->channelNo = num_u(v);
        if ((v = a.Value()) != nullptr) {
          t->subChannelNo = num_u(v);
          if ((v = a.Value()) != nullptr) t->durSec = num_u(v);
        }
      }
      if (t->channelNo == 0) t->channelNo = 14;
      if (t->subChannelNo == 0) t->subChannelNo = 1;
      layer_defaults(&t->dispParam);
      send_player(QUV_CMMD_TUNER_CHANNEL, &b, 80);
    } else if (strcmp(opt, "-scan") == 0) {
      if ((v = a.Value()) != nullptr) b.rec.tunerScan.subCmmdId = num_u(v);
      send_player(QUV_CMMD_TUNER_SCAN, &b, 80);
    } else if (strcmp(opt, "-pic") == 0 || strcmp(opt, "-pnext") == 0) {
      if ((v = a.Value()) == nullptr) continue;
      file_option(&a, opt[2] == 'i' ? QUV_CMMD_PICTURE_PLAY : QUV_CMMD_PICTURE_NEXT, kPicture, v,
                  &b);
    } else if (strcmp(opt, "-hostip") == 0) {
      if ((v = a.Value()) == nullptr || !host_ip(v)) return 0;
    } else if (strcmp(opt, "-hostname") == 0) {
      if ((v = a.Value()) == nullptr || !host_name(v)) return 0;
    }
    // Anything else names no option and is skipped.
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
