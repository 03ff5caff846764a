#ifndef VYX_TUNERMANAGER_H
#define VYX_TUNERMANAGER_H

// The tuner manager: owns the transmitter's tuner (tuning through the
// player's k720cmmd tool, the blind scan), and holds the scan results (159
// channel lists of programs), the program guide and the per-program audio
// languages and caption services.  One per process, in both roles (the
// receiver keeps the played stream's programs in the list of channel 0).
//
// The filter thread calls AddProgramToScanResults, SetInfoForProgram,
// SetLanguageForProgram (and the PSIP calls) for every table it analyses:
// these never allocate.  Program records, languages, events and texts come
// from fixed pools allocated at construction; when a pool is exhausted the
// new record is dropped and counted, with a rate-limited log.
//
// Source files: tunermanager.cpp (construction, tuner), tunermanager_scan.cpp (blind scan),
// tunermanager_results.cpp (lists, SCAL, file), tunermanager_lang.cpp
// (languages), tunermanager_guide.cpp (guide).

#include <pthread.h>

#include <cstdarg>

#include "programdescriptors.h"
#include "types.h"

class UdpServer;
class UdpSender;

class TunerManager {
 public:
  enum ScanStateEnum { eScanIdle = 0, eScanInProgress = 1, eScanDone = 2, eScanError = 3 };
  enum ScanTypeEnum {
    eScanUk = 0,
    eScanEurope = 1,
    eScanAustralia = 2,
    eScanAsia = 3,
    eScanMax = 4,
    eScanStop = 99
  };
  enum TunerModeEnum { eATSC = 0, eQAM64 = 1, eQAM256 = 2, eModeMax = 3 };

  static constexpr int kChannels = 159;  // channel lists 0..158
  static constexpr int LANG_CNT = 30;    // lifetime of a language entry, in announcements
  // Pool sizes (records allocated once at construction).
  static constexpr int kProgramPool = 1024;
  static constexpr int kLanguagePool = 8192;
  static constexpr int kEventPool = 8192;
  static constexpr int kEventsPerProgram = 100;  // guide depth kept per program
  static constexpr int kScalLineMax = 128;       // room for one SCAL line and its terminator

  // ---- fields, in declaration order ----
  volatile bool mRunScan;
  UdpSender* mpUdp;
  pthread_mutex_t mMutex;
  volatile bool mScanRunning;
  bool mReportScanResults;
  TunerModeEnum mTunerMode;
  ScalProgramList mScalProgramDescriptors[kChannels];
  ScalProgramList mChanProgramDescriptors;  // reserved
  volatile int mCurrentChannel;
  volatile int mCurrentStrength;
  volatile int mProgramsOnChannel;
  bool mScalRestart;
  ScalProgramDesc* mChannelStartIt;  // first record of the current channel's list
  ScalProgramDesc* mChannelEndIt;    // end of that list (always null: lists are chained)
  volatile ScanStateEnum mScanState;
  volatile int mTotalChannelsFound;
  volatile int mScanOneChannel;
  bool mRecalculateRange;  // reserved
  char mMyType;

  // ---- pools (allocated at construction, never freed before the object) ----
  ScalProgramDesc* mpProgramPool;
  ScalProgramDesc* mpFreePrograms;
  Language* mpLanguagePool;
  Language* mpFreeLanguages;
  Event* mpEventPool;  // the guide issue allocates and chains it; null until then
  Event* mpFreeEvents;
  unsigned int mProgramsDropped;   // pool exhausted
  unsigned int mLanguagesDropped;  // pool exhausted
  unsigned int mEventsDropped;     // pool exhausted

  // ---- scan bookkeeping ----
  pthread_mutex_t mUdpMutex;           // held around each send through mpUdp (taken after mMutex)
  volatile unsigned int mScansStarted;  // scans that got past their start, ever
  int mScalChannel;                    // SCAL walk: list being walked
  int mScalIndex;                      // SCAL walk: records of it already listed

  // ---- tuner and scan (tunermanager.cpp) ----
  explicit TunerManager(char type);
  ~TunerManager();
  bool StartTuner();
  bool StopTuner();
  bool TuneToChannel(int channelNo);
  void K720CmmdSet(const char* format, ...) __attribute__((format(printf, 2, 3)));
  void SetMode(TunerModeEnum mode);
  bool BlindScan(ScanTypeEnum type);
  void ScanOneChannel(int which);
  int DoScan();
  void SetTunerForwarding(UdpServer* pUdp);
  ScanStateEnum ScanState();
  int GetCurrentChannel();
  int GetTotalChannelsFound();
  bool RewindScan();
  bool ClearScanResults(int channelNo);
  // One progress line (logged) through the forwarding sender, when there is
  // one; the send's result, -1 without a sender.
  int SendProgress(const char* text);

  // ---- scan results (tunermanager_results.cpp) ----
  bool AddProgramToScanResults(ushort transportId, ushort programId);
  bool SetInfoForProgram(ushort transportId, ushort programId, unsigned char streamType,
                         int scrambling);
  bool SetPsipInfoForProgram(ushort transportId, ushort programId, char* shortName,
                             ushort majorChanNo, ushort minorChanNo, unsigned char modulationMode,
                             unsigned int carrierFreq, ushort channelTsid, ushort sourceId);
  // buffer: room for kScalLineMax bytes.
  int GetNextProgramScalFormatted(char* buffer);
  bool GetChannelProgramsRange();
  ScalProgramList* GetScalProgramDesc(int channel);
  void CleanScalProgramDescriptors();
  bool SaveScanResults();
  bool LoadScanResults();

  // ---- program guide (tunermanager_guide.cpp) ----
  bool SetEventInfoForProgram(ushort sourceId, ushort eventId, unsigned int startTime,
                              unsigned int lengthInSecs, unsigned char titleLen, char* titleText,
                              unsigned char unicode_mode);
  bool SetExtendedText(ushort etmIdHi, ushort etmIdLo, char* text, uint length,
                       unsigned char unicode_mode);
  Event* GetEvent(EventList* events, uint textLen, ushort eventId);
  Event* FindEventPlayingAtDtime(uint systemDtime, EventList* events);
  int FormatEvent(char* buffer, Event* itev);
  char* ProcessEpgData(char* buffer, ushort transportId, ushort programId, uint date, uint time,
                       uint timeFrame, char cmdType);
  void DumpEitInfo();

  // ---- languages (tunermanager_lang.cpp) ----
  bool SetLanguageForProgram(ushort transportId, ushort progamId, char* langCode,
                             Language::LanguageModeEnum langMode, int langType, ushort pid,
                             int captionServiceNum);
  char* GetLanguagesOrSubtitles(Language::LanguageModeEnum mode, char* buffer);
  int GetAudioPid(char* language, int audioType);
  int GetSubtitleIndex(char* language);
  void DumpLanguageInfo();
  // Receiver: the entry of the played program with this mode and code (audio:
  // and type); its PID or caption service number through *value.  Call with
  // mMutex held.
  bool FindPlayedLanguage(Language::LanguageModeEnum mode, const char* code, int type, int* value);

  // ---- pool helpers (call with mMutex held) ----
  ScalProgramDesc* AllocProgram();
  void FreeProgram(ScalProgramDesc* p);  // returns its languages and events too
  Language* AllocLanguage();
  void FreeLanguage(Language* l);
  void ClearLanguages(ScalProgramDesc* p);
  void ClearChannelList(ScalProgramList* list);
  void AppendProgram(ScalProgramList* list, ScalProgramDesc* p);

 private:
  // "Bad type %c\n" when not the transmitter; the caller carries on.
  void RoleCheck();
  // Before the manager goes: stops a scan it runs and makes the scan thread
  // forget it.
  void LeaveScanThread();
  TunerManager(const TunerManager&) = delete;
  TunerManager& operator=(const TunerManager&) = delete;
};

// Body of the scan thread (argument: the manager).
void* scan_thread(void* arg);
// How the scan thread is started (vyx_start_thread); tests replace it to
// make the start fail.
extern int (*scan_thread_starter)(pthread_t* id, void* (*body)(void*), void* arg);

#endif
