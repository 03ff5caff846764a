#ifndef VYX_TEST_FILTER_FIXTURE_H
#define VYX_TEST_FILTER_FIXTURE_H

// What the table and guide tests share: the library's debug logs off, a
// transmitter's tuner manager with its filter, analysers run on exact-size
// copies of their sections, and program records found by number.

#include <cstdint>
#include <string>
#include <vector>

#include "loopback_udp.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "udpcom.h"
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

// Every datagram a forwarding controller receives for one guide query.
inline std::vector<std::string> AskGuide(TunerManager& tm, uint16_t tsid, uint16_t prog,
                                         unsigned int date, unsigned int time, unsigned int frame,
                                         char type) {
  LoopbackUdp ctl;
  UdpServer asker;
  asker.siOther = ctl.Address();
  tm.SetTunerForwarding(nullptr);
  tm.SetTunerForwarding(&asker);
  char buffer[64] = "";
  tm.ProcessEpgData(buffer, tsid, prog, date, time, frame, type);
  tm.SetTunerForwarding(nullptr);
  std::vector<std::string> got;
  for (auto& d : ctl.Drain()) got.emplace_back(d.begin(), d.end());
  return got;
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
