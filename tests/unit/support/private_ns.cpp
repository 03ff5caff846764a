#include "private_ns.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vyxtest {

std::vector<std::string> own_args() {
  std::vector<std::string> args;
  FILE* f = fopen("/proc/self/cmdline", "r");
  if (f == nullptr) return args;
  std::string cur;
  int c;
  while ((c = fgetc(f)) != EOF) {
    if (c == '\0') {
      args.push_back(cur);
      cur.clear();
    } else {
      cur.push_back(static_cast<char>(c));
    }
  }
  fclose(f);
  return args;
}

std::vector<std::string> emulator_words() {
  std::vector<std::string> words;
  const char* e = getenv("VYX_TEST_EMULATOR");
  if (e == nullptr) return words;
  std::string all(e);
  for (size_t at = 0; at < all.size();) {
    size_t end = all.find(' ', at);
    if (end == std::string::npos) end = all.size();
    if (end > at) words.push_back(all.substr(at, end - at));
    at = end + 1;
  }
  return words;
}

namespace {

// The ELF machine of a file, or -1 (not an ELF file: a script, say).
int elf_machine(const char* path) {
  unsigned char h[20];
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  ssize_t n = read(fd, h, sizeof(h));
  close(fd);
  if (n != static_cast<ssize_t>(sizeof(h)) || memcmp(h, "\x7f" "ELF", 4) != 0) return -1;
  return h[5] == 2 ? (h[18] << 8 | h[19]) : (h[19] << 8 | h[18]);
}

}  // namespace

int exec_program(const char* path, char* const argv[], char* const envp[]) {
  std::vector<std::string> emulator = emulator_words();
  // Only programs built for this test's own machine need the emulator; the
  // host's programs and scripts run as they are.
  if (emulator.empty() || elf_machine(path) != elf_machine("/proc/self/exe")) return execve(path, argv, envp);
  // The emulator names the program by its path: argv[0] becomes `path`.
  std::vector<char*> args;
  for (std::string& w : emulator) args.push_back(&w[0]);
  args.push_back(const_cast<char*>(path));
  for (size_t i = 1; argv[0] != nullptr && argv[i] != nullptr; i++) args.push_back(argv[i]);
  args.push_back(nullptr);
  return execvpe(args[0], args.data(), envp);
}

bool reexec_in_namespaces(const char* stateVar, std::initializer_list<const char*> flags,
                          const char* setup) {
  const char* state = getenv(stateVar);
  if (state != nullptr) return strcmp(state, "1") == 0;

  std::vector<char*> unshare;
  for (const char* p : {"unshare", "--user", "--map-root-user"}) unshare.push_back(const_cast<char*>(p));
  for (const char* p : flags) unshare.push_back(const_cast<char*>(p));

  // Can this host do it at all?
  std::vector<char*> probeArgv = unshare;
  probeArgv.push_back(const_cast<char*>("true"));
  probeArgv.push_back(nullptr);
  pid_t probe = fork();
  if (probe == 0) {
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    execvp("unshare", probeArgv.data());
    _exit(127);
  }
  int status = 0;
  if (probe < 0 || waitpid(probe, &status, 0) != probe || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0) {
    setenv(stateVar, "0", 1);
    return false;
  }

  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) {
    setenv(stateVar, "0", 1);
    return false;
  }
  exe[n] = '\0';
  std::vector<std::string> args = own_args();
  std::vector<char*> argv = unshare;
  argv.push_back(const_cast<char*>("--"));
  if (setup != nullptr) {
    for (const char* p : {"/bin/sh", "-c", setup}) argv.push_back(const_cast<char*>(p));
  }
  // Under a user-mode emulator (cross builds) the program is started through
  // it again.
  std::vector<std::string> emulator = emulator_words();
  for (const std::string& w : emulator) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(exe);
  for (size_t i = 1; i < args.size(); i++) argv.push_back(const_cast<char*>(args[i].c_str()));
  argv.push_back(nullptr);
  setenv(stateVar, "1", 1);
  fflush(nullptr);
  execvp("unshare", argv.data());
  // Exec failed: run here without the namespaces.
  setenv(stateVar, "0", 1);
  return false;
}

bool enter_private_world(const char* stateVar, const char* timeScale, const char* setup,
                         std::initializer_list<const char*> mntDirs) {
  if (getenv(stateVar) == nullptr) setenv("VYX_TIME_SCALE", timeScale, 1);
  bool mountNs = mntDirs.size() > 0;
  bool entered = mountNs ? reexec_in_namespaces(stateVar, {"--ipc", "--net", "--mount"}, setup)
                         : reexec_in_namespaces(stateVar, {"--ipc", "--net"}, setup);
  if (!entered) return false;
  if (mountNs) {
    if (mount("vyxtest", "/mnt", "tmpfs", 0, "mode=755") != 0) return false;
    for (const char* dir : mntDirs)
      if (mkdir(dir, 0755) != 0) return false;
  }
  alarm(120);
  return true;
}

}  // namespace vyxtest
