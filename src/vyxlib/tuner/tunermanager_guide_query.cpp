// Program guide answers: the EITI line of an event, the i/l/n queries sent
// through the tuner forwarding, and the guide dump.  Command thread.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tuner/guidetextpool.h"
#include "ts/time.h"
#include "tuner/tunermanager.h"
#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "udpcom.h"
#include "utils.h"

namespace {

// "OK\r\n" and the terminator always fit after the lines.
constexpr size_t kRoomForOk = 5;
// The list query stops once fewer bytes than this are left of its budget.
constexpr size_t kListMargin = 512;

size_t HexLength(size_t bytes) { return bytes == 0 ? 0 : 3 * bytes - 1; }

char* PutHex(char* out, const char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (i != 0) *out++ = ' ';
    *out++ = kDigits[c >> 4];
    *out++ = kDigits[c & 15];
  }
  return out;
}

}  // namespace

int TunerManager::FormatEvent(char* buffer, Event* itev) {
  return FormatEvent(buffer, kEventLineMax, itev);
}

int TunerManager::FormatEvent(char* buffer, size_t capacity, Event* itev) {
  if (buffer == nullptr || capacity == 0) return -1;
  buffer[0] = 0;
  if (itev == nullptr) return -1;

  const unsigned char titleMode = static_cast<unsigned char>(itev->unicodeModeForTitleShort);
  size_t titleLen = itev->titleLen > static_cast<uint32_t>(Event::kTitleMax)
                        ? static_cast<size_t>(Event::kTitleMax)
                        : itev->titleLen;
  if (titleMode == 0) {
    size_t real = strnlen(itev->titleShort, sizeof(itev->titleShort));
    if (real != itev->titleLen) {
      ++mLengthMismatches;
      VYX_LOG_LIMITED("FormatEvent: real_length %d != itev->titleLen %d !!!\n", static_cast<int>(real),
                      static_cast<int>(itev->titleLen));
    }
    titleLen = real;
  }
  const unsigned char textMode = static_cast<unsigned char>(itev->unicodeModeForLongInfo);
  const char* text = itev->pLongInfo != nullptr ? itev->pLongInfo : "";
  // Never past the text's block, whatever the record says.
  size_t textCap = itev->pLongInfo != nullptr ? mpTextPool->Capacity(itev->pLongInfo) : 0;
  size_t textLen = itev->longInfoSize;
  if (textLen + 1 > textCap) textLen = textCap > 0 ? textCap - 1 : 0;
  if (textMode == 0) {
    size_t real = strnlen(text, textCap > 0 ? textCap : 1);
    if (real != itev->longInfoSize) {
      ++mLengthMismatches;
      VYX_LOG_LIMITED("FormatEvent: real_length %d != itev->longInfoSize %d !!!\n", static_cast<int>(real),
                      static_cast<int>(itev->longInfoSize));
    }
    textLen = real;
  }

  char when[32];
  Time::Self()->GetMjdDateTime(itev->startTime, when);
  const unsigned int minutes = itev->duration / 60;
  char head[96];
  int h = snprintf(head, sizeof(head), "EITI %s %.4u S%u,%.2x[", when,
                   (minutes / 60) * 100 + minutes % 60, static_cast<unsigned int>(titleLen),
                   titleMode);
  char mid[48];
  int m = snprintf(mid, sizeof(mid), "]L%u,%.2x[", static_cast<unsigned int>(textLen), textMode);
  if (h < 0 || m < 0 || h >= static_cast<int>(sizeof(head)) || m >= static_cast<int>(sizeof(mid)))
    return -1;

  const size_t titlePart = titleMode == 0 ? titleLen : HexLength(titleLen);
  const size_t textPart = textMode == 0 ? textLen : HexLength(textLen);
  const size_t total = static_cast<size_t>(h) + titlePart + static_cast<size_t>(m) + textPart + 3;
  if (total + 1 > capacity) return -1;

  char* out = buffer;
  memcpy(out, head, static_cast<size_t>(h));
  out += h;
  if (titleMode == 0) {
    memcpy(out, itev->titleShort, titleLen);
    out += titleLen;
  } else {
    out = PutHex(out, itev->titleShort, titleLen);
  }
  memcpy(out, mid, static_cast<size_t>(m));
  out += m;
  if (textMode == 0) {
    memcpy(out, text, textLen);
    out += textLen;
  } else {
    out = PutHex(out, text, textLen);
  }
  memcpy(out, "]\r\n", 4);
  return static_cast<int>(total);
}

namespace {

// Whether the query's fields suit its type; the report's text otherwise.
const char* BadEpgParams(char cmdType, uint date, uint time, uint timeFrame) {
  switch (cmdType) {
    case 'i':
      return date == 0 || timeFrame != 0 ? "Bad params for i" : nullptr;
    case 'l':
      return date != 0 || time != 0 || timeFrame == 0 ? "Bad params for l" : nullptr;
    case 'n':
      return date != 0 || time != 0 || timeFrame != 0 ? "Bad params for n" : nullptr;
    default:
      return "Invalid command recvd";
  }
}

}  // namespace

size_t TunerManager::AnswerEpg(ushort programId, char cmdType, uint at, uint timeFrame, bool* cut,
                               bool* margin) {
  char* answer = mEpgAnswer;
  size_t pos = 0;
  const size_t room = kEpgAnswerSize - kRoomForOk;
  const uint now = Time::Self()->mSystemTime;
  // Appends one line when it fits before the room kept for "OK\r\n".
  auto append = [&](Event* ev) {
    int n = FormatEvent(answer + pos, room - pos, ev);
    if (n < 0) {
      *cut = true;
      return false;
    }
    pos += static_cast<size_t>(n);
    return true;
  };
  // The event playing right after ev, if any.
  auto following = [&](Event* ev, SList<Event>* events) -> Event* {
    uint64_t after = static_cast<uint64_t>(ev->startTime) + ev->duration + 1;
    return after > UINT32_MAX ? nullptr : FindEventPlayingAtDtime(static_cast<uint>(after), events);
  };

  const int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  for (ScalProgramDesc* p = list != nullptr ? list->head : nullptr; p != nullptr && pos == 0 && !*cut;
       p = p->pNext) {
    if (p->channelId != channel || p->programId != programId) continue;
    SList<Event>* events = &p->mEvents;
    Event* ev = FindEventPlayingAtDtime(cmdType == 'i' ? at : now, events);
    if (cmdType == 'i') {
      if (ev != nullptr) append(ev);
    } else if (cmdType == 'n') {
      if (ev != nullptr && append(ev)) {
        Event* next = following(ev, events);
        if (next != nullptr) append(next);
      }
    } else {
      unsigned int total = 0;
      while (ev != nullptr && append(ev)) {
        total += ev->duration / 60;
        if (total > timeFrame) break;
        ev = following(ev, events);
        if (ev != nullptr && pos + kListMargin > kEpgListBudget) {
          *margin = true;
          break;
        }
      }
    }
  }
  return pos;
}

char* TunerManager::ProcessEpgData(char* /*buffer*/, ushort transportId, ushort programId,
                                   uint date, uint time, uint timeFrame, char cmdType) {
  Time* clock = Time::Self();
  const unsigned int now = clock->mSystemTime;
  char nowText[32];
  VYX_LOG("ProcessEpgData: trid %x, progid %x, date %x, time %d, timeFrame %x, cmdType %c, now is %s "
          "(0x%x)\n",
          transportId, programId, date, time, timeFrame, cmdType, clock->GetMjdDateTime(now, nowText),
          now);
  // A controller repeating a bad query gets one line per interval, with the count.
  if (const char* bad = BadEpgParams(cmdType, date, time, timeFrame)) {
    const unsigned int n = ++mBadQueries;
    if (bad[0] == 'I')
      VYX_ERROR_LIMITED("%s %c (%u)\n", bad, cmdType, n);
    else
      VYX_ERROR_LIMITED("%s (%u)\n", bad, n);
    return nullptr;
  }

  // The moment of an i query in GPS seconds (date an MJD, time HHMM, UTC);
  // a moment outside the GPS range finds nothing.
  bool atValid = true;
  uint at = 0;
  if (cmdType == 'i') {
    int64_t t = (static_cast<int64_t>(date) - Time::kMjdGpsEpoch) * 86400 +
                static_cast<int64_t>(time / 100) * 3600 + static_cast<int64_t>(time % 100) * 60 +
                clock->mGpsUtcOffset;
    atValid = t >= 0 && t <= static_cast<int64_t>(UINT32_MAX);
    at = atValid ? static_cast<uint>(t) : 0;
  }

  bool cut = false;
  bool margin = false;
  size_t pos = 0;
  if (atValid) {
    ScopedLock lock(&mMutex);
    pos = AnswerEpg(programId, cmdType, at, timeFrame, &cut, &margin);
  }

  if (margin || cut) {
    const unsigned int n = ++mAnswersShort;
    if (margin) VYX_ERROR_LIMITED("Buffer too small for EPG (%u)", n);
    if (cut)
      VYX_ERROR_LIMITED("EPG answer cut after %u bytes: the next event line does not fit (%u)\n",
                        static_cast<unsigned int>(pos), n);
  }
  SendEpgAnswer(pos);
  return nullptr;
}

void TunerManager::SendEpgAnswer(size_t pos) {
  char* answer = mEpgAnswer;
  if (pos == 0) {
    memcpy(answer, "EITI ", 5);
    pos = 5;
  }
  memcpy(answer + pos, "OK\r\n", 5);
  pos += 4;
  VYX_LOG("\n%s\n\n", answer);
  bool failed = false;
  int error = 0;
  {
    ScopedLock lock(&mMutex);
    if (mpUdp != nullptr && mpUdp->Send(answer, static_cast<int>(pos)) < 0) {
      failed = true;
      error = errno;
    }
  }
  if (!failed) return;
  ++mSendFailures;
  unsigned int times = 0;
  if (VYX_REPORT_DUE(&times)) fprintf(stderr, "[x%u] sendto() - 2 errno %d (%u)\n", times, error, mSendFailures);
}

void TunerManager::DumpEitInfo() {
  char when[32];
  VYX_LOG("\n === Now is %s\n", Time::Self()->GetMjdDateTime(0, when));
  // Walked under the lock: the filter thread may refresh or recycle events.
  ScopedLock lock(&mMutex);
  VYX_LOG("Guide of channel %d: %u of %d events, %u of %u text bytes; %u events evicted, %u "
          "events and %u texts not stored\n",
          mGuideChannel, mEventsInUse, kEventPool,
          static_cast<unsigned int>(mpTextPool->BytesHeld()),
          static_cast<unsigned int>(mpTextPool->ArenaBytes()), mEventsEvicted, mEventsDropped,
          mTextsDropped);
  const int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  mChannelStartIt = list != nullptr ? list->head : nullptr;
  mChannelEndIt = nullptr;
  for (ScalProgramDesc* p = mChannelStartIt; p != nullptr; p = p->pNext) {
    if (p->channelId != channel) continue;
    auto printable = [](char c) { return c >= 32 && c < 127 ? c : '.'; };
    char lname[6];
    bool ended = p->channelLongName == nullptr;
    for (int i = 0; i < 6; ++i) {
      if (!ended && p->channelLongName[i] == 0) ended = true;
      lname[i] = ended ? ' ' : printable(p->channelLongName[i]);
    }
    const char* s = p->channelShortName;
    VYX_LOG("Ch id 0x%x, sh name %c%c%c%c%c, tr id %.4x pr id %.4x long name %c%c%c%c%c%c \n",
            p->channelId, printable(s[1]), printable(s[3]), printable(s[5]), printable(s[7]),
            printable(s[9]), p->transportId, p->programId, lname[0], lname[1], lname[2], lname[3],
            lname[4], lname[5]);
    for (Event* ev = p->mEvents.begin(3); ev != nullptr; ev = p->mEvents.next(3)) {
      VYX_LOG("EvId %d (src %d), startTime %s, duration %d, title %s\n", ev->eventId, ev->sourceId,
              Time::Self()->GetMjdDateTime(ev->startTime, when), ev->duration / 60, ev->titleShort);
      unsigned char b[8] = {0};
      if (ev->pLongInfo != nullptr) {
        size_t n = ev->longInfoSize < 8 ? ev->longInfoSize : 8;
        memcpy(b, ev->pLongInfo, n);
      }
      VYX_LOG("Long info %x %x %x %x %x %x %x %x\n", b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7]);
    }
  }
}
