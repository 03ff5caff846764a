#ifndef VYX_FUZZ_SEEDS_H
#define VYX_FUZZ_SEEDS_H

// The seed writer's shared pieces: fuzz_seeds.cpp writes the first seeds of
// every target, and one file per subsystem adds the seeds that reach its
// less travelled paths.

#include <string>

namespace vyxseeds {

// Writes OUTDIR/TARGET/NAME (the directory is made on first use).
void WriteSeed(const std::string& target, const std::string& name, const std::string& bytes);

// A ustar archive of one member NAME holding BODY, as the upgrade check
// wants it whole; `fault` breaks it: 1 a wrong header checksum, 2 no end
// blocks, 3 a member size past the file's end.  `sizeField` replaces the
// size field's bytes when not empty (the checksum made right for it).
std::string TarArchive(const std::string& name, const std::string& body, int fault = 0,
                       const std::string& sizeField = "");

// Seeds of the stream side: packets, sections, collectors, streamers, dumps.
void TsSeeds(const std::string& samples);
// Seeds of the tuner manager and the command handlers (the device targets).
void TunerCommandSeeds(const std::string& samples);
// Seeds of the services around the device: agent, system manager, browser,
// beacon, IR, serial port, option parser.
void ServiceSeeds(const std::string& samples);

}  // namespace vyxseeds

#endif
