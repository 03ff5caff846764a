// mediaplayer: the board's media player as the plug-in relies on it.  It
// reads its command queue 1234 (type 2), logs every message decoded by its
// record layout, keeps the status segment (key 2000) current, loads the
// plug-in on the launcher's debug request, feeds the transmitter's plug-in
// from its tuner and the receiver's plug-in with the PAT/PMT sections of the
// stream it plays.  It writes its pid to <hostdir>/player.pid so that a
// device reboot (through the SNMP agent) can end it.

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "player.h"
#include "quv_interprocess.h"
#include "standin.h"

namespace {

const size_t kReceiveMax = 4096;

struct PlayerMessage {
  long mtype;
  char text[kReceiveMax];
};

void usage(const char* prog) {
  printf(
      "usage: %s [options]\n"
      "Media player of a simulated device host: serves the command queue 1234,\n"
      "keeps the status segment 2000, loads the plug-in on \"-vdbg 12\" (T) or\n"
      "\"-vdbg 16 1\" (R), tunes channels of $VYX_CHANNELS and feeds the plug-in.\n"
      "  --log FILE     JSON-lines log (default $VYX_HOSTDIR/player.jsonl, else stdout)\n"
      "  --hostdir DIR  host directory (default $VYX_HOSTDIR)\n"
      "  --help\n"
      "Environment: VYX_LIBVYX (plug-in path, default /tmp/lumo/libvyx.so),\n"
      "VYX_PLAYER_TYPE (role letter passed instead of T/R, e.g. A), VYX_CHANNELS,\n"
      "VYX_FEED_RATE (bits/s), VYX_FEED_FAST=1, VYX_FEED_SEED.\n",
      prog);
}

// Role letter of a load request: VYX_PLAYER_TYPE replaces the launcher's.
char load_type(char requested) {
  const char* t = env_str("VYX_PLAYER_TYPE", nullptr);
  return t != nullptr ? t[0] : requested;
}

// Acts on one decoded command.  Returns false when the player must end.
bool act(const sMSG_COMMON_FORMAT& rec, int32_t id, JsonlWriter& log) {
  char item[320];
  switch (id) {
    case QUV_CMMD_STREAM_DISPLAY: {
      const _sSTART_STREAM_DISPLAY& r = rec.streamDisplay;
      char addr[sizeof(r.addr) + 1];
      memcpy(addr, r.addr, sizeof(r.addr));
      addr[sizeof(r.addr)] = '\0';
      bool rtp = (r.portNo & QUV_RTP_PORT_FLAG) != 0;
      snprintf(item, sizeof(item), "Stream %s://%s:%d", rtp ? "rtp" : "udp", addr, r.portNo & 0xFFFF);
      tuner_stop_feed(log, "play");
      // Video and audio types stay 0 until the stream's data arrives.
      status_set_video((r.videoInfo.vType >> 16) & 0xFFFF, 0, 0, item);
      display_play((r.videoInfo.vType >> 16) & 0xFFFF, (r.videoInfo.aType >> 16) & 0xFFFF);
      display_set_layer(QUV_CMMD_VIDEO_LAYER, r.dispParam, "stream", log);
      receiver_play(addr, r.portNo, log);
      status_publish_item(item);
      break;
    }
    case QUV_CMMD_TUNER_CHANNEL: {
      const _sSTART_TUNER_CHANNEL& r = rec.tunerChannel;
      receiver_stop(log);
      tuner_tune(r.channelNo, r.subChannelNo, log);
      snprintf(item, sizeof(item), "Tuner %d.%d", r.channelNo, r.subChannelNo);
      status_set_video(0, 1, 1, item);
      status_publish_item(item);
      break;
    }
    case QUV_CMMD_STOP_VIDEO:
    case QUV_CMMD_STOP_ALL:
      tuner_stop_feed(log, id == QUV_CMMD_STOP_ALL ? "stopall" : "stopvid");
      receiver_stop(log);
      status_set_video(0, 0, 0, nullptr);
      if (id == QUV_CMMD_STOP_ALL) status_set_browser(nullptr);
      status_publish_item("None");
      break;
    case QUV_CMMD_VIDEO_PLAY:
    case QUV_CMMD_PICTURE_PLAY: {
      const _sSTART_FILE_PLAY& r = rec.filePlay;
      char name[sizeof(r.fileName) + 1];
      memcpy(name, r.fileName, sizeof(r.fileName));
      name[sizeof(r.fileName)] = '\0';
      snprintf(item, sizeof(item), "%s %s", id == QUV_CMMD_VIDEO_PLAY ? "Video" : "Picture", name);
      tuner_stop_feed(log, "play");
      receiver_stop(log);
      status_set_video(0, id == QUV_CMMD_VIDEO_PLAY ? 1 : 0, id == QUV_CMMD_VIDEO_PLAY ? 1 : 0, item);
      status_publish_item(item);
      break;
    }
    case QUV_CMMD_BROWSER_PLAY: {
      const _sSTART_FILE_PLAY& r = rec.filePlay;
      char url[sizeof(r.fileName) + 1];
      memcpy(url, r.fileName, sizeof(r.fileName));
      url[sizeof(r.fileName)] = '\0';
      display_browser(url, &r.dispParam, log);
      break;
    }
    case QUV_CMMD_STOP_BROWSER:
      status_set_browser(nullptr);
      break;
    case QUV_CMMD_VIDEO_LAYER:
    case QUV_CMMD_BROWSER_LAYER:
    case QUV_CMMD_PICTURE_LAYER:
      display_set_layer(id, rec.layerInfo, "layer", log);
      break;
    case QUV_CMMD_DEBUG: {
      const _sVDBG_MSG& r = rec.vdbg;
      if (r.paramVal == 12) {
        plugin_load(load_type('T'), log);
      } else if (r.paramVal == 16 && r.param[0] == 1) {
        plugin_load(load_type('R'), log);
      } else if (r.paramVal == 14) {
        display_switch_audio(r.param[0], r.param[1], log);
      } else if (r.paramVal == 4) {
        JsonLine j("exit_request");
        log.Write(j);
        return false;
      }
      break;
    }
    default:
      break;
  }
  return true;
}

void write_pid_file() {
  std::string path = hostdir_file("player.pid");
  if (!path.empty()) write_file_atomic(path, std::to_string(getpid()) + "\n");
}

void remove_pid_file() {
  std::string path = hostdir_file("player.pid");
  std::string text;
  if (path.empty() || !read_file_limited(path, 32, &text)) return;
  if (atol(text.c_str()) == static_cast<long>(getpid())) unlink(path.c_str());
}

// Serves the command queue until a stop or an exit command.
int serve(JsonlWriter& log) {
  plugin_set_log(&log);

  status_create(log);
  status_watch_ir_code(log);
  std::string ip, mask;
  if (host_ipv4(&ip, &mask)) {
    size_t dot = ip.rfind('.');
    std::string gw = dot == std::string::npos ? std::string() : ip.substr(0, dot) + ".1";
    status_set_network(ip.c_str(), mask.c_str(), gw.c_str());
  }
  status_publish_item("None");
  int q = queue_open(QUV_MSG_Q_KEY, true);
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Int("queue", q).Str("plugin", env_str("VYX_LIBVYX", "/tmp/lumo/libvyx.so"));
    log.Write(j);
  }
  if (q < 0) {
    fprintf(stderr, "mediaplayer: msgget failed: %s\n", strerror(errno));
    return 1;
  }
  write_pid_file();

  static PlayerMessage msg;
  queue_serve(QUV_MSG_Q_KEY, &q, &msg, kReceiveMax, QUV_MSG_TYPE, [&](size_t len) {
    JsonLine j("cmd");
    j.Int("queue", QUV_MSG_Q_KEY).Int("mtype", msg.mtype).Uint("size", len);
    int32_t id = decode_command(msg.text, len, j);
    log.Write(j);
    sMSG_COMMON_FORMAT rec;
    memset(&rec, 0, sizeof(rec));
    memcpy(&rec, msg.text, len < sizeof(rec) ? len : sizeof(rec));
    return len < 4 || act(rec, id, log);
  });

  tuner_stop_feed(log, "exit");
  receiver_stop(log);
  stop_request();
  status_stop_watch();
  remove_pid_file();
  JsonLine j("stop");
  log.Write(j);
  if (plugin_loaded()) {
    // The plug-in's threads run until the process ends and it has no stop
    // entry: end here without running destructors under their feet.
    fflush(nullptr);
    _exit(0);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  StandinProgram program("player.jsonl", 3.0, usage);
  program.run = [](JsonlWriter& log, const char*) { return serve(log); };
  return standin_main(argc, argv, program);
}
