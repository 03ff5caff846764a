// Fixed pools of the program guide: the text blocks, and the tuner manager's
// event records.  Both are made at construction so that the filter thread
// never allocates.

#include <cstring>

#include "tuner/guidetextpool.h"
#include "tuner/tunermanager.h"

namespace {
// Block sizes and counts: most extended texts are a few hundred bytes, the
// decoded ATSC strings at most 1032, an uncompressed one up to a section.
struct SizeClass {
  unsigned int size;
  unsigned int count;
};
constexpr SizeClass kSizeClasses[] = {{64, 4096}, {256, 2048}, {1040, 512}, {GuideTextPool::kMaxBytes, 32}};
}  // namespace

GuideTextPool::GuideTextPool() : mInUse(0) {
  static_assert(sizeof(kSizeClasses) / sizeof(kSizeClasses[0]) == kClasses, "one entry per size class");
  for (int c = 0; c < kClasses; ++c) {
    SizeClass& k = mClasses[c];
    k.size = kSizeClasses[c].size;
    k.count = kSizeClasses[c].count;
    k.arena = new char[static_cast<size_t>(k.size) * k.count];
    k.freeHead = nullptr;
    for (unsigned int i = k.count; i > 0; --i) {
      char* b = k.arena + static_cast<size_t>(i - 1) * k.size;
      memcpy(b, &k.freeHead, sizeof(char*));
      k.freeHead = b;
    }
  }
}

GuideTextPool::~GuideTextPool() {
  for (int c = 0; c < kClasses; ++c) delete[] mClasses[c].arena;
}

char* GuideTextPool::Alloc(unsigned int bytes) {
  if (bytes == 0 || bytes > kMaxBytes) return nullptr;
  for (int c = 0; c < kClasses; ++c) {
    SizeClass& k = mClasses[c];
    if (k.size < bytes || k.freeHead == nullptr) continue;
    char* b = k.freeHead;
    memcpy(&k.freeHead, b, sizeof(char*));
    ++mInUse;
    return b;
  }
  return nullptr;
}

int GuideTextPool::ClassOf(const char* block) const {
  if (block == nullptr) return -1;
  for (int c = 0; c < kClasses; ++c) {
    const SizeClass& k = mClasses[c];
    const char* end = k.arena + static_cast<size_t>(k.size) * k.count;
    if (block >= k.arena && block < end) {
      if (static_cast<size_t>(block - k.arena) % k.size != 0) return -1;
      return c;
    }
  }
  return -1;
}

void GuideTextPool::Free(char* block) {
  int c = ClassOf(block);
  if (c < 0) return;
  SizeClass& k = mClasses[c];
  memcpy(block, &k.freeHead, sizeof(char*));
  k.freeHead = block;
  --mInUse;
}

unsigned int GuideTextPool::Capacity(const char* block) const {
  int c = ClassOf(block);
  return c < 0 ? 0 : mClasses[c].size;
}

// ---- event records (mMutex held) ----

Event* TunerManager::AllocEvent() {
  Event* ev = mpFreeEvents;
  if (ev == nullptr) return nullptr;
  mpFreeEvents = ev->pNext;
  ev->Clear();
  ev->pNext = nullptr;
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
}

void TunerManager::ReleaseGuide(ScalProgramDesc* p) {
  while (Event* ev = p->mEvents.pop_front()) FreeEvent(ev);
  mpTextPool->Free(p->channelLongName);
  p->channelLongName = nullptr;
  p->unicodeModeForLongName = 0;
}
