#ifndef VYX_COMMANDMANAGER_H
#define VYX_COMMANDMANAGER_H

// The command manager: builds every module of the device in a fixed order for
// its role, then serves the controller's UDP text commands on the command
// thread, one datagram at a time (receive, dispatch by keyword, reply to the
// sender).  One instance per process, never destroyed while the player runs.
//
// Source files: commandmanager.cpp (construction, command loop, dispatcher and
// the commands it answers itself) and commandmanager_<topic>.cpp (the handlers
// of one topic; commandmanager_stream.cpp also starts the transmitter's
// streams for "UNIT": tune, wait, attach).  Every handler reads its fields
// through core/fields.h.

#include <cstddef>
#include <cstdint>

#include "services/controllers.h"
#include "types.h"
#include "udpcom.h"

class TsFilter;
class SnmpLocal;
namespace fields {
class Split;
}
class IrControl;
class Uart;
class TunerManager;

class CommandManager {
 public:
  enum UpgradeStateEnum {
    eUpgradeIdle = 0,
    eUpgradeDownloading = 1,
    eUpgradeBurning = 2,
    eUpgradeDownloadError = 3,
    eUpgradeBurnError = 4
  };

  static const int kCommandSize = 8192;      // mCommand
  static const int kReceiveLimit = 2040;     // longest command datagram taken
  static const int kReplyLimit = 1024;       // longer replies are cut to this
  static const int kLastUnitCommandSize = 256;
  static const int kUrlSize = 1024;
  // The command the device plays when it starts (the last saved UNIT), kept
  // on disk partition 1: written by SaveDefaultStartupItem, read back by the
  // start-up routine.
  static constexpr char kDefaultStartupFile[] = "/mnt/hd1/vyx_def_startup";

  // ---- fields, in declaration order ----
  char mMyType;                  // 'T' transmitter or 'R' receiver
  unsigned short mCommandPort;   // 5000 ('T'), 2008 ('R')
  UdpServer* mpServer;           // command socket; replies go to its last sender
  TsFilter* mpTsf;
  SnmpLocal* mpSnmp;
  IrControl* mpIrControl;        // receiver only; null on a transmitter
  Uart* mpUart;                  // receiver only; null on a transmitter
  TunerManager* mpTunerManager;
  char* mCommand;                // kCommandSize bytes; handlers build replies in it
  bool mIrForwarding;
  bool mBrowserUp;
  int mLastUnitCommandId;
  UpgradeStateEnum mUpgradeState;
  int mUpgradeBytes;
  char* mLastUnitCommand;        // kLastUnitCommandSize bytes
  char mTunerMode[16];
  int mSubtitleLanguagePri;
  int mSubtitleLanguageSec;
  int mAudioLanguagePri;
  int mAudioLanguageSec;
  char mMulticastIpReceived[16];
  unsigned short mMulticastPortReceived;
  unsigned short mProgramReceived;
  unsigned short mPrevMcastPort;
  int mUrlXposition;
  int mUrlYposition;
  int mUrlWidth;
  int mUrlHeight;
  int mUrlAlphaBrowser;
  int mUrlAlphaVideo;
  char* mUrl;                    // receiver: kUrlSize bytes; transmitter: null
  ControllerList mControllers;   // who may command the device (none: everyone)
  uint32_t mCallbackClient;      // network order; where CALLBACK1 sent forwarding, or 0

  // Generic replies.
  static char mOk[8];
  static char mKo[8];

  // ---- construction and command server (commandmanager.cpp) ----
  explicit CommandManager(char type);
  ~CommandManager();
  char MyType() { return mMyType; }
  char AutoDetectType();
  int ProcessCommandLoop();
  char* ProcessCommand(char* cmd, int len);
  // The keyword of the dispatcher row a command matches, or null when none
  // does (for tests and diagnostics: nothing is run).
  static const char* MatchedKeyword(const char* cmd);
  // Row `index` of the dispatcher's table, in the order the rows are tried:
  // its keyword and the characters compared; null past the last row.
  static const char* KeywordRow(int index, size_t* compared);
  // Sends a handler's reply to the sender of the command; a reply of
  // kReplyLimit characters or more is reported and cut to 1023 characters
  // and a zero byte.  Returns the send result.
  int SendReply(char* reply);
  void RunPeriodicCheck() {}
  // Room for a reply written in place of `cmd`: the rest of mCommand when cmd
  // lies in it, else 0 (the caller then uses a buffer of its own).
  size_t ReplyRoom(const char* cmd) const;

  // ---- status and network ----
  char* ProcessIpGet(char* cmd);
  char* ProcessIpSet(char* cmd);
  char* ProcessStatusGetTransmitter(char* cmd);
  char* ProcessStatusGetReceiver(char* cmd);

  // ---- playback and display ----
  char* ProcessRemoteCommand(char* cmd);
  char* ProcessVscaleCommand(char* cmd, int len);
  char* ProcessUrlSet(char* cmd);
  char* ProcessIrAndUartForward(char* cmd);
  char* ProcessPacketSize(char* cmd, int len);
  char* ProcessResolution(char* cmd, int len);
  bool SaveDefaultStartupItem(char* cmd);
  void StreamFromFile(char* cmd);
  bool PlayLayer(char* mcastIp, unsigned short mcastPort, int progId, int audioId);

  // ---- tuner, scan, guide and languages ----
  // What a transmitter's stream text asks for: address, port (decimal),
  // tuner channel, then pairs of transport and program (hexadecimal), split
  // at commas.  The texts point into the split.
  struct StreamRequest {
    static const int kMaxPairs = 64;  // a longer text is cut there
    char address[64];
    unsigned short port;
    int channel;
    int pairs;  // pairs given; the last one may lack its program
    const char* transportText[kMaxPairs];  // as given (logged); null when empty
    const char* programText[kMaxPairs];    // null: missing, the list ends there
    unsigned short transportId[kMaxPairs];
    unsigned short programId[kMaxPairs];
  };
  // Reads a stream text split at commas; false when address, port or
  // channel is missing, or the address or port is malformed (those two
  // reported).
  static bool ParseStreamText(fields::Split& split, StreamRequest* req);
  // Stream streamId from a stream text (left as it is): tune, reset the
  // counters and wait for the new multiplex's tables, then create the stream
  // and attach its programs (every program when no pair is given).  No
  // retune when the tuner is on that channel and another stream runs.
  bool StartStream(int streamId, const char* text);
  char* ProcessSelectChannelsToStream(char* cmd, bool save);
  char* ProcessSelectChannelsToPlay(char* cmd, bool save);
  char* ProcessTunerModeAndDefaultStartupItem(char* cmd);
  bool SaveTunerMode(const char* cmd);
  bool SetTunerMode(int tunerMode);
  char* ProcessTunerTuneCommand(char* cmd);
  char* ProcessTunerScanStatusCommand(char* cmd);
  char* ProcessTunerScanQueryCommand(char* cmd);
  char* ProcessTunerScanBlindCommand(char* cmd);
  char* ProcessEpgData(char* cmd, int len);
  char* ProcessSetLanguage(char* cmd, int len);
  char* ProcessSetSubtitles(char* cmd, int len);

  // ---- who may command the device (commandmanager_controllers.cpp) ----
  // Reads the controller list at start-up (a broken file is reported and
  // leaves every source served).
  void LoadControllers();
  // Whether the last datagram's source may command the device; a refused one
  // is counted and reported (rate-limited).
  bool SourceAllowed();
  char* ProcessControllers(char* cmd, int len);
  // Forwarding set up for a controller the list no longer holds stops.
  void DropUnlistedForwarding();

  // ---- firmware upgrade ----
  char* ProcessMultipleUpgradeCommand(char* cmd, int len);
  // An archive is being received or burned: handlers that would change the
  // device (network, tuner, channel selection) refuse meanwhile.
  bool UpgradeInProgress() const {
    return mUpgradeState == eUpgradeDownloading || mUpgradeState == eUpgradeBurning;
  }

 private:
  // The dispatcher's keyword table (commandmanager.cpp), tried in order.
  struct CommandRow;
  static const CommandRow kCommandTable[];
  static const CommandRow* FindCommandRow(const char* cmd);

  // Construction's last step: the status memory, the tuner manager and the
  // filter, connected and published for the player's thread.
  void BuildStreamModules();
  // StartStream's steps: bring the tuner and the filter to `channel`, and
  // attach the programs asked for to the created stream.
  void TuneForStream(int streamId, int channel);
  void AttachPrograms(int streamId, const StreamRequest& req);
  // "Bad type %c" report and "KO\r\n".
  char* BadType();
  // The FILTER diagnostic: feeds the filter from a UDP port until a receive
  // fails.
  char* ProcessFilterTest(char* cmd);
  // A reply text written in place of cmd (VERS, TIME), bounded by ReplyRoom.
  char* FormatReply(char* cmd, const char* fmt, ...) __attribute__((format(printf, 3, 4)));

  char mReply[128];  // replies when cmd is not in mCommand

  CommandManager(const CommandManager&) = delete;
  CommandManager& operator=(const CommandManager&) = delete;
};

// Caption service chosen by SUBS (0 = captions off); read by playback.
extern int mCCIndex;

#endif
