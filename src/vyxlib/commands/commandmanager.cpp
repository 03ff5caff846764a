// Command manager: module construction, the UDP command server, the keyword
// dispatcher, and the commands the dispatcher answers by itself (VYX, VERS,
// VIDEO, CALLBACK, RESET, TIME, the debug commands, FILTER).

#include "commands/commandmanager.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "services/beacon.h"
#include "services/ircontrol.h"
#include "services/k720cmmd.h"
#include "sharedmem.h"
#include "snmplocal.h"
#include "statistics.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "uart.h"
#include "utils.h"
#include "core/fields.h"
#include "core/version.h"
#include "core/filterentry.h"
#include "zernsnmp.h"

// Serial self-test of the hosting process (the media player provides it at
// run time); absent in processes that do not, then TESTSER only answers.
extern "C" int run_serial_test(void) __attribute__((weak));

char CommandManager::mOk[8] = "OK\r\n";
char CommandManager::mKo[8] = "KO\r\n";
int mCCIndex = 0;

namespace {

// Board identity word (ZERN_VERSION): top byte 4 is the only supported board;
// the next byte tells the transmitter variants (0x0E, 0x0F) from receivers.
constexpr unsigned kSupportedBoard = 4;
constexpr int kIrControlForward = 16;
constexpr int kNetworkBufferSize = 3072;

// Case-insensitive compare of the first n characters of the datagram.
inline bool Match(const char* cmd, const char* keyword, size_t n) {
  return strncasecmp(cmd, keyword, n) == 0;
}

// The text from `offset` on, or an empty text when the command is shorter
// (keywords compared on fewer characters than the handler skips).
char* TextFrom(char* cmd, size_t offset) {
  static char empty[1];
  empty[0] = '\0';
  return strnlen(cmd, offset) >= offset ? cmd + offset : empty;
}

// The scan's way into the filter (TunerManager::SetScanModeHandler).
bool filter_scan_mode(void* filter, bool enter) {
  return static_cast<TsFilter*>(filter)->EnterScanMode(enter);
}

// Second UDP server of the FILTER diagnostic, created on first use.
UdpServer* filter_udp_rcv = nullptr;

// The diagnostic holds the command server: it ends on its own after this long
// without a datagram (time-scaled like every wait).
const int kFilterIdleSeconds = 30;

// The role's own modules and defaults: the receiver's IR and serial modules
// and URL buffer, the transmitter's tuner mode.  Any other role ends the
// process.
void BuildRoleModules(CommandManager& m) {
  switch (m.mMyType) {
    case 'R':
      snprintf(m.mTunerMode, sizeof(m.mTunerMode), "%s", "ERROR");
      m.mCommandPort = 2008;
      VYX_LOG("Initialize IR module\n");
      m.mpIrControl = new (std::nothrow) IrControl();
      VYX_LOG("Initialize UART module\n");
      m.mpUart = new (std::nothrow) Uart();
      if (m.mpIrControl == nullptr || m.mpUart == nullptr) {
        VYX_ERROR("no memory for the IR or serial module");
        exit(-1);
      }
      m.mUrl = new (std::nothrow) char[CommandManager::kUrlSize]();
      if (m.mUrl == nullptr) {
        VYX_ERROR("no memory for the URL buffer");
        exit(-1);
      }
      VYX_LOG("Initialized TsFilter module for Receiver\n");
      break;
    case 'T':
      m.mCommandPort = 5000;
      m.mpIrControl = nullptr;
      snprintf(m.mTunerMode, sizeof(m.mTunerMode), "%s", "ATSC");
      break;
    default:
      VYX_ERROR("Invalid type: %c\n", m.mMyType);
      exit(-1);
  }
}

}  // namespace

CommandManager::CommandManager(char type)
    : mMyType(type),
      mCommandPort(0),
      mpServer(nullptr),
      mpTsf(nullptr),
      mpSnmp(nullptr),
      mpIrControl(nullptr),
      mpUart(nullptr),
      mpTunerManager(nullptr),
      mCommand(nullptr),
      mIrForwarding(false),
      mBrowserUp(false),
      mLastUnitCommandId(0),
      mUpgradeState(eUpgradeIdle),
      mUpgradeBytes(0),
      mLastUnitCommand(nullptr),
      mSubtitleLanguagePri(0),
      mSubtitleLanguageSec(0),
      mAudioLanguagePri(0),
      mAudioLanguageSec(0),
      mMulticastPortReceived(0),
      mProgramReceived(0),
      mPrevMcastPort(0),
      mUrlXposition(0),
      mUrlYposition(0),
      mUrlWidth(1280),
      mUrlHeight(768),
      mUrlAlphaBrowser(0),
      mUrlAlphaVideo(1),
      mUrl(nullptr),
      mCallbackClient(0) {
  memset(mTunerMode, 0, sizeof(mTunerMode));
  memset(mMulticastIpReceived, 0, sizeof(mMulticastIpReceived));
  memset(mReply, 0, sizeof(mReply));
  mLastUnitCommand = new (std::nothrow) char[kLastUnitCommandSize]();
  mCommand = new (std::nothrow) char[kCommandSize]();
  if (mLastUnitCommand == nullptr || mCommand == nullptr) {
    VYX_ERROR("no memory for the command buffers");
    exit(-1);
  }

  VYX_LOG("Initialize error module\n");
  error_buffer_init();

  VYX_LOG("Initialize Snmp module\n");
  mpSnmp = new (std::nothrow) SnmpLocal();
  if (mpSnmp == nullptr) {
    VYX_ERROR("no memory for the SNMP bridge");
    exit(-1);
  }

  if (type == 'A') type = AutoDetectType();
  mMyType = type;

  VYX_LOG("Initialize UDP module\n");
  mpServer = new (std::nothrow) UdpServer();
  if (mpServer == nullptr) {
    VYX_ERROR("no memory for the command server");
    exit(-1);
  }

  mpSnmp->SnmpSet("%s i %d", ZernOid(eIR_CONTROL), 0);
  BuildRoleModules(*this);
  BuildStreamModules();
}

void CommandManager::BuildStreamModules() {
  VYX_LOG("Initialize SharedMem module\n");
  SharedMem::Self();

  VYX_LOG("Initialize TunerManager module for %c\n", mMyType);
  mpTunerManager = new (std::nothrow) TunerManager(mMyType);
  VYX_LOG("Initialize TsFilter module for %c\n", mMyType);
  mpTsf = new (std::nothrow) TsFilter(mMyType, mpTunerManager);
  if (mpTunerManager == nullptr || mpTsf == nullptr) {
    VYX_ERROR("no memory for the tuner manager or the filter");
    exit(-1);
  }
  // The scan switches the filter through this handler: the tuner knows no
  // filter.
  mpTunerManager->SetScanModeHandler(filter_scan_mode, mpTsf);

  publish_filter(mpTsf, mMyType);
}

CommandManager::~CommandManager() {
  // Take the filter away from the player's thread before it goes.
  if (published_filter() == mpTsf) publish_filter(nullptr, 0);
  delete mpTsf;
  delete mpSnmp;
  delete mpServer;
  delete mpIrControl;
  delete mpUart;
  delete mpTunerManager;  // after the filter, which reports to it
  delete[] mCommand;
  delete[] mLastUnitCommand;
  delete[] mUrl;
}

char CommandManager::AutoDetectType() {
  char* pBuf = mpSnmp->SnmpGet(ZernOid(eZERN_VERSION));
  printf("pBuf is %s\n", pBuf != nullptr ? pBuf : "(null)");
  if (pBuf == nullptr) {
    VYX_ERROR("snmp");
    exit(-1);
  }
  unsigned br_version = static_cast<unsigned>(strtoul(pBuf, nullptr, 10));
  printf("br_version is %.8x\n", br_version);
  if (((br_version >> 24) & 0xFF) != kSupportedBoard) {
    VYX_ERROR("DurEdod: Detected board type NOT ZERN720; exiting");
    exit(-1);
  }
  // The variant byte, shifted down before it is compared.
  unsigned sub = (br_version >> 16) & 0xFF;
  mMyType = (sub == 0x0E || sub == 0x0F) ? 'T' : 'R';
  VYX_LOG("DurEdod: Type autodetected as %c", mMyType);
  return mMyType;
}

size_t CommandManager::ReplyRoom(const char* cmd) const {
  if (cmd == nullptr || mCommand == nullptr) return 0;
  if (cmd < mCommand || cmd >= mCommand + kCommandSize) return 0;
  return static_cast<size_t>(mCommand + kCommandSize - cmd);
}

char* CommandManager::FormatReply(char* cmd, const char* fmt, ...) {
  size_t room = ReplyRoom(cmd);
  char* out = cmd;
  if (room == 0) {
    out = mReply;
    room = sizeof(mReply);
  }
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(out, room, fmt, ap);
  va_end(ap);
  return out;
}

char* CommandManager::BadType() {
  VYX_ERROR("Bad type %c", mMyType);
  return mKo;
}

int CommandManager::ProcessCommandLoop() {
  vyx_sleep_s(3);

  if (mMyType == 'R') {
    SharedMem::Self()->IrModeCode(110);
    mpIrControl->SetIrForwarding(nullptr);
    mpSnmp->SnmpSet("%s i %d", ZernOid(eIR_CONTROL), kIrControlForward);
    mpSnmp->SnmpSet("%s i %d", ZernOid(eNETWORK_BUFFER_SIZE), kNetworkBufferSize);
    VYX_LOG("Downgrade Dolby Digital +\n");
    // The player's own tool; its exit status is not looked at.
    int rc = system("k720cmmd -vdbg 22 1");
    (void)rc;
  } else {
    mpTunerManager->StartTuner();
    mpTunerManager->LoadScanResults();
  }

  VYX_LOG("Start Beacon\n");
  BeaconStart(mMyType);

  if (!mpServer->Connect(mCommandPort, nullptr)) {
    VYX_ERROR("receiver");
    return -1;
  }

  ProcessTunerModeAndDefaultStartupItem(nullptr);
  LoadControllers();
  memset(mCommand, 0, kCommandSize);

  // The beacon builds its first announcement once the MAC address can be
  // read: until then the network is not up and commands wait in the socket.
  while (BeaconGetCount() == 0) {
    VYX_LOG("Waiting for Network Ready before dropping into command loop...\n");
    vyx_sleep_ms(500);
  }

  VYX_LOG("Enter command processing loop, listening on port %d\n", mCommandPort);
  __atomic_store_n(&global_debug_flag, 0, __ATOMIC_RELAXED);
  BeaconSetCommandReady();

  for (;;) {
    if (!mpServer->WaitForData(15, 0)) continue;
    memset(mCommand, 0, kCommandSize);
    int count = mpServer->Receive(mCommand, kReceiveLimit, 0);
    if (count < 0) continue;
    mCommand[count] = '\0';
    // Not a listed controller: no reply, nothing done.
    if (!SourceAllowed()) continue;

    if (mUpgradeState == eUpgradeDownloading)
      VYX_LOG("CommandManager recvd %d bytes\n", count);
    else
      VYX_LOG("CommandManager recvd: %s\n", mCommand);
    BeaconTellThatUdpTrafficReceived();

    char* reply = ProcessCommand(mCommand, count);
    if (reply != nullptr) SendReply(reply);
  }
  return 0;
}

int CommandManager::SendReply(char* reply) {
  int length = static_cast<int>(strlen(reply));
  if (length >= kReplyLimit) {
    VYX_ERROR("buff too long");
    // The controller gets the first 1023 characters and the zero byte.
    reply[kReplyLimit - 1] = '\0';
    length = kReplyLimit;
  }
  VYX_LOG("CommandManager: reply: %s, len %d\n", reply, length);
  return mpServer->Reply(reply, length);
}

// ---------------------------------------------------------------------------
// The keyword table
// ---------------------------------------------------------------------------
// One row per keyword, in the order they are tried.  A command matches a row
// when its first `compared` characters equal the keyword's, case ignored
// (some rows compare fewer characters than the keyword has).  The first row
// that matches wins; nothing is trimmed.
enum class Role {
  kBoth,
  kTransmitter,       // on a receiver: "Bad type" report and "KO\r\n"
  kReceiver,          // on a transmitter: "Bad type" report and "KO\r\n"
  kTransmitterQuiet,  // on a receiver: "KO\r\n" and nothing else
  kReceiverLogged,    // on a transmitter: a log line and "KO\r\n"
};

enum class Answer {
  kHandler,    // the handler's reply (null: it answered itself, or no reply)
  kGenericKo,  // diagnostics: act, then "KO\r\n" whatever the action did
};

struct CommandManager::CommandRow {
  const char* keyword;
  size_t compared;
  Role role;
  Answer answer;
  char* (*handler)(CommandManager& m, char* cmd, int len);
};

const CommandManager::CommandRow CommandManager::kCommandTable[] = {
    {"VYX", 3, Role::kBoth, Answer::kHandler,
     [](CommandManager&, char*, int) { return BeaconGetString(); }},
    {"IP?", 3, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessIpGet(cmd); }},
    {"VERS", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       return m.FormatReply(cmd, "VERS%d.%d.%dOK\r\n", version_get_major(), version_get_minor(),
                            version_get_build());
     }},
    {"REMOTE", 6, Role::kReceiver, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessRemoteCommand(cmd + 6); }},
    {"VIDEO", 5, Role::kBoth, Answer::kHandler,
     [](CommandManager&, char*, int) { return mOk; }},
    {"VSCALE", 6, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessVscaleCommand(cmd, len); }},
    {"STATUS", 6, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       return m.mMyType == 'T' ? m.ProcessStatusGetTransmitter(cmd)
                               : m.ProcessStatusGetReceiver(cmd);
     }},
    {"UNIT", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       if (cmd[4] == '9') {
         VYX_ERROR("Invalid UNIT command 9");
         return mKo;
       }
       return m.mMyType == 'T' ? m.ProcessSelectChannelsToStream(cmd, true)
                               : m.ProcessSelectChannelsToPlay(cmd, true);
     }},
    {"SUB?", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       m.mpTunerManager->SetTunerForwarding(m.mpServer);
       m.mpTunerManager->GetLanguagesOrSubtitles(Language::eCaption, cmd);
       return static_cast<char*>(nullptr);
     }},
    {"LAN?", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       m.mpTunerManager->SetTunerForwarding(m.mpServer);
       m.mpTunerManager->GetLanguagesOrSubtitles(Language::eAudio, cmd);
       return static_cast<char*>(nullptr);
     }},
    {"SUBS", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessSetSubtitles(cmd, len); }},
    {"LANG", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessSetLanguage(cmd, len); }},
    {"DHCP", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessIpSet(cmd); }},
    {"URL", 3, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessUrlSet(cmd); }},
    {"CALLBACK", 8, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       if (cmd[8] == '1') {
         // Error and log datagrams go back to the port the controller sent
         // from.  A connect failure has been written on the error stream; the
         // sender stays, unconnected, and its later sends fail visibly.
         m.mCallbackClient = m.mpServer->siOther.sin_addr.s_addr;
         error_sender_set(m.mpServer->GetLastClientIpAddress(),
                          static_cast<unsigned short>(m.mpServer->GetLastClientPort()));
         VYX_LOG("Setting TunerForwarding for transmitter for %c\n", m.mMyType);
         m.mpTunerManager->SetTunerForwarding(m.mpServer);
       } else {
         m.mCallbackClient = 0;
         error_sender_clear();
       }
       return m.ProcessIrAndUartForward(cmd);
     }},
    {"TUNERMODE", 8, Role::kTransmitterQuiet, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       return m.ProcessTunerModeAndDefaultStartupItem(TextFrom(cmd, 9));
     }},
    {"RESET", 5, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char*, int) {
       if (m.mpSnmp->SnmpSet("%s i %d", ZernOid(eREBOOT), 0) == nullptr) {
         VYX_ERROR("reset");
         return mKo;
       }
       return mOk;
     }},
    {"UART", 4, Role::kReceiverLogged, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) {
       // The bytes after the keyword, as many as arrived (binary data may
       // hold zero bytes) and never more than the receive buffer holds.
       int count = len - 4;
       int room = static_cast<int>(m.ReplyRoom(cmd));
       if (room == 0) room = static_cast<int>(strnlen(cmd, kCommandSize)) + 1;
       if (count > room - 5) count = room - 5;
       if (count > kReceiveLimit - 4) count = kReceiveLimit - 4;
       if (count < 0) count = 0;
       if (m.mpUart == nullptr) return mKo;
       return m.mpUart->ProcessUartCommand(TextFrom(cmd, 4), count) ? mOk : mKo;
     }},
    {"SUART", 5, Role::kReceiverLogged, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       if (m.mpUart == nullptr) return mKo;
       return m.mpUart->ProcessUartSetParameters(TextFrom(cmd, 5), m.mpSnmp) ? mOk : mKo;
     }},
    {"Tuner://", 8, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessTunerTuneCommand(cmd + 8); }},
    // SCA?, SCAL and EIT send their answers themselves and return null; a
    // refusal ("KO\r\n") is returned and sent as usual.
    {"SCA?", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessTunerScanStatusCommand(cmd + 4); }},
    {"SCAL", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessTunerScanQueryCommand(cmd + 4); }},
    {"BLIND", 5, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessTunerScanBlindCommand(cmd + 5); }},
    {"UPGR", 4, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) {
       return m.ProcessMultipleUpgradeCommand(cmd + 4, len - 4);
     }},
    {"TIME", 4, Role::kTransmitter, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) {
       const char* now = m.mpTsf->GetMjdDateTime();
       return m.FormatReply(cmd, "TIME %s OK\r\n", now != nullptr ? now : "");
     }},
    {"EIT", 3, Role::kTransmitter, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessEpgData(cmd, len); }},
    {"MCASTPACKETSIZE", 15, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessPacketSize(cmd + 15, len - 15); }},
    {"RESOLUTION", 10, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessResolution(cmd + 10, len - 10); }},
    // Diagnostics: each acts, and its reply is the generic "KO\r\n".
    {"DEBUG", 5, Role::kBoth, Answer::kGenericKo,
     [](CommandManager&, char* cmd, int) {
       __atomic_store_n(&global_debug_flag, fields::Decimal(cmd + 5), __ATOMIC_RELAXED);
       return mKo;
     }},
    {"DUMPPIDS", 8, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       m.mpTsf->DumpPids();
       return mKo;
     }},
    {"DUMPSTATS", 8, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       Statistics::Self()->DumpStats();
       printf("Commands refused from unlisted sources %u\n", m.mControllers.Refused());
       fflush(stdout);
       return mKo;
     }},
    {"DBGSIMPLE", 8, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       m.mpTsf->m_dbg_simple_stream = !m.mpTsf->m_dbg_simple_stream;
       return mKo;
     }},
    {"DUMPEIT", 7, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       m.mpTunerManager->DumpEitInfo();
       return mKo;
     }},
    {"DUMPCOLLECT", 7, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       m.mpTsf->DumpCollectionStats();
       return mKo;
     }},
    {"STREAMFROMFILE", 14, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char* cmd, int) {
       m.StreamFromFile(cmd);
       return mKo;
     }},
    {"TESTSER", 7, Role::kBoth, Answer::kGenericKo,
     [](CommandManager&, char*, int) {
       if (run_serial_test != nullptr) run_serial_test();
       return mKo;
     }},
    {"DUMPLANG", 8, Role::kBoth, Answer::kGenericKo,
     [](CommandManager& m, char*, int) {
       m.mpTunerManager->DumpLanguageInfo();
       return mKo;
     }},
    {"K720CMMD", 8, Role::kBoth, Answer::kGenericKo,
     [](CommandManager&, char* cmd, int) {
       // After the keyword and one separator; a bare keyword gives an empty line.
       k720cmmd(TextFrom(cmd, 9));
       return mKo;
     }},
    {"CONTROLLERS", 11, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int len) { return m.ProcessControllers(cmd, len); }},
    {"FILTER", 6, Role::kBoth, Answer::kHandler,
     [](CommandManager& m, char* cmd, int) { return m.ProcessFilterTest(cmd); }},
};

const char* CommandManager::MatchedKeyword(const char* cmd) {
  const CommandRow* row = FindCommandRow(cmd);
  return row != nullptr ? row->keyword : nullptr;
}

const char* CommandManager::KeywordRow(int index, size_t* compared) {
  const int rows = static_cast<int>(sizeof(kCommandTable) / sizeof(kCommandTable[0]));
  if (index < 0 || index >= rows) return nullptr;
  if (compared != nullptr) *compared = kCommandTable[index].compared;
  return kCommandTable[index].keyword;
}

const CommandManager::CommandRow* CommandManager::FindCommandRow(const char* cmd) {
  if (cmd == nullptr) return nullptr;
  for (const CommandRow& row : kCommandTable)
    if (Match(cmd, row.keyword, row.compared)) return &row;
  return nullptr;
}

char* CommandManager::ProcessCommand(char* cmd, int len) {
  if (cmd == nullptr) return nullptr;
  if (len < 0) len = 0;
  const CommandRow* row = FindCommandRow(cmd);
  if (row == nullptr) return mKo;

  switch (row->role) {
    case Role::kBoth:
      break;
    case Role::kTransmitter:
      if (mMyType != 'T') return BadType();
      break;
    case Role::kReceiver:
      if (mMyType != 'R') return BadType();
      break;
    case Role::kTransmitterQuiet:
      if (mMyType != 'T') return mKo;
      break;
    case Role::kReceiverLogged:
      if (mMyType != 'R') {
        VYX_LOG("This command is only for receiver");
        return mKo;
      }
      break;
  }
  char* reply = row->handler(*this, cmd, len);
  return row->answer == Answer::kGenericKo ? mKo : reply;
}

char* CommandManager::ProcessIrAndUartForward(char* cmd) {
  if (mMyType != 'R') return mOk;
  // The number from the ninth character, at most ten characters of it.
  char number[11];
  snprintf(number, sizeof(number), "%s", TextFrom(cmd, 8));
  if (fields::Decimal(number) == 1) {
    VYX_LOG("DUREDOD cmdmgr turn ON Ir and Uart forwarding\n");
    if (mpIrControl != nullptr) mpIrControl->SetIrForwarding(mpServer);
    mpSnmp->SnmpSet("%s i %d", ZernOid(eIR_CONTROL), kIrControlForward);
    mIrForwarding = true;
    if (mpUart != nullptr) mpUart->SetUartForwarding(mpServer);
  } else {
    VYX_LOG("DUREDOD cmdmgr turn OFF Ir and Uart forwarding\n");
    if (mpIrControl != nullptr) mpIrControl->SetIrForwarding(nullptr);
    mpSnmp->SnmpSet("%s i %d", ZernOid(eIR_CONTROL), kIrControlForward);
    mIrForwarding = false;
    if (mpUart != nullptr) mpUart->SetUartForwarding(nullptr);
  }
  return mOk;
}

// FILTER<group>,<port>: feeds the filter with the datagrams arriving on a
// UDP port, on the command thread, until an empty datagram, a failed receive
// or kFilterIdleSeconds without any.  The group is written right after the
// keyword (blanks or one ':' between are allowed), so "FILTER 239.1.1.1,47000"
// joins 239.1.1.1; a text that is not a group address binds the port without
// a join.  The socket is closed when the diagnostic ends.
char* CommandManager::ProcessFilterTest(char* cmd) {
  char* comma = strchr(cmd, ',');
  if (comma == nullptr) return mKo;
  *comma = '\0';
  char* chport = comma + 1;
  char* end = strchr(chport, ',');
  if (end != nullptr) *end = '\0';
  if (*chport == '\0') return mKo;
  // A port nobody could feed (not a number, 0, beyond 65535, negative) would
  // wrap to another one, or to an ephemeral port, and the command server
  // would wait there for ever.
  int port = 0;
  if (!fields::InRange(chport, 1, 65535, &port)) return mKo;
  // The receiver binds with address reuse: on the device's own command port,
  // or the beacon's restart port, it would take their datagrams, and the
  // command server would never hear a command again.
  if (port == mCommandPort || port == BEACON_REQUEST_PORT) {
    VYX_ERROR("Filter refused on port %d: the device listens there", port);
    return mKo;
  }

  char* url = cmd + 6;
  while (*url == ' ' || *url == '\t') ++url;
  if (*url == ':') ++url;
  VYX_LOG("Starting Filter for port %d ip %s\n", port, url);

  if (filter_udp_rcv == nullptr) filter_udp_rcv = new (std::nothrow) UdpServer();
  if (filter_udp_rcv == nullptr) return mKo;
  filter_udp_rcv->Close();
  // Copy the group out of mCommand: the datagrams are received into it.
  char group[16];
  snprintf(group, sizeof(group), "%s", url);
  if (!filter_udp_rcv->Connect(static_cast<unsigned short>(port), group))
    VYX_ERROR("Can't connect filter receiver to port %d", port);

  mpTsf->FilterActive(true);
  const double idle = kFilterIdleSeconds / vyx_time_scale();
  for (;;) {
    int ready = filter_udp_rcv->WaitReadable(idle);
    if (ready == 0) VYX_ERROR("Filter on port %d: no datagram for %d s, ending", port, kFilterIdleSeconds);
    if (ready <= 0) break;
    int n = filter_udp_rcv->Receive(mCommand, 4096, 0);
    if (n <= 0) break;
    mpTsf->Filter(reinterpret_cast<unsigned char*>(mCommand), n);
  }
  filter_udp_rcv->Close();
  return mKo;
}
