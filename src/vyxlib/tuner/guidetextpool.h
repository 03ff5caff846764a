#ifndef VYX_GUIDETEXTPOOL_H
#define VYX_GUIDETEXTPOOL_H

// Buffers for the guide's texts (events' extended texts, channels' long
// names), taken on the filter thread and therefore carved from one arena made
// once at construction.  Blocks are cut one after the other; a freed block
// leaves a hole, and when the end of the arena is reached while the holes add
// up to enough, the live blocks are slid down over them (compaction).  So
// every set of texts whose sizes add up to the arena fits, whatever order
// they came and went in: no size class runs dry while another sits idle.
//
// Compaction moves blocks: each block records the one pointer that holds it
// (its owner, an Event's pLongInfo or a program's channelLongName) and that
// pointer is updated.  Nobody else may keep a block's address across a call
// to Alloc.  Not locked: the tuner manager calls it with its mutex held.

#include <cstddef>
#include <cstdint>

class GuideTextPool {
 public:
  // Largest request served: a 4,096-byte text and its terminator.
  static constexpr unsigned int kMaxBytes = 4097;
  // Bytes each block takes beyond its text (the owner, the size, a marker).
  static constexpr unsigned int kBlockHead = 16;
  static constexpr unsigned int kAlign = 8;
  // The arena of the manager's guide: 1,024 texts of the longest kind (8
  // channels of 128 events), with room to spare for channels' long names.
  static constexpr size_t kArenaBytes = 4608u * 1024u;

  explicit GuideTextPool(size_t arenaBytes = kArenaBytes);
  ~GuideTextPool();

  // Arena bytes a request of `bytes` takes.
  static size_t BlockBytes(unsigned int bytes) {
    return kBlockHead + (static_cast<size_t>(bytes) + kAlign - 1) / kAlign * kAlign;
  }
  // A block of at least `bytes` bytes, whose address is also stored in
  // *owner; null (and *owner untouched) when too large or the arena lacks the
  // room even after compaction.
  char* Alloc(unsigned int bytes, char** owner);
  // Whether Alloc(bytes, ...) would succeed now.
  bool Fits(unsigned int bytes) const;
  // Gives a block back; null and foreign pointers are ignored.
  void Free(char* block);
  // Bytes the block holds; 0 for null or a foreign pointer.
  unsigned int Capacity(const char* block) const;
  // Blocks in use.
  unsigned int InUse() const { return mInUse; }
  // Arena bytes held by blocks in use, and the arena's size.
  size_t BytesHeld() const { return mHeld; }
  size_t ArenaBytes() const { return mSize; }
  // Compactions so far.
  unsigned int Compactions() const { return mCompactions; }

 private:
  struct alignas(kAlign) Head {
    char** owner;
    uint32_t size;  // the whole block, head included
    uint32_t mark;
  };
  static_assert(sizeof(Head) <= kBlockHead, "a block's head fits its room");
  Head* HeadOf(const char* block) const;
  void Compact();

  char* mArena;
  size_t mSize;
  size_t mTop;   // first byte never cut since the last compaction
  size_t mHeld;  // bytes of live blocks
  unsigned int mInUse;
  unsigned int mCompactions;

  GuideTextPool(const GuideTextPool&) = delete;
  GuideTextPool& operator=(const GuideTextPool&) = delete;
};

#endif
