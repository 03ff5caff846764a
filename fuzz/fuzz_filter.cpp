// The transmitter's packet filter: arbitrary bytes in arbitrary buffer
// splits into TsFilter::Filter, with two streams attached (one to a program,
// one to every program) sending to a loopback sink that discards.
//
// Every 64 inputs (and before the first) the filter returns to one state:
// the PID map is cleared, a known three-program multiplex's PAT and PMTs are
// fed, and the streams are attached again.  (Doing it for every input, its
// walks over the 8192 PIDs would take nine tenths of the time; a crash that
// needs the inputs before it is still found, and its reproducer replays
// them with -runs on the saved corpus.)
//
// Input, by its first byte:
// - below 0x80: its low four bits a split count n, then n split bytes (each a
//   buffer length, in units of 47 bytes, 0 meaning 1 byte), then the stream;
// - from 0x80 on: a session in which the stream commands act on the filter
//   between the player's buffers, as the command thread does on the device.
//   It starts and ends in the state above.  The rest is pieces
//   (fuzz_support.h), each an operation byte and its arguments:
//     0 a buffer of exactly the argument bytes (none: the player's call that
//       brings nothing);
//     1 a stream started as UNIT does it: arg0 % 8 the stream (0 as UNIT1,
//       which stops every stream first; n as UNIT4 n, which stops streams 0
//       and n), arg1 % 4 the destination (the sink; a loopback port nobody
//       listens on, whose sends are refused; the loopback broadcast address,
//       which may not be sent to; an address with text after it, which
//       cannot be aimed), arg2 bit 0 the tuner already on the channel, then
//       16-bit transport and program ids in pairs (none: every program; a
//       transport without its program ends the list);
//     2 streams stopped: arg0 % 9, 0 every stream (UNIT0), k streams 0 and
//       k - 1 (UNIT5);
//     3 the audio languages (LANG): two of three letters, each followed by
//       its type byte;
//     4 a dump: arg0 % 3 the PID map, the languages, the section collector;
//     5 the send hold: the transmitter's 10 ms when arg0 is not 0, else none.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "statistics.h"
#include "streamer.h"
#include "ts/tsfilter.h"
#include "tsfixture.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// The transmitter's send hold (vyxlibmain.cpp).
const double kDeviceSendHold = 0.010;

// A loopback port that was free a moment ago: datagrams sent to it come back
// as port-unreachable reports, and the next send on the socket is refused.
unsigned short ClosedPort() {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  unsigned short port = 9;
  if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  if (fd >= 0) close(fd);
  return port;
}

struct World {
  TunerManager tm{'T'};
  TsFilter filter{'T', &tm};
  vyxfuzz::DiscardSink sink;
  unsigned short closedPort = 0;
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
    closedPort = ClosedPort();
    AddSinkStreams();
  }

  void AddSinkStreams() {
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

  // Back to the state every input may start from, whatever a session left:
  // its streams, languages, send hold and collector states gone.
  void Restore() {
    filter.StopMulticast(-1, true);
    filter.SetSendHold(0.0);
    filter.PrepareStreamStart(true);
    AddSinkStreams();
    Reset();
  }

  void Feed(const uint8_t* bytes, size_t n) {
    // A buffer of exactly its size: the filter must read nothing beyond it.
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[n]);
    if (n > 0) memcpy(buffer.get(), bytes, n);
    filter.Filter(buffer.get(), static_cast<int>(n));
  }

  void Start(const std::string& args);
  void Stop(unsigned which);
  void Languages(const std::string& args);
  void Dump(unsigned which);
};

unsigned Arg(const std::string& a, size_t i) { return i < a.size() ? static_cast<uint8_t>(a[i]) : 0; }

// CommandManager::StartStream after the UNIT command's stops: the tuning
// (no new multiplex when the tuner stays on it for a running stream), the
// stream, its programs, and the private PATs rebuilt at the next PAT.
void World::Start(const std::string& args) {
  const int stream = static_cast<int>(Arg(args, 0) % 8);
  if (stream == 0) {
    filter.StopMulticast(-1, true);
  } else {
    filter.StopMulticast(0, true);
    filter.StopMulticast(stream, true);
  }
  if ((Arg(args, 2) & 1) != 0 && filter.AnyStream() && filter.mRunFilter) {
    filter.PrepareStreamStart(false);
  } else {
    filter.PrepareStreamStart(true);
    Statistics::Self()->Reset();
    filter.FilterActive(true);
  }
  char address[24];
  unsigned short port = sink.Port();
  switch (Arg(args, 1) % 4) {
    case 0: snprintf(address, sizeof(address), "127.0.0.1"); break;
    case 1: snprintf(address, sizeof(address), "127.0.0.1"); port = closedPort; break;
    case 2: snprintf(address, sizeof(address), "127.255.255.255"); break;
    default: snprintf(address, sizeof(address), "127.0.0.1x"); break;
  }
  if (!filter.AddStream(stream, address, port)) return;
  const size_t pairs = args.size() > 3 ? (args.size() - 3 + 3) / 4 : 0;
  for (size_t i = 0; i < pairs && i < 64; i++) {
    const size_t at = 3 + 4 * i;
    if (at + 2 >= args.size()) break;  // a transport without its program
    const unsigned short transport = static_cast<unsigned short>(Arg(args, at) << 8 | Arg(args, at + 1));
    const unsigned short program = static_cast<unsigned short>(Arg(args, at + 2) << 8 | Arg(args, at + 3));
    filter.AddProgramToStream(stream, transport, program);
  }
  if (pairs == 0) filter.AddAllProgramsToStream(stream);
  filter.RebuildPrivatePats();
}

void World::Stop(unsigned which) {
  if (which == 0) {
    filter.StopMulticast(-1, true);
    return;
  }
  filter.StopMulticast(0, true);
  filter.StopMulticast(static_cast<int>(which) - 1, true);
}

// The transmitter's LANG: three letters and a type for each language.
void World::Languages(const std::string& args) {
  char pri[4] = {0};
  char sec[4] = {0};
  for (size_t i = 0; i < 3; i++) {
    pri[i] = static_cast<char>(Arg(args, i));
    sec[i] = static_cast<char>(Arg(args, 4 + i));
  }
  filter.SetLanguageFilter(pri, static_cast<int>(Arg(args, 3)), sec, static_cast<int>(Arg(args, 7)));
}

void World::Dump(unsigned which) {
  switch (which % 3) {
    case 0: filter.DumpPids(); break;
    case 1: filter.DumpLanguagesAndCaptions(); break;
    default: filter.DumpCollectionStats(); break;
  }
}

void Session(World* world, const uint8_t* data, size_t size) {
  world->Restore();
  for (const std::string& piece : vyxfuzz::split_pieces(data, size)) {
    if (piece.empty()) continue;
    const std::string args = piece.substr(1);
    switch (static_cast<uint8_t>(piece[0]) % 6) {
      case 0: world->Feed(reinterpret_cast<const uint8_t*>(args.data()), args.size()); break;
      case 1: world->Start(args); break;
      case 2: world->Stop(Arg(args, 0) % 9); break;
      case 3: world->Languages(args); break;
      case 4: world->Dump(Arg(args, 0)); break;
      default: world->filter.SetSendHold(Arg(args, 0) != 0 ? kDeviceSendHold : 0.0); break;
    }
  }
  world->Restore();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Reports of broken input go to the error stream; keep them off stdout.
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static World* world = new World();
  if (size < 1) return 0;
  if (data[0] >= 0x80) {
    Session(world, data + 1, size - 1);
    return 0;
  }
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
    world->Feed(ts, n);
    ts += n;
    left -= n;
    k++;
  }
  return 0;
}
