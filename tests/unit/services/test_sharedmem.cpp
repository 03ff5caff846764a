// Player status memory: the record layout as the player writes it, the type
// mappings, the IR system code both ways, the behaviour without a segment,
// and the CPU load arithmetic.

#include <gtest/gtest.h>
#include <sched.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cmath>
#include <cstdint>
#include <cstring>

#include "private_ipc.h"
#include "sharedmem.h"
#include "statistics.h"

namespace {

// The CPU measurement pauses one second between its samples; compress it.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "1000", 1), true);

// The segment as the player sees it: raw bytes at the record's offset.
unsigned char* raw_segment() {
  int id = shmget(kSharedMemKey, kSharedMemSize, 0666);
  if (id < 0) return nullptr;
  void* a = shmat(id, nullptr, 0);
  if (a == reinterpret_cast<void*>(-1)) return nullptr;
  return static_cast<unsigned char*>(a);
}

int32_t word_at(const unsigned char* seg, size_t offset) {
  // Little-endian 32-bit word, as the board stores it.
  return static_cast<int32_t>(seg[offset] | (seg[offset + 1] << 8) | (seg[offset + 2] << 16) |
                              (static_cast<uint32_t>(seg[offset + 3]) << 24));
}

void put_word(unsigned char* seg, size_t offset, int32_t v) {
  uint32_t u = static_cast<uint32_t>(v);
  for (int i = 0; i < 4; i++) seg[offset + i] = static_cast<unsigned char>(u >> (8 * i));
}

const size_t kRec = kPlayerStatusOffset;
const size_t kStatus = kRec + 640;

}  // namespace

TEST(SharedMemTypes, VideoAndAudioTypeRanges) {
  ASSERT_TRUE(time_scaled);
  EXPECT_EQ(sharedmem_video_type(0), 2);
  EXPECT_EQ(sharedmem_video_type(1), 0);
  EXPECT_EQ(sharedmem_video_type(14), 0);
  EXPECT_EQ(sharedmem_video_type(15), 2);
  EXPECT_EQ(sharedmem_video_type(21), 2);
  EXPECT_EQ(sharedmem_video_type(22), 1);
  EXPECT_EQ(sharedmem_video_type(25), 1);
  EXPECT_EQ(sharedmem_video_type(26), 2);
  EXPECT_EQ(sharedmem_video_type(-1), 2);

  EXPECT_EQ(sharedmem_audio_type(0), 3);
  EXPECT_EQ(sharedmem_audio_type(1), 0);
  EXPECT_EQ(sharedmem_audio_type(5), 0);
  EXPECT_EQ(sharedmem_audio_type(6), 2);
  EXPECT_EQ(sharedmem_audio_type(7), 1);
  EXPECT_EQ(sharedmem_audio_type(8), 3);
}

TEST(SharedMemTypes, IrCodeCarriesItsComplement) {
  EXPECT_EQ(sharedmem_ir_code_word(0x12), 0xED12);
  EXPECT_EQ(sharedmem_ir_code_word(0), 0xFF00);
  EXPECT_EQ(sharedmem_ir_code_word(255), 0x00FF);
  EXPECT_EQ(sharedmem_ir_code_word(110), ((255 - 110) << 8) + 110);
  EXPECT_EQ(sharedmem_ir_code_word(0x100), 0x100);
  EXPECT_EQ(sharedmem_ir_code_word(0x1234), 0x1234);
}

TEST(SharedMemSegment, AccessorsReadThePlayersWords) {
  REQUIRE_PRIVATE_IPC();
  SharedMem* sm = SharedMem::Self();
  ASSERT_TRUE(sm->Initialized());
  unsigned char* seg = raw_segment();
  ASSERT_NE(seg, nullptr);

  put_word(seg, kStatus + 528, 4);  // tunerSignalStrength
  Statistics::Self()->SetSignalStrength(0);
  EXPECT_EQ(sm->GetSignalStrengthTransmitter(), 4);
  EXPECT_EQ(Statistics::Self()->mStrength, 4);

  put_word(seg, kStatus + 532, 0x31);  // progId
  EXPECT_EQ(sm->GetProgramReceivedReceiver(), 0x31);
  put_word(seg, kStatus + 536, 22);  // vidType
  EXPECT_EQ(sm->GetVideoTypeReceiver(), 1);
  put_word(seg, kStatus + 536, 15);
  EXPECT_EQ(sm->GetVideoTypeReceiver(), 2);
  put_word(seg, kStatus + 540, 6);  // audType
  EXPECT_EQ(sm->GetAudioTypeReceiver(), 2);
  put_word(seg, kStatus + 540, 0);
  EXPECT_EQ(sm->GetAudioTypeReceiver(), 3);
  EXPECT_EQ(sm->GetAudioStatus(), 1);
  EXPECT_EQ(sm->GetCcStatus(), 1);
}

TEST(SharedMemSegment, IrModeCodeBothWays) {
  REQUIRE_PRIVATE_IPC();
  SharedMem* sm = SharedMem::Self();
  ASSERT_TRUE(sm->Initialized());
  unsigned char* seg = raw_segment();
  ASSERT_NE(seg, nullptr);
  put_word(seg, kRec + 632, 0x5A5A5A5A);  // irSetting, just before the code
  put_word(seg, kRec + 640, 0x6B6B6B6B);  // layerCnt, just after

  sm->IrModeCode(0x12);
  EXPECT_EQ(word_at(seg, kRec + 636), 0xED12);
  EXPECT_EQ(sm->IrModeCode(), 0x12);

  sm->IrModeCode(0x1234);
  EXPECT_EQ(word_at(seg, kRec + 636), 0x1234);
  EXPECT_EQ(sm->IrModeCode(), 0x34);

  EXPECT_EQ(word_at(seg, kRec + 632), 0x5A5A5A5A);
  EXPECT_EQ(word_at(seg, kRec + 640), 0x6B6B6B6B);
}

TEST(SharedMemDeathTest, WithoutSegmentReadersGiveZeroAndWritesNothing) {
  REQUIRE_PRIVATE_IPC();
  // A fresh process (the singleton must not exist yet) in a fresh IPC
  // namespace where a foreign, too small segment holds the player's key.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        if (unshare(CLONE_NEWIPC) != 0) _exit(2);
        if (shmget(kSharedMemKey, 64, IPC_CREAT | 0666) < 0) _exit(3);
        SharedMem* sm = SharedMem::Self();
        sm->IrModeCode(0x12);
        bool ok = !sm->Initialized() && sm->Record() == nullptr && sm->IrModeCode() == 0 &&
                  sm->GetSignalStrengthTransmitter() == 0 && sm->GetProgramReceivedReceiver() == 0 &&
                  sm->GetVideoTypeReceiver() == 0 && sm->GetAudioTypeReceiver() == 0 &&
                  sm->GetAudioStatus() == 1;
        _exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "shmget\\(\\) failed");
}

TEST(CpuLoad, ParsesTheFirstLineOnly) {
  const char text[] = "cpu  10 20 30 40 5 6 7\ncpu0 1 2 3 4\n";
  CpuTimes t;
  ASSERT_TRUE(cpu_times_parse(text, sizeof(text) - 1, &t));
  EXPECT_EQ(t.user, 10u);
  EXPECT_EQ(t.nice, 20u);
  EXPECT_EQ(t.system, 30u);
  EXPECT_EQ(t.idle, 40u);
}

TEST(CpuLoad, RejectsMalformedOrCutText) {
  CpuTimes t = {1, 2, 3, 4};
  EXPECT_FALSE(cpu_times_parse("cpu 1 2\n", 8, &t));
  EXPECT_FALSE(cpu_times_parse("intr 1 2 3 4\n", 13, &t));
  EXPECT_FALSE(cpu_times_parse("", 0, &t));
  // The length bounds the read: the counters past it are not there.
  const char cut[] = "cpu 1 2 3 4\n";
  EXPECT_FALSE(cpu_times_parse(cut, 7, &t));
  // Not terminated within its length, and far longer than a line buffer.
  char big[2048];
  memset(big, '7', sizeof(big));
  memcpy(big, "cpu ", 4);
  EXPECT_FALSE(cpu_times_parse(big, sizeof(big), &t));
  EXPECT_EQ(t.user, 1u);  // untouched on failure
}

TEST(CpuLoad, LoadBetweenSamples) {
  CpuTimes a = {100, 0, 100, 800};
  CpuTimes b = {130, 0, 120, 850};
  EXPECT_DOUBLE_EQ(cpu_load_between(a, b), 50.0);
  // No time between the samples: nothing to divide by.
  double same = cpu_load_between(b, b);
  EXPECT_FALSE(std::isnan(same));
  EXPECT_DOUBLE_EQ(same, 0.0);
  // A counter that went backwards (wrapped or reset).
  CpuTimes back = {130, 0, 120, 849};
  EXPECT_DOUBLE_EQ(cpu_load_between(b, back), -0.01);
  EXPECT_EQ(static_cast<int>(cpu_load_between(b, back)), 0);
}

TEST(CpuLoad, MeasurementWithCompressedTimeStaysInRange) {
  // With the one-second pause compressed to a millisecond both samples usually
  // fall within one clock tick.
  for (int i = 0; i < 3; i++) {
    int load = SharedMem::Self()->GetCpuUtilization();
    EXPECT_GE(load, 0);
    EXPECT_LE(load, 100);
  }
}
