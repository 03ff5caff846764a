// serialend: what is cabled to a device host's serial port.  It makes a
// pseudo-terminal in raw mode, writes the path of its terminal side to
// <hostdir>/serial.pty (devsim binds that over /dev/ttyS0 before the device
// starts) and serves the other side on a Unix socket, <hostdir>/serial.sock:
// bytes a client writes reach the device's port, bytes the device writes go
// to every connected client.  Every chunk both ways is logged.  It holds the
// terminal side open itself, so the port stays usable however often the
// device opens and closes it.

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "jsonl.h"
#include "standin.h"

namespace {

const size_t kMaxClients = 8;

void usage(const char* prog) {
  printf(
      "usage: %s [options]\n"
      "Far end of a simulated host's serial port: a raw pseudo-terminal whose\n"
      "terminal side is named in <hostdir>/serial.pty, served on the Unix\n"
      "socket <hostdir>/serial.sock (bytes both ways, every client gets what\n"
      "the device writes).\n"
      "  --socket PATH  socket path (default <hostdir>/serial.sock)\n"
      "  --log FILE     JSON-lines log (default <hostdir>/serial.jsonl, else stdout)\n"
      "  --hostdir DIR  host directory (default $VYX_HOSTDIR)\n"
      "  --help\n",
      prog);
}

std::string hex(const unsigned char* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; i++) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

void log_bytes(JsonlWriter& log, const char* event, const unsigned char* p, size_t n) {
  JsonLine j(event);
  j.Uint("bytes", n).Str("hex", hex(p, n).c_str()).StrN("text", reinterpret_cast<const char*>(p), n);
  log.Write(j);
}

// Writes all of p to fd, waiting for room at most about a second in all.
bool write_all(int fd, const unsigned char* p, size_t n) {
  int waits = 0;
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno == EINTR) continue;
    if (w < 0 && errno != EAGAIN) return false;
    struct pollfd pf = {fd, POLLOUT, 0};
    if (++waits > 10 || poll(&pf, 1, 100) < 0) return false;
  }
  return true;
}

// Serves the port and the socket until a stop.
int serve(JsonlWriter& log, const char* sockOpt) {
  int master = -1, slave = -1;
  char name[128] = "";
  struct termios raw;
  memset(&raw, 0, sizeof(raw));
  cfmakeraw(&raw);
  cfsetspeed(&raw, B9600);
  if (openpty(&master, &slave, name, &raw, nullptr) != 0) {
    fprintf(stderr, "serialend: openpty: %s\n", strerror(errno));
    return 1;
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  fcntl(master, F_SETFD, FD_CLOEXEC);
  fcntl(slave, F_SETFD, FD_CLOEXEC);
  chmod(name, 0666);

  std::string sockPath = sockOpt != nullptr ? sockOpt : hostdir_file("serial.sock");
  struct sockaddr_un sun;
  memset(&sun, 0, sizeof(sun));
  sun.sun_family = AF_UNIX;
  if (sockPath.empty() || sockPath.size() >= sizeof(sun.sun_path)) {
    fprintf(stderr, "serialend: no usable socket path (--socket or --hostdir)\n");
    return 2;
  }
  memcpy(sun.sun_path, sockPath.c_str(), sockPath.size());
  unlink(sockPath.c_str());
  int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<struct sockaddr*>(&sun), sizeof(sun)) != 0 ||
      listen(listener, 4) != 0) {
    fprintf(stderr, "serialend: %s: %s\n", sockPath.c_str(), strerror(errno));
    return 1;
  }
  {
    JsonLine j("start");
    j.Int("pid", getpid()).Str("pty", name).Str("socket", sockPath.c_str());
    log.Write(j);
  }
  // Named last: whoever waits for this file finds the socket ready too.
  std::string ptyFile = hostdir_file("serial.pty");
  if (!ptyFile.empty()) write_file_atomic(ptyFile, std::string(name) + "\n");
  else printf("%s\n", name);
  fflush(stdout);

  std::vector<int> clients;
  unsigned char buf[4096];
  while (!stop_requested()) {
    std::vector<struct pollfd> fds;
    fds.push_back({master, POLLIN, 0});
    fds.push_back({listener, POLLIN, 0});
    for (int c : clients) fds.push_back({c, POLLIN, 0});
    int r = poll(fds.data(), fds.size(), 200);
    std::vector<int> fresh;
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    // A client that connected gets what the device writes from now on.
    if (fds[1].revents & POLLIN) {
      int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (c >= 0 && clients.size() < kMaxClients) {
        clients.push_back(c);
        fresh.push_back(c);
        JsonLine j("connect");
        j.Uint("clients", clients.size());
        log.Write(j);
      } else if (c >= 0) {
        close(c);
      }
    }
    if (fds[0].revents & POLLIN) {
      ssize_t n = read(master, buf, sizeof(buf));
      if (n > 0) {
        log_bytes(log, "from_device", buf, static_cast<size_t>(n));
        for (int c : clients) write_all(c, buf, static_cast<size_t>(n));
      }
    }
    std::vector<int> keep;
    for (size_t i = 2; i < fds.size(); i++) {
      int c = fds[i].fd;
      bool gone = false;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        ssize_t n = read(c, buf, sizeof(buf));
        if (n > 0) {
          log_bytes(log, "to_device", buf, static_cast<size_t>(n));
          if (!write_all(master, buf, static_cast<size_t>(n))) {
            JsonLine j("error");
            j.Str("what", "write to the port").Str("error", strerror(errno));
            log.Write(j);
          }
        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
          gone = true;
        }
      }
      if (gone) close(c);
      else keep.push_back(c);
    }
    keep.insert(keep.end(), fresh.begin(), fresh.end());
    clients.swap(keep);
  }
  for (int c : clients) close(c);
  close(listener);
  unlink(sockPath.c_str());
  close(slave);
  close(master);
  JsonLine j("stop");
  log.Write(j);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* sockOpt = nullptr;
  StandinProgram program("serial.jsonl", 1.0, usage);
  program.option = [&](int n, char** args, int* i) {
    const char* v = option_value(n, args, i, "--socket");
    if (v == nullptr) return kOptionUnknown;
    sockOpt = v;
    return kOptionTaken;
  };
  program.run = [&](JsonlWriter& log, const char*) { return serve(log, sockOpt); };
  return standin_main(argc, argv, program);
}
