// Program guide store: events from the EIT analysis and extended texts from
// the ETT analysis, kept per program (found through its source id), on the
// filter thread.  Nothing here allocates: events come from the manager's
// pool, list nodes from the program record's own, texts from the text pool.

#include <cstdint>
#include <cstring>

#include "tuner/guidetextpool.h"
#include "core/reportdue.h"
#include "ts/psip/time.h"
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
  // Room for the text and its terminator; a text too long for any block is
  // left without a buffer, which the caller reports.
  const unsigned int need = textLen < GuideTextPool::kMaxBytes ? textLen + 1 : 0;

  for (Event* ev = events->begin(0); ev != nullptr; ev = events->next(0)) {
    if ((ev->eventId & 0xFFFFu) != eventId) continue;
    if (textLen == 0 || (ev->pLongInfo != nullptr && need != 0 &&
                         mpTextPool->Capacity(ev->pLongInfo) >= need))
      return ev;
    ReleaseEventText(ev);  // the old text is gone either way
    ev->pLongInfo = need != 0 ? mpTextPool->Alloc(need) : nullptr;
    if (ev->pLongInfo == nullptr) {
      unsigned int dropped = mTextsDropped++;
      if (report_due(dropped))
        VYX_LOG("GetEvent: no text block for %u bytes, ev_id %x (%u)\n", textLen, eventId,
                dropped + 1);
    } else {
      ev->pLongInfo[0] = 0;
    }
    return ev;
  }

  Event* ev = nullptr;
  if (events->has_free_node()) ev = AllocEvent();
  if (ev != nullptr) {
    events->push_back(ev);
  } else {
    // No event record or no node left: the event of this program that ended
    // longest ago (before the current time) makes room.
    const uint64_t now = Time::Self()->mSystemTime;
    Event* oldest = nullptr;
    for (Event* e = events->begin(1); e != nullptr; e = events->next(1)) {
      if (!e->eitWasSet || EventEnd(e) >= now) continue;
      if (oldest == nullptr || EventEnd(e) < EventEnd(oldest)) oldest = e;
    }
    if (oldest == nullptr) {
      unsigned int dropped = mEventsDropped++;
      if (report_due(dropped))
        VYX_LOG("GetEvent: no event record left (%u in the list), ev_id %x dropped (%u)\n",
                events->length(), eventId, dropped + 1);
      return nullptr;
    }
    ReleaseEventText(oldest);
    oldest->Clear();
    events->erase(oldest);
    events->push_back(oldest);  // the node just freed
    ev = oldest;
  }
  ev->eventId = eventId;
  if (textLen != 0) {
    ev->pLongInfo = need != 0 ? mpTextPool->Alloc(need) : nullptr;
    if (ev->pLongInfo != nullptr) {
      ev->pLongInfo[0] = 0;
    } else {
      unsigned int dropped = mTextsDropped++;
      if (report_due(dropped))
        VYX_LOG("GetEvent: no text block for %u bytes, ev_id %x (%u)\n", textLen, eventId,
                dropped + 1);
    }
  }
  return ev;
}

bool TunerManager::SetEventInfoForProgram(ubyte2 sourceId, ubyte2 eventId, ubyte4 startTime,
                                          ubyte4 lengthInSecs, ubyte titleLen, char* titleText,
                                          ubyte unicode_mode) {
  unsigned int len = titleText != nullptr ? titleLen : 0;
  const unsigned int given = len;
  if (len > static_cast<unsigned int>(Event::kTitleMax)) len = Event::kTitleMax;

  pthread_mutex_lock(&mMutex);
  const int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  ScalProgramDesc* p = NextProgramWithSource(list != nullptr ? list->head : nullptr, channel, sourceId);
  Event* ev = p != nullptr ? GetEvent(&p->mEvents, 0, eventId) : nullptr;
  if (ev == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return false;
  }
  ev->channelId = static_cast<uint32_t>(channel);
  ev->eventId = eventId;
  ev->sourceId = sourceId;
  ev->startTime = startTime;
  ev->duration = lengthInSecs;
  ev->titleLen = len;
  if (len != 0) {
    memcpy(ev->titleShort, titleText, len);
    // A plain title is text for the controller: control bytes other than
    // line ends become '*'.  Other modes carry code units, sent as hex.
    if (unicode_mode == 0) {
      for (unsigned int i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(ev->titleShort[i]);
        if (c < 32 && c != 0 && c != 10 && c != 13) ev->titleShort[i] = '*';
      }
    }
    ev->titleShort[len] = 0;
    ev->unicodeModeForTitleShort = static_cast<char>(unicode_mode);
  } else {
    ev->titleShort[0] = 0;
  }
  const bool first = !ev->eitWasSet;
  ev->eitWasSet = true;
  char title[Event::kTitleMax + 1];
  if (first) memcpy(title, ev->titleShort, sizeof(title));
  pthread_mutex_unlock(&mMutex);

  if (given != len) VYX_ERROR("Tilte too long... (%d)", given);
  if (first) {
    char when[32];
    VYX_LOG("SetEventInfo chanId %d evId %d srcId %d startTime %s duration %d titleShort %s (%d), "
            "Unimode 0x%x\n",
            channel, eventId, sourceId, Time::Self()->GetMjdDateTime(startTime, when),
            static_cast<int>(lengthInSecs / 60), title, len, unicode_mode);
  }
  return true;
}

bool TunerManager::SetExtendedText(ushort etmIdHi, ushort etmIdLo, char* text, uint length,
                                   ubyte unicode_mode) {
  if (text == nullptr) length = 0;
  const ushort sourceId = etmIdHi;
  const ushort eventId = static_cast<ushort>(etmIdLo >> 2);

  pthread_mutex_lock(&mMutex);
  const int channel = mCurrentChannel;
  ScalProgramList* list = GetScalProgramDesc(channel);
  ScalProgramDesc* p = NextProgramWithSource(list != nullptr ? list->head : nullptr, channel, sourceId);

  if (eventId == 0) {
    // The channel's text: its long name, kept once per program.
    while (p != nullptr && p->channelLongName != nullptr)
      p = NextProgramWithSource(p->pNext, channel, sourceId);
    if (p == nullptr) {
      pthread_mutex_unlock(&mMutex);
      return false;
    }
    char* name = mpTextPool->Alloc(length + 1);
    if (name == nullptr) {
      unsigned int dropped = mTextsDropped++;
      pthread_mutex_unlock(&mMutex);
      if (report_due(dropped))
        VYX_ERROR("No room for a long name of %u bytes, src_id %x (%u)\n", length, sourceId,
                  dropped + 1);
      return false;
    }
    if (length != 0) memcpy(name, text, length);
    name[length] = 0;  // the whole text stays
    p->channelLongName = name;
    p->unicodeModeForLongName = unicode_mode;
    pthread_mutex_unlock(&mMutex);
    return true;
  }

  Event* ev = p != nullptr ? GetEvent(&p->mEvents, length, eventId) : nullptr;
  if (ev == nullptr) {
    pthread_mutex_unlock(&mMutex);
    return false;
  }
  if (length == 0) {
    ReleaseEventText(ev);
  } else if (mpTextPool->Capacity(ev->pLongInfo) < length + 1) {
    unsigned int size = ev->longInfoSize;
    pthread_mutex_unlock(&mMutex);
    VYX_ERROR("longInfoSize %d, length %d\n", size, length);
    return false;
  } else {
    memcpy(ev->pLongInfo, text, length);
    ev->pLongInfo[length] = 0;
    // The length of this text, not of the block: a shorter text that
    // replaces a longer one is not followed by the old one's bytes.
    ev->longInfoSize = length;
  }
  ev->unicodeModeForLongInfo = static_cast<char>(unicode_mode);
  const bool first = !ev->ettWasSet;
  ev->ettWasSet = true;
  char shown[64];
  if (first) {
    size_t n = length < sizeof(shown) - 1 ? length : sizeof(shown) - 1;
    if (n != 0) memcpy(shown, ev->pLongInfo, n);
    shown[n] = 0;
  }
  pthread_mutex_unlock(&mMutex);
  if (first)
    VYX_LOG("SetExtendedText at %x (len %d) len %d for ev_id %x, src_id %x unicode 0x%x: %s\n",
            (static_cast<unsigned int>(etmIdHi) << 16) | etmIdLo, length, length, eventId, sourceId,
            unicode_mode, shown);
  return true;
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
