#ifndef VYX_GUIDETEXTPOOL_H
#define VYX_GUIDETEXTPOOL_H

// Buffers for the guide's texts (events' extended texts, channels' long
// names), taken on the filter thread and therefore carved from arenas made
// once at construction.  Four block sizes; a request takes the smallest free
// block that holds it, a larger one when its own size is used up.  Not
// locked: the tuner manager calls it with its mutex held.

#include <cstddef>

class GuideTextPool {
 public:
  // Largest request served (bytes, terminator included).
  static constexpr unsigned int kMaxBytes = 4096;

  GuideTextPool();
  ~GuideTextPool();

  // A block of at least `bytes` bytes, or null (too large or all used).
  char* Alloc(unsigned int bytes);
  // Gives a block back; null and foreign pointers are ignored.
  void Free(char* block);
  // Bytes the block holds; 0 for null or a foreign pointer.
  unsigned int Capacity(const char* block) const;
  // Blocks in use, over every size.
  unsigned int InUse() const { return mInUse; }

 private:
  struct SizeClass {
    unsigned int size;
    unsigned int count;
    char* arena;
    char* freeHead;  // the next free block's address is kept in each free block
  };
  static constexpr int kClasses = 4;
  int ClassOf(const char* block) const;

  SizeClass mClasses[kClasses];
  unsigned int mInUse;

  GuideTextPool(const GuideTextPool&) = delete;
  GuideTextPool& operator=(const GuideTextPool&) = delete;
};

#endif
