// What the player shows: the geometry and alpha of its three layers (video,
// browser, picture), the browser's URL and the audio PID it plays.  Each
// change is logged ("layer", "browser", "audio_pid") and mirrored in the
// status segment where the record has a field for it (the video layer's
// geometry in vOsdCx..vOsdHeight, browserState, progId).  A URL for the
// browser layer is handed to the browser process on its command queue.

#include <sys/msg.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "player.h"
#include "quv_interprocess.h"
#include "sharedmem.h"
#include "standin.h"

namespace {

struct LayerState {
  const char* name;
  _sQUV_LAYER_INFO geometry;
  bool set;
};

std::mutex g_mutex;
LayerState g_layers[3] = {{"video", {}, false}, {"browser", {}, false}, {"picture", {}, false}};
int32_t g_program = 0;
int32_t g_audioPid = 0;

LayerState* layer_of(int32_t id) {
  switch (id) {
    case QUV_CMMD_VIDEO_LAYER:
      return &g_layers[0];
    case QUV_CMMD_BROWSER_LAYER:
      return &g_layers[1];
    case QUV_CMMD_PICTURE_LAYER:
      return &g_layers[2];
    default:
      return nullptr;
  }
}

void geometry_fields(JsonLine& j, const _sQUV_LAYER_INFO& g) {
  j.Int("centerX", g.centerX).Int("centerY", g.centerY).Int("width", g.width).Int("height", g.height);
  j.Int("asp", g.asp).Int("alpha", g.alpha).Int("xyMode", g.xyMode);
}

}  // namespace

void display_set_layer(int32_t layerCmmd, const _sQUV_LAYER_INFO& g, const char* why, JsonlWriter& log) {
  std::lock_guard<std::mutex> lock(g_mutex);
  LayerState* l = layer_of(layerCmmd);
  if (l == nullptr) return;
  l->geometry = g;
  l->set = true;
  if (layerCmmd == QUV_CMMD_VIDEO_LAYER) status_set_video_geometry(g.centerX, g.centerY, g.width, g.height);
  JsonLine j("layer");
  j.Str("layer", l->name).Str("by", why);
  geometry_fields(j, g);
  log.Write(j);
}

void display_browser(const char* url, const _sQUV_LAYER_INFO* g, JsonlWriter& log) {
  if (g != nullptr) display_set_layer(QUV_CMMD_BROWSER_LAYER, *g, "browser", log);
  status_set_browser(url);
  // The browser's queue is its own: never made here, never waited on.
  static BrowserMessage m;
  memset(&m, 0, sizeof(m));
  m.mtype = kBrowserCommandType;
  strncpy(m.text, url, sizeof(m.text) - 1);
  int q = queue_open(kBrowserCommandQueueKey, false);
  bool sent = q >= 0 && msgsnd(q, &m, sizeof(m.text), IPC_NOWAIT) == 0;
  int err = errno;
  JsonLine j("browser");
  j.Str("url", url).Bool("sent", sent);
  if (!sent) j.Str("error", strerror(err));
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_layers[1].set) geometry_fields(j, g_layers[1].geometry);
  }
  log.Write(j);
}

void display_play(int32_t program, int32_t audioPid) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_program = program;
  g_audioPid = audioPid;
}

void display_switch_audio(int32_t program, int32_t audioPid, JsonlWriter& log) {
  std::lock_guard<std::mutex> lock(g_mutex);
  JsonLine j("audio_pid");
  j.Int("program", program).Int("audio", audioPid).Int("previousProgram", g_program).Int("previous", g_audioPid);
  j.Bool("playing", receiver_active());
  log.Write(j);
  g_program = program;
  g_audioPid = audioPid;
  status_set_program(program);
}
