#ifndef PLATFORM_GUIDESTREAM_WEEK_GUIDE_H
#define PLATFORM_GUIDESTREAM_WEEK_GUIDE_H

// One simulated hour of a rolling guide multiplex (scripts/week.sh): the
// tables a broadcaster sends at that hour, and what they announce.

#include <cstdint>
#include <string>

#include "tsfixture.h"

namespace weekguide {

const int kChannels = 4;
const int kEventMinutes = 30;
const int kWindows = 5;  // EIT-0..4: the next 12 h from any minute of EIT-0's slot

// Multiplex `mux` (0 or 1) at `hour` hours after the week's start: PAT, PMTs
// (their version moves every hour, a second audio track is there every other
// hour), MGT, TVCT, an STT of the hour's first minute, EIT-0..4 over the
// 3-hour slots from the current one (versions move when the slot does), their
// ETTs; and packets of every elementary stream.  Every PID's packets are a
// multiple of 16, so the file loops with continuous counters.
tsfix::Bytes HourStream(int mux, int hour);
// What that hour announces, as JSON: the STT (Unix seconds), the transport
// id, and per program its events (id, start, minutes, title, description).
std::string HourManifest(int mux, int hour);

}  // namespace weekguide

#endif
