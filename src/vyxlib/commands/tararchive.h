#ifndef VYX_COMMANDS_TARARCHIVE_H
#define VYX_COMMANDS_TARARCHIVE_H

// Whole-archive check of a firmware upgrade before it goes to the burner: a
// tar whose every header checksum is right, whose members' sizes add up to
// the file, and which ends with its two zero blocks (nothing but zero blocks
// after them).

#include <cstddef>

// True when the file at `path` is such a tar.  Otherwise false, with the
// first fault found in `why` (cut to `whySize`).
bool tar_archive_complete(const char* path, char* why, size_t whySize);

#endif
