// Program guide store: events from the EIT analysis and extended texts from
// the ETT analysis, kept per program (found through its source id), on the
// filter thread.  Nothing here allocates: events and their list nodes come
// from the manager's pools, texts from the text pool (room is made in
// tunermanager_guide_pool.cpp).  Only the tuned channel's guide is held.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "tuner/guidetextpool.h"
#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "ts/time.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

inline uint64_t EventEnd(const Event* ev) {
  return static_cast<uint64_t>(ev->startTime) + ev->duration;
}

}  // namespace

// The program of the current channel whose virtual channel carries this
// source id (a record without table information has none).  mMutex held.
static ScalProgramDesc* NextProgramWithSource(ScalProgramDesc* from, int channel, ushort sourceId) {
  for (ScalProgramDesc* p = from; p != nullptr; p = p->pNext)
    if (p->channelId == channel && p->mWasSet && p->sourceId == sourceId) return p;
  return nullptr;
}

Event* TunerManager::GetEvent(SList<Event>* events, uint textLen, ushort eventId) {
  if (events == nullptr) return nullptr;
  Event* ev = nullptr;
  for (Event* e = events->begin(0); e != nullptr; e = events->next(0))
    if ((e->eventId & 0xFFFFu) == eventId) {
      ev = e;
      break;
    }
  if (ev == nullptr) {
    ev = TakeEvent();
    if (ev == nullptr) return nullptr;
    if (!events->push_back(ev)) {  // cannot happen: a node for every record
      FreeEvent(ev);
      return nullptr;
    }
    ev->eventId = eventId;
    mNoEvictable = false;  // a new record may be the next to go
  }
  // Room for the text and its terminator; a text too long for any block, or
  // one there is no room for, is left without a buffer, which the caller
  // reports.  The old text is gone either way.
  if (textLen != 0 && mpTextPool->Capacity(ev->pLongInfo) < textLen + 1) {
    ReleaseEventText(ev);
    if (textLen < GuideTextPool::kMaxBytes) TakeText(textLen + 1, &ev->pLongInfo, ev);
  }
  return ev;
}

// The EIT's fields into the event (mMutex held).  A plain title is text for
// the controller: control bytes other than line ends become '*'; other
// modes carry code units, sent as hex.
static void FillEvent(Event* ev, int channel, ubyte2 sourceId, ubyte2 eventId, ubyte4 startTime,
                      ubyte4 lengthInSecs, unsigned int len, const char* titleText,
                      ubyte unicode_mode) {
  ev->channelId = static_cast<uint32_t>(channel);
  ev->eventId = eventId;
  ev->sourceId = sourceId;
  ev->startTime = startTime;
  ev->duration = lengthInSecs;
  ev->titleLen = len;
  if (len == 0) {
    ev->titleShort[0] = 0;  // the mode stays
    return;
  }
  memcpy(ev->titleShort, titleText, len);
  if (unicode_mode == 0) {
    for (unsigned int i = 0; i < len; ++i) {
      unsigned char c = static_cast<unsigned char>(ev->titleShort[i]);
      if (c < 32 && c != 0 && c != 10 && c != 13) ev->titleShort[i] = '*';
    }
  }
  ev->titleShort[len] = 0;
  ev->unicodeModeForTitleShort = static_cast<char>(unicode_mode);
}

bool TunerManager::SetEventInfoForProgram(ubyte2 sourceId, ubyte2 eventId, ubyte4 startTime,
                                          ubyte4 lengthInSecs, ubyte titleLen, char* titleText,
                                          ubyte unicode_mode) {
  unsigned int len = titleText != nullptr ? titleLen : 0;
  const unsigned int given = len;
  if (len > static_cast<unsigned int>(Event::kTitleMax)) len = Event::kTitleMax;

  char report[kGuideReportMax] = "";
  char title[Event::kTitleMax + 1];
  bool stored = false;
  bool first = false;
  int channel = 0;
  {
    ScopedLock lock(&mMutex);
    channel = mCurrentChannel;
    PrepareGuide(channel);
    ScalProgramList* list = GetScalProgramDesc(channel);
    ScalProgramDesc* p =
        NextProgramWithSource(list != nullptr ? list->head : nullptr, channel, sourceId);
    Event* ev = p != nullptr ? GetEvent(&p->mEvents, 0, eventId) : nullptr;
    if (ev == nullptr) {
      if (p != nullptr) {
        ++mEventsDropped;
        GuideFullNote("an event", 0, report, sizeof(report));
      }
    } else {
      if (!ev->eitWasSet || ev->startTime != startTime || ev->duration != lengthInSecs)
        mNoEvictable = false;  // it may have ended
      FillEvent(ev, channel, sourceId, eventId, startTime, lengthInSecs, len, titleText,
                unicode_mode);
      first = !ev->eitWasSet;
      ev->eitWasSet = true;
      if (first) memcpy(title, ev->titleShort, sizeof(title));
      stored = true;
      // Every repetition of the table brings the same title: one line per interval.
      unsigned int times = 0;
      if (given != len) ++mTitlesCut;
      if (given != len && VYX_REPORT_DUE(&times))
        snprintf(report, sizeof(report), "[x%u] Tilte too long... (%u), %u so far", times, given, mTitlesCut);
    }
  }
  if (report[0] != 0) VYX_ERROR("%s", report);
  if (first) {
    char when[32];
    VYX_LOG("SetEventInfo chanId %d evId %d srcId %d startTime %s duration %d titleShort %s (%d), "
            "Unimode 0x%x\n",
            channel, eventId, sourceId, Time::Self()->GetMjdDateTime(startTime, when),
            static_cast<int>(lengthInSecs / 60), title, len, unicode_mode);
  }
  return stored;
}

bool TunerManager::StoreLongName(ScalProgramDesc* p, int channel, ushort sourceId, char* text,
                                 uint length, ubyte unicode_mode, char* report) {
  while (p != nullptr && p->channelLongName != nullptr)
    p = NextProgramWithSource(p->pNext, channel, sourceId);
  if (p == nullptr) return false;
  const bool tooLong = length >= GuideTextPool::kMaxBytes;
  char* name = tooLong ? nullptr : TakeText(length + 1, &p->channelLongName, nullptr);
  if (name == nullptr) {
    ++mTextsDropped;
    if (!tooLong) {
      GuideFullNote("a long name", length, report, kGuideReportMax);
      return false;
    }
    ++mTextsTooLong;
    unsigned int times = 0;
    if (VYX_REPORT_DUE(&times))
      snprintf(report, kGuideReportMax, "[x%u] No room for a long name of %u bytes, src_id %x (%u)\n", times,
               length, sourceId, mTextsTooLong);
    return false;
  }
  if (length != 0) memcpy(name, text, length);
  name[length] = 0;  // the whole text stays
  p->unicodeModeForLongName = unicode_mode;
  return true;
}

bool TunerManager::StoreEventText(ScalProgramDesc* p, ushort sourceId, ushort eventId, char* text,
                                  uint length, ubyte unicode_mode, char* report, char* shown,
                                  bool* first) {
  Event* ev = p != nullptr ? GetEvent(&p->mEvents, length, eventId) : nullptr;
  if (ev == nullptr || (length != 0 && mpTextPool->Capacity(ev->pLongInfo) < length + 1))
    return TextNotStored(p, ev, sourceId, eventId, length, report);
  if (length == 0) {
    ReleaseEventText(ev);
  } else {
    memcpy(ev->pLongInfo, text, length);
    ev->pLongInfo[length] = 0;
    // The length of this text, not of the block: a shorter text that
    // replaces a longer one is not followed by the old one's bytes.
    ev->longInfoSize = length;
  }
  ev->unicodeModeForLongInfo = static_cast<char>(unicode_mode);
  *first = !ev->ettWasSet;
  if (*first) {  // the caller logs the beginning of the text
    size_t n = length < kShownText - 1 ? length : kShownText - 1;
    if (n != 0) memcpy(shown, ev->pLongInfo, n);
    shown[n] = 0;
  }
  ev->ettWasSet = true;
  return true;
}

bool TunerManager::SetExtendedText(ushort etmIdHi, ushort etmIdLo, char* text, uint length,
                                   ubyte unicode_mode) {
  if (text == nullptr) length = 0;
  const ushort sourceId = etmIdHi;
  const ushort eventId = static_cast<ushort>(etmIdLo >> 2);
  char report[kGuideReportMax] = "";
  char shown[kShownText];
  bool first = false;
  bool stored = false;
  {
    ScopedLock lock(&mMutex);
    const int channel = mCurrentChannel;
    PrepareGuide(channel);
    ScalProgramList* list = GetScalProgramDesc(channel);
    ScalProgramDesc* p =
        NextProgramWithSource(list != nullptr ? list->head : nullptr, channel, sourceId);
    if (eventId == 0)  // the channel's own text: its long name, kept once per program
      stored = StoreLongName(p, channel, sourceId, text, length, unicode_mode, report);
    else
      stored = StoreEventText(p, sourceId, eventId, text, length, unicode_mode, report, shown,
                              &first);
  }
  if (report[0] != 0) VYX_ERROR("%s", report);
  if (first)
    VYX_LOG("SetExtendedText at %x (len %d) len %d for ev_id %x, src_id %x unicode 0x%x: %s\n",
            (static_cast<unsigned int>(etmIdHi) << 16) | etmIdLo, length, length, eventId, sourceId,
            unicode_mode, shown);
  return stored;
}

bool TunerManager::TextNotStored(ScalProgramDesc* p, Event* ev, ushort sourceId, ushort eventId,
                                 uint length, char* report) {
  if (p == nullptr) return false;
  if (ev != nullptr && !ev->eitWasSet && !ev->ettWasSet) {
    p->mEvents.erase(ev);
    FreeEvent(ev);
  }
  if (ev == nullptr) ++mEventsDropped;
  ++mTextsDropped;
  if (length < GuideTextPool::kMaxBytes) {
    GuideFullNote(ev == nullptr ? "an event" : "a text", length, report, kGuideReportMax);
    return false;
  }
  ++mTextsTooLong;
  unsigned int times = 0;
  if (VYX_REPORT_DUE(&times))
    snprintf(report, kGuideReportMax,
             "[x%u] longInfoSize 0, length %u: longer than %u, ev_id %x src_id %x not stored (%u)\n", times,
             length, GuideTextPool::kMaxBytes - 1, eventId, sourceId, mTextsTooLong);
  return false;
}

Event* TunerManager::FindEventPlayingAtDtime(uint systemDtime, SList<Event>* events) {
  if (events == nullptr) return nullptr;
  for (Event* ev = events->begin(2); ev != nullptr; ev = events->next(2)) {
    // An event known only from its extended text has no time yet.
    if (!ev->eitWasSet) continue;
    if (ev->startTime <= systemDtime && systemDtime <= EventEnd(ev)) return ev;
  }
  return nullptr;
}
