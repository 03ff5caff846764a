#ifndef VYX_TYPES_H
#define VYX_TYPES_H

#include <cstdint>

// Short names used throughout the plug-in.  Wire and IPC layouts never use
// them: those use the fixed-width types directly.
typedef unsigned short ushort;
typedef unsigned int uint;
typedef unsigned char uchar;
// Widths of the ATSC table fields the guide stores take.
typedef unsigned char ubyte;
typedef unsigned short ubyte2;
typedef unsigned int ubyte4;

#endif
