#ifndef VYX_K720CMMD_H
#define VYX_K720CMMD_H

// Player command channel: binary command messages on the media player's
// System V queue (record layouts in quv_interprocess.h), and the option
// parser that builds them from a k720cmmd command line.

// Puts one command message on queue `msgQID` (a key) with message type
// `TypeId`: the command id, `paramSize` payload bytes from pParam (none when
// null) and four zero bytes.  Returns 1 when queued, 0 otherwise (a missing
// queue means the player is not running and is silently ignored).  Payloads
// longer than QUV_MSG_PAYLOAD_MAX are cut to it.
int send_msg(unsigned msgQID, unsigned TypeId, unsigned cmmdId, void* pParam, int paramSize);

// Parses k720cmmd options and sends one message per option.  Always 0.
// argv[0] is a program name (not an option).  -rtsp ends the calling process
// with status 0, as the player's command-line tool does.
int Main(int argc, char** argv);

// The in-process command line: splits `line` in place at blanks and runs the
// options.  Not re-entrant (static argument vector, strtok); callers run on the
// command thread.  Inside the media player process -rtsp is ignored (it would
// end the player), see the .cpp.
void k720cmmd(char* line);

#endif
