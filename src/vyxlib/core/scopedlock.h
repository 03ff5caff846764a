// The one RAII guard for the plug-in's mutexes: held for one scope, so every
// early return unlocks.  The packet loop takes the filter's mutex through it
// once per buffer.
#ifndef VYX_CORE_SCOPEDLOCK_H
#define VYX_CORE_SCOPEDLOCK_H

#include <pthread.h>

class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t* m) : mMutex(m) { pthread_mutex_lock(mMutex); }
  ~ScopedLock() { pthread_mutex_unlock(mMutex); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  pthread_mutex_t* mMutex;
};

#endif
