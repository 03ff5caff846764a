// Filter-entry state shared by the entry points and the command manager.

#include "core/filterentry.h"

TsFilter* static_tsptr = nullptr;
char static_type = 0;
// Receiver: true while a program is selected and its PAT/PMT are wanted.
// Written by the command thread, read by the player's thread (atomic access).
bool process_pat = false;

void publish_filter(TsFilter* filter, char type) {
  static_type = type;
  __atomic_store_n(&static_tsptr, filter, __ATOMIC_RELEASE);
}

TsFilter* published_filter() { return __atomic_load_n(&static_tsptr, __ATOMIC_ACQUIRE); }

void set_process_pat(bool on) { __atomic_store_n(&process_pat, on, __ATOMIC_RELAXED); }

bool process_pat_on() { return __atomic_load_n(&process_pat, __ATOMIC_RELAXED); }
