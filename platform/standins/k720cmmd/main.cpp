// k720cmmd: the media player's command-line tool.  Each option becomes one
// command message on the player's queue (or the system manager's for -mount);
// the launcher and the tuner manager run it through the shell.
//
// This is the player's side of the contract, written on its own: it shares
// only the record layouts (quv_interprocess.h) with the plug-in, so that a
// fault in the plug-in's in-process parser shows up as a difference between
// the two instead of being mirrored here.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quv_interprocess.h"

namespace {

// A record: its command id word and the payload behind it, zero-filled, with
// room for the largest payload and the four zero bytes after it.
struct Record {
  unsigned char bytes[QUV_MSG_TEXT_MAX];
  template <typename T>
  T* As() {
    static_assert(sizeof(T) <= sizeof(bytes), "record fits");
    return reinterpret_cast<T*>(bytes);
  }
};

int put_message(unsigned key, unsigned type, unsigned id, const Record& r, int payload) {
  int q = msgget(static_cast<key_t>(key), 0666);
  if (q < 0) return 0;  // nobody reads that queue: the message is dropped
  QuvMsgWire m;
  memset(&m, 0, sizeof(m));
  m.mtype = static_cast<long>(type);
  int32_t word = static_cast<int32_t>(id);
  memcpy(m.text, &word, 4);
  memcpy(m.text + 4, r.bytes + 4, static_cast<size_t>(payload));
  if (msgsnd(q, &m, static_cast<size_t>(payload) + 8, IPC_NOWAIT | MSG_NOERROR) != 0) {
    int e = errno;
    printf("[ti] can't send cmmd %u Type: %u to msg %u (id=%d)\n\tError %s (%d)\n", id, type, key, q, strerror(e), e);
    return 0;
  }
  return 1;
}

int to_player(unsigned id, const Record& r, int payload) {
  return put_message(QUV_MSG_Q_KEY, QUV_MSG_TYPE, id, r, payload);
}

void menu() {
  printf("\n\ninput command menu:\n");
  printf("  -help\n  -mount partNo ro|rw\n  -image duration\n  -rtsp\n");
  printf("  -rtp|-udp IP PORT [progPid audioPid Cx Cy W H asp alpha xyMode duration]\n");
  printf("  -vdbg [paramVal] [...]\n  -vstat -colorbar -osdstart -osdstop -stopall -stoppic -stopvid -stopb\n");
  printf("  -trick cmmd [param]   (0 unmute, 1 mute, 2 volume, 3 play, 4 stop, 5 pause, 6 fwd, 7 rew,"
         " 8 slow, 9 fast)\n");
  printf("  -res index\n  -vs|-ps|-os Cx Cy W H asp alpha [xyMode]\n");
  printf("  -video|-vnext fname [loop duration Cx Cy W H asp alpha xyMode]\n");
  printf("  -browser|-bnext url [duration Cx Cy W H asp alpha xyMode]\n");
  printf("  -pic|-pnext fname [duration Cx Cy W H asp alpha xyMode]\n");
  printf("  -hwc msg [duration [position]]\n  -atsc [chId [subId [duration]]]\n  -scan [subCmmd]\n");
  printf("  -hostip name\n  -hostname address\n");
}

// The command line being read.  A value is a word that does not begin with
// '-', or a negative number.
class Words {
 public:
  Words(int argc, char** argv) : mArgc(argc), mArgv(argv), mAt(0) {}
  bool More() const { return mAt < mArgc; }
  const char* Take() { return mArgv[mAt++]; }
  static bool IsValue(const char* w) {
    return w != nullptr && (w[0] != '-' || (w[1] >= '0' && w[1] <= '9'));
  }
  // The next word when it is a value (taken), else null (left).
  const char* Value() { return mAt < mArgc && IsValue(mArgv[mAt]) ? mArgv[mAt++] : nullptr; }
  // The next word whatever it is, or null at the end.
  const char* Any() { return mAt < mArgc ? mArgv[mAt++] : nullptr; }

 private:
  int mArgc;
  char** mArgv;
  int mAt;
};

int32_t uns(const char* w, int base = 0) { return static_cast<int32_t>(strtoul(w, nullptr, base)); }
int32_t sig(const char* w) { return static_cast<int32_t>(strtol(w, nullptr, 0)); }

void geometry_defaults(_sQUV_LAYER_INFO* g) {
  *g = _sQUV_LAYER_INFO{};
  g->centerX = g->centerY = 50;
  g->width = g->height = 100;
  g->alpha = 255;
}

// Optional Cx Cy W H asp alpha xyMode; true when xyMode was there.
bool optional_geometry(Words& w, _sQUV_LAYER_INFO* g) {
  int32_t* signedWords[4] = {&g->centerX, &g->centerY, &g->width, &g->height};
  for (int32_t* p : signedWords) {
    const char* v = w.Value();
    if (v == nullptr) return false;
    *p = sig(v);
  }
  int32_t* unsignedWords[3] = {&g->asp, &g->alpha, &g->xyMode};
  for (int k = 0; k < 3; k++) {
    const char* v = w.Value();
    if (v == nullptr) return false;
    *unsignedWords[k] = uns(v);
    if (k == 2) return true;
  }
  return false;
}

// -video, -vnext, -browser, -bnext, -pic, -pnext after their name argument.
void file_record(Words& w, unsigned id, const char* name) {
  Record r{};
  _sSTART_FILE_PLAY* f = r.As<_sSTART_FILE_PLAY>();
  bool video = id == QUV_CMMD_VIDEO_PLAY || id == QUV_CMMD_VIDEO_NEXT;
  bool picture = id == QUV_CMMD_PICTURE_PLAY || id == QUV_CMMD_PICTURE_NEXT;
  snprintf(f->fileName, sizeof(f->fileName), "%s", name);
  geometry_defaults(&f->dispParam);
  f->repeatCnt = 1;
  const char* v;
  if (video && (v = w.Value()) != nullptr && uns(v) != 0) f->repeatCnt = uns(v);
  if ((v = w.Value()) != nullptr) f->durSec = uns(v);
  if (picture && f->durSec == 0) f->durSec = 15;
  optional_geometry(w, &f->dispParam);
  f->mType = (id == QUV_CMMD_BROWSER_PLAY || id == QUV_CMMD_BROWSER_NEXT) ? 2 : 0;
  if (video) printf("[k720cmmd] play video %s\n", f->fileName);
  if (id == QUV_CMMD_BROWSER_PLAY) printf("[k720cmmd] play browser %s\n", f->fileName);
  if (id == QUV_CMMD_BROWSER_NEXT) printf("[k720cmmd] play next browser item %s\n", f->fileName);
  to_player(id, r, static_cast<int>(strlen(f->fileName)) + 124);
}

void stream_record(Words& w, bool rtp, const char* ip, const char* port) {
  Record r{};
  _sSTART_STREAM_DISPLAY* s = r.As<_sSTART_STREAM_DISPLAY>();
  snprintf(s->addr, sizeof(s->addr), "%s", ip);
  s->portNo = uns(port) | (rtp ? QUV_RTP_PORT_FLAG : 0);
  geometry_defaults(&s->dispParam);
  const char* v;
  if ((v = w.Value()) != nullptr) s->videoInfo.vType = static_cast<int32_t>(static_cast<uint32_t>(uns(v, 16)) << 16);
  if ((v = w.Value()) != nullptr) s->videoInfo.aType = static_cast<int32_t>(static_cast<uint32_t>(uns(v, 16)) << 16);
  if (optional_geometry(w, &s->dispParam)) s->dispParam.cmmdId = QUV_CMMD_VIDEO_LAYER;
  if ((v = w.Value()) != nullptr) s->durSec = uns(v);
  to_player(QUV_CMMD_STREAM_DISPLAY, r, 88);
}

void debug_record(Words& w) {
  Record r{};
  _sVDBG_MSG* d = r.As<_sVDBG_MSG>();
  const char* v = w.Value();
  d->paramVal = v != nullptr ? uns(v) : -1;
  if (d->paramVal >= 7 && d->paramVal <= 9) {
    if ((v = w.Value()) == nullptr) return;
    snprintf(d->text, sizeof(d->text), "%s", v);
  } else {
    for (int k = 0; k < 5 && (v = w.Value()) != nullptr; k++) d->param[k] = uns(v, 16);
  }
  to_player(QUV_CMMD_DEBUG, r, 380);
}

// Host lookups; false when the lookup fails (the parse ends there).
bool lookup(const char* text, bool byName) {
  struct hostent* h = nullptr;
  struct in_addr a;
  if (byName)
    h = gethostbyname(text);
  else if (inet_aton(text, &a) != 0)
    h = gethostbyaddr(&a, sizeof(a), AF_INET);
  if (h == nullptr || h->h_addr_list == nullptr || h->h_addr_list[0] == nullptr || h->h_length < 4) {
    perror(byName ? "[hostIp] iplookup" : "[hostName] namelookup");
    if (byName)
      printf("[hostIp] iplookup error: %s(%d)\n", hstrerror(h_errno), h_errno);
    else
      printf("[hostName] lookup for %s error: %s(%d)\n", text, hstrerror(h_errno), h_errno);
    return false;
  }
  const char* who = byName ? "[hostIp]" : "[hostName]";
  printf("%s h_name = %s\n\th_addrtype = %d\n\th_length = %d\n\t", who, h->h_name, h->h_addrtype, h->h_length);
  const unsigned char* ip = reinterpret_cast<const unsigned char*>(h->h_addr_list[0]);
  if (byName)
    printf("[hostIp] %s ip = %u.%u.%u.%u\n", text, ip[0], ip[1], ip[2], ip[3]);
  else
    printf("\t\t = %u.%u.%u.%u\n", ip[0], ip[1], ip[2], ip[3]);
  return true;
}

// The options that take nothing: their command id, or -1.
int bare_option(const char* o) {
  static const struct {
    const char* name;
    int id;
  } kBare[] = {{"-vstat", 72}, {"-colorbar", 37}, {"-osdstart", 45}, {"-osdstop", 46},
               {"-stopall", 33}, {"-stoppic", 2},  {"-stopvid", 27},  {"-stopb", 11}};
  for (const auto& b : kBare)
    if (strcmp(o, b.name) == 0) return b.id;
  return -1;
}

// One option (already taken from the words); false ends the parse.
bool option(Words& w, const char* o);

// The options with required arguments and those whose layout is their own.
bool option_with_arguments(Words& w, const char* o) {
  Record r{};
  const char* a;
  const char* b;
  if (strcmp(o, "-mount") == 0) {
    if ((a = w.Value()) == nullptr || (b = w.Value()) == nullptr) return false;
    int32_t* p = r.As<_sSAPP_CMMD_MSG>()->param;
    p[0] = QUV_MSG_Q_KEY;
    p[1] = 2;
    p[3] = uns(a);
    p[4] = strcmp(b, "rw") == 0;
    p[5] = 15;
    put_message(SYSMGR_MSG_Q_KEY, SYSMGR_MSG_TYPE, QUV_CMMD_DEVICE_REMOUNT, r, QUV_MSG_PAYLOAD_MAX);
  } else if (strcmp(o, "-image") == 0) {
    if (w.Value() == nullptr) return false;
    _sSTART_IMAGE_DISPLAY* i = r.As<_sSTART_IMAGE_DISPLAY>();
    i->pic1Id = i->pic2Id = 1;
    i->durSec = 10;
    to_player(QUV_CMMD_IMAGE_DISPLAY, r, 20);
  } else if (strcmp(o, "-rtp") == 0 || strcmp(o, "-udp") == 0) {
    if ((a = w.Value()) == nullptr || (b = w.Value()) == nullptr) return false;
    stream_record(w, o[2] == 't', a, b);
  } else if (strcmp(o, "-trick") == 0) {
    if ((a = w.Value()) == nullptr) return false;
    _sQUV_PLAYER_CTL* t = r.As<_sQUV_PLAYER_CTL>();
    t->playerCmmd = uns(a);
    if ((b = w.Value()) != nullptr) t->param[0] = uns(b);
    printf("[k720cmmd] trick id = %d/%d\n", t->playerCmmd, t->param[0]);
    to_player(QUV_CMMD_PLAYER_CTL, r, 56);
  } else if (strcmp(o, "-res") == 0) {
    if ((a = w.Any()) == nullptr) return false;
    r.As<_sSAPP_CMMD_MSG>()->param[0] = uns(a);
    printf("[ti] resolution index = %d\n", uns(a));
    to_player(QUV_CMMD_RESOLUTION, r, 56);
  } else {
    return option(w, o);
  }
  return true;
}

bool option(Words& w, const char* o) {
  Record r{};
  const char* v;
  int bare = bare_option(o);
  if (bare >= 0) {
    to_player(static_cast<unsigned>(bare), r, 0);
  } else if (strcmp(o, "-vs") == 0 || strcmp(o, "-ps") == 0 || strcmp(o, "-os") == 0) {
    unsigned id = o[1] == 'v' ? QUV_CMMD_VIDEO_LAYER : o[1] == 'p' ? QUV_CMMD_BROWSER_LAYER : QUV_CMMD_PICTURE_LAYER;
    _sQUV_LAYER_INFO* g = r.As<_sQUV_LAYER_INFO>();
    const char* six[6];
    for (const char*& s : six)
      if ((s = w.Value()) == nullptr) return false;
    g->centerX = sig(six[0]);
    g->centerY = sig(six[1]);
    g->width = sig(six[2]);
    g->height = sig(six[3]);
    g->asp = uns(six[4]);
    g->alpha = uns(six[5]);
    if ((v = w.Value()) != nullptr) g->xyMode = uns(v);
    printf("[ti] %s command %d\n", o, id);
    to_player(id, r, 32);
  } else if (strcmp(o, "-video") == 0 || strcmp(o, "-vnext") == 0 || strcmp(o, "-browser") == 0 ||
             strcmp(o, "-bnext") == 0) {
    if ((v = w.Value()) == nullptr) return false;
    unsigned id = strcmp(o, "-video") == 0 ? QUV_CMMD_VIDEO_PLAY
                  : strcmp(o, "-vnext") == 0 ? QUV_CMMD_VIDEO_NEXT
                  : strcmp(o, "-browser") == 0 ? QUV_CMMD_BROWSER_PLAY
                                               : QUV_CMMD_BROWSER_NEXT;
    file_record(w, id, v);
  } else if (strcmp(o, "-pic") == 0 || strcmp(o, "-pnext") == 0) {
    if ((v = w.Value()) != nullptr)
      file_record(w, o[2] == 'i' ? QUV_CMMD_PICTURE_PLAY : QUV_CMMD_PICTURE_NEXT, v);
  } else if (strcmp(o, "-hwc") == 0) {
    if ((v = w.Value()) == nullptr) return true;
    _sHWC_MSG* h = r.As<_sHWC_MSG>();
    memcpy(h->hwcMsg, v, strnlen(v, sizeof(h->hwcMsg)));
    if ((v = w.Value()) != nullptr) {
      h->duration = uns(v);
      if ((v = w.Value()) != nullptr) h->position = uns(v);
    }
    printf("\n[k720cmmd] hwc = %.12s. dur = %u-sec. pos = %u.\n\n", h->hwcMsg, static_cast<unsigned>(h->duration),
           static_cast<unsigned>(h->position));
    to_player(QUV_CMMD_HWC_MSG, r, 128);
  } else if (strcmp(o, "-atsc") == 0) {
    _sSTART_TUNER_CHANNEL* t = r.As<_sSTART_TUNER_CHANNEL>();
    int32_t* words[3] = {&t->channelNo, &t->subChannelNo, &t->durSec};
    for (int32_t* p : words) {
      if ((v = w.Value()) == nullptr) break;
      *p = uns(v);
    }
    if (t->channelNo == 0) t->channelNo = 14;
    if (t->subChannelNo == 0) t->subChannelNo = 1;
    geometry_defaults(&t->dispParam);
    to_player(QUV_CMMD_TUNER_CHANNEL, r, 80);
  } else if (strcmp(o, "-scan") == 0) {
    if ((v = w.Value()) != nullptr) r.As<_sTUNER_SCAN_MSG>()->subCmmdId = uns(v);
    to_player(QUV_CMMD_TUNER_SCAN, r, 80);
  } else if (strcmp(o, "-vdbg") == 0) {
    debug_record(w);
  } else if (strcmp(o, "-hostip") == 0 || strcmp(o, "-hostname") == 0) {
    return (v = w.Value()) != nullptr && lookup(v, o[5] == 'i');
  } else if (strcmp(o, "-help") == 0) {
    menu();
  } else if (strcmp(o, "-rtsp") == 0) {
    exit(0);
  }
  // Any other word names no option and is passed over.
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 1) {
    menu();
    printf("\n\t struct timeval size = %d\n", 8);
    return 0;
  }
  Words w(argc, argv);
  while (w.More()) {
    const char* o = w.Take();
    if (o != nullptr && !option_with_arguments(w, o)) break;
  }
  return 0;
}
