// The transmitter's packet path: TsFilter::Filter over a multi-program
// multiplex in player-sized buffers (32 KiB), first with analysis only, then
// with two streams (one program each) sending to loopback.
//
// Inputs: 0 = the ffmpeg-made three-program multiplex (real PES, PCR and PSI
// timing; falls back to the generator without ffmpeg), 1 = the fixture
// generator's eight-program multiplex (20000 packets, PSI every 200).
// Reported: bytes/s, packets/s and the time per packet ("per_packet").
//
// BM_FilterGuide feeds a program guide (MGT, TVCT, STT, EITs and an ETT for
// every event) to a filter with its tuner manager and counts the operator
// new calls made while the packets are filtered ("allocations" per pass,
// which must stay 0: the guide takes its records from fixed pools).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ffmpeg_streams.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "ts/time.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

// Counts the allocations made while `counting` is set.
static std::atomic<bool> counting{false};
static std::atomic<long> allocations{0};

void* operator new(size_t size) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  void* p = std::malloc(size > 0 ? size : 1);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }

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

// Three programs with a guide: 40 half-hour events each in EIT-0..3
// sections of 5, an ETT of 200 bytes for each event, a channel ETT, the
// tables repeated as the player would loop them.
std::vector<uint8_t> GuideStream() {
  using namespace tsfix;
  const uint32_t now = 1171197444u;
  Bytes out;
  PsiPacketizer pat(0), base(0x1FFB), ett(0x1E00);
  PsiPacketizer eit[4] = {PsiPacketizer(0x1D00), PsiPacketizer(0x1D01), PsiPacketizer(0x1D02),
                          PsiPacketizer(0x1D03)};
  PsiPacketizer pmt[3] = {PsiPacketizer(0x101), PsiPacketizer(0x102), PsiPacketizer(0x103)};
  std::vector<TvctChannel> channels;
  std::vector<PatEntry> programs;
  for (uint16_t k = 1; k <= 3; ++k) {
    programs.push_back({k, static_cast<uint16_t>(0x100 + k)});
    channels.push_back({"CH" + std::to_string(k), 13, k, 0x21, k, static_cast<uint16_t>(k)});
  }
  std::vector<MgtTable> tables;
  auto table = [&tables](uint16_t type, uint16_t pid) {
    MgtTable t;
    t.tableType = type;
    t.pid = pid;
    tables.push_back(t);
  };
  table(0x0000, 0x1FFB);
  table(0x0004, 0x1E00);
  table(0x0200, 0x1E00);
  for (uint16_t i = 0; i < 4; ++i) table(static_cast<uint16_t>(0x0100 + i), static_cast<uint16_t>(0x1D00 + i));
  for (int round = 0; round < 2; ++round) {
    Append(out, Join(pat.Packetize(MakePat(0x21, 0, programs))));
    for (uint16_t k = 1; k <= 3; ++k)
      Append(out, Join(pmt[k - 1].Packetize(
                      MakePmt(k, static_cast<uint16_t>(0x200 + k), 0,
                              {{0x02, static_cast<uint16_t>(0x200 + k), {}}}))));
    Append(out, Join(base.Packetize(MakeMgt(tables))));
    Append(out, Join(base.Packetize(MakeTvct(0x21, 0, channels))));
    Append(out, Join(base.Packetize(MakeStt(now, 17))));
    for (uint16_t src = 1; src <= 3; ++src) {
      Append(out, Join(ett.Packetize(MakeEtt(ChannelEtmId(src), 0, PlainMss("Channel " + std::to_string(src))))));
      for (int block = 0; block < 4; ++block) {
        std::vector<EitEvent> events;
        for (int i = 0; i < 10; ++i) {
          uint16_t id = static_cast<uint16_t>(src * 100 + block * 10 + i);
          events.push_back(tsfix::Event(id, now + (block * 10 + i) * 1800, 1800,
                                 PlainMss("Show " + std::to_string(id))));
          Append(out, Join(ett.Packetize(MakeEtt(EventEtmId(src, id), 0,
                                                 PlainMss(std::string(200, 'a' + i))))));
        }
        for (const Bytes& sec : MakeEitSections(src, 0, events, 5)) Append(out, Join(eit[block].Packetize(sec)));
      }
    }
  }
  Append(out, MakeDataPacket(0x1FFF, 0));
  return out;
}

void BM_FilterGuide(benchmark::State& state) {
  static const std::vector<uint8_t> ts = GuideStream();
  TunerManager tm('T');
  std::unique_ptr<TsFilter> tsf(new TsFilter('T', &tm));
  tsf->FilterActive(true);
  FeedAll(tsf.get(), ts);  // programs, channels and the guide learnt
  unsigned int events = 0, texts = 0;
  for (ScalProgramDesc* p = tm.GetScalProgramDesc(0)->head; p != nullptr; p = p->pNext)
    for (Event* e = p->mEvents.begin(9); e != nullptr; e = p->mEvents.next(9)) {
      ++events;
      if (e->eitWasSet && e->ettWasSet && e->longInfoSize == 200) ++texts;
    }
  if (events != 120 || texts != 120) {
    state.SkipWithError(("the guide holds " + std::to_string(events) + " events and " +
                         std::to_string(texts) + " texts, not 120").c_str());
    return;
  }
  // The counter must see this process's allocations (sanitizer runtimes
  // bring their own operator new).
  allocations = 0;
  counting = true;
  std::unique_ptr<int> probe(new int(1));
  counting = false;
  if (allocations.load() != 1) {
    state.SkipWithError("operator new is not counted here");
    return;
  }
  allocations = 0;
  for (auto _ : state) {
    counting = true;
    FeedAll(tsf.get(), ts);
    counting = false;
  }
  state.counters["allocations"] =
      benchmark::Counter(static_cast<double>(allocations.load()), benchmark::Counter::kAvgIterations);
  state.counters["events"] = events;
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(ts.size()));
  state.counters["per_packet"] = benchmark::Counter(
      static_cast<double>(ts.size() / 188),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  Time::Self()->SetTime(0, 0, 0);
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
BENCHMARK(BM_FilterGuide)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  global_debug_flag = 0;  // the packet path's logs would measure the terminal
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
