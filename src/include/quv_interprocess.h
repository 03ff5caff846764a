#ifndef VYX_QUV_INTERPROCESS_H
#define VYX_QUV_INTERPROCESS_H

// Command messages of the media player's System V queue (and the one command
// that goes to the system manager's queue).  All fields are 32-bit in the
// machine's byte order (little-endian on the board); the layouts are the same
// on the 32-bit board and on a 64-bit host.
//
// A message is the System V type word followed by the text.  The text is the
// command id followed by the payload, and the payload is always the tail of a
// command record below from its second field on: every record starts with
// its own cmmdId word, so the message text is laid out exactly as the record.
// The sender appends four zero bytes after the payload.
//
// Receiving: the longest text is QUV_MSG_TEXT_MAX (392) bytes (-mount: id,
// 384 payload bytes, 4 zero bytes; -vdbg is 388).  Receive into QuvMsgWire,
// or pass MSG_NOERROR when using a smaller buffer.

#include <cstddef>
#include <cstdint>

// Queues and message types.
#define QUV_MSG_Q_KEY 1234     // 0x4D2, read by the media player
#define QUV_MSG_TYPE 2
#define SYSMGR_MSG_Q_KEY 1240  // 0x4D8, read by the system manager (-mount)
#define SYSMGR_MSG_TYPE 20

// Largest payload (bytes after the command id) and largest message text.
#define QUV_MSG_PAYLOAD_MAX 384
#define QUV_MSG_TEXT_MAX (4 + QUV_MSG_PAYLOAD_MAX + 4)

// Command ids as the player (and, for 73, the system manager) reads them.
enum QuvCmmdIdEnum {
  QUV_CMMD_IMAGE_DISPLAY = 0,     // show internal image pic1Id for durSec
  QUV_CMMD_STREAM_DISPLAY = 1,    // play a UDP/RTP multicast stream
  QUV_CMMD_STOP_PICTURE = 2,
  QUV_CMMD_RESOLUTION = 8,        // output resolution by index (param[0])
  QUV_CMMD_BROWSER_PLAY = 9,
  QUV_CMMD_BROWSER_NEXT = 10,
  QUV_CMMD_STOP_BROWSER = 11,
  QUV_CMMD_STOP_VIDEO = 27,
  QUV_CMMD_VIDEO_PLAY = 29,
  QUV_CMMD_PICTURE_PLAY = 30,
  QUV_CMMD_STOP_ALL = 33,
  QUV_CMMD_PLAYER_CTL = 34,       // _ePLAYER_CTL
  QUV_CMMD_COLOR_BAR = 37,
  QUV_CMMD_OSD_START = 45,
  QUV_CMMD_OSD_STOP = 46,
  QUV_CMMD_VIDEO_NEXT = 47,
  QUV_CMMD_PICTURE_NEXT = 49,
  QUV_CMMD_PICTURE_LAYER = 64,
  QUV_CMMD_VIDEO_LAYER = 65,
  QUV_CMMD_BROWSER_LAYER = 66,
  QUV_CMMD_DEBUG = 67,            // _sVDBG_MSG
  QUV_CMMD_VIDEO_STAT = 72,
  QUV_CMMD_DEVICE_REMOUNT = 73,   // system manager queue, type 20
  QUV_CMMD_TUNER_CHANNEL = 106,
  QUV_CMMD_HWC_MSG = 114,
  QUV_CMMD_TUNER_SCAN = 118,
};

// Player control codes (playerCmmd of _sQUV_PLAYER_CTL).
enum _ePLAYER_CTL {
  VOLUME_UNMUTED = 0,
  VOLUME_MUTED = 1,
  VOLUME_CHANGE = 2,  // param[0] = volume
  PSM_PLAYING = 3,
  PSM_STOPPED = 4,
  PSM_PAUSED = 5,
  PSM_FORWARD = 6,
  PSM_REWIND = 7,
  PSM_SLOW_FORWARD = 8,
  PSM_FAST_FORWARD = 9,
};

// portNo flag of an RTP stream (-rtp); 0 for plain UDP.
#define QUV_RTP_PORT_FLAG 0x01000000

// The message buffer as the board lays it out (32-bit type word).  On the
// host the type word is the native long: see QuvMsgWire.
struct _sMSG_BUF {
  int32_t type;    // 2, or 20 for -mount
  int32_t cmmdId;
  char buf[380];   // payload
};
static_assert(sizeof(_sMSG_BUF) == 388, "_sMSG_BUF");
static_assert(offsetof(_sMSG_BUF, cmmdId) == 4 && offsetof(_sMSG_BUF, buf) == 8, "_sMSG_BUF");

// What actually goes through msgsnd/msgrcv: the kernel's native type word,
// then a fixed-size text (command id, payload, four zero bytes).
struct QuvMsgWire {
  long mtype;
  char text[QUV_MSG_TEXT_MAX];
};
static_assert(offsetof(QuvMsgWire, text) == sizeof(long), "text follows the type word");
static_assert(sizeof(((QuvMsgWire*)nullptr)->text) == 392, "fixed text size");

// Layer geometry.  Centre and size in percent by default (xyMode selects the
// coordinate mode); alpha 0..255.  cmmdId is 65 when it carries an explicit
// xyMode inside a stream record.
struct _sQUV_LAYER_INFO {
  int32_t cmmdId;
  int32_t centerX;
  int32_t centerY;
  int32_t width;
  int32_t height;
  int32_t alpha;
  int32_t asp;
  int32_t xyMode;
};
static_assert(sizeof(_sQUV_LAYER_INFO) == 32, "_sQUV_LAYER_INFO");
static_assert(offsetof(_sQUV_LAYER_INFO, centerX) == 4 && offsetof(_sQUV_LAYER_INFO, alpha) == 20 &&
                  offsetof(_sQUV_LAYER_INFO, asp) == 24 && offsetof(_sQUV_LAYER_INFO, xyMode) == 28,
              "_sQUV_LAYER_INFO");

struct _sQUV_VIDEO_INFO {
  int32_t vType;  // program PID << 16 for streams
  int32_t vSysType;
  int32_t aType;  // audio PID << 16 for streams
  int32_t aSampFreq;
  int32_t videoPID;
  int32_t audioPID;
};
static_assert(sizeof(_sQUV_VIDEO_INFO) == 24, "_sQUV_VIDEO_INFO");
static_assert(offsetof(_sQUV_VIDEO_INFO, aType) == 8 && offsetof(_sQUV_VIDEO_INFO, audioPID) == 20,
              "_sQUV_VIDEO_INFO");

// 1: multicast stream.
struct _sSTART_STREAM_DISPLAY {
  int32_t cmmdId;
  int32_t portNo;  // port, | QUV_RTP_PORT_FLAG for RTP
  char addr[16];   // dotted IPv4, terminated
  int32_t durSec;
  _sQUV_LAYER_INFO dispParam;
  _sQUV_VIDEO_INFO videoInfo;
  int32_t iType;
};
static_assert(sizeof(_sSTART_STREAM_DISPLAY) == 88, "_sSTART_STREAM_DISPLAY");
static_assert(offsetof(_sSTART_STREAM_DISPLAY, portNo) == 4 && offsetof(_sSTART_STREAM_DISPLAY, addr) == 8 &&
                  offsetof(_sSTART_STREAM_DISPLAY, durSec) == 24 &&
                  offsetof(_sSTART_STREAM_DISPLAY, dispParam) == 28 &&
                  offsetof(_sSTART_STREAM_DISPLAY, videoInfo) == 60 &&
                  offsetof(_sSTART_STREAM_DISPLAY, iType) == 84,
              "_sSTART_STREAM_DISPLAY");

// 106: ATSC channel channelNo.subChannelNo from the tuner.
struct _sSTART_TUNER_CHANNEL {
  int32_t cmmdId;
  int32_t repeatCnt;
  int32_t durSec;
  int32_t channelNo;
  int32_t subChannelNo;
  _sQUV_LAYER_INFO dispParam;
  _sQUV_VIDEO_INFO videoInfo;
  int32_t iType;
};
static_assert(sizeof(_sSTART_TUNER_CHANNEL) == 80, "_sSTART_TUNER_CHANNEL");
static_assert(offsetof(_sSTART_TUNER_CHANNEL, channelNo) == 12 &&
                  offsetof(_sSTART_TUNER_CHANNEL, subChannelNo) == 16 &&
                  offsetof(_sSTART_TUNER_CHANNEL, dispParam) == 20 &&
                  offsetof(_sSTART_TUNER_CHANNEL, videoInfo) == 52 &&
                  offsetof(_sSTART_TUNER_CHANNEL, iType) == 76,
              "_sSTART_TUNER_CHANNEL");

// 9, 10, 29, 30, 47, 49: file, picture or URL.
#define QUV_FILE_NAME_SIZE 256
struct _sSTART_FILE_PLAY {
  int32_t cmmdId;
  int32_t repeatCnt;
  int32_t durSec;
  int32_t mType;  // 0 video or picture file, 2 browser URL
  _sQUV_LAYER_INFO dispParam;
  _sQUV_VIDEO_INFO videoInfo;
  int32_t iType;
  char fileName[QUV_FILE_NAME_SIZE];  // terminated
};
static_assert(sizeof(_sSTART_FILE_PLAY) == 332, "_sSTART_FILE_PLAY");
static_assert(offsetof(_sSTART_FILE_PLAY, mType) == 12 && offsetof(_sSTART_FILE_PLAY, dispParam) == 16 &&
                  offsetof(_sSTART_FILE_PLAY, videoInfo) == 48 && offsetof(_sSTART_FILE_PLAY, iType) == 72 &&
                  offsetof(_sSTART_FILE_PLAY, fileName) == 76,
              "_sSTART_FILE_PLAY");

// 0: internal image.
struct _sSTART_IMAGE_DISPLAY {
  int32_t cmmdId;
  int32_t pic1Id;
  int32_t pic2Id;
  int32_t pic3Id;
  int32_t durSec;
};
static_assert(sizeof(_sSTART_IMAGE_DISPLAY) == 20, "_sSTART_IMAGE_DISPLAY");
static_assert(offsetof(_sSTART_IMAGE_DISPLAY, durSec) == 16, "_sSTART_IMAGE_DISPLAY");

// 34: player control.
struct _sQUV_PLAYER_CTL {
  int32_t cmmdId;
  int32_t playerCmmd;  // _ePLAYER_CTL
  int32_t param[94];
};
static_assert(sizeof(_sQUV_PLAYER_CTL) == 384, "_sQUV_PLAYER_CTL");
static_assert(offsetof(_sQUV_PLAYER_CTL, param) == 8, "_sQUV_PLAYER_CTL");

// 114: short message at the hardware cursor.
#define QUV_HWC_MSG_SIZE 12
struct _sHWC_MSG {
  int32_t cmmdId;
  char hwcMsg[QUV_HWC_MSG_SIZE];  // not necessarily terminated
  int32_t duration;               // seconds
  int32_t position;               // 0..6, anything else = 0
};
static_assert(sizeof(_sHWC_MSG) == 24, "_sHWC_MSG");
static_assert(offsetof(_sHWC_MSG, hwcMsg) == 4 && offsetof(_sHWC_MSG, duration) == 16 &&
                  offsetof(_sHWC_MSG, position) == 20,
              "_sHWC_MSG");

// 118: tuner scan.
struct _sTUNER_SCAN_MSG {
  int32_t cmmdId;
  int32_t subCmmdId;  // 0 stop, 1 start
  int32_t param[8];
};
static_assert(sizeof(_sTUNER_SCAN_MSG) == 40, "_sTUNER_SCAN_MSG");
static_assert(offsetof(_sTUNER_SCAN_MSG, param) == 8, "_sTUNER_SCAN_MSG");

// Commands without arguments.
struct _sCMD_ONLY {
  int32_t cmmdId;
};
static_assert(sizeof(_sCMD_ONLY) == 4, "_sCMD_ONLY");

// 67: debug sub-command.  Sub-codes 7, 8 and 9 carry a terminated text at
// offset 8, every other sub-code up to five words.  paramVal is 0xFFFFFFFF
// (-1) when the command line gave none.
#define QUV_VDBG_TEXT_SIZE 376
struct _sVDBG_MSG {
  int32_t cmmdId;
  int32_t paramVal;
  union {
    int32_t param[5];
    char text[QUV_VDBG_TEXT_SIZE];
  };
};
static_assert(sizeof(_sVDBG_MSG) == 384, "_sVDBG_MSG");
static_assert(offsetof(_sVDBG_MSG, paramVal) == 4 && offsetof(_sVDBG_MSG, param) == 8 &&
                  offsetof(_sVDBG_MSG, text) == 8,
              "_sVDBG_MSG");

// Records of the same interface that this system does not send.
struct _sPLAYER_SETTING {
  int32_t cmmdId;
  int32_t tvRes;
  int32_t aType;
  int32_t aFreq;
  int32_t vType;
  int32_t vSysType;
  int32_t vForceSD;
  int32_t avPID;
};
static_assert(sizeof(_sPLAYER_SETTING) == 32, "_sPLAYER_SETTING");

struct _sSIZE_ADJ_SETTING {
  int32_t cmmdId;
  int32_t adjWidth;
  int32_t adjX;
  int32_t adjHeight;
  int32_t adjY;
};
static_assert(sizeof(_sSIZE_ADJ_SETTING) == 20, "_sSIZE_ADJ_SETTING");

struct _sCOLOR_SETTING {
  int32_t cmmdId;
  int32_t brightness;
  int32_t color;
  int32_t contrast;
  int32_t tint;
};
static_assert(sizeof(_sCOLOR_SETTING) == 20, "_sCOLOR_SETTING");

struct _sCfgOperation {
  int32_t cmmdId;
  int32_t updateId;
  uint32_t pCfg;  // a player-side address on the board; opaque here
  int32_t ptcVersion;
  int32_t hwVersion;
  int32_t monType;
  int32_t defaultRes;
  char macAddr[6];
  char reserved[2];  // explicit tail padding to the 4-byte boundary
};
static_assert(sizeof(_sCfgOperation) == 36, "_sCfgOperation");
static_assert(offsetof(_sCfgOperation, macAddr) == 28, "_sCfgOperation");

struct _sTUNER_CHANNEL_STATUS {
  int32_t cmmdId;
  int32_t channelId;
  int32_t subChanCnt;
  int32_t signalStrength;
  int32_t param[4];
};
static_assert(sizeof(_sTUNER_CHANNEL_STATUS) == 32, "_sTUNER_CHANNEL_STATUS");

struct _sChannelStart {
  int32_t cmmdId;
  int32_t channelId;
};
static_assert(sizeof(_sChannelStart) == 8, "_sChannelStart");

struct _sFrameCnt {
  int32_t cmmdId;
  int32_t frameCt;
  int32_t reserve[4];
};
static_assert(sizeof(_sFrameCnt) == 24, "_sFrameCnt");

struct _sLAYERING_CTL {
  int32_t cmmdId;
  int32_t subCmdId;
  uint32_t param[94];
};
static_assert(sizeof(_sLAYERING_CTL) == 384, "_sLAYERING_CTL");

struct _sIMAGE_OPTION {
  int32_t cmmdId;
  int32_t flip_int;
  int32_t delay_till_flip;
};
static_assert(sizeof(_sIMAGE_OPTION) == 12, "_sIMAGE_OPTION");

struct _sPLAY_INTERNAL_IMAGE {
  int32_t cmmdId;
  int32_t imageId;
};
static_assert(sizeof(_sPLAY_INTERNAL_IMAGE) == 8, "_sPLAY_INTERNAL_IMAGE");

struct _sQUV_PLAYER_CHANGES {
  int32_t cmmdId;
  int32_t volChange;
  int32_t curVol;
  int32_t muteChange;
  int32_t curMute;
};
static_assert(sizeof(_sQUV_PLAYER_CHANGES) == 20, "_sQUV_PLAYER_CHANGES");

struct _sQUV_CTL_COMMON_CMMD {
  int32_t cmmdId;
  char cmmdParam[380];
};
static_assert(sizeof(_sQUV_CTL_COMMON_CMMD) == 384, "_sQUV_CTL_COMMON_CMMD");

// Generic record: 8 (-res, param[0] = index) and 73 (-mount: param[0..5] =
// 1234, 2, 0, partNo, 1 rw / 0 ro, 15).
struct _sSAPP_CMMD_MSG {
  int32_t cmmdId;
  int32_t param[95];
};
static_assert(sizeof(_sSAPP_CMMD_MSG) == 384, "_sSAPP_CMMD_MSG");

struct _sOsdAction {
  int32_t cmmdId;
  int32_t action;
  int32_t param;
};
static_assert(sizeof(_sOsdAction) == 12, "_sOsdAction");

// The one record that starts with a type word instead of cmmdId.
struct _sDEINTERLACE_MSG {
  int32_t type;
  int32_t enable;
  int32_t mode;
  int32_t val[3];
};
static_assert(sizeof(_sDEINTERLACE_MSG) == 24, "_sDEINTERLACE_MSG");

// Every command record; the parser builds one in a zero-filled union.
union sMSG_COMMON_FORMAT {
  _sCMD_ONLY cmdOnly;
  _sQUV_LAYER_INFO layerInfo;
  _sSTART_STREAM_DISPLAY streamDisplay;
  _sSTART_TUNER_CHANNEL tunerChannel;
  _sSTART_FILE_PLAY filePlay;
  _sSTART_IMAGE_DISPLAY imageDisplay;
  _sQUV_PLAYER_CTL playerCtl;
  _sHWC_MSG hwcMsg;
  _sTUNER_SCAN_MSG tunerScan;
  _sVDBG_MSG vdbg;
  _sPLAYER_SETTING playerSetting;
  _sSIZE_ADJ_SETTING sizeAdj;
  _sCOLOR_SETTING colorSetting;
  _sCfgOperation cfgOperation;
  _sTUNER_CHANNEL_STATUS tunerChannelStatus;
  _sChannelStart channelStart;
  _sFrameCnt frameCnt;
  _sLAYERING_CTL layeringCtl;
  _sIMAGE_OPTION imageOption;
  _sPLAY_INTERNAL_IMAGE playInternalImage;
  _sQUV_PLAYER_CHANGES playerChanges;
  _sQUV_CTL_COMMON_CMMD ctlCommon;
  _sSAPP_CMMD_MSG sapp;
  _sOsdAction osdAction;
  _sDEINTERLACE_MSG deinterlace;
  unsigned char raw[384];
};
static_assert(sizeof(sMSG_COMMON_FORMAT) == 384, "sMSG_COMMON_FORMAT");

#endif
