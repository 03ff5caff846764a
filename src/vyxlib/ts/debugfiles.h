#ifndef VYX_DEBUGFILES_H
#define VYX_DEBUGFILES_H

// Debug copies of the stream.  dbg_file_in: when open, the filter reads each
// buffer from it instead of using the player's bytes (stream-from-file
// command).  dbg_file_out: when open, streamers write their datagrams to it
// instead of sending them.  Both are opened and closed by the command thread
// under the filter's mutex.

#include <cstdio>

extern FILE* dbg_file_in;
extern FILE* dbg_file_out;

#endif
