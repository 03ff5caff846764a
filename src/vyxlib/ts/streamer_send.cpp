// Output streams of the transmitter: sending a batch of completed datagrams
// in one system call.
//
// The datagrams of a batch lie one after the other in the streamer's buffer.
// When they all have one size (the last may be shorter) and fit an Ethernet
// frame, one sendmsg with UDP segmentation offload hands them to the kernel
// as a single buffer that it cuts into those datagrams; otherwise one
// sendmmsg sends them.  A kernel (or device) that refuses the offload turns
// it off for the socket; one without sendmmsg gets one send per datagram.

#include <netinet/in.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/reportdue.h"
#include "streamer.h"
#include "ts/debugfiles.h"
#include "udpcom.h"
#include "utils.h"

#ifndef SOL_UDP
#define SOL_UDP 17
#endif
#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103
#endif

namespace {

// Process-wide, touched only by the player's thread inside Flush().
bool have_sendmmsg = true;

void report_failure(int err) { VYX_ERROR_LIMITED("Send: %s", strerror(err)); }

// One datagram at a time: kernels without sendmmsg.
int send_each(int fd, const struct sockaddr_in* to, struct mmsghdr* msgs, int count) {
  int done = 0;
  for (; done < count; done++) {
    const struct iovec* v = msgs[done].msg_hdr.msg_iov;
    ssize_t n = to != nullptr ? sendto(fd, v->iov_base, v->iov_len, 0,
                                       reinterpret_cast<const struct sockaddr*>(to), sizeof(*to))
                              : send(fd, v->iov_base, v->iov_len, 0);
    if (n < 0) return done > 0 ? done : -1;
  }
  return done;
}

}  // namespace

int Streamer::SendBatch() {
  int total = mBatchEnd[mBatchCount - 1];
  if (dbg_file_out != nullptr) {
    size_t n = fwrite(mpFilteredBuffer, 1, static_cast<size_t>(total), dbg_file_out);
    if (n != static_cast<size_t>(total)) report_failure(errno);
    return static_cast<int>(n);
  }
  int fd = mpUdp->s;
  if (fd <= 0) {
    report_failure(EBADF);
    return 0;
  }
  const struct sockaddr_in* to = mpUdp->connected ? nullptr : &mpUdp->siOther;
  bool tried = false;
  int sent = SendOffloaded(fd, to, total, &tried);
  if (tried) return sent;
  return SendEach(fd, to);
}

// One sendmsg with UDP segmentation offload when the batch is datagrams of
// one size (the last may be shorter) that fit an Ethernet frame.  `tried`:
// the batch was handled here (sent, or dropped on a failure); false leaves
// it to SendEach.
int Streamer::SendOffloaded(int fd, const struct sockaddr_in* to, int total, bool* tried) {
  int segment = mBatchEnd[0];
  if (!mGso || mBatchCount < 2 || segment > kGsoMaxSegment || total > kGsoMaxBytes) return 0;
  for (int i = 1; i < mBatchCount; i++) {
    int len = mBatchEnd[i] - mBatchEnd[i - 1];
    if (len != segment && !(i == mBatchCount - 1 && len < segment)) return 0;
  }
  struct iovec v;
  v.iov_base = mpFilteredBuffer;
  v.iov_len = static_cast<size_t>(total);
  union {
    char space[CMSG_SPACE(sizeof(uint16_t))];
    struct cmsghdr align;
  } control;
  memset(&control, 0, sizeof(control));
  struct msghdr m;
  memset(&m, 0, sizeof(m));
  m.msg_name = const_cast<struct sockaddr_in*>(to);
  m.msg_namelen = to != nullptr ? sizeof(*to) : 0;
  m.msg_iov = &v;
  m.msg_iovlen = 1;
  m.msg_control = control.space;
  m.msg_controllen = sizeof(control.space);
  struct cmsghdr* c = CMSG_FIRSTHDR(&m);
  c->cmsg_level = SOL_UDP;
  c->cmsg_type = UDP_SEGMENT;
  c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
  uint16_t size = static_cast<uint16_t>(segment);
  memcpy(CMSG_DATA(c), &size, sizeof(size));
  *tried = true;
  mFlushCalls++;
  ssize_t n = sendmsg(fd, &m, 0);
  if (n == total) return total;
  if (n < 0 && errno == ECONNREFUSED) {
    // A port-unreachable report of an earlier datagram, not this one's.
    mFlushCalls++;
    n = sendmsg(fd, &m, 0);
    if (n == total) return total;
  }
  if (n >= 0 || (errno != EINVAL && errno != ENOPROTOOPT && errno != EOPNOTSUPP && errno != EIO &&
                 errno != ENOSYS)) {
    report_failure(n < 0 ? errno : EMSGSIZE);
    return 0;
  }
  // No offload on this path: datagram by datagram from now on.
  mGso = false;
  *tried = false;
  return 0;
}

// One sendmmsg for the batch (or one send per datagram without it).
int Streamer::SendEach(int fd, const struct sockaddr_in* to) {
  struct iovec vecs[kMaxBatch];
  struct mmsghdr msgs[kMaxBatch];
  memset(msgs, 0, sizeof(msgs[0]) * static_cast<size_t>(mBatchCount));
  int from = 0;
  for (int i = 0; i < mBatchCount; i++) {
    vecs[i].iov_base = mpFilteredBuffer + from;
    vecs[i].iov_len = static_cast<size_t>(mBatchEnd[i] - from);
    msgs[i].msg_hdr.msg_name = const_cast<struct sockaddr_in*>(to);
    msgs[i].msg_hdr.msg_namelen = to != nullptr ? sizeof(*to) : 0;
    msgs[i].msg_hdr.msg_iov = &vecs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
    from = mBatchEnd[i];
  }
  int done = 0;
  bool retried = false;
  while (done < mBatchCount) {
    mFlushCalls++;
    int n;
    if (have_sendmmsg) {
      n = sendmmsg(fd, msgs + done, static_cast<unsigned int>(mBatchCount - done), 0);
      if (n < 0 && errno == ENOSYS) {
        have_sendmmsg = false;
        continue;
      }
    } else {
      n = send_each(fd, to, msgs + done, mBatchCount - done);
    }
    if (n > 0) {
      done += n;
      continue;
    }
    if (n < 0 && errno == ECONNREFUSED && !retried) {
      retried = true;
      continue;
    }
    // The rest of the batch is dropped; the socket stays usable.
    report_failure(n < 0 ? errno : EAGAIN);
    break;
  }
  return done > 0 ? mBatchEnd[done - 1] : 0;
}
