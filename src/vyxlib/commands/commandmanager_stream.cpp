// Stream-related command handlers: starting a transmitter's stream (for
// "UNIT": tune, wait for the tables, attach), the output packet size and the
// debug stream files (replay input instead of the tuner, copy output to a
// file).

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "core/scopedlock.h"
#include "statistics.h"
#include "ts/tsfilter.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

const int kKeywordLength = 14;  // "STREAMFROMFILE"

// The packet loop reads dbg_file_in and the streamers write dbg_file_out on
// the player's thread under the filter's mutex: swap them under it.
void swap_debug_files_locked(FILE* in, FILE* out, FILE** oldIn, FILE** oldOut) {
  *oldIn = dbg_file_in;
  *oldOut = dbg_file_out;
  dbg_file_in = in;
  dbg_file_out = out;
}

void swap_debug_files(FILE* in, FILE* out, FILE** oldIn, FILE** oldOut) {
  TsFilter* tsf = TsFilter::Self();
  if (tsf == nullptr) {
    swap_debug_files_locked(in, out, oldIn, oldOut);
    return;
  }
  ScopedLock lock(&tsf->mMutex);
  swap_debug_files_locked(in, out, oldIn, oldOut);
}

}  // namespace

bool CommandManager::ParseStreamText(fields::Split& split, StreamRequest* req) {
  if (req == nullptr) return false;
  const int kMaxFields = 3 + 2 * StreamRequest::kMaxPairs;
  static_assert(kMaxFields <= fields::Split::kMaxFields, "a stream text's fields");
  const int n = split.Count() < kMaxFields ? split.Count() : kMaxFields;
  const char* f[kMaxFields];
  for (int i = 0; i < n; i++) f[i] = split.Trimmed(i);
  if (n < 3 || f[0] == nullptr || f[1] == nullptr || f[2] == nullptr) return false;
  snprintf(req->address, sizeof(req->address), "%s", f[0]);
  if (!is_valid_ip(req->address)) {
    VYX_ERROR("Invalid Ip address %s", req->address);
    return false;
  }
  int port = 0;
  if (!fields::InRange(f[1], 1, 65535, &port)) {
    VYX_ERROR("Invalid port %s", f[1]);
    return false;
  }
  req->port = static_cast<unsigned short>(port);
  req->channel = static_cast<int>(fields::Hex(f[2]));
  req->pairs = 0;
  for (int i = 3; i < n; i += 2) {
    int k = req->pairs++;
    req->transportText[k] = f[i];
    req->programText[k] = i + 1 < n ? f[i + 1] : nullptr;
    req->transportId[k] = static_cast<unsigned short>(fields::Hex(f[i]));
    req->programId[k] = static_cast<unsigned short>(fields::Hex(req->programText[k]));
  }
  return true;
}

bool CommandManager::StartStream(int streamId, const char* text) {
  if (mpTsf == nullptr) return false;
  if (streamId < 0 || streamId >= TsFilter::kMaxStreams) {
    VYX_ERROR("StartStream: streamId out of range: %d", streamId);
    return false;
  }
  if (text == nullptr) return false;
  // Address, port, channel and up to 64 transport/program pairs (a longer
  // text is cut there); the caller's text is left as it was.
  fields::Split split(text, ',', 1023);
  StreamRequest req;
  if (!ParseStreamText(split, &req)) return false;
  TuneForStream(streamId, req.channel);
  if (!mpTsf->AddStream(streamId, req.address, req.port)) return false;
  AttachPrograms(streamId, req);
  // The next PAT rebuilds every stream's private PAT, the new one's too.
  mpTsf->RebuildPrivatePats();
  return true;
}

void CommandManager::TuneForStream(int streamId, int channel) {
  // Deliberately no retune when the tuner is already on the channel and
  // another stream of it runs: a retune would cost the running streams
  // seconds of packets, and the filter already knows the multiplex's PAT and
  // PMTs, so the new stream attaches without a new wait.
  if (mpTunerManager != nullptr && mpTunerManager->GetCurrentChannel() == channel &&
      mpTsf->AnyStream() && mpTsf->mRunFilter) {
    VYX_LOG("Stream %d joins channel %d, already tuned: no retune\n", streamId, channel);
    mpTsf->PrepareStreamStart(false);
    return;
  }
  // Every table of the new multiplex is delivered afresh.
  mpTsf->PrepareStreamStart(true);
  if (mpTunerManager != nullptr) mpTunerManager->TuneToChannel(channel);
  Statistics::Self()->Reset();
  mpTsf->FilterActive(true);
  // Meanwhile the player's thread analyses the new multiplex's PAT and PMTs.
  vyx_sleep_s(5);
}

void CommandManager::AttachPrograms(int streamId, const StreamRequest& req) {
  for (int i = 0; i < req.pairs; i++) {
    VYX_LOG("Add Program tmp %s, program %s",
            req.transportText[i] != nullptr ? req.transportText[i] : "(null)",
            req.programText[i] != nullptr ? req.programText[i] : "(null)");
    // A transport without its program ends the list, all programs or not.
    if (req.programText[i] == nullptr) return;
    mpTsf->AddProgramToStream(streamId, req.transportId[i], req.programId[i]);
  }
  if (req.pairs == 0) mpTsf->AddAllProgramsToStream(streamId);
}

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
