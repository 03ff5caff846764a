// The scan-results file loader: any file at /mnt/hd1/vyx_scan_results (in
// the private world of fuzz_support.h), loaded by a transmitter's tuner
// manager, then listed line by line as SCAL does.  Every listed line must be
// a terminated text that fits what the SCAL handler leaves for it, and the
// listing ends (the pool holds no more records than it lists).

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "fuzz_support.h"
#include "tuner/tunermanager.h"
#include "utils.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_private_world();
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TunerManager* tm = new TunerManager('T');
  FILE* f = fopen("/mnt/hd1/vyx_scan_results", "wb");
  if (f == nullptr) __builtin_trap();
  if (size > 0 && fwrite(data, 1, size, f) != size) __builtin_trap();
  fclose(f);
  // Each input is the file a device starts with: no records before it.
  vyxfuzz::clear_scan_results(tm);
  tm->LoadScanResults();
  tm->RewindScan();
  // Past the 512 a line may take, so an unterminated line still shows; only
  // that much is marked for each line (the whole buffer cost most of the time).
  static char line[1024];
  for (int lines = 0;; lines++) {
    memset(line, 0x55, sizeof(line));
    int n = tm->GetNextProgramScalFormatted(line);
    if (n == 0) break;
    if (lines == TunerManager::kProgramPool) __builtin_trap();  // more lines than records
    // The handler gathers lines into 1024 bytes plus one line.
    if (n < 0 || n > 512 || strnlen(line, sizeof(line)) != static_cast<size_t>(n)) __builtin_trap();
  }
  return 0;
}
