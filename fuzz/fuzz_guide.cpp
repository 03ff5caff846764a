// The guide store and its queries: a transmitter's command manager (private
// world, fuzz_support.h) is fed whole guide multiplexes made by the fixture
// writer (MGT, TVCT, STT, EIT-n and ETT-n, plain and Huffman-coded texts in
// several segments, channel names), retunes between them, hears stray guide
// sections, sees its clock move (ended events are evicted first when space
// runs short) and answers the guide commands (EIT..., DUMPEIT).
// Input: pieces (fuzz_support.h); each piece is an operation byte and its
// arguments:
//   0 a guide command (the datagram);
//   1 tune to channel 2 + arg[0] % 8 and hear the multiplex arg[1..] (Mux);
//   2 a section on a guide PID (arg[0]: which), its CRC made right unless
//     arg[0] bit 7 is set;
//   3 an STT arg[0..1] minutes later than the last one;
//   4 the multiplex heard again (its repetition, refreshing the store).

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "fuzz_world.h"
#include "ts/tablecollector.h"
#include "ts/time.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// A GPS midnight (MJD 59290) with the 18 s offset, as the guide seeds use.
const uint32_t kDay = (59290u - 44244u) * 86400u + 18u;

struct Tuned {
  tsfix::GuideMux mux;
  tsfix::Bytes ts;
  uint32_t now = 0;
};

// Byte i of a piece's arguments, 0 past its end.
unsigned Arg(const std::string& a, size_t i) { return i < a.size() ? static_cast<uint8_t>(a[i]) : 0; }

// A guide multiplex from twelve argument bytes: transport id, channels
// (1-8), events per channel (1-128), text length (0-4000 bytes, ETTs on
// every event when not 0), which events go Huffman-coded, the version, the
// hour of the first event, the clock in half hours after it, the events'
// length, the source ids' base, whether channels carry long names, and the
// first event id (in 128s: a rolling guide's later windows bring new ids).
tsfix::GuideMux Mux(const std::string& a) {
  tsfix::GuideMux m;
  m.tsid = static_cast<uint16_t>(0x20 + Arg(a, 0) % 4);
  m.channels = 1 + static_cast<int>(Arg(a, 1) % 8);
  m.events = 1 + static_cast<int>(Arg(a, 2) % 128);
  const unsigned textBytes = Arg(a, 3) * 16u > 4000u ? 4000u : Arg(a, 3) * 16u;
  const unsigned coded = Arg(a, 4);
  m.version = static_cast<uint8_t>(Arg(a, 5) % 32);
  m.firstStart = kDay + (Arg(a, 6) % 24) * 3600u;
  m.now = m.firstStart + (Arg(a, 7) % 72) * 1800u;
  m.eventSeconds = 600u * (1 + Arg(a, 8) % 6);
  m.sourceBase = static_cast<uint16_t>(Arg(a, 9) % 4 * 100);
  m.title = [](int ch, int ev) { return "Show " + std::to_string(ch) + "." + std::to_string(ev); };
  if (textBytes != 0)
    m.text = [textBytes](int ch, int ev) {
      return std::string(textBytes - static_cast<unsigned>((ch * 7 + ev) % 16), static_cast<char>('a' + ev % 26));
    };
  // The fixture's Huffman coder is slow: long texts go plain.
  if (textBytes <= 512)
    m.huffman = [coded](int ch, int ev) { return coded != 0 && (ch + ev) % (1 + coded % 4) == 0; };
  m.firstEventId = static_cast<uint16_t>(1 + Arg(a, 11) * 128);
  if (Arg(a, 10) & 1) m.longName = [](int ch) { return "Channel " + std::to_string(ch) + " of the guide"; };
  return m;
}

struct World {
  CommandManager* tx = vyxtest::shared_manager('T');
  TunerManager* tm = tx->mpTunerManager;
  TsFilter* filter = tx->mpTsf;
  Tuned tuned;
  uint32_t clock = 0;

  // As a retune leaves the filter: no tables known, an empty collector.
  void FreshFilter() {
    filter->CleanPacketIdMap();
    filter->mPatVersion = -1;
    if (filter->mpTableCollector != nullptr) filter->mpTableCollector->Reset();
  }

  void Hear(const tsfix::Bytes& ts) {
    if (!ts.empty()) filter->Filter(const_cast<uint8_t*>(ts.data()), static_cast<int>(ts.size()));
  }

  void Tune(int channel, const std::string& args) {
    tm->mCurrentChannel = channel;
    FreshFilter();
    tuned.mux = Mux(args);
    // The last few multiplexes built are kept: the fuzzer repeats its
    // arguments often, and a large multiplex takes long to write.
    static std::map<std::string, tsfix::Bytes> built;
    const std::string key = args.substr(0, 12);
    auto it = built.find(key);
    if (it == built.end()) {
      if (built.size() >= 8) built.clear();
      it = built.emplace(key, tuned.mux.Build()).first;
    }
    tuned.ts = it->second;
    clock = tuned.mux.now;
    Hear(tuned.ts);
  }

  // Each input starts on channel 2 with nothing stored.
  void Reset() {
    filter->FilterActive(true);
    vyxfuzz::clear_scan_results(tm);
    global_debug_flag = 0;
    tm->mCurrentChannel = 2;
    FreshFilter();
    tuned = Tuned();
    clock = kDay;
    Time::Self()->SetTime(clock, 18, 0);
  }
};

// The guide PIDs the fixture's MGT announces: the base PID, EIT-0/1, ETT-0/1
// and the channel ETT.
const uint16_t kGuidePids[] = {0x1FFB, 0x1D00, 0x1D01, 0x1E00, 0x1E01, 0x1A04};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_command_world();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* w = new World();
  static tsfix::PsiPacketizer* packetizers[6] = {nullptr};
  w->Reset();
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 24)) {
    if (piece.empty()) continue;
    const std::string args = piece.substr(1);
    switch (static_cast<uint8_t>(piece[0]) % 5) {
      case 0:
        vyxtest::dispatch(w->tx, args.substr(0, 2040));
        break;
      case 1:
        w->Tune(2 + static_cast<int>(Arg(args, 0) % 8), args.substr(args.empty() ? 0 : 1));
        break;
      case 2: {
        const unsigned which = Arg(args, 0);
        tsfix::Bytes section(args.begin() + (args.empty() ? 0 : 1), args.end());
        if (section.empty()) break;
        if (section.size() > 4096) section.resize(4096);
        if ((which & 0x80) == 0) tsfix::FixCrcAtLength(section);
        tsfix::PsiPacketizer*& p = packetizers[which % 6];
        if (p == nullptr) p = new tsfix::PsiPacketizer(kGuidePids[which % 6]);
        w->Hear(tsfix::Join(p->Packetize(section)));
        break;
      }
      case 3:
        w->clock += (Arg(args, 0) | Arg(args, 1) << 8) * 60u;
        {
          static tsfix::PsiPacketizer base(0x1FFB);
          w->Hear(tsfix::Join(base.Packetize(tsfix::MakeStt(w->clock, 18))));
        }
        break;
      default:
        w->Hear(w->tuned.ts);
        break;
    }
    global_debug_flag = 0;
  }
  vyxtest::FakeAgent::Get().ClearRequests();
  vyxtest::FakeSysMgr::Get().Take();
  return 0;
}
