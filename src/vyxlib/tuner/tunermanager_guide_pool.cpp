// Space of the program guide: the text arena, the event records and their
// list nodes, all made at construction so that the filter thread never
// allocates; and how the store makes room: the guide of a channel no longer
// tuned goes back at the first store after the retune, then ended events go
// first when space runs short.

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "core/reportdue.h"
#include "ts/time.h"
#include "tuner/guidetextpool.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {
constexpr uint32_t kLive = 0x6c697665u;  // a block's mark while held
constexpr uint32_t kHole = 0x686f6c65u;  // ... once freed
}  // namespace

GuideTextPool::GuideTextPool(size_t arenaBytes)
    : mArena(new char[arenaBytes]),
      mSize(arenaBytes),
      mTop(0),
      mHeld(0),
      mInUse(0),
      mCompactions(0) {}

GuideTextPool::~GuideTextPool() { delete[] mArena; }

GuideTextPool::Head* GuideTextPool::HeadOf(const char* block) const {
  if (block == nullptr || block < mArena + kBlockHead || block >= mArena + mTop) return nullptr;
  size_t at = static_cast<size_t>(block - mArena) - kBlockHead;
  if (at % kAlign != 0) return nullptr;
  Head* h = reinterpret_cast<Head*>(mArena + at);
  return h->mark == kLive ? h : nullptr;
}

bool GuideTextPool::Fits(unsigned int bytes) const {
  return bytes != 0 && bytes <= kMaxBytes && BlockBytes(bytes) <= mSize - mHeld;
}

char* GuideTextPool::Alloc(unsigned int bytes, char** owner) {
  if (owner == nullptr || !Fits(bytes)) return nullptr;
  const size_t need = BlockBytes(bytes);
  if (need > mSize - mTop) Compact();
  Head* h = reinterpret_cast<Head*>(mArena + mTop);
  h->owner = owner;
  h->size = static_cast<uint32_t>(need);
  h->mark = kLive;
  char* block = mArena + mTop + kBlockHead;
  mTop += need;
  mHeld += need;
  ++mInUse;
  *owner = block;
  return block;
}

void GuideTextPool::Free(char* block) {
  Head* h = HeadOf(block);
  if (h == nullptr) return;
  h->mark = kHole;
  h->owner = nullptr;
  mHeld -= h->size;
  --mInUse;
  // The last block cut: the arena's end comes back at once.
  if (reinterpret_cast<char*>(h) + h->size == mArena + mTop)
    mTop = static_cast<size_t>(reinterpret_cast<char*>(h) - mArena);
}

unsigned int GuideTextPool::Capacity(const char* block) const {
  Head* h = HeadOf(block);
  return h == nullptr ? 0 : h->size - kBlockHead;
}

void GuideTextPool::Compact() {
  size_t to = 0;
  for (size_t at = 0; at < mTop;) {
    Head* h = reinterpret_cast<Head*>(mArena + at);
    const size_t size = h->size;
    if (h->mark == kLive) {
      if (to != at) {
        memmove(mArena + to, mArena + at, size);
        h = reinterpret_cast<Head*>(mArena + to);
        *h->owner = mArena + to + kBlockHead;
      }
      to += size;
    }
    at += size;
  }
  mTop = to;
  ++mCompactions;
}

// ---- the manager's pools ----

void TunerManager::InitGuidePools() {
  mpEventPool = new Event[kEventPool];
  for (int i = kEventPool - 1; i >= 0; --i) {
    mpEventPool[i].pNext = mpFreeEvents;
    mpFreeEvents = &mpEventPool[i];
  }
  // One node per event record: an event is in one list at a time.
  mpEventNodes = new SList<Event>::Pool(kEventPool);
  for (int i = 0; i < kProgramPool; ++i) mpProgramPool[i].mEvents.share_pool(mpEventNodes);
  mpTextPool = new GuideTextPool();
  mGuideChannel = -1;
  mEventsInUse = 0;
  mEventsEvicted = 0;
  mGuideFullReported = false;
  mNoEvictable = false;
  mNoEvictableAt = 0;
  mTitlesCut = mTextsTooLong = mBadQueries = mAnswersShort = mLengthMismatches = mSendFailures = 0;
}

void TunerManager::FreeGuidePools() {
  delete[] mpEventPool;
  mpEventPool = mpFreeEvents = nullptr;
  delete mpEventNodes;
  mpEventNodes = nullptr;
  delete mpTextPool;
  mpTextPool = nullptr;
}

// ---- event records (mMutex held) ----

Event* TunerManager::AllocEvent() {
  Event* ev = mpFreeEvents;
  if (ev == nullptr) return nullptr;
  mpFreeEvents = ev->pNext;
  ev->Clear();
  ev->pNext = nullptr;
  ++mEventsInUse;
  return ev;
}

void TunerManager::ReleaseEventText(Event* ev) {
  mpTextPool->Free(ev->pLongInfo);
  ev->pLongInfo = nullptr;
  ev->longInfoSize = 0;
}

void TunerManager::FreeEvent(Event* ev) {
  if (ev == nullptr) return;
  ReleaseEventText(ev);
  ev->Clear();
  ev->pNext = mpFreeEvents;
  mpFreeEvents = ev;
  --mEventsInUse;
}

void TunerManager::ReleaseGuide(ScalProgramDesc* p) {
  while (Event* ev = p->mEvents.pop_front()) FreeEvent(ev);
  mpTextPool->Free(p->channelLongName);
  p->channelLongName = nullptr;
  p->unicodeModeForLongName = 0;
}

// ---- room for the tuned multiplex (mMutex held) ----

void TunerManager::PrepareGuide(int channel) {
  if (channel == mGuideChannel) return;
  for (int c = 0; c < kChannels; ++c) {
    if (c == channel) continue;
    for (ScalProgramDesc* p = mScalProgramDescriptors[c].head; p != nullptr; p = p->pNext)
      if (p->mEvents.length() != 0 || p->channelLongName != nullptr) ReleaseGuide(p);
  }
  mGuideChannel = channel;
  mGuideFullReported = false;
  mNoEvictable = false;
}

bool TunerManager::EvictEvent(const Event* keep) {
  const uint32_t now = Time::Self()->mSystemTime;
  if (mNoEvictable && mNoEvictableAt == now) return false;
  ScalProgramList* list = GetScalProgramDesc(mGuideChannel);
  ScalProgramDesc* endedIn = nullptr;
  Event* ended = nullptr;
  ScalProgramDesc* orphanIn = nullptr;
  Event* orphan = nullptr;
  uint64_t endedAt = 0;
  for (ScalProgramDesc* p = list != nullptr ? list->head : nullptr; p != nullptr; p = p->pNext) {
    for (Event* e = p->mEvents.begin(4); e != nullptr; e = p->mEvents.next(4)) {
      if (e == keep) continue;
      if (!e->eitWasSet) {
        if (orphan == nullptr) orphan = e, orphanIn = p;
        continue;
      }
      const uint64_t end = static_cast<uint64_t>(e->startTime) + e->duration;
      if (now != 0 && end < now && (ended == nullptr || end < endedAt))
        ended = e, endedIn = p, endedAt = end;
    }
  }
  Event* victim = ended != nullptr ? ended : orphan;
  ScalProgramDesc* in = ended != nullptr ? endedIn : orphanIn;
  if (victim == nullptr) {
    mNoEvictable = true;
    mNoEvictableAt = now;
    return false;
  }
  in->mEvents.erase(victim);
  FreeEvent(victim);
  ++mEventsEvicted;
  return true;
}

Event* TunerManager::TakeEvent() {
  Event* ev = AllocEvent();
  if (ev == nullptr && EvictEvent(nullptr)) ev = AllocEvent();
  return ev;
}

char* TunerManager::TakeText(unsigned int bytes, char** owner, const Event* keep) {
  if (bytes == 0 || bytes > GuideTextPool::kMaxBytes) return nullptr;
  while (!mpTextPool->Fits(bytes))
    if (!EvictEvent(keep)) return nullptr;
  return mpTextPool->Alloc(bytes, owner);
}

bool TunerManager::GuideFullNote(const char* what, unsigned int bytes, char* out, size_t capacity) {
  if (mGuideFullReported) return false;
  mGuideFullReported = true;
  snprintf(out, capacity,
           "Guide of channel %d full: the multiplex announces more than the store holds "
           "(%u of %d events, %u of %u text bytes held); %s of %u bytes not stored, the rest "
           "counted\n",
           mGuideChannel, mEventsInUse, kEventPool,
           static_cast<unsigned int>(mpTextPool->BytesHeld()),
           static_cast<unsigned int>(mpTextPool->ArenaBytes()), what, bytes);
  return true;
}
