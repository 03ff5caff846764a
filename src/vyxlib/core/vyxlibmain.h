#ifndef VYX_VYXLIBMAIN_H
#define VYX_VYXLIBMAIN_H

// The plug-in's entry points (vyxlibmain.cpp): the state Vyx_Filter reads on
// the player's thread and the bodies of the threads Vyx_Start_Filter starts.

class TsFilter;

// Filter-entry state (vyxlibmain.cpp), read by Vyx_Filter on the player's
// thread.  Write static_tsptr/static_type only through publish_filter and
// process_pat only through set_process_pat: they store with the ordering the
// player's thread relies on.
extern TsFilter* static_tsptr;
extern char static_type;
extern bool process_pat;
void publish_filter(TsFilter* filter, char type);
void set_process_pat(bool on);

// Thread bodies (vyxlibmain.cpp); the argument is the command manager.
void* command_thread(void* arg);
void* watchdog_thread(void* arg);

#endif
