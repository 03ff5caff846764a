// The section collector and every table analyser behind it (PAT, PMT with
// its descriptors, the virtual channel tables and the other PSIP tables the
// filter dispatches), on both roles:
// - transmitter: each section is packetized on a PID (PID 0, the PMT PID a
//   fixed PAT announces, the PSIP base PID, or one the input names) and fed
//   through TsFilter::Filter, so it passes the collector first.  Its CRC is
//   made right unless the input asks otherwise, so the analysers see it;
// - receiver: the section goes to the plug-in's entry Vyx_Filter as the
//   player hands it, in a buffer of exactly its size.
// Input: pieces (fuzz_support.h); each piece is a selector byte (bits 0-1
// the target, bit 2 keep the CRC as it is, bits 3-7 a PID choice) and the
// section.  The transmitter's packets are fed as one buffer, a null packet
// after them.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "commands/commandmanager.h"
#include "fuzz_support.h"
#include "ts/tablecollector.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "core/filterentry.h"

extern "C" void Vyx_Filter(unsigned char* data, unsigned len);

namespace {

const uint16_t kPmtPid = 0x101;
const uint16_t kPsipPid = 0x1FFB;

struct World {
  TunerManager tmT{'T'};
  TsFilter tx{'T', &tmT};
  TunerManager tmR{'R'};
  TsFilter rx{'R', &tmR};
  tsfix::PsiPacketizer patPacketizer{0};
  tsfix::Bytes pat;
  std::vector<tsfix::PsiPacketizer> packetizers;

  World() {
    tx.FilterActive(true);
    pat = tsfix::MakePat(0x21, 0, {{1, kPmtPid}, {0, 0x10}});
    publish_filter(&rx, 'R');
    set_process_pat(true);
  }

  void Reset() {
    tx.CleanPacketIdMap();
    tx.mPatVersion = -1;
    // Each input meets an empty collector: the reassembly states of earlier
    // inputs would otherwise fill its table, and every packet would search
    // all of them.
    if (tx.mpTableCollector != nullptr) tx.mpTableCollector->Reset();
    // No programs, languages or guide from earlier inputs: they would fill
    // the pools, and later inputs would only meet the exhausted pool.
    vyxfuzz::clear_scan_results(&tmT);
    vyxfuzz::clear_scan_results(&tmR);
    tsfix::Bytes ts = tsfix::Join(patPacketizer.Packetize(pat));
    tx.Filter(ts.data(), static_cast<int>(ts.size()));
  }

  tsfix::PsiPacketizer& PacketizerFor(uint16_t pid) {
    static tsfix::PsiPacketizer* byPid[8192] = {nullptr};
    if (byPid[pid] == nullptr) byPid[pid] = new tsfix::PsiPacketizer(pid);
    return *byPid[pid];
  }
};

uint16_t PidFor(unsigned target, unsigned choice) {
  switch (target) {
    case 0: return 0;
    case 1: return kPmtPid;
    default: break;
  }
  // PSIP base PID most of the time, else a PID from the choice bits.
  static const uint16_t kOthers[] = {kPsipPid, kPsipPid, 0x10, 0x1FFF, 0x1000, 0x102, 0x1FFC, 0x30};
  return kOthers[choice % 8];
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World();
  world->Reset();
  tsfix::Bytes ts;
  for (const std::string& piece : vyxfuzz::split_pieces(data, size)) {
    if (piece.empty()) continue;
    unsigned selector = static_cast<uint8_t>(piece[0]);
    tsfix::Bytes section(piece.begin() + 1, piece.end());
    if ((selector & 4) == 0) tsfix::FixCrcAtLength(section);
    unsigned target = selector & 3;
    if (target == 3) {
      if (section.empty()) continue;
      // The receiver's entry, with a buffer of exactly the section's bytes.
      std::unique_ptr<unsigned char[]> exact(new unsigned char[section.size()]);
      memcpy(exact.get(), section.data(), section.size());
      Vyx_Filter(exact.get(), static_cast<unsigned>(section.size()));
      continue;
    }
    if (section.size() > 4096) section.resize(4096);
    uint16_t pid = PidFor(target, selector >> 3);
    tsfix::Append(ts, tsfix::Join(world->PacketizerFor(pid).Packetize(section)));
  }
  if (ts.empty()) return 0;
  // The filter analyses a packet once the next one's sync byte follows it:
  // a null packet after the last lets the input's last section through.
  tsfix::Append(ts, tsfix::MakeDataPacket(0x1FFF, 0, 0xFF));
  world->tx.Filter(ts.data(), static_cast<int>(ts.size()));
  return 0;
}
