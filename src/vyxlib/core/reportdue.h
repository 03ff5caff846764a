#ifndef VYX_REPORTDUE_H
#define VYX_REPORTDUE_H

// Rate limit for reports that a hostile or broken stream (or a flood of bad
// commands) could trigger on every packet: the first, then one in 512.
// `countBefore` is the event counter before this event is counted.
inline bool report_due(unsigned int countBefore) { return (countBefore & 511u) == 0; }

#endif
