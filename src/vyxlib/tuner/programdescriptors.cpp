// Records of the tuner manager: construction, comparison, file lines.

#include "tuner/programdescriptors.h"

#include <cstring>

// ---- Language ----

Language::Language()
    : audioType(0),
      audioPid(0),
      languageCount(0),
      languageMode(eAudio),
      captionType(0),
      captionServiceNum(0),
      pNext(nullptr) {
  memset(language, 0, sizeof(language));
}

Language::Language(const char* code, int type, int pid, LanguageModeEnum mode, int serviceNum)
    : audioType(type),
      audioPid(pid),
      languageCount(0),
      languageMode(mode),
      captionType(0),
      captionServiceNum(serviceNum),
      pNext(nullptr) {
  memset(language, 0, sizeof(language));
  if (code != nullptr) memcpy(language, code, 3);
}

Language::Language(const Language& other) : pNext(nullptr) { *this = other; }

Language& Language::operator=(const Language& other) {
  if (this != &other) {
    memcpy(language, other.language, sizeof(language));
    audioType = other.audioType;
    audioPid = other.audioPid;
    languageCount = other.languageCount;
    languageMode = other.languageMode;
    captionType = other.captionType;
    captionServiceNum = other.captionServiceNum;
    // The chain link belongs to the list the object sits in, not to its value.
  }
  return *this;
}

bool Language::operator==(const Language& other) const {
  return strncmp(language, other.language, 3) == 0 && audioType == other.audioType &&
         audioPid == other.audioPid && languageMode == other.languageMode;
}

bool Language::operator<(const Language& other) const {
  int c = strncmp(language, other.language, 3);
  if (c != 0) return c < 0;
  if (audioType != other.audioType) return audioType < other.audioType;
  return audioPid < other.audioPid;
}

// ---- Event ----

Event::Event() : pNext(nullptr) { Clear(); }

void Event::Clear() {
  eventId = 0;
  sourceId = 0;
  channelId = 0;
  transportId = 0;
  programId = 0;
  startTime = 0;
  duration = 0;
  titleLen = 0;
  unicodeModeForTitleShort = 0;
  memset(unused, 0, sizeof(unused));
  memset(titleShort, 0, sizeof(titleShort));
  unicodeModeForLongInfo = 0;
  pLongInfo = nullptr;
  longInfoSize = 0;
  eitWasSet = false;
  ettWasSet = false;
}

// ---- ScalProgramDesc ----

// The event list's nodes come from the tuner manager's shared pool, given
// when the manager makes its records.
ScalProgramDesc::ScalProgramDesc() : mEvents(), pNext(nullptr) { Reset(); }

void ScalProgramDesc::Reset() {
  channelId = 0;
  transportId = 0;
  programId = 0;
  signalStrength = 0;
  encryption = 'C';
  videoType = 0;
  audioType = 0;
  unused[0] = 0;
  channelNo = 0;
  channelFreq = 0;
  memset(channelShortName, 0, sizeof(channelShortName));
  channelMajorNo = 0;
  channelMinorNo = 0;
  modulationMode = 0;
  channelTsid = 0;
  sourceId = 0;
  unicodeModeForLongName = 0;
  memset(unused2, 0, sizeof(unused2));
  channelLongName = nullptr;
  mEvents.clear();
  mWasSet = false;
  language = LanguageList();
}

bool ScalProgramDesc::SaveToFile(FILE* f) {
  const unsigned char* n = reinterpret_cast<const unsigned char*>(channelShortName);
  int r = fprintf(f,
                  "%.3d %.4x %.4x %.4x %.2x %c %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x %.2x "
                  "%.2x %.2x %.2x %.2x %.2x %.2x\n",
                  channelNo, transportId, programId, static_cast<unsigned int>(channelId),
                  StrengthByte(), encryption, videoType, audioType,
                  n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11], n[12],
                  n[13]);
  return r > 0;
}

bool ScalProgramDesc::LoadFromFile(FILE* f, int* converted) {
  // One line, bounded: a longer one is read to its end and refused whole.
  char line[kFileLineMax];
  int n = -1;
  bool overlong = false;
  for (;;) {
    size_t len = 0;
    bool any = false;
    overlong = false;
    int c;
    while ((c = getc(f)) != EOF) {
      any = true;
      if (c == '\n') break;
      if (len < sizeof(line) - 1)
        line[len++] = static_cast<char>(c);
      else
        overlong = true;
    }
    if (!any) break;  // end of the file: n stays -1
    line[len] = '\0';
    // Blank lines carry no record (a whitespace-skipping reader passes them).
    if (strspn(line, " \t\r\v\f") == len && memchr(line, '\0', len) == nullptr) continue;
    n = 0;
    break;
  }
  if (n < 0) {
    if (converted != nullptr) *converted = -1;
    return false;
  }
  int chanNo = 0;
  unsigned int trid = 0, prid = 0, chanId = 0, strength = 0, video = 0, audio = 0;
  char enc = 'C';
  unsigned int name[14] = {0};
  n = sscanf(line, "%d %x %x %x %x %c %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x %x\n", &chanNo,
             &trid, &prid, &chanId, &strength, &enc, &video, &audio, &name[0], &name[1], &name[2],
             &name[3], &name[4], &name[5], &name[6], &name[7], &name[8], &name[9], &name[10],
             &name[11], &name[12], &name[13]);
  if (n < 0) n = 0;  // a line of NUL bytes or the like converts nothing
  if (converted != nullptr) *converted = n;
  if (n < 22 || overlong) return false;
  channelNo = chanNo;
  transportId = static_cast<uint16_t>(trid);
  programId = static_cast<uint16_t>(prid);
  // Out of range is kept as read (the caller refuses it); it must not wrap
  // into a valid channel.
  channelId = chanId > 0x7FFFFFFFu ? -1 : static_cast<int>(chanId);
  // A hand-edited strength above ff still means full strength.
  signalStrength = static_cast<int>(strength / 51 > 5 ? 5 : strength / 51);
  encryption = enc;
  videoType = video;
  audioType = audio;
  for (int i = 0; i < 14; ++i) channelShortName[i] = static_cast<char>(name[i]);
  channelShortName[14] = 0;
  channelShortName[15] = 0;
  return true;
}
