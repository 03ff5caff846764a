// The player's status segment (key 2000): created at start, cleared as after
// a power-up, and kept current as the player tunes and plays.  The plug-in
// reads it concurrently and writes the IR system code into it; every word is
// stored whole, and fields the plug-in owns are never touched after start.

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "player.h"
#include "sharedmem.h"
#include "standin.h"

namespace {

_sVPLAYER_SM_STRUCT* g_rec = nullptr;
std::mutex g_mutex;  // the text fields (items, addresses)
std::thread g_irWatch;

void store_word(int32_t* field, int32_t v) { __atomic_store_n(field, v, __ATOMIC_RELEASE); }

void store_text(char* field, size_t size, const char* text) {
  char tmp[256];
  size_t n = text == nullptr ? 0 : strnlen(text, size - 1);
  if (n >= sizeof(tmp)) n = sizeof(tmp) - 1;
  memset(tmp, 0, sizeof(tmp));
  if (n > 0) memcpy(tmp, text, n);
  memcpy(field, tmp, size < sizeof(tmp) ? size : sizeof(tmp));
}

}  // namespace

bool status_create(JsonlWriter& log) {
  int id = shmget(kSharedMemKey, kSharedMemSize, IPC_CREAT | 0666);
  bool recreated = false;
  if (id < 0 && errno == EINVAL) {
    // A smaller segment left by something else under our key: the player
    // owns this key, so replace it.
    int old = shmget(kSharedMemKey, 0, 0666);
    if (old >= 0 && shmctl(old, IPC_RMID, nullptr) == 0) {
      id = shmget(kSharedMemKey, kSharedMemSize, IPC_CREAT | 0666);
      recreated = true;
    }
  }
  void* addr = id >= 0 ? shmat(id, nullptr, 0) : reinterpret_cast<void*>(-1);
  if (addr == reinterpret_cast<void*>(-1)) {
    JsonLine j("error");
    j.Str("what", "status segment").Str("error", strerror(errno));
    log.Write(j);
    return false;
  }
  // A fresh start of the player: the whole segment starts cleared.
  memset(addr, 0, kSharedMemSize);
  g_rec = reinterpret_cast<_sVPLAYER_SM_STRUCT*>(static_cast<char*>(addr) + kPlayerStatusOffset);
  _sQUV_VPLAYER_STATUS& v = g_rec->vStatus;
  store_word(&v.layerCnt, 2);
  store_word(&v.tunerSignalStrength, 0);
  store_word(&v.audStatus, 1);
  store_word(&v.ccStatus, 1);
  store_word(&g_rec->osdInfo.irFd, -1);
  store_word(&g_rec->osdInfo.dhcp, 0);
  store_word(&g_rec->osdInfo.vOsdCx, 50);
  store_word(&g_rec->osdInfo.vOsdCy, 50);
  store_word(&g_rec->osdInfo.vOsdWidth, 100);
  store_word(&g_rec->osdInfo.vOsdHeight, 100);
  JsonLine j("status_segment");
  j.Int("key", kSharedMemKey).Int("shmid", id).Int("size", kSharedMemSize).Int("offset", kPlayerStatusOffset);
  j.Bool("recreated", recreated);
  log.Write(j);
  return true;
}

void status_set_strength(int32_t strength) {
  if (g_rec == nullptr) return;
  store_word(&g_rec->vStatus.tunerSignalStrength, strength);
  store_word(&g_rec->vStatus.sigLock, strength > 0 ? 1 : 0);
}

void status_set_video(int32_t progId, int32_t vidType, int32_t audType, const char* item) {
  if (g_rec == nullptr) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  _sQUV_VPLAYER_STATUS& v = g_rec->vStatus;
  store_word(&v.progId, progId);
  store_word(&v.vidType, vidType);
  store_word(&v.audType, audType);
  store_word(&v.layer[0].status, item != nullptr ? 1 : 0);
  store_text(v.layer[0].item, sizeof(v.layer[0].item), item);
}

void status_set_browser(const char* url) {
  if (g_rec == nullptr) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  _sQUV_VPLAYER_STATUS& v = g_rec->vStatus;
  store_word(&v.layer[1].status, url != nullptr ? 1 : 0);
  store_text(v.layer[1].item, sizeof(v.layer[1].item), url);
  store_word(&g_rec->osdInfo.browserState, url != nullptr ? 1 : 0);
}

void status_set_video_geometry(int32_t cx, int32_t cy, int32_t width, int32_t height) {
  if (g_rec == nullptr) return;
  store_word(&g_rec->osdInfo.vOsdCx, cx);
  store_word(&g_rec->osdInfo.vOsdCy, cy);
  store_word(&g_rec->osdInfo.vOsdWidth, width);
  store_word(&g_rec->osdInfo.vOsdHeight, height);
}

void status_set_program(int32_t progId) {
  if (g_rec == nullptr) return;
  store_word(&g_rec->vStatus.progId, progId);
}

void status_set_playing(bool playing) {
  if (g_rec == nullptr) return;
  store_word(&g_rec->vStatus.vidType, playing ? 1 : 0);
  store_word(&g_rec->vStatus.audType, playing ? 1 : 0);
}

void status_watch_ir_code(JsonlWriter& log) {
  if (g_rec == nullptr) return;
  int32_t* field = &g_rec->osdInfo.irSystemCode;
  g_irWatch = std::thread([field, &log] {
    int32_t last = __atomic_load_n(field, __ATOMIC_ACQUIRE);
    double since = standin_now();
    while (!stop_requested()) {
      // Unscaled: the plug-in writes the code a few ms apart from its other
      // start-up steps.  The change happened after `since`, the last look
      // that still saw the old value.
      standin_sleep_until(standin_monotonic() + 0.005);
      int32_t now = __atomic_load_n(field, __ATOMIC_ACQUIRE);
      if (now == last) {
        since = standin_now();
        continue;
      }
      JsonLine j("ir_system_code");
      j.Int("word", now).Int("code", now & 0xFF).Int("previous", last).Time("since", since);
      log.Write(j);
      last = now;
      since = standin_now();
    }
  });
}

void status_stop_watch() {
  if (g_irWatch.joinable()) g_irWatch.join();
}

void status_set_network(const char* ip, const char* mask, const char* gateway) {
  if (g_rec == nullptr) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  _sVplayerIpInfo& n = g_rec->osdInfo.ip;
  store_text(n.ip, sizeof(n.ip), ip);
  store_text(n.mask, sizeof(n.mask), mask);
  store_text(n.gateway, sizeof(n.gateway), gateway);
  store_text(n.dns1, sizeof(n.dns1), gateway);
}

void status_publish_item(const char* item) {
  std::string path = hostdir_file("player-item.txt");
  if (path.empty()) return;
  write_file_atomic(path, std::string(item != nullptr ? item : "None") + "\n");
}
