#ifndef VYX_TUNERMANAGER_H
#define VYX_TUNERMANAGER_H

// The tuner manager: owns the transmitter's tuner (tuning through the
// player's k720cmmd tool, the blind scan), and holds the scan results (159
// channel lists of programs), the program guide and the per-program audio
// languages and caption services.  One per process, in both roles (the
// receiver keeps the played stream's programs in the list of channel 0).
//
// The filter reports to it through TableReports (ts/tablereports.h): the
// filter thread calls AddProgramToScanResults, SetInfoForProgram,
// SetLanguageForProgram (and the PSIP calls) for every table it analyses:
// these never allocate.  Program records, languages, events and texts come
// from fixed pools allocated at construction; when a pool is exhausted the
// new record is dropped and counted, with a rate-limited log (the guide
// first makes room from what the tuned multiplex no longer needs).
//
// Source files: tunermanager.cpp (construction, tuner), tunermanager_scan.cpp (blind scan),
// tunermanager_results.cpp (lists, SCAL, file), tunermanager_lang.cpp
// (languages), tunermanager_guide_pool.cpp (guide pools),
// tunermanager_guide_store.cpp (storing events and texts),
// tunermanager_guide_query.cpp (EITI answers and the dump).

#include <pthread.h>

#include <cstdarg>
#include <cstddef>

#include "ts/tablereports.h"
#include "tuner/programdescriptors.h"
#include "types.h"

class GuideTextPool;
class UdpServer;
class UdpSender;

class TunerManager final : public TableReports {
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
  // See SetScanModeHandler.
  typedef bool (*ScanModeHandler)(void* context, bool enter);

  static constexpr int kChannels = 159;  // channel lists 0..158
  // The channels the tuner takes in a mode: 2..69 terrestrial (ATSC), 1..158
  // cable (QAM).  False for a value that names no mode.
  static bool ChannelRange(TunerModeEnum mode, int* minChan, int* maxChan);
  static bool ChannelInRange(TunerModeEnum mode, int channel);
  static constexpr int LANG_CNT = 30;    // lifetime of a language entry, in announcements
  // Pool sizes (records allocated once at construction).
  static constexpr int kProgramPool = 1024;
  static constexpr int kLanguagePool = 8192;
  // Guide events of the tuned multiplex, shared by its programs: 8 virtual
  // channels of 128 events twice over, so that ended events may wait until
  // space runs short.  The texts go to the text pool (guidetextpool.h).
  static constexpr int kEventPool = 2048;
  // Longest EITI line (a 128-byte title and the longest text, both as hex).
  static constexpr unsigned int kEventLineMax = 64 + 3 * Event::kTitleMax + 32 + 3 * 4096 + 4;
  // The list query stops adding events once its answer passes this many
  // bytes less 512 (one more line may follow).
  static constexpr unsigned int kEpgListBudget = 8192;
  // Guide answers: one datagram of EITI lines and "OK\r\n".  Room for two
  // lines of the longest kind (now and next), or the list's budget and one.
  static constexpr unsigned int kEpgAnswerSize =
      (2 * kEventLineMax > kEpgListBudget + kEventLineMax ? 2 * kEventLineMax
                                                          : kEpgListBudget + kEventLineMax) + 8;
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
  Event* mpEventPool;
  Event* mpFreeEvents;
  SList<Event>::Pool* mpEventNodes;  // list nodes of every program's events
  GuideTextPool* mpTextPool;       // extended texts and long names
  unsigned int mProgramsDropped;   // pool exhausted
  unsigned int mLanguagesDropped;  // pool exhausted
  unsigned int mEventsDropped;     // no event record left, none could be evicted
  unsigned int mTextsDropped;      // no room for a text, or a text too long
  char mEpgAnswer[kEpgAnswerSize];  // guide answers (command thread)

  // ---- guide store state (mMutex) ----
  int mGuideChannel;           // channel whose guide is held; -1 before the first
  unsigned int mEventsInUse;   // event records taken
  unsigned int mEventsEvicted; // ended (or time-less) events given up for room
  bool mGuideFullReported;     // the tuned multiplex's overflow was reported
  bool mNoEvictable;           // the last search found nothing to evict...
  unsigned int mNoEvictableAt; // ...at this system time, and nothing changed since
  // Counts behind the rate-limited reports of the store and the queries.
  unsigned int mTitlesCut;      // titles over 128 bytes
  unsigned int mTextsTooLong;   // texts over the pool's longest block
  unsigned int mBadQueries;     // refused parameters or types
  unsigned int mAnswersShort;   // answers ended by their buffer
  unsigned int mLengthMismatches;  // a plain text shorter than its record says
  unsigned int mSendFailures;   // answers the socket refused

  // ---- scan bookkeeping ----
  pthread_mutex_t mUdpMutex;           // held around each send through mpUdp (taken after mMutex)
  volatile unsigned int mScansStarted;  // scans that got past their start, ever
  int mScalChannel;                    // SCAL walk: list being walked
  int mScalIndex;                      // SCAL walk: records of it already listed
  ScanModeHandler mpScanMode;          // see SetScanModeHandler
  void* mpScanModeContext;

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
  // How the scan stops the streams and puts the packet filter in and out of
  // scan mode (the filter's EnterScanMode): whoever builds both, the command
  // manager, connects them, so the tuner needs no filter.  Without a handler
  // a scan fails at once ("No tsFilter!").
  void SetScanModeHandler(ScanModeHandler handler, void* context);
  void SetTunerForwarding(UdpServer* pUdp);
  ScanStateEnum ScanState();
  int GetCurrentChannel() override;
  int GetTotalChannelsFound();
  bool RewindScan();
  bool ClearScanResults(int channelNo);
  // One progress line (logged) through the forwarding sender, when there is
  // one; the send's result, -1 without a sender.
  int SendProgress(const char* text);

  // ---- scan results (tunermanager_results.cpp) ----
  bool AddProgramToScanResults(ushort transportId, ushort programId) override;
  bool SetInfoForProgram(ushort transportId, ushort programId, unsigned char streamType,
                         int scrambling) override;
  bool SetPsipInfoForProgram(ushort transportId, ushort programId, char* shortName,
                             ushort majorChanNo, ushort minorChanNo, unsigned char modulationMode,
                             unsigned int carrierFreq, ushort channelTsid, ushort sourceId) override;
  // buffer: room for kScalLineMax bytes.
  int GetNextProgramScalFormatted(char* buffer);
  bool GetChannelProgramsRange();
  ScalProgramList* GetScalProgramDesc(int channel);
  void CleanScalProgramDescriptors();
  bool SaveScanResults();
  bool LoadScanResults();
  // The channel lists as the scan-results file holds them (a FileFiller).
  static bool WriteScanResults(FILE* f, void* ctx);

  // ---- program guide (tunermanager_guide_*.cpp) ----
  // Called by the EIT and ETT analysis on the filter thread, without any of
  // the manager's locks held; they take mMutex and never allocate.  The
  // caller's bytes are only read.  A program matches once the virtual
  // channel table stored its source id.  The store holds the guide of the
  // tuned channel only; what it cannot hold is counted and reported once
  // per tuned multiplex.
  bool SetEventInfoForProgram(ubyte2 sourceId, ubyte2 eventId, ubyte4 startTime,
                              ubyte4 lengthInSecs, ubyte titleLen, char* titleText,
                              ubyte unicode_mode) override;
  bool SetExtendedText(ushort etmIdHi, ushort etmIdLo, char* text, uint length,
                       ubyte unicode_mode) override;
  // The following three are called with mMutex held.  GetEvent finds or
  // makes the event (null when no record is left) and gives it a text block
  // of textLen + 1 bytes when textLen is not 0 (none when there is no room).
  Event* GetEvent(SList<Event>* events, uint textLen, ushort eventId);
  Event* FindEventPlayingAtDtime(uint systemDtime, SList<Event>* events);
  // One EITI line into buffer, which holds at least kEventLineMax bytes.
  int FormatEvent(char* buffer, Event* itev);
  // The same into `capacity` bytes: -1 (and nothing but an empty text) when
  // the line and its terminator do not fit.
  int FormatEvent(char* buffer, size_t capacity, Event* itev);
  char* ProcessEpgData(char* buffer, ushort transportId, ushort programId, uint date, uint time,
                       uint timeFrame, char cmdType);
  // Parts of it: the EITI lines of a checked query into mEpgAnswer, their
  // length (mMutex held; *cut when a line did not fit, *margin when the
  // list's budget ended it); then "OK\r\n" after them and the send.
  size_t AnswerEpg(ushort programId, char cmdType, uint at, uint timeFrame, bool* cut,
                   bool* margin);
  void SendEpgAnswer(size_t length);
  void DumpEitInfo();

  // ---- languages (tunermanager_lang.cpp) ----
  bool SetLanguageForProgram(ushort transportId, ushort progamId, char* langCode,
                             Language::LanguageModeEnum langMode, int langType, ushort pid,
                             int captionServiceNum) override;
  char* GetLanguagesOrSubtitles(Language::LanguageModeEnum mode, char* buffer);
  int GetAudioPid(char* language, int audioType);
  int GetSubtitleIndex(char* language);
  void DumpLanguageInfo();
  // Receiver: the entry of the played program with this mode and code (audio:
  // and type); its PID or caption service number through *value.  Call with
  // mMutex held.
  bool FindPlayedLanguage(Language::LanguageModeEnum mode, const char* code, int type, int* value);

  // ---- guide space (tunermanager_guide_pool.cpp; call with mMutex held) ----
  // The guide of `channel` is the one held: on the first store after a
  // retune, everything of the other channels goes back to the pools.
  void PrepareGuide(int channel);
  // Gives up one event of the held guide for room: the one that ended first
  // (before the system time), or failing that one known only from its text;
  // never `keep`.  False when there is none.
  bool EvictEvent(const Event* keep);
  // A new event record, evicting one when none is free; null when full.
  Event* TakeEvent();
  // A text block of `bytes` into *owner, evicting for room (never `keep`).
  char* TakeText(unsigned int bytes, char** owner, const Event* keep);
  // The multiplex announces more than the store holds: said once per tuned
  // multiplex, with the counts.  The first time, the report's text goes to
  // `out` (reported by the caller once the mutex is released) and true.
  // `what` names what was not stored.
  bool GuideFullNote(const char* what, unsigned int bytes, char* out, size_t capacity);
  static constexpr size_t kGuideReportMax = 256;  // one report of the store
  static constexpr size_t kShownText = 64;        // start of a text in the trace

  // ---- pool helpers (call with mMutex held) ----
  ScalProgramDesc* AllocProgram();
  void FreeProgram(ScalProgramDesc* p);  // returns its languages and events too
  Language* AllocLanguage();
  void FreeLanguage(Language* l);
  void ClearLanguages(ScalProgramDesc* p);
  void ClearChannelList(ScalProgramList* list);
  void AppendProgram(ScalProgramList* list, ScalProgramDesc* p);
  Event* AllocEvent();
  void FreeEvent(Event* ev);         // its text too
  void ReleaseEventText(Event* ev);  // back to no text
  void ReleaseGuide(ScalProgramDesc* p);  // events, texts and long name
  void InitGuidePools();   // construction
  void FreeGuidePools();   // destruction, after the program records' release

 private:
  // Parts of SetExtendedText (mMutex held): the channel's long name or an
  // event's text stored; false when not, with the report's text (if one is
  // due) in `report` (kGuideReportMax bytes), said once the lock is released.
  // `shown` (kShownText bytes) gets the start of an event's first text, and
  // *first tells it was the first.
  bool StoreLongName(ScalProgramDesc* p, int channel, ushort sourceId, char* text, uint length,
                     ubyte unicode_mode, char* report);
  bool StoreEventText(ScalProgramDesc* p, ushort sourceId, ushort eventId, char* text, uint length,
                      ubyte unicode_mode, char* report, char* shown, bool* first);
  bool TextNotStored(ScalProgramDesc* p, Event* ev, ushort sourceId, ushort eventId, uint length,
                     char* report);
  // Language bookkeeping of SetLanguageForProgram; the caller holds mMutex.
  // The program of the current channel, or null.
  ScalProgramDesc* FindProgramLocked(ushort programId);
  // Ages the program's entries (dropping expired ones); true when the
  // announced entry was known (and is refreshed).
  bool AgeLanguagesLocked(ScalProgramDesc* prog, const char* langCode, int langType, ushort pid);

  // Parts of the scan-results operations that run under mMutex; what they
  // report is said by the caller once the lock is released.
  // A program found on the current channel recorded: the channel's new
  // total, 0 when known already (or no list), -1 when no record is left.
  int AddProgramLocked(ushort transportId, ushort programId);
  // The stream type and scrambling of a known program; false when unknown.
  bool SetStreamTypeLocked(ushort transportId, ushort programId, unsigned char streamType, int scrambling);
  // The next SCAL line of the walk into buffer; 0 at its end.
  int FormatNextScalLocked(char* buffer);
  // Records of the scan-results file appended to their lists, up to the
  // file's end or its first damaged line.
  void LoadScanRecordsLocked(FILE* f);

  // "Bad type %c\n" when not the transmitter; the caller carries on.
  void RoleCheck();
  // One channel of the scan (DoScan): tune, judge the signal, collect the
  // programs of a locked channel, with the progress lines.
  void ScanChannel(int chan);
  void EnterFilterScanMode(bool enter) { mpScanMode(mpScanModeContext, enter); }
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
