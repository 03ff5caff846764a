// Tuner manager -- compile-only skeleton so the library links; the tuner,
// lists and languages follow.

#include "tunermanager.h"

#include <cstring>

TunerManager::TunerManager(char type)
    : mRunScan(false), mpUdp(nullptr), mScanRunning(false), mReportScanResults(false),
      mTunerMode(eATSC), mCurrentChannel(0), mCurrentStrength(0), mProgramsOnChannel(0),
      mScalRestart(true), mChannelStartIt(nullptr), mChannelEndIt(nullptr), mScanState(eScanIdle),
      mTotalChannelsFound(0), mScanOneChannel(0), mRecalculateRange(true), mMyType(type),
      mpProgramPool(nullptr), mpFreePrograms(nullptr), mpLanguagePool(nullptr),
      mpFreeLanguages(nullptr), mpEventPool(nullptr), mpFreeEvents(nullptr), mProgramsDropped(0),
      mLanguagesDropped(0), mEventsDropped(0) {
  pthread_mutex_init(&mMutex, nullptr);
}
TunerManager::~TunerManager() {}
bool TunerManager::StartTuner() { return true; }
bool TunerManager::StopTuner() { return true; }
bool TunerManager::TuneToChannel(int) { return false; }
void TunerManager::K720CmmdSet(const char*, ...) {}
void TunerManager::SetMode(TunerModeEnum mode) { mTunerMode = mode; }
void TunerManager::SetTunerForwarding(UdpServer*) {}
TunerManager::ScanStateEnum TunerManager::ScanState() { return mScanState; }
int TunerManager::GetCurrentChannel() { return mCurrentChannel; }
bool TunerManager::AddProgramToScanResults(ushort, ushort) { return true; }
bool TunerManager::SetInfoForProgram(ushort, ushort, unsigned char, int) { return true; }
bool TunerManager::SetLanguageForProgram(ushort, ushort, char*, Language::LanguageModeEnum, int,
                                         ushort, int) {
  return false;
}

// ---- not built yet (scan, SCAL walk, file, guide, language queries) ----
bool TunerManager::BlindScan(ScanTypeEnum) { return false; }
void TunerManager::ScanOneChannel(int which) { mScanOneChannel = which; }
int TunerManager::DoScan() { return 0; }
void* scan_thread(void*) { return nullptr; }
int TunerManager::GetTotalChannelsFound() { return mTotalChannelsFound; }
bool TunerManager::RewindScan() {
  mScalRestart = true;
  return true;
}
bool TunerManager::ClearScanResults(int) { return false; }
bool TunerManager::SetPsipInfoForProgram(ushort, ushort, char*, ushort, ushort, unsigned char,
                                         unsigned int, ushort, ushort) {
  return false;
}
int TunerManager::GetNextProgramScalFormatted(char*) { return 0; }
bool TunerManager::GetChannelProgramsRange() { return false; }
ScalProgramList* TunerManager::GetScalProgramDesc(int channel) {
  if (channel < 0) channel = mCurrentChannel;
  if (channel >= kChannels) return nullptr;
  return &mScalProgramDescriptors[channel];
}
void TunerManager::CleanScalProgramDescriptors() {}
bool TunerManager::SaveScanResults() { return false; }
bool TunerManager::LoadScanResults() { return false; }
bool TunerManager::SetEventInfoForProgram(ushort, ushort, unsigned int, unsigned int, unsigned char,
                                          char*, unsigned char) {
  return false;
}
bool TunerManager::SetExtendedText(ushort, ushort, char*, uint, unsigned char) { return false; }
Event* TunerManager::GetEvent(EventList*, uint, ushort) { return nullptr; }
Event* TunerManager::FindEventPlayingAtDtime(uint, EventList*) { return nullptr; }
int TunerManager::FormatEvent(char* buffer, Event*) {
  if (buffer) buffer[0] = 0;
  return 0;
}
char* TunerManager::ProcessEpgData(char*, ushort, ushort, uint, uint, uint, char) { return nullptr; }
void TunerManager::DumpEitInfo() {}
char* TunerManager::GetLanguagesOrSubtitles(Language::LanguageModeEnum, char*) { return nullptr; }
int TunerManager::GetAudioPid(char*, int) { return 0; }
int TunerManager::GetSubtitleIndex(char*) { return -1; }
void TunerManager::DumpLanguageInfo() {}
