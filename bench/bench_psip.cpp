// The packet path on a stream of nothing but ATSC guide tables: MGT, TVCT,
// STT, EIT-0..3 (eight events per section, Huffman-coded titles) and ETTs
// (Huffman-coded descriptions), so that every packet is collected, checked
// and analysed and every event and text refreshes the guide.  32 KiB buffers.
// Reported: bytes/s, packets/s and the time per packet ("per_packet").

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

const std::vector<uint8_t>& GuideStream() {
  static std::vector<uint8_t> ts;
  if (!ts.empty()) return ts;
  const uint16_t tsid = 0x0101;
  tsfix::PsipStream s;
  s.Add(0x0000, tsfix::MakePat(tsid, 0, {{1, 0x0031}, {2, 0x0032}}));
  std::vector<tsfix::MgtTable> tables(6);
  const uint16_t types[] = {0x0000, 0x0100, 0x0101, 0x0102, 0x0103, 0x0200};
  const uint16_t pids[] = {0x1FFB, 0x1D00, 0x1D01, 0x1D02, 0x1D03, 0x1E00};
  for (int i = 0; i < 6; ++i) {
    tables[i].tableType = types[i];
    tables[i].pid = pids[i];
  }
  s.Add(0x1FFB, tsfix::MakeMgt(tables));
  std::vector<tsfix::TvctChannel> channels(2);
  for (int i = 0; i < 2; ++i) {
    channels[i].shortName = "BENCH";
    channels[i].major = 7;
    channels[i].minor = static_cast<uint16_t>(i + 1);
    channels[i].channelTsid = tsid;
    channels[i].program = static_cast<uint16_t>(i + 1);
    channels[i].sourceId = static_cast<uint16_t>(i + 1);
  }
  s.Add(0x1FFB, tsfix::MakeTvct(tsid, 0, channels));
  const uint32_t start = 1300000000u;
  s.Add(0x1FFB, tsfix::MakeStt(start, 18));
  for (uint16_t src = 1; src <= 2; ++src) {
    for (int k = 0; k < 4; ++k) {
      std::vector<tsfix::EitEvent> events;
      for (int e = 0; e < 8; ++e) {
        uint16_t id = static_cast<uint16_t>(k * 8 + e + 1);
        events.push_back(tsfix::Event(id, start + 1800u * id, 1800,
                                      tsfix::HuffmanMss("Evening News and Weather " + std::to_string(id), 1)));
        s.Add(0x1E00, tsfix::MakeEtt(tsfix::EventEtmId(src, id), 0,
                                     tsfix::HuffmanMss("Headlines, sport, the weather and traffic, then a "
                                                       "documentary about the city's bridges.", 2)));
      }
      s.Add(static_cast<uint16_t>(0x1D00 + k), tsfix::MakeEit(src, 0, 0, 0, events));
    }
  }
  ts = s.Build(16);
  return ts;
}

void BM_FilterGuideTables(benchmark::State& state) {
  const std::vector<uint8_t>& ts = GuideStream();
  std::unique_ptr<TunerManager> tm(new TunerManager('T'));
  std::unique_ptr<TsFilter> tsf(new TsFilter('T', tm.get()));
  tm->mCurrentChannel = 5;
  tsf->FilterActive(true);
  const size_t kBuffer = 32768;
  unsigned char* data = const_cast<unsigned char*>(ts.data());
  auto feed = [&]() {
    for (size_t off = 0; off < ts.size(); off += kBuffer)
      tsf->Filter(data + off, static_cast<int>(std::min(kBuffer, ts.size() - off)));
  };
  feed();  // programs, source ids and events known first
  for (auto _ : state) feed();
  int64_t packets = static_cast<int64_t>(ts.size() / 188);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(ts.size()));
  state.SetItemsProcessed(state.iterations() * packets);
  state.counters["per_packet"] = benchmark::Counter(
      static_cast<double>(packets), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_FilterGuideTables)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  global_debug_flag = 0;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
