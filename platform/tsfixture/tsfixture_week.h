#ifndef TESTS_UNIT_SUPPORT_TSFIXTURE_WEEK_H
#define TESTS_UNIT_SUPPORT_TSFIXTURE_WEEK_H

// One simulated hour of a rolling guide multiplex (scripts/week.sh, through
// make_guide_stream week; the guide's unit tests): the tables a broadcaster
// sends at that hour, and what they announce.

#include <cstdint>
#include <string>
#include <vector>

#include "tsfixture.h"

namespace tsfix {
namespace week {

const int kChannels = 4;
const int kEventMinutes = 30;
const int kWindows = 5;  // EIT-0..4: the next 12 h from any minute of EIT-0's slot

// Multiplex `mux` (0 or 1) at `hour` hours after the week's start: PAT, PMTs
// (their version moves every hour, a second audio track is there every other
// hour), MGT, TVCT, an STT of the hour's first minute, EIT-0..4 over the
// 3-hour slots from the current one (versions move when the slot does), their
// ETTs; and packets of every elementary stream.  Every PID's packets are a
// multiple of 16, so the file loops with continuous counters.
Bytes HourStream(int mux, int hour);

struct WeekEvent {
  uint16_t id;     // stable across the windows and versions that carry it
  uint32_t start;  // Unix seconds
  std::string title;
  std::string text;
  bool coded;  // title and text Huffman-coded
};
// The STT of that hour (Unix seconds, its first minute), the transport id,
// and the events that hour announces for program `ch` + 1 (EIT-0..4).
uint32_t HourTime(int hour);
uint16_t TransportId(int mux);
std::vector<WeekEvent> HourEvents(int mux, int hour, int ch);
// What that hour announces, as JSON: the STT (Unix seconds), the transport
// id, and per program its events (id, start, minutes, title, description).
std::string HourManifest(int mux, int hour);

}  // namespace week
}  // namespace tsfix

#endif
