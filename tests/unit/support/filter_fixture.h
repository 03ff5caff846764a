#ifndef VYX_TEST_FILTER_FIXTURE_H
#define VYX_TEST_FILTER_FIXTURE_H

// What the table and guide tests share: the library's debug logs off, a
// transmitter's tuner manager with its filter, analysers run on exact-size
// copies of their sections, and program records found by number.

#include <cstdint>
#include <vector>

#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace vyxtest {

// The debug logs stay off unless a test turns them on (set before main).
struct QuietLogs {
  QuietLogs() { global_debug_flag = 0; }
};
inline QuietLogs quietLogs;

// A program record of the current channel's list (-1), or null.
inline ScalProgramDesc* FindProgram(TunerManager& tm, uint16_t programId) {
  ScalProgramList* l = tm.GetScalProgramDesc(-1);
  for (ScalProgramDesc* p = l ? l->head : nullptr; p != nullptr; p = p->pNext)
    if (p->programId == programId) return p;
  return nullptr;
}

struct FilterFixture {
  TunerManager tm{'T'};
  TsFilter f{'T', &tm};

  // One analyser on an exact-size copy of the section: a read past it is an
  // overrun under ASan.
  bool Analyse(bool (TsFilter::*analyser)(unsigned char*), const tsfix::Bytes& section) {
    std::vector<unsigned char> exact(section.begin(), section.end());
    return (f.*analyser)(exact.data());
  }
  // Packets through the packet loop with a null packet after them: the last
  // packet of a buffer is analysed once the next one's sync byte confirms it.
  void FilterWhole(tsfix::Bytes ts) {
    tsfix::Append(ts, tsfix::MakeDataPacket(0x1FFF, 0));
    f.Filter(ts.data(), static_cast<int>(ts.size()));
  }
};

}  // namespace vyxtest

#endif
