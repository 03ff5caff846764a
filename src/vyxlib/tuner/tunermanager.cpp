// Tuner manager: construction and pools, the role check, the player command
// line, tuning, tuner mode and progress forwarding.

#include "tuner/tunermanager.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/scopedlock.h"
#include "sharedmem.h"
#include "tuner/guidetextpool.h"
#include "udpcom.h"
#include "utils.h"

TunerManager::TunerManager(char type)
    : mRunScan(false),
      mpUdp(nullptr),
      mScanRunning(false),
      mReportScanResults(false),
      mTunerMode(eATSC),
      mCurrentChannel(0),
      mCurrentStrength(0),
      mProgramsOnChannel(0),
      mScalRestart(true),
      mChannelStartIt(nullptr),
      mChannelEndIt(nullptr),
      mScanState(eScanIdle),
      mTotalChannelsFound(0),
      mScanOneChannel(0),
      mRecalculateRange(true),
      mMyType(type),
      mpProgramPool(nullptr),
      mpFreePrograms(nullptr),
      mpLanguagePool(nullptr),
      mpFreeLanguages(nullptr),
      mpEventPool(nullptr),
      mpFreeEvents(nullptr),
      mpEventNodes(nullptr),
      mpTextPool(nullptr),
      mProgramsDropped(0),
      mLanguagesDropped(0),
      mEventsDropped(0),
      mTextsDropped(0),
      mScansStarted(0),
      mScalChannel(0),
      mScalIndex(0),
      mpScanMode(nullptr),
      mpScanModeContext(nullptr) {
  pthread_mutex_init(&mUdpMutex, nullptr);
  int ret = pthread_mutex_init(&mMutex, nullptr);
  VYX_LOG("Initialized mutex for TunerManager; ret %d\n", ret);

  // The filter thread adds records for every PAT/PMT: all of them come from
  // these pools, chained into free lists once here.
  mpProgramPool = new ScalProgramDesc[kProgramPool];
  for (int i = kProgramPool - 1; i >= 0; --i) {
    mpProgramPool[i].pNext = mpFreePrograms;
    mpFreePrograms = &mpProgramPool[i];
  }
  mpLanguagePool = new Language[kLanguagePool];
  for (int i = kLanguagePool - 1; i >= 0; --i) {
    mpLanguagePool[i].pNext = mpFreeLanguages;
    mpFreeLanguages = &mpLanguagePool[i];
  }
  InitGuidePools();
}

TunerManager::~TunerManager() {
  LeaveScanThread();
  {
    ScopedLock lock(&mMutex);
    ClearChannelList(&mChanProgramDescriptors);
    for (int c = 0; c < kChannels; ++c) ClearChannelList(&mScalProgramDescriptors[c]);
  }
  delete mpUdp;
  delete[] mpProgramPool;
  delete[] mpLanguagePool;
  FreeGuidePools();
  // The mutex is left as it is: a manager lives as long as its process.
}

void TunerManager::RoleCheck() {
  if (mMyType != 'T') VYX_ERROR("Bad type %c\n", mMyType);
}

bool TunerManager::StartTuner() {
  RoleCheck();
  return true;
}

bool TunerManager::StopTuner() {
  RoleCheck();
  K720CmmdSet("-stopvid");
  vyx_sleep_s(1);
  return true;
}

void TunerManager::K720CmmdSet(const char* format, ...) {
  RoleCheck();
  // "k720cmmd " + at most 95 characters of arguments + " >/dev/null".
  char line[128];
  const char prefix[] = "k720cmmd ";
  const size_t prefixLen = sizeof(prefix) - 1;
  memcpy(line, prefix, prefixLen);
  va_list ap;
  va_start(ap, format);
  int n = vsnprintf(line + prefixLen, 96, format, ap);
  va_end(ap);
  if (n < 0) line[prefixLen] = 0;
  strcat(line, " >/dev/null");
  VYX_LOG("%s\n", line);
  int status = system(line);
  (void)status;  // the tool's own failures are not detected
}

bool TunerManager::ChannelRange(TunerModeEnum mode, int* minChan, int* maxChan) {
  int lo = 0, hi = -1;
  switch (mode) {
    case eATSC:
      lo = 2;
      hi = 69;
      break;
    case eQAM64:
    case eQAM256:
      lo = 1;
      hi = kChannels - 1;
      break;
    default:
      break;
  }
  if (minChan != nullptr) *minChan = lo;
  if (maxChan != nullptr) *maxChan = hi;
  return hi >= lo;
}

bool TunerManager::ChannelInRange(TunerModeEnum mode, int channel) {
  int lo = 0, hi = -1;
  return ChannelRange(mode, &lo, &hi) && channel >= lo && channel <= hi;
}

bool TunerManager::TuneToChannel(int channelNo) {
  RoleCheck();
  if (!ChannelInRange(mTunerMode, channelNo)) return false;
  mProgramsOnChannel = 0;
  {
    ScopedLock lock(&mMutex);
    mCurrentChannel = channelNo;
  }
  K720CmmdSet("-atsc %d", channelNo);
  vyx_sleep_s(3);
  mCurrentStrength = SharedMem::Self()->GetSignalStrengthTransmitter();
  VYX_LOG("Signal strength %d\n", mCurrentStrength);
  return true;
}

void TunerManager::SetScanModeHandler(ScanModeHandler handler, void* context) {
  mpScanModeContext = context;
  mpScanMode = handler;
}

void TunerManager::SetMode(TunerModeEnum mode) {
  RoleCheck();
  mTunerMode = mode;
}

void TunerManager::SetTunerForwarding(UdpServer* pUdp) {
  ScopedLock lock(&mMutex);
  if (mpUdp == nullptr) {
    if (pUdp != nullptr) {
      UdpSender* sender = new UdpSender();
      bool connected = sender->Connect(static_cast<unsigned short>(pUdp->GetLastClientPort()),
                                       pUdp->GetLastClientIpAddress());
      {
        ScopedLock udp(&mUdpMutex);
        mpUdp = sender;
      }
      if (!connected) VYX_ERROR("Can't connect");
      mReportScanResults = true;
    } else {
      mReportScanResults = false;
    }
  } else if (pUdp == nullptr) {
    mReportScanResults = false;
    ScopedLock udp(&mUdpMutex);  // not while a progress line is being sent
    mpUdp->Disconnect();
    delete mpUdp;
    mpUdp = nullptr;
  }
  // A sender exists and a server is given: progress keeps going to the
  // controller that enabled forwarding first.
}

TunerManager::ScanStateEnum TunerManager::ScanState() { return mScanState; }

int TunerManager::GetCurrentChannel() { return mCurrentChannel; }
