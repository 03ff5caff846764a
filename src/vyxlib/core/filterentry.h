#ifndef VYX_CORE_FILTERENTRY_H
#define VYX_CORE_FILTERENTRY_H

// Filter-entry state: what Vyx_Filter (vyxlibmain.cpp) reads on the player's
// thread, written by the command manager (the filter and role at
// construction, process_pat by the receiver's play selection).  A leaf of its
// own, so that the entry points and the command manager share it without
// including each other.
//
// Write static_tsptr/static_type only through publish_filter and process_pat
// only through set_process_pat, and read them through published_filter and
// process_pat_on: they store and load with the ordering the player's thread
// relies on.

class TsFilter;

extern TsFilter* static_tsptr;
extern char static_type;
extern bool process_pat;

// Stores the role, then the filter (release): whoever sees the filter also
// sees the role and the fully built filter.
void publish_filter(TsFilter* filter, char type);
TsFilter* published_filter();
void set_process_pat(bool on);
bool process_pat_on();

#endif
