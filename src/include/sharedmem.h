#ifndef VYX_SHAREDMEM_H
#define VYX_SHAREDMEM_H

// The media player's status memory and the on-screen browser's queues.
//
// The player publishes its state in a System V shared memory segment (key
// 2000); the record below lies at byte 24576 of it.  Every field is a 32-bit
// word or a character array, so the layout is the same on the 32-bit board and
// on a 64-bit build host.  The browser (Konqueror) takes commands on queue
// 945602 and answers status requests on queue 31561.

#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------
// Shared memory segment
// ---------------------------------------------------------------------------
enum : int32_t {
  kSharedMemKey = 2000,
  kSharedMemSize = 49152,
  kPlayerStatusOffset = 24576,  // 0x6000: where _sVPLAYER_SM_STRUCT lies
};

struct _sVplayerIpInfo {
  char ip[16];
  char mask[16];
  char gateway[16];
  char dns1[16];
  char dns2[16];
};
static_assert(sizeof(_sVplayerIpInfo) == 80, "ip block is five 16-byte strings");

struct _sVplayerStreamInfo {
  int32_t curId;
  char addr[10][36];
};
static_assert(sizeof(_sVplayerStreamInfo) == 364, "stream block layout");

struct _sVplayerDemoInfo {
  char dlAddr[128];
};
static_assert(sizeof(_sVplayerDemoInfo) == 128, "demo block layout");

// Display and network state of the player.
struct _sVplayerOsdInfo {
  int32_t irFd;                // 0
  _sVplayerIpInfo ip;          // 4
  _sVplayerStreamInfo stream;  // 84
  _sVplayerDemoInfo demo;      // 448
  int32_t dhcp;                // 576
  uint8_t macAddr[6];          // 580
  uint8_t macPad[2];           // 586: alignment of the next word
  int32_t colorProfile;        // 588
  int32_t browserState;        // 592
  int32_t durSec;              // 596
  int32_t redirectIR;          // 600
  int32_t menuKey;             // 604
  int32_t menuActive;          // 608
  int32_t menuUsrId;           // 612
  int32_t vOsdCx;              // 616
  int32_t vOsdCy;              // 620
  int32_t vOsdWidth;           // 624
  int32_t vOsdHeight;          // 628
  int32_t irSetting;           // 632
  int32_t irSystemCode;        // 636
};
static_assert(sizeof(_sVplayerOsdInfo) == 640, "_sVplayerOsdInfo is 640 bytes");
static_assert(offsetof(_sVplayerOsdInfo, irFd) == 0, "irFd");
static_assert(offsetof(_sVplayerOsdInfo, ip) == 4, "ip");
static_assert(offsetof(_sVplayerOsdInfo, stream) == 84, "stream");
static_assert(offsetof(_sVplayerOsdInfo, demo) == 448, "demo");
static_assert(offsetof(_sVplayerOsdInfo, dhcp) == 576, "dhcp");
static_assert(offsetof(_sVplayerOsdInfo, macAddr) == 580, "macAddr");
static_assert(offsetof(_sVplayerOsdInfo, colorProfile) == 588, "colorProfile");
static_assert(offsetof(_sVplayerOsdInfo, browserState) == 592, "browserState");
static_assert(offsetof(_sVplayerOsdInfo, durSec) == 596, "durSec");
static_assert(offsetof(_sVplayerOsdInfo, redirectIR) == 600, "redirectIR");
static_assert(offsetof(_sVplayerOsdInfo, menuKey) == 604, "menuKey");
static_assert(offsetof(_sVplayerOsdInfo, menuActive) == 608, "menuActive");
static_assert(offsetof(_sVplayerOsdInfo, menuUsrId) == 612, "menuUsrId");
static_assert(offsetof(_sVplayerOsdInfo, vOsdCx) == 616, "vOsdCx");
static_assert(offsetof(_sVplayerOsdInfo, vOsdCy) == 620, "vOsdCy");
static_assert(offsetof(_sVplayerOsdInfo, vOsdWidth) == 624, "vOsdWidth");
static_assert(offsetof(_sVplayerOsdInfo, vOsdHeight) == 628, "vOsdHeight");
static_assert(offsetof(_sVplayerOsdInfo, irSetting) == 632, "irSetting");
static_assert(offsetof(_sVplayerOsdInfo, irSystemCode) == 636, "irSystemCode");

struct _sVPLAYER_LAYER_STATUS {
  int32_t status;
  char item[256];
};
static_assert(sizeof(_sVPLAYER_LAYER_STATUS) == 260, "layer status is 260 bytes");

// Play state.
struct _sQUV_VPLAYER_STATUS {
  int32_t layerCnt;                   // 0
  int32_t frameCnt;                   // 4
  _sVPLAYER_LAYER_STATUS layer[2];    // 8
  int32_t tunerSignalStrength;        // 528: 0..5
  int32_t progId;                     // 532
  int32_t vidType;                    // 536
  int32_t audType;                    // 540
  int32_t sigLock;                    // 544
  int32_t audStatus;                  // 548
  int32_t ccStatus;                   // 552
};
static_assert(sizeof(_sQUV_VPLAYER_STATUS) == 556, "_sQUV_VPLAYER_STATUS is 556 bytes");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, layerCnt) == 0, "layerCnt");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, frameCnt) == 4, "frameCnt");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, layer) == 8, "layer");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, tunerSignalStrength) == 528, "tunerSignalStrength");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, progId) == 532, "progId");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, vidType) == 536, "vidType");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, audType) == 540, "audType");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, sigLock) == 544, "sigLock");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, audStatus) == 548, "audStatus");
static_assert(offsetof(_sQUV_VPLAYER_STATUS, ccStatus) == 552, "ccStatus");

// The player status record at kPlayerStatusOffset of the segment.
struct _sVPLAYER_SM_STRUCT {
  _sVplayerOsdInfo osdInfo;      // 0
  _sQUV_VPLAYER_STATUS vStatus;  // 640
};
static_assert(sizeof(_sVPLAYER_SM_STRUCT) == 1196, "_sVPLAYER_SM_STRUCT is 640 + 556 bytes");
static_assert(offsetof(_sVPLAYER_SM_STRUCT, osdInfo) == 0, "osdInfo");
static_assert(offsetof(_sVPLAYER_SM_STRUCT, vStatus) == 640, "vStatus");
static_assert(kPlayerStatusOffset + sizeof(_sVPLAYER_SM_STRUCT) <= kSharedMemSize,
              "record fits in the segment");

// ---------------------------------------------------------------------------
// Browser queues
// ---------------------------------------------------------------------------
enum : int32_t {
  kBrowserCommandQueueKey = 945602,  // commands and status requests to the browser
  kBrowserStatusQueueKey = 31561,    // the browser's status replies
  kBrowserCommandType = 1,           // URL / option text / key "-k%.3d"
  kBrowserStatusRequestType = 2,     // text is an _sMSG_CMD_FORMAT
  kBrowserStatusCmmdId = 71,
  kBrowserTextSize = 1024,           // text bytes of every command message
  kBrowserMaxCommandChars = 1020,    // longest command string copied in
  kBrowserKeyTextSize = 12,          // IR key messages carry 12 bytes of text
};

// Status request and status reply text.  Request: cmmdId 71, param[0] = the
// reply queue key (31561), param[1] = 2.  Reply: param[1] is the status.
struct _sMSG_CMD_FORMAT {
  int32_t cmmdId;
  int32_t param[7];
};
static_assert(sizeof(_sMSG_CMD_FORMAT) == 32, "_sMSG_CMD_FORMAT is 8 words");
static_assert(offsetof(_sMSG_CMD_FORMAT, cmmdId) == 0, "cmmdId");
static_assert(offsetof(_sMSG_CMD_FORMAT, param) == 4, "param");

// A System V message as msgsnd/msgrcv see it: the kernel's `long` type word,
// then the text.  The text layout above is fixed; only the type word follows
// the machine's long (4 bytes on the board, 8 on a 64-bit host).
struct BrowserMessage {
  long mtype;
  char text[kBrowserTextSize];
};
static_assert(offsetof(BrowserMessage, text) == sizeof(long), "text follows the type word");
static_assert(sizeof(((BrowserMessage*)nullptr)->text) == 1024, "1024 bytes of text");

// ---------------------------------------------------------------------------
// SharedMem: the player status record, attached once for the process.
// ---------------------------------------------------------------------------
// When the segment cannot be created or attached there is no record: every
// reader returns 0 (IrModeCode() too, GetAudioStatus/GetCcStatus still 1)
// and IrModeCode(code) stores nothing.  GetCpuUtilization does not need the
// segment.
class SharedMem {
 public:
  static SharedMem* Self();

  int GetSignalStrengthTransmitter();  // also recorded in Statistics
  int GetProgramReceivedReceiver();
  int GetVideoTypeReceiver();  // vidType 1..14 -> 0, 22..25 -> 1, else 2
  int GetAudioTypeReceiver();  // audType 1..5 -> 0, 7 -> 1, 6 -> 2, else 3
  int GetAudioStatus();        // 1
  int GetCcStatus();           // 1
  void IrModeCode(unsigned short code);
  unsigned short IrModeCode();
  int GetCpuUtilization();  // percent over one second (sleeps 1 s)

  bool Initialized() const { return mInitialized; }
  // The record itself, or null without a segment (tests and STATUS read it).
  _sVPLAYER_SM_STRUCT* Record() { return mpPlayerStatusSharedStruct; }

 private:
  SharedMem();
  SharedMem(const SharedMem&) = delete;
  SharedMem& operator=(const SharedMem&) = delete;

  bool mInitialized;
  void* mSharedAddress;
  _sVPLAYER_SM_STRUCT* mpPlayerStatusSharedStruct;
};

// Type mappings of the status record, exposed for tests.
int sharedmem_video_type(int32_t vidType);
int sharedmem_audio_type(int32_t audType);
int32_t sharedmem_ir_code_word(unsigned short code);

// CPU counters of the first line of /proc/stat ("cpu user nice system idle").
struct CpuTimes {
  unsigned long long user, nice, system, idle;
};
// Parses the first line of a /proc/stat text (bounded by len); false if it is
// not a "cpu" line with four counters.
bool cpu_times_parse(const char* text, size_t len, CpuTimes* out);
// Load in percent between two samples: -0.01 when a counter went backwards,
// 0 when no time passed between them (nothing to divide by).
double cpu_load_between(const CpuTimes& before, const CpuTimes& after);

// ---------------------------------------------------------------------------
// Browser control (kontroller.cpp).  Command thread only.
// ---------------------------------------------------------------------------
// Sends one command text (at most 1020 characters) to the browser; a text
// starting "-a" asks for the browser's status instead.  argc is not used.
// 0, or -1 on failure.
int sendMessgageToKonqueror(int argc, char* buffer);
// The browser's status (param[1] of its reply), or -1 when it does not answer
// within five half-second polls.
int isAlive();
// One message to a browser queue without blocking on a full queue: a few
// short retries (about 100 ms in all), then -1 with errno EAGAIN, so a browser
// that stops reading cannot freeze the caller.  -1 with errno set on any other
// failure, 0 when queued.  Any thread.
int browser_msgsnd(int qid, const void* msg, size_t textSize);

#endif
