// Stream-related command handlers: the output packet size and the debug
// stream files (replay input instead of the tuner, copy output to a file).

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "ts/tsfilter.h"
#include "utils.h"

namespace {

const int kKeywordLength = 14;  // "STREAMFROMFILE"

// The packet loop reads dbg_file_in and the streamers write dbg_file_out on
// the player's thread under the filter's mutex: swap them under it.
void swap_debug_files(FILE* in, FILE* out, FILE** oldIn, FILE** oldOut) {
  TsFilter* tsf = TsFilter::Self();
  if (tsf != nullptr) pthread_mutex_lock(&tsf->mMutex);
  *oldIn = dbg_file_in;
  *oldOut = dbg_file_out;
  dbg_file_in = in;
  dbg_file_out = out;
  if (tsf != nullptr) pthread_mutex_unlock(&tsf->mMutex);
}

}  // namespace

char* CommandManager::ProcessPacketSize(char* cmd, int /*len*/) {
  if (cmd == nullptr) return mKo;
  long value = strtol(cmd, nullptr, 10);
  int size = (value > 32768) ? 32769 : (value < -1) ? -1 : static_cast<int>(value);
  // The log gives the number as commanded (within int), not the clamped one.
  int commanded = value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
  VYX_LOG("Commanded packet size is %d\n", commanded);
  if (size > 32768 || size < 0) return mKo;
  if (mpTsf == nullptr) return mKo;
  // The answer does not depend on whether the size could be saved on disk.
  mpTsf->SetPacketSize(size);
  return mOk;
}

void CommandManager::StreamFromFile(char* cmd) {
  FILE* oldIn = nullptr;
  FILE* oldOut = nullptr;
  swap_debug_files(nullptr, nullptr, &oldIn, &oldOut);
  if (oldIn != nullptr) fclose(oldIn);
  if (oldOut != nullptr) fclose(oldOut);

  if (cmd == nullptr || strnlen(cmd, kKeywordLength) < static_cast<size_t>(kKeywordLength)) return;
  // input[,output]: blanks and line ends around a path are not part of it.
  fields::Split split(cmd + kKeywordLength, ',', 1023);
  const char* input = split.Trimmed(0);
  const char* output = split.Trimmed(1);
  if (input == nullptr) return;

  FILE* in = nullptr;
  if (input[0] != 'x') {
    VYX_LOG("Opeining file %s|\n", input);
    in = fopen(input, "rb");
    if (in == nullptr) {
      VYX_ERROR("Can't open %s\n", input);
      return;
    }
  }
  FILE* out = nullptr;
  if (output != nullptr) {
    VYX_LOG("Opening file %s|\n", output);
    out = fopen(output, "wb");
    if (out == nullptr) VYX_ERROR("Can't open %s\n", output);
  }
  swap_debug_files(in, out, &oldIn, &oldOut);
}
