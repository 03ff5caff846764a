// Decoding of the player's command messages by their record layouts, for the
// player's log: every field of the record under its record field name.

#include <cstring>

#include "player.h"
#include "quv_interprocess.h"

namespace {

void add_layer(JsonLine& j, const _sQUV_LAYER_INFO& l, bool nested) {
  if (nested) j.Int("dispParam.cmmdId", l.cmmdId);
  j.Int("centerX", l.centerX).Int("centerY", l.centerY).Int("width", l.width).Int("height", l.height);
  j.Int("alpha", l.alpha).Int("asp", l.asp).Int("xyMode", l.xyMode);
}

void add_video(JsonLine& j, const _sQUV_VIDEO_INFO& v) {
  j.Int("vType", v.vType).Int("vSysType", v.vSysType).Int("aType", v.aType);
  j.Int("aSampFreq", v.aSampFreq).Int("videoPID", v.videoPID).Int("audioPID", v.audioPID);
}

// Words of the text after the command id (at most `max`).
size_t words_after_id(size_t len, size_t max) {
  size_t n = len > 4 ? (len - 4) / 4 : 0;
  return n < max ? n : max;
}

}  // namespace

const char* command_name(int32_t cmmdId) {
  switch (cmmdId) {
    case QUV_CMMD_IMAGE_DISPLAY: return "image";
    case QUV_CMMD_STREAM_DISPLAY: return "stream";
    case QUV_CMMD_STOP_PICTURE: return "stoppic";
    case QUV_CMMD_RESOLUTION: return "res";
    case QUV_CMMD_BROWSER_PLAY: return "browser";
    case QUV_CMMD_BROWSER_NEXT: return "bnext";
    case QUV_CMMD_STOP_BROWSER: return "stopb";
    case QUV_CMMD_STOP_VIDEO: return "stopvid";
    case QUV_CMMD_VIDEO_PLAY: return "video";
    case QUV_CMMD_PICTURE_PLAY: return "pic";
    case QUV_CMMD_STOP_ALL: return "stopall";
    case QUV_CMMD_PLAYER_CTL: return "trick";
    case QUV_CMMD_COLOR_BAR: return "colorbar";
    case QUV_CMMD_OSD_START: return "osdstart";
    case QUV_CMMD_OSD_STOP: return "osdstop";
    case QUV_CMMD_VIDEO_NEXT: return "vnext";
    case QUV_CMMD_PICTURE_NEXT: return "pnext";
    case QUV_CMMD_PICTURE_LAYER: return "os";
    case QUV_CMMD_VIDEO_LAYER: return "vs";
    case QUV_CMMD_BROWSER_LAYER: return "ps";
    case QUV_CMMD_DEBUG: return "vdbg";
    case QUV_CMMD_VIDEO_STAT: return "vstat";
    case QUV_CMMD_DEVICE_REMOUNT: return "mount";
    case QUV_CMMD_TUNER_CHANNEL: return "atsc";
    case QUV_CMMD_HWC_MSG: return "hwc";
    case QUV_CMMD_TUNER_SCAN: return "scan";
    default: return "unknown";
  }
}

int32_t decode_command(const char* text, size_t len, JsonLine& j) {
  // The record in a zero-filled union: a short message reads as zeros, a long
  // one is cut at the union's size.
  sMSG_COMMON_FORMAT rec;
  memset(&rec, 0, sizeof(rec));
  memcpy(&rec, text, len < sizeof(rec) ? len : sizeof(rec));
  if (len < 4) {
    j.Int("cmmdId", 0).Str("name", "unknown").Bool("short", true);
    return 0;
  }
  int32_t id = rec.cmdOnly.cmmdId;
  j.Int("cmmdId", id).Str("name", command_name(id));
  switch (id) {
    case QUV_CMMD_IMAGE_DISPLAY: {
      const _sSTART_IMAGE_DISPLAY& r = rec.imageDisplay;
      j.Int("pic1Id", r.pic1Id).Int("pic2Id", r.pic2Id).Int("pic3Id", r.pic3Id).Int("durSec", r.durSec);
      break;
    }
    case QUV_CMMD_STREAM_DISPLAY: {
      const _sSTART_STREAM_DISPLAY& r = rec.streamDisplay;
      j.Int("portNo", r.portNo).StrN("addr", r.addr, sizeof(r.addr)).Int("durSec", r.durSec);
      add_layer(j, r.dispParam, true);
      add_video(j, r.videoInfo);
      j.Int("iType", r.iType);
      break;
    }
    case QUV_CMMD_TUNER_CHANNEL: {
      const _sSTART_TUNER_CHANNEL& r = rec.tunerChannel;
      j.Int("repeatCnt", r.repeatCnt).Int("durSec", r.durSec);
      j.Int("channelNo", r.channelNo).Int("subChannelNo", r.subChannelNo);
      add_layer(j, r.dispParam, true);
      add_video(j, r.videoInfo);
      j.Int("iType", r.iType);
      break;
    }
    case QUV_CMMD_BROWSER_PLAY:
    case QUV_CMMD_BROWSER_NEXT:
    case QUV_CMMD_VIDEO_PLAY:
    case QUV_CMMD_VIDEO_NEXT:
    case QUV_CMMD_PICTURE_PLAY:
    case QUV_CMMD_PICTURE_NEXT: {
      const _sSTART_FILE_PLAY& r = rec.filePlay;
      j.Int("repeatCnt", r.repeatCnt).Int("durSec", r.durSec).Int("mType", r.mType);
      add_layer(j, r.dispParam, true);
      add_video(j, r.videoInfo);
      j.Int("iType", r.iType);
      // The name may fill the message: never read past what was received.
      size_t avail = len > offsetof(_sSTART_FILE_PLAY, fileName) ? len - offsetof(_sSTART_FILE_PLAY, fileName) : 0;
      if (avail > sizeof(r.fileName)) avail = sizeof(r.fileName);
      j.StrN("fileName", r.fileName, avail);
      break;
    }
    case QUV_CMMD_PLAYER_CTL: {
      const _sQUV_PLAYER_CTL& r = rec.playerCtl;
      j.Int("playerCmmd", r.playerCmmd).IntArray("param", r.param, 94);
      break;
    }
    case QUV_CMMD_PICTURE_LAYER:
    case QUV_CMMD_VIDEO_LAYER:
    case QUV_CMMD_BROWSER_LAYER:
      add_layer(j, rec.layerInfo, false);
      break;
    case QUV_CMMD_DEBUG: {
      const _sVDBG_MSG& r = rec.vdbg;
      j.Int("paramVal", r.paramVal);
      if (r.paramVal == 7 || r.paramVal == 8 || r.paramVal == 9)
        j.StrN("text", r.text, sizeof(r.text));
      else
        j.IntArray("param", r.param, 5);
      break;
    }
    case QUV_CMMD_HWC_MSG: {
      const _sHWC_MSG& r = rec.hwcMsg;
      j.StrN("hwcMsg", r.hwcMsg, sizeof(r.hwcMsg)).Int("duration", r.duration).Int("position", r.position);
      break;
    }
    case QUV_CMMD_TUNER_SCAN: {
      const _sTUNER_SCAN_MSG& r = rec.tunerScan;
      j.Int("subCmmdId", r.subCmmdId).IntArray("param", r.param, 8);
      break;
    }
    case QUV_CMMD_RESOLUTION:
    case QUV_CMMD_DEVICE_REMOUNT:
      j.IntArray("param", rec.sapp.param, words_after_id(len, 95));
      break;
    case QUV_CMMD_STOP_PICTURE:
    case QUV_CMMD_STOP_BROWSER:
    case QUV_CMMD_STOP_VIDEO:
    case QUV_CMMD_STOP_ALL:
    case QUV_CMMD_COLOR_BAR:
    case QUV_CMMD_OSD_START:
    case QUV_CMMD_OSD_STOP:
    case QUV_CMMD_VIDEO_STAT:
      break;
    default:
      // Not a command of this player: keep the words for whoever reads the log.
      j.Bool("unknown", true).IntArray("words", rec.sapp.param, words_after_id(len, 95));
      break;
  }
  return id;
}
