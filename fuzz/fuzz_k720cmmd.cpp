// The player tool's option parser, as the plug-in runs it in process: any
// command line, split at blanks.  Every option builds its record and puts it
// on the player's queue, which does not exist here (the send is skipped).
// Host-name lookups (-hostip, -hostname) are taken out of the input: they
// would ask the resolver.  -rtsp ends only the command-line tool, not this.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "services/k720cmmd.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The parser prints each record; keep the fuzzer's output readable.
  if (freopen("/dev/null", "w", stdout) == nullptr) return 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string line(reinterpret_cast<const char*>(data), size);
  line = line.substr(0, strnlen(line.c_str(), line.size()));
  for (size_t at; (at = line.find("-host")) != std::string::npos;) line[at] = '_';
  std::unique_ptr<char[]> buffer(new char[line.size() + 1]);
  memcpy(buffer.get(), line.c_str(), line.size() + 1);
  k720cmmd(buffer.get());
  return 0;
}
