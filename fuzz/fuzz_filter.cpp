// The transmitter's packet filter: arbitrary bytes in arbitrary buffer
// splits into TsFilter::Filter, with two streams attached (one to a program,
// one to every program) sending to a loopback sink that discards.
//
// Every 64 inputs (and before the first) the filter returns to one state:
// the PID map is cleared, a known three-program multiplex's PAT and PMTs are
// fed, and the streams are attached again.  (Doing it for every input, its
// walks over the 8192 PIDs would take nine tenths of the time; a crash that
// needs the inputs before it is still found, and its reproducer replays
// them with -runs on the saved corpus.)  Input: a split byte count n, then n split bytes (each a
// buffer length, in units of 47 bytes, 0 meaning 1 byte), then the stream.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

struct World {
  TunerManager tm{'T'};
  TsFilter filter{'T', &tm};
  vyxfuzz::DiscardSink sink;
  tsfix::Bytes psi;  // the multiplex's PAT and PMT packets
  uint16_t tsid = 0;

  World() {
    // The PAT and the PMTs (PIDs 0x101..0x103) of the generator's first round.
    tsfix::MuxGenerator gen(3, 0x21, 200, 0);
    tsfix::Bytes ts = gen.Generate(200);
    for (size_t at = 0; at + 188 <= ts.size() && psi.size() < 8 * 188; at += 188) {
      unsigned pid = ((ts[at + 1] & 0x1F) << 8) | ts[at + 2];
      if (pid == 0 || (pid >= 0x101 && pid <= 0x103)) psi.insert(psi.end(), ts.begin() + at, ts.begin() + at + 188);
    }
    tsid = gen.Tsid();
    char ip[] = "127.0.0.1";
    filter.FilterActive(true);
    filter.AddStream(0, ip, sink.Port());
    filter.AddStream(1, ip, sink.Port());
  }

  void Reset() {
    filter.CleanPacketIdMap();
    filter.mPatVersion = -1;
    filter.Filter(psi.data(), static_cast<int>(psi.size()));
    for (int i = 0; i < 2; i++) {
      filter.AddStreamerToPsi(filter.mStreamersList[i]);
      filter.AddStreamerToUnidentified(filter.mStreamersList[i]);
    }
    filter.AddProgramToStream(0, tsid, 2);
    filter.AddAllProgramsToStream(1);
  }
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports of broken input go to the error stream; keep them off stdout.
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World();
  if (size < 1) return 0;
  size_t splits = data[0] % 16;
  if (size < 1 + splits) return 0;
  std::vector<size_t> cuts(data + 1, data + 1 + splits);
  const uint8_t* ts = data + 1 + splits;
  size_t left = size - 1 - splits;

  static unsigned runs = 0;
  if (runs++ % 64 == 0) world->Reset();
  size_t k = 0;
  while (left > 0) {
    size_t n = left;
    if (k < cuts.size()) n = cuts[k] == 0 ? 1 : cuts[k] * 47;
    if (n > left) n = left;
    // A buffer of exactly its size: the filter must read nothing beyond it.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[n]);
    memcpy(buffer.get(), ts, n);
    world->filter.Filter(buffer.get(), static_cast<int>(n));
    ts += n;
    left -= n;
    k++;
  }
  return 0;
}
