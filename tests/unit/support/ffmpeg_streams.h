#ifndef VYX_TEST_FFMPEG_STREAMS_H
#define VYX_TEST_FFMPEG_STREAMS_H

// Real multiplexes for the streamer tests and benchmarks, made by ffmpeg at
// run time with deterministic settings, and the tools to check what the
// streamers send: a loopback UDP capture, an ffprobe program listing and an
// independent PAT reader (libdvbpsi, when the test support was built with it).

#include <cstdint>
#include <string>
#include <vector>

#include "loopback_udp.h"

namespace ffstreams {

using Bytes = std::vector<uint8_t>;

// The three-program multiplex (transport_stream_id 0x21, 2 seconds, MPEG-2
// video 160x120 and MP2 audio, PAT and PMTs every 100 ms, DVB SDT on 0x11):
//   program 1: PMT 0x80, video 0x100, audio 0x101 "eng"
//   program 2: PMT 0x81, video 0x200, audio 0x201 "eng", 0x202 "spa", 0x203 "fra"
//   program 3: PMT 0x82, video 0x300, audio 0x301 "ger"
struct Program {
  int number;
  int pmtPid;
  std::vector<int> pids;  // elementary PIDs in PMT order
};
const std::vector<Program>& ThreeProgramLayout();

// True when ffmpeg and ffprobe can be run.
bool HaveFfmpeg();
// Path of the multiplex, made once per process in a temporary directory
// (removed at exit); "" when ffmpeg is missing or fails.
const std::string& ThreeProgramStream();

bool ReadFile(const std::string& path, Bytes* out);
bool WriteFile(const std::string& path, const Bytes& data);
// A fresh path in the per-process temporary directory ("" if none).
std::string TempPath(const std::string& name);

// Programs as ffprobe sees them in a TS file (program number, PMT PID and
// elementary PIDs).  False when ffprobe cannot be run.
bool FfprobePrograms(const std::string& path, std::vector<Program>* out);

// PIDs of a TS byte string with their packet counts (aligned 188-byte packets).
struct PidCount {
  int pid;
  int packets;
};
std::vector<PidCount> CountPids(const Bytes& ts);

// A decoded PAT.
struct PatView {
  int tsid = -1;
  int version = -1;
  std::vector<std::pair<int, int>> programs;  // (program_number, PID)
};
// Decodes the PATs carried on PID 0 of `ts` with libdvbpsi, which checks
// continuity and CRC itself, and returns the last one.  `decoded` counts the
// PATs it delivered (a new version or the first), `errors` the continuity and
// CRC errors it reported.  False when the support was built without libdvbpsi.
bool DvbpsiLastPat(const Bytes& ts, PatView* pat, int* decoded, int* errors);

// What the streamers send, received on loopback (see loopback_udp.h).
using UdpCapture = vyxtest::LoopbackUdp;

}  // namespace ffstreams

#endif
