/* fakedvb: an LD_PRELOAD shim that lets a DVB streaming program run on a
 * directory of ordinary files instead of a tuner card, so that it can be fed
 * a capture at a chosen rate and measured beside the plug-in.
 *
 * The program is pointed at the directory (for example through its
 * card_dev_path setting): frontend0 and demux0 there are empty regular files,
 * dvr0 is a FIFO that a feeder process writes the capture into.  On the files
 * opened under those names:
 *   - every DVB ioctl (type 'o') succeeds: the frontend reports a full lock
 *     (and one lock event per tune), zero error counts and an ATSC front end;
 *     filters and buffer sizes are accepted;
 *   - a poll on the frontend sees POLLPRI while a lock event is pending and
 *     nothing otherwise;
 *   - a read of dvr0 returns whole 188-byte packets, as the device does (a
 *     FIFO may hand over a piece of a packet; the rest is read before
 *     returning).
 * Descriptors are told apart when they are opened, so the shim adds no
 * system call to the program's own.
 *
 * The feeder runs in its own process, so that the cost of pacing the input
 * is not counted against the program measured.
 *
 * Build: cc -O2 -shared -fPIC -o fakedvb.so fakedvb.c -ldl
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <linux/dvb/frontend.h>
#include <poll.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { kNone = 0, kFrontend, kDemux, kDvr };
enum { kMaxFd = 4096, kPacket = 188 };
static unsigned char kind[kMaxFd];
static int event_pending;

#define REAL(name)                      \
  static __typeof__(&name) real_##name; \
  if (real_##name == NULL) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name)

static int kind_of(int fd) { return fd >= 0 && fd < kMaxFd ? kind[fd] : kNone; }

static void remember(int fd, const char* path) {
  if (fd < 0 || fd >= kMaxFd) return;
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  kind[fd] = strncmp(base, "frontend", 8) == 0 ? kFrontend
           : strncmp(base, "demux", 5) == 0    ? kDemux
           : strncmp(base, "dvr", 3) == 0      ? kDvr
                                               : kNone;
}

int open(const char* path, int flags, ...) {
  REAL(open);
  mode_t mode = 0;
  if (flags & O_CREAT) {
    va_list ap;
    va_start(ap, flags);
    mode = va_arg(ap, mode_t);
    va_end(ap);
  }
  int fd = real_open(path, flags, mode);
  remember(fd, path);
  return fd;
}

int close(int fd) {
  REAL(close);
  if (fd >= 0 && fd < kMaxFd) kind[fd] = kNone;
  return real_close(fd);
}

ssize_t read(int fd, void* buf, size_t count) {
  REAL(read);
  ssize_t n = real_read(fd, buf, count);
  if (kind_of(fd) != kDvr || n <= 0 || count % kPacket != 0) return n;
  while (n % kPacket != 0) {
    ssize_t m = real_read(fd, (char*)buf + n, (size_t)(kPacket - n % kPacket));
    if (m > 0) {
      n += m;
    } else if (m < 0 && errno == EAGAIN) {
      struct pollfd p = {fd, POLLIN, 0};
      REAL(poll);
      real_poll(&p, 1, 1000);
    } else {
      break;
    }
  }
  return n;
}

int ioctl(int fd, unsigned long request, ...) {
  REAL(ioctl);
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  int k = kind_of(fd);
  if (_IOC_TYPE(request) != 'o' || k == kNone) return real_ioctl(fd, request, arg);

  if (request == FE_GET_INFO) {
    struct dvb_frontend_info* info = (struct dvb_frontend_info*)arg;
    memset(info, 0, sizeof(*info));
    strcpy(info->name, "fakedvb ATSC");
    info->type = FE_ATSC;
    info->frequency_min = 54000000;
    info->frequency_max = 858000000;
    info->caps = FE_CAN_8VSB | FE_CAN_QAM_64 | FE_CAN_QAM_256 | FE_CAN_QAM_AUTO;
  } else if (request == FE_READ_STATUS) {
    *(fe_status_t*)arg = FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK;
  } else if (request == FE_GET_EVENT) {
    /* One lock event per tune; callers drain the queue until it is empty. */
    if (!event_pending) {
      errno = EWOULDBLOCK;
      return -1;
    }
    event_pending = 0;
    struct dvb_frontend_event* ev = (struct dvb_frontend_event*)arg;
    memset(ev, 0, sizeof(*ev));
    ev->status = FE_HAS_SIGNAL | FE_HAS_CARRIER | FE_HAS_VITERBI | FE_HAS_SYNC | FE_HAS_LOCK;
  } else if (request == FE_READ_SIGNAL_STRENGTH || request == FE_READ_SNR) {
    *(unsigned short*)arg = 0xC000;
  } else if (request == FE_READ_BER || request == FE_READ_UNCORRECTED_BLOCKS) {
    *(unsigned int*)arg = 0;
  } else if (request == FE_GET_PROPERTY) {
    struct dtv_properties* props = (struct dtv_properties*)arg;
    for (unsigned i = 0; i < props->num; i++) props->props[i].u.data = 0;
  } else if (request == FE_SET_FRONTEND || request == FE_SET_PROPERTY) {
    event_pending = 1;
  }
  /* Everything else (filters, buffer sizes, starts and stops) is accepted. */
  return 0;
}

int poll(struct pollfd* fds, nfds_t nfds, int timeout) {
  REAL(poll);
  /* The frontend is ready only with a pending lock event; otherwise it is
   * left out of the wait, as a quiet device would be (a regular file would
   * always look ready and turn the caller's wait into a busy loop). */
  enum { kMaxPoll = 64 };
  int saved[kMaxPoll];
  int frontends = 0, ready = 0;
  for (nfds_t i = 0; i < nfds && i < kMaxPoll; i++) {
    saved[i] = fds[i].fd;
    if (kind_of(fds[i].fd) != kFrontend) continue;
    frontends = 1;
    if (event_pending && (fds[i].events & POLLPRI)) ready = 1;
  }
  if (!frontends) return real_poll(fds, nfds, timeout);
  for (nfds_t i = 0; i < nfds && i < kMaxPoll; i++)
    if (kind_of(saved[i]) == kFrontend) fds[i].fd = -1;
  int n = real_poll(fds, nfds, ready ? 0 : timeout);
  for (nfds_t i = 0; i < nfds && i < kMaxPoll; i++) {
    if (kind_of(saved[i]) != kFrontend) continue;
    fds[i].fd = saved[i];
    fds[i].revents = 0;
    if (ready && (fds[i].events & POLLPRI)) {
      fds[i].revents = POLLPRI;
      n = n < 0 ? 1 : n + 1;
    }
  }
  return n;
}
