// The scan-results file against power cuts: a saver process saves a large
// channel list over and over and is killed (SIGKILL) at random points; after
// every kill the file on the disk loads the whole list.  Runs in private IPC
// and mount namespaces with a scratch /mnt/hd1 and an in-test system manager.

#define VYX_PRIVATE_MOUNT
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "device_fakes.h"
#include "private_ipc.h"
#include "private_ns.h"
#include "tuner/tunermanager.h"
#include "utils.h"
#include "waits.h"

extern char** environ;

namespace {

// Each save waits two (scaled) seconds for the remounts; the system manager
// may take up to 61 of them, so a loaded machine still answers in time.
const bool time_scaled = (setenv("VYX_TIME_SCALE", "200", 1), true);

const char kResultsFile[] = "/mnt/hd1/vyx_scan_results";
const char kSaverVar[] = "VYX_TEST_SAVER_FD";
const int kPrograms = 1000;  // nearly the whole record pool
const int kSaves = 200;

int loaded_programs() {
  TunerManager tm('T');
  if (!tm.LoadScanResults()) return -1;
  int count = 0;
  for (int c = 0; c < TunerManager::kChannels; ++c)
    for (ScalProgramDesc* p = tm.GetScalProgramDesc(c)->head; p != nullptr; p = p->pNext) ++count;
  return count;
}

void write_list() {
  FILE* f = fopen(kResultsFile, "w");
  ASSERT_NE(nullptr, f);
  for (int i = 0; i < kPrograms; ++i)
    fprintf(f, "%.3d %.4x %.4x %.4x ff C 02 81 00 4b 00 56 00 59 00 58 00 2d 00 %.2x 00 00\n",
            2 + i % 60, 0x100 + i % 60, 1 + i, i % 60, i & 0xFF);
  fclose(f);
}

// The saver: this program run again (a fresh process, not a fork of a
// threaded one), saving until it is killed; one byte on the pipe per save.
[[noreturn]] void run_saver(int fd) {
  TunerManager tm('T');
  if (!tm.LoadScanResults()) _exit(2);
  for (;;) {
    if (!tm.SaveScanResults()) _exit(3);
    char done = 1;
    if (write(fd, &done, 1) != 1) _exit(4);
  }
}

pid_t start_saver(int fd) {
  std::string var = std::string(kSaverVar) + "=" + std::to_string(fd);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back(&var[0]);
  env.push_back(nullptr);
  std::vector<std::string> args = vyxtest::own_args();
  args.push_back("--gtest_filter=ScanResultsFile.KilledSaverNeverLeavesAShorterList");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  pid_t child = fork();
  if (child == 0) {
    vyxtest::exec_program("/proc/self/exe", argv.data(), env.data());
    _exit(5);
  }
  return child;
}

TEST(ScanResultsFile, KilledSaverNeverLeavesAShorterList) {
  ASSERT_TRUE(time_scaled);
  global_debug_flag = 0;
  // The saver shares the test's namespaces, its /mnt and its system manager.
  if (const char* fd = getenv(kSaverVar)) run_saver(atoi(fd));
  REQUIRE_PRIVATE_MNT();
  vyxtest::FakeSysMgr::Get().Refuse(false);
  mkdir("/mnt/hd1", 0755);
  write_list();
  ASSERT_EQ(kPrograms, loaded_programs());

  std::mt19937 rng(23);
  int saves = 0;
  int kills = 0;
  while (saves < kSaves && kills < 100) {
    int pipeFds[2];
    ASSERT_EQ(0, pipe(pipeFds));
    pid_t child = start_saver(pipeFds[1]);
    ASSERT_GT(child, 0);
    close(pipeFds[1]);
    // Killed at a random point of the saves after its first (starting the
    // program takes longer than a save).
    char first;
    if (read(pipeFds[0], &first, 1) == 1) ++saves;
    vyx_sleep_exact(std::uniform_int_distribution<int>(0, 150000)(rng) / 1e6);
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the saver stopped by itself: " << status;
    char done[256];
    ssize_t n;
    while ((n = read(pipeFds[0], done, sizeof(done))) > 0) saves += static_cast<int>(n);
    close(pipeFds[0]);
    ++kills;
    ASSERT_EQ(kPrograms, loaded_programs()) << "after kill " << kills << ", " << saves << " saves";
  }
  EXPECT_GE(saves, kSaves);
  printf("%d saves, killed %d times\n", saves, kills);
}

}  // namespace
