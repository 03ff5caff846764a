// The receiver's stream reception: the player joins the stream's group (or
// just listens on the port for a unicast address), takes the transport
// packets out of each datagram (after the RTP header for RTP streams), and
// hands every complete PAT section (PID 0) and PMT section (the PIDs the last
// PAT names) to the plug-in.  Sections are handed over as reassembled, CRC
// and all; checking them is the plug-in's business.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <bitset>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "player.h"
#include "quv_interprocess.h"
#include "standin.h"

namespace {

const size_t kMaxSection = 1024;  // PAT and PMT sections are at most 1024 bytes
const int kMaxAssemblers = 16;

// Reassembly of the sections of one PID.
struct Assembler {
  int pid = -1;
  uint8_t buf[kMaxSection];
  size_t have = 0;
  size_t want = 0;  // 0 until the 3-byte header is in
  bool active = false;
};

struct Reception {
  std::thread thread;
  std::atomic<bool> stop{false};
  int sock = -1;
  std::string addr;
  int port = 0;
  bool rtp = false;
  std::bitset<8192> pmtPids;
  Assembler asm_[kMaxAssemblers];
  unsigned long long datagrams = 0;
  unsigned long long sections = 0;
  JsonlWriter* log = nullptr;
  int patVersion = -1;
  std::atomic<bool> playing{false};  // data arrived within kStreamSilence
};

// Without data for this long (real seconds), the stream no longer plays.
const double kStreamSilence = 3.0;

void set_playing(Reception* r, bool playing) {
  if (r->playing.exchange(playing) == playing) return;
  status_set_playing(playing);
  JsonLine j("stream_data");
  j.Str("addr", r->addr.c_str()).Int("port", r->port).Bool("playing", playing).Uint("datagrams", r->datagrams);
  r->log->Write(j);
}

std::mutex g_mutex;
Reception* g_rx = nullptr;

Assembler* assembler_for(Reception* r, int pid) {
  Assembler* freeOne = nullptr;
  for (Assembler& a : r->asm_) {
    if (a.pid == pid) return &a;
    if (a.pid < 0 && freeOne == nullptr) freeOne = &a;
  }
  if (freeOne != nullptr) freeOne->pid = pid;
  return freeOne;
}

void section_done(Reception* r, int pid, uint8_t* sec, size_t len) {
  uint8_t table = sec[0];
  if (pid == 0 && table == 0x00) {
    // Learn the PMT PIDs from the PAT: program loop between the header and CRC.
    int version = (sec[5] >> 1) & 0x1F;
    if (len >= 12) {
      r->pmtPids.reset();
      for (size_t i = 8; i + 4 <= len - 4; i += 4) {
        int program = (sec[i] << 8) | sec[i + 1];
        int pmt = ((sec[i + 2] & 0x1F) << 8) | sec[i + 3];
        if (program != 0) r->pmtPids.set(static_cast<size_t>(pmt));
      }
    }
    if (version != r->patVersion && r->log != nullptr) {
      JsonLine j("section");
      j.Int("pid", pid).Int("table", table).Int("version", version).Uint("length", len);
      j.Uint("programs", r->pmtPids.count());
      r->log->Write(j);
    }
    r->patVersion = version;
  } else if (table != 0x02 || pid == 0) {
    return;  // only PAT on PID 0 and PMTs on PMT PIDs go to the plug-in
  }
  r->sections++;
  plugin_filter(sec, static_cast<unsigned>(len));
}

// Adds payload bytes to a section; returns the bytes used.
size_t assemble(Reception* r, Assembler* a, const uint8_t* p, size_t n) {
  size_t used = 0;
  while (used < n && a->active) {
    if (a->want == 0) {
      a->buf[a->have++] = p[used++];
      if (a->have == 3) {
        size_t length = static_cast<size_t>(((a->buf[1] & 0x0F) << 8) | a->buf[2]);
        a->want = 3 + length;
        if (a->want > kMaxSection || length < 9) {
          a->active = false;  // not a PAT/PMT we can hold: drop it
          return n;
        }
      }
      continue;
    }
    size_t take = a->want - a->have;
    if (take > n - used) take = n - used;
    memcpy(a->buf + a->have, p + used, take);
    a->have += take;
    used += take;
    if (a->have == a->want) {
      a->active = false;
      section_done(r, a->pid, a->buf, a->have);
    }
  }
  return used;
}

void packet(Reception* r, const uint8_t* pkt) {
  if (pkt[0] != 0x47) return;
  int pid = ((pkt[1] & 0x1F) << 8) | pkt[2];
  if (pid != 0 && !r->pmtPids.test(static_cast<size_t>(pid))) return;
  bool pusi = (pkt[1] & 0x40) != 0;
  int afc = (pkt[3] >> 4) & 0x3;
  if ((afc & 1) == 0) return;
  size_t p = 4;
  if (afc & 2) p += 1 + pkt[4];
  if (p >= 188) return;
  Assembler* a = assembler_for(r, pid);
  if (a == nullptr) return;
  if (!pusi) {
    if (a->active) assemble(r, a, pkt + p, 188 - p);
    return;
  }
  size_t pointer = pkt[p++];
  if (p + pointer > 188) {
    a->active = false;
    return;
  }
  if (a->active) assemble(r, a, pkt + p, pointer);
  a->active = false;
  p += pointer;
  // New sections, possibly several in one packet, until stuffing.
  while (p < 188 && pkt[p] != 0xFF) {
    a->active = true;
    a->have = 0;
    a->want = 0;
    p += assemble(r, a, pkt + p, 188 - p);
    if (a->active) break;  // continues in the next packet
  }
}

void receive_body(Reception* r) {
  static const size_t kDatagram = 65536;
  std::unique_ptr<uint8_t[]> buf(new uint8_t[kDatagram]);
  double lastData = 0;
  while (!r->stop.load()) {
    ssize_t n = recv(r->sock, buf.get(), kDatagram, 0);
    if (n <= 0) {
      // time-out: look at the stop flag again
      if (r->playing.load() && standin_monotonic() - lastData > kStreamSilence) set_playing(r, false);
      continue;
    }
    r->datagrams++;
    lastData = standin_monotonic();
    set_playing(r, true);
    size_t off = 0;
    size_t len = static_cast<size_t>(n);
    if (r->rtp && len >= 12 && (buf[0] >> 6) == 2) {
      off = 12 + 4 * (buf[0] & 0x0F);
      if ((buf[0] & 0x10) && off + 4 <= len) off += 4 + 4 * ((buf[off + 2] << 8) | buf[off + 3]);
    }
    for (; off + 188 <= len; off += 188) packet(r, buf.get() + off);
  }
}

}  // namespace

void receiver_stop(JsonlWriter& log) {
  Reception* r;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    r = g_rx;
    g_rx = nullptr;
  }
  if (r == nullptr) return;
  r->stop.store(true);
  if (r->thread.joinable()) r->thread.join();
  set_playing(r, false);
  close(r->sock);
  JsonLine j("play_stop");
  j.Str("addr", r->addr.c_str()).Int("port", r->port).Uint("datagrams", r->datagrams).Uint("sections", r->sections);
  log.Write(j);
  delete r;
}

bool receiver_active() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_rx != nullptr && g_rx->playing.load();
}

void receiver_play(const char* addr, int32_t portNo, JsonlWriter& log) {
  receiver_stop(log);
  Reception* r = new Reception;
  r->addr = addr;
  r->rtp = (portNo & QUV_RTP_PORT_FLAG) != 0;
  r->port = portNo & 0xFFFF;
  r->log = &log;
  std::string error;
  bool joined = false;
  struct in_addr group;
  if (inet_pton(AF_INET, addr, &group) != 1) {
    error = "bad address";
  } else {
    r->sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(r->sock, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    struct timeval tv = {0, 200 * 1000};
    setsockopt(r->sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    int rcvbuf = 4 << 20;
    setsockopt(r->sock, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    struct sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(r->port));
    bool multicast = IN_MULTICAST(ntohl(group.s_addr));
    // A group is received on its own address; a unicast stream on any.
    sin.sin_addr.s_addr = multicast ? group.s_addr : htonl(INADDR_ANY);
    if (r->sock < 0 || bind(r->sock, reinterpret_cast<struct sockaddr*>(&sin), sizeof(sin)) != 0) {
      error = std::string("bind: ") + strerror(errno);
    } else if (multicast) {
      struct ip_mreq mreq;
      mreq.imr_multiaddr = group;
      mreq.imr_interface.s_addr = htonl(INADDR_ANY);
      joined = setsockopt(r->sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) == 0;
      if (!joined) error = std::string("join: ") + strerror(errno);
    }
  }
  JsonLine j("play_stream");
  j.Str("addr", addr).Int("port", r->port).Bool("rtp", r->rtp).Bool("joined", joined);
  if (!error.empty()) j.Str("error", error.c_str());
  log.Write(j);
  if (!error.empty()) {
    if (r->sock >= 0) close(r->sock);
    delete r;
    return;
  }
  r->thread = std::thread(receive_body, r);
  std::lock_guard<std::mutex> lock(g_mutex);
  g_rx = r;
}
