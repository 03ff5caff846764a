// The transmitter's packet path: TsFilter::Filter over a multi-program
// multiplex in player-sized buffers (32 KiB), first with analysis only, then
// with two streams (one program each) sending to loopback.
//
// Inputs: 0 = the ffmpeg-made three-program multiplex (real PES, PCR and PSI
// timing; falls back to the generator without ffmpeg), 1 = the fixture
// generator's eight-program multiplex (20000 packets, PSI every 200).
// Reported: bytes/s, packets/s and the time per packet ("per_packet").

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ffmpeg_streams.h"
#include "streamer.h"
#include "tsfilter.h"
#include "tsfixture.h"
#include "utils.h"

namespace {

struct Input {
  std::vector<uint8_t> ts;
  uint16_t tsid;
  std::string name;
};

const Input& GetInput(int which) {
  static Input inputs[2];
  static bool made[2] = {false, false};
  Input& in = inputs[which];
  if (!made[which]) {
    made[which] = true;
    if (which == 0 && ffstreams::HaveFfmpeg() && !ffstreams::ThreeProgramStream().empty() &&
        ffstreams::ReadFile(ffstreams::ThreeProgramStream(), &in.ts)) {
      in.tsid = 0x21;
      in.name = "ffmpeg-3prog";
    } else {
      tsfix::MuxGenerator gen(8, 1, 200, 0);
      in.ts = gen.Generate(20000);
      in.tsid = gen.Tsid();
      in.name = "fixture-8prog";
    }
  }
  return in;
}

void FeedAll(TsFilter* tsf, const std::vector<uint8_t>& ts) {
  const size_t kBuffer = 32768;
  unsigned char* data = const_cast<unsigned char*>(ts.data());
  for (size_t off = 0; off < ts.size(); off += kBuffer) {
    size_t n = std::min(kBuffer, ts.size() - off);
    tsf->Filter(data + off, static_cast<int>(n));
  }
}

void Report(benchmark::State& state, const Input& in) {
  int64_t packets = static_cast<int64_t>(in.ts.size() / 188);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.ts.size()));
  state.SetItemsProcessed(state.iterations() * packets);
  state.counters["per_packet"] = benchmark::Counter(
      static_cast<double>(packets),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(in.name);
}

void BM_FilterAnalysisOnly(benchmark::State& state) {
  const Input& in = GetInput(static_cast<int>(state.range(0)));
  std::unique_ptr<TsFilter> tsf(new TsFilter('T', nullptr));
  tsf->FilterActive(true);
  FeedAll(tsf.get(), in.ts);  // learn the multiplex first
  for (auto _ : state) FeedAll(tsf.get(), in.ts);
  Report(state, in);
}

void BM_FilterTwoStreams(benchmark::State& state) {
  const Input& in = GetInput(static_cast<int>(state.range(0)));
  std::unique_ptr<TsFilter> tsf(new TsFilter('T', nullptr));
  tsf->FilterActive(true);
  FeedAll(tsf.get(), in.ts);
  ffstreams::UdpCapture sink0, sink1;
  char ip[] = "127.0.0.1";
  if (!sink0.Ok() || !sink1.Ok() || !tsf->AddStream(0, ip, sink0.Port()) ||
      !tsf->AddStream(1, ip, sink1.Port()) || !tsf->AddProgramToStream(0, in.tsid, 1) ||
      !tsf->AddProgramToStream(1, in.tsid, 2)) {
    state.SkipWithError("could not set up the streams");
    return;
  }
  tsf->mPatVersion = -1;
  size_t datagrams = 0;
  size_t bytesOut = 0;
  for (auto _ : state) {
    FeedAll(tsf.get(), in.ts);
    state.PauseTiming();
    for (auto& d : sink0.Drain()) datagrams++, bytesOut += d.size();
    for (auto& d : sink1.Drain()) datagrams++, bytesOut += d.size();
    state.ResumeTiming();
  }
  Report(state, in);
  state.counters["datagrams"] = benchmark::Counter(static_cast<double>(datagrams),
                                                   benchmark::Counter::kAvgIterations);
  state.counters["out_share"] = static_cast<double>(bytesOut) /
                                static_cast<double>(in.ts.size() * state.iterations());
  for (int i = 0; i < TsFilter::kMaxStreams; i++) tsf->RemoveStream(i);
}

// One streamer alone: copying 188-byte packets, a datagram every seventh,
// flushed every 174 packets (a 32 KiB player buffer).
void BM_StreamerStream(benchmark::State& state) {
  ffstreams::UdpCapture sink;
  Streamer s(65536, 1316);
  if (!sink.Ok() || !s.StreamSet("127.0.0.1", sink.Port())) {
    state.SkipWithError("no loopback socket");
    return;
  }
  s.mActive = true;
  std::vector<uint8_t> packet(188, 0x47);
  const int kPackets = 7000;
  for (auto _ : state) {
    for (int i = 0; i < kPackets; i++) {
      s.Stream(packet.data(), 188);
      if (i % 174 == 173) s.Flush();
    }
    s.Flush();
    state.PauseTiming();
    sink.Drain();
    state.ResumeTiming();
  }
  state.SetBytesProcessed(state.iterations() * kPackets * 188);
  state.SetItemsProcessed(state.iterations() * kPackets);
  state.counters["per_packet"] = benchmark::Counter(
      kPackets, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_FilterAnalysisOnly)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FilterTwoStreams)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StreamerStream)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  global_debug_flag = 0;  // the packet path's logs would measure the terminal
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
