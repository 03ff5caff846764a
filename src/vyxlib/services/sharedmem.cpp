// The media player's status memory (System V segment, key 2000) and the CPU
// load measured from /proc/stat.
//
// The player writes the record while we read it, without a lock: every field
// we touch is one aligned 32-bit word, so a read sees either the old or the
// new value.

#include "sharedmem.h"

#include <sys/ipc.h>
#include <sys/shm.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "statistics.h"
#include "utils.h"

SharedMem* SharedMem::Self() {
  // Created on first use; the command manager's constructor makes the first
  // call before any other thread runs.
  static SharedMem* instance = nullptr;
  if (instance == nullptr) instance = new SharedMem();
  return instance;
}

SharedMem::SharedMem() : mInitialized(false), mSharedAddress(nullptr), mpPlayerStatusSharedStruct(nullptr) {
  VYX_LOG("SharedMem::SharedMem\n");
  int id = shmget(kSharedMemKey, kSharedMemSize, IPC_CREAT | 0666);
  if (id < 0) {
    VYX_ERROR("Shared Memory couldn't be initialized, shmget() failed\n");
    return;
  }
  void* addr = shmat(id, nullptr, 0);
  if (addr == reinterpret_cast<void*>(-1)) {
    VYX_ERROR("Shared Memory couldn't be attached, shmat() failed\n");
    return;
  }
  mSharedAddress = addr;
  mpPlayerStatusSharedStruct =
      reinterpret_cast<_sVPLAYER_SM_STRUCT*>(static_cast<char*>(addr) + kPlayerStatusOffset);
  mInitialized = true;
}

namespace {

// One aligned word of the record, read once (the player may be writing it).
inline int32_t read_word(const int32_t* p) { return __atomic_load_n(p, __ATOMIC_RELAXED); }
inline void write_word(int32_t* p, int32_t v) { __atomic_store_n(p, v, __ATOMIC_RELAXED); }

}  // namespace

int sharedmem_video_type(int32_t vidType) {
  if (vidType >= 1 && vidType <= 14) return 0;   // MPEG-2 family
  if (vidType >= 22 && vidType <= 25) return 1;  // H.264 family
  return 2;
}

int sharedmem_audio_type(int32_t audType) {
  if (audType >= 1 && audType <= 5) return 0;
  if (audType == 7) return 1;
  if (audType == 6) return 2;
  return 3;
}

int32_t sharedmem_ir_code_word(unsigned short code) {
  // One-byte system codes travel with their complement in the high byte, as
  // the remote sends them; longer codes are stored as given.
  if (code < 256) return static_cast<int32_t>(((255 - code) << 8) + code);
  return static_cast<int32_t>(code);
}

int SharedMem::GetSignalStrengthTransmitter() {
  int strength = 0;
  if (mpPlayerStatusSharedStruct != nullptr)
    strength = read_word(&mpPlayerStatusSharedStruct->vStatus.tunerSignalStrength);
  Statistics::Self()->SetSignalStrength(strength);
  return strength;
}

int SharedMem::GetProgramReceivedReceiver() {
  if (mpPlayerStatusSharedStruct == nullptr) return 0;
  return read_word(&mpPlayerStatusSharedStruct->vStatus.progId);
}

int SharedMem::GetVideoTypeReceiver() {
  if (mpPlayerStatusSharedStruct == nullptr) return 0;
  return sharedmem_video_type(read_word(&mpPlayerStatusSharedStruct->vStatus.vidType));
}

int SharedMem::GetAudioTypeReceiver() {
  if (mpPlayerStatusSharedStruct == nullptr) return 0;
  return sharedmem_audio_type(read_word(&mpPlayerStatusSharedStruct->vStatus.audType));
}

int SharedMem::GetAudioStatus() { return 1; }

int SharedMem::GetCcStatus() { return 1; }

void SharedMem::IrModeCode(unsigned short code) {
  if (mpPlayerStatusSharedStruct == nullptr) return;
  write_word(&mpPlayerStatusSharedStruct->osdInfo.irSystemCode, sharedmem_ir_code_word(code));
}

unsigned short SharedMem::IrModeCode() {
  if (mpPlayerStatusSharedStruct == nullptr) return 0;
  return static_cast<unsigned short>(read_word(&mpPlayerStatusSharedStruct->osdInfo.irSystemCode) & 0xFF);
}

// ---------------------------------------------------------------------------
// CPU load
// ---------------------------------------------------------------------------

bool cpu_times_parse(const char* text, size_t len, CpuTimes* out) {
  if (text == nullptr || out == nullptr) return false;
  // Only the first line matters; copy it bounded and terminated.
  char line[256];
  size_t n = 0;
  while (n < len && n < sizeof(line) - 1 && text[n] != '\n' && text[n] != '\0') {
    line[n] = text[n];
    n++;
  }
  line[n] = '\0';
  CpuTimes t;
  if (sscanf(line, "cpu %llu %llu %llu %llu", &t.user, &t.nice, &t.system, &t.idle) != 4) return false;
  *out = t;
  return true;
}

double cpu_load_between(const CpuTimes& before, const CpuTimes& after) {
  if (after.user < before.user || after.nice < before.nice || after.system < before.system ||
      after.idle < before.idle)
    return -0.01;
  unsigned long long busy = (after.user - before.user) + (after.nice - before.nice) +
                            (after.system - before.system);
  unsigned long long total = busy + (after.idle - before.idle);
  // Two samples within one clock tick: no time to measure against.
  if (total == 0) return 0.0;
  return static_cast<double>(busy) / static_cast<double>(total) * 100.0;
}

namespace {

bool read_proc_stat(CpuTimes* out) {
  FILE* f = fopen("/proc/stat", "r");
  if (f == nullptr) return false;
  char buf[256];
  size_t n = fread(buf, 1, sizeof(buf), f);
  fclose(f);
  return cpu_times_parse(buf, n, out);
}

}  // namespace

int SharedMem::GetCpuUtilization() {
  // The counters of the previous measurement; the first pass compares with
  // them, the second with a sample one second later.
  static CpuTimes last = {0, 0, 0, 0};
  double result = 0.0;
  for (int pass = 0; pass < 2; pass++) {
    CpuTimes now;
    if (!read_proc_stat(&now)) {
      result = 0.0;
    } else {
      result = cpu_load_between(last, now);
      last = now;
    }
    if (pass == 0) vyx_sleep_s(1);
  }
  return static_cast<int>(result);
}
