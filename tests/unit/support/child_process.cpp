#include "child_process.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "private_ns.h"

extern char** environ;

namespace vyxtest {

std::string build_dir() {
  char exe[4096];
  ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
  if (n <= 0) return ".";
  exe[n] = '\0';
  std::string dir = exe;
  dir = dir.substr(0, dir.rfind('/'));  // <build>/tests
  return dir.substr(0, dir.rfind('/'));
}

ChildRun run_child(const std::string& path, const std::vector<std::string>& args,
                   const ChildOptions& options) {
  ChildRun r;
  int out[2];
  int err[2] = {-1, -1};
  if (pipe(out) != 0) return r;
  if (options.collectErr && pipe(err) != 0) {
    close(out[0]);
    close(out[1]);
    return r;
  }
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    if (options.collectErr) {
      dup2(err[1], 2);
      close(err[0]);
      close(err[1]);
    }
    if (options.cwd != nullptr && chdir(options.cwd) != 0) _exit(120);
    for (const std::string& e : options.env) {
      size_t eq = e.find('=');
      setenv(e.substr(0, eq).c_str(), eq == std::string::npos ? "" : e.c_str() + eq + 1, 1);
    }
    exec_program(path.c_str(), argv.data(), environ);
    _exit(127);
  }
  close(out[1]);
  if (options.collectErr) close(err[1]);
  if (pid < 0) {
    close(out[0]);
    if (options.collectErr) close(err[0]);
    return r;
  }
  // Both streams at once: a child that fills one pipe while the other is read
  // would never end.
  struct pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* into[2] = {&r.out, &r.err};
  int open = options.collectErr ? 2 : 1;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; i++) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        into[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        open--;
      }
    }
  }
  for (struct pollfd& f : fds)
    if (f.fd >= 0) close(f.fd);
  int st = 0;
  if (waitpid(pid, &st, 0) == pid) r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return r;
}

}  // namespace vyxtest
