#ifndef VYX_PROGRAMDESCRIPTORS_H
#define VYX_PROGRAMDESCRIPTORS_H

// Records of the tuner manager: one scanned program (ScalProgramDesc), one
// guide event (Event) and one audio language or caption service (Language).
//
// The filter thread adds and refreshes these records for every PAT/PMT/PSIP
// table it sees, so none of them is allocated on that path: the tuner manager
// allocates fixed pools once at construction and the records are chained
// through intrusive links (pNext/pPrev) into per-channel, per-program and
// free lists.

#include <cstdint>
#include <cstdio>

#include "core/slist.h"
#include "ts/tablereports.h"

class Language {
 public:
  // The kinds the filter reports (ts/tablereports.h).
  typedef TableReports::LanguageModeEnum LanguageModeEnum;
  static constexpr LanguageModeEnum eAudio = TableReports::eAudio;
  static constexpr LanguageModeEnum eCaption = TableReports::eCaption;

  char language[4];  // ISO 639 code and a terminator
  int audioType;
  int audioPid;
  int languageCount;  // remaining lifetime in announcements (LANG_CNT)
  LanguageModeEnum languageMode;
  int captionType;  // no source in the descriptors: 0
  int captionServiceNum;

  Language* pNext;  // chain in the program's list or the free pool

  Language();
  Language(const char* code, int type, int pid, LanguageModeEnum mode, int serviceNum);
  Language(const Language& other);
  Language& operator=(const Language& other);
  // Same language code, type, PID and mode.
  bool operator==(const Language& other) const;
  bool operator<(const Language& other) const;
};

// Languages of one program, in insertion order.
struct LanguageList {
  Language* head;
  Language* tail;
  int count;
  LanguageList() : head(nullptr), tail(nullptr), count(0) {}
};

class Event {
 public:
  static constexpr int kTitleMax = 128;

  uint32_t eventId;  // matched on its low 16 bits
  uint32_t sourceId;
  uint32_t channelId;
  uint16_t transportId;  // reserved (0)
  uint16_t programId;    // reserved (0)
  uint32_t startTime;    // GPS seconds
  uint32_t duration;     // seconds
  uint32_t titleLen;     // at most kTitleMax
  char unicodeModeForTitleShort;
  char unused[3];
  char titleShort[kTitleMax + 1];  // one more byte: a 128-byte title keeps its terminator
  char unicodeModeForLongInfo;
  // Extended text (terminated), from the manager's text pool, or null.  The
  // pool may move it (compaction): never keep a copy of the pointer.
  char* pLongInfo;
  uint32_t longInfoSize;  // bytes of the extended text stored (its block holds more)
  bool eitWasSet;
  bool ettWasSet;

  Event* pNext;  // chain in the manager's free pool

  Event();
  void Clear();  // back to all zero (links untouched)
};

// Guide events of one program, in insertion order.  Its nodes and the events
// come from the tuner manager's pools, shared by every program.
typedef SList<Event> EventList;

class ScalProgramDesc {
 public:
  int channelId;
  uint16_t transportId;
  uint16_t programId;
  int signalStrength;  // 0..5
  char encryption;     // 'C' clear, 'E' scrambled
  uint32_t videoType;
  uint32_t audioType;
  char unused[1];
  int channelNo;  // major * 10 + minor
  uint32_t channelFreq;
  char channelShortName[16];  // 7 UTF-16BE code units, then two zero bytes
  uint16_t channelMajorNo;
  uint16_t channelMinorNo;
  uint8_t modulationMode;
  uint16_t channelTsid;
  uint16_t sourceId;
  uint8_t unicodeModeForLongName;
  uint8_t unused2[3];
  char* channelLongName;  // whole and terminated, from the manager's text pool (movable), or null
  EventList mEvents;
  bool mWasSet;
  LanguageList language;

  ScalProgramDesc* pNext;  // chain in the channel's list or the free pool

  ScalProgramDesc();
  // Back to the defaults of a new record; the events, languages and long
  // name must already be given back to the manager's pools.
  void Reset();
  // The strength as listed and saved: 0..5 times 51 (0, 33, 66, 99, cc, ff).
  unsigned int StrengthByte() const {
    int s = signalStrength < 0 ? 0 : (signalStrength > 5 ? 5 : signalStrength);
    return static_cast<unsigned int>(s * 51);
  }
  // Longest line of the scan-results file taken (with its terminator).
  static constexpr int kFileLineMax = 256;
  // One line of the scan-results file.
  bool SaveToFile(FILE* f);
  // Reads one line (blank lines are passed over); false when fewer than 22
  // fields converted or the line is longer than kFileLineMax - 1.  The count
  // goes through *converted when given: -1 at the end of the file.
  bool LoadFromFile(FILE* f, int* converted = nullptr);

 private:
  ScalProgramDesc(const ScalProgramDesc&) = delete;
  ScalProgramDesc& operator=(const ScalProgramDesc&) = delete;
};

// Programs of one tuner channel, in insertion order.
struct ScalProgramList {
  ScalProgramDesc* head;
  ScalProgramDesc* tail;
  int count;
  ScalProgramList() : head(nullptr), tail(nullptr), count(0) {}
  bool empty() const { return head == nullptr; }
};

#endif
