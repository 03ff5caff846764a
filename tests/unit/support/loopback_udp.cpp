#include "loopback_udp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace vyxtest {

namespace {
sockaddr_in loopback(unsigned short port) {
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}
}  // namespace

LoopbackUdp::LoopbackUdp() : mSocket(-1), mPort(0) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return;
  int size = 8 * 1024 * 1024;
  if (setsockopt(s, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0)
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  sockaddr_in me = loopback(0);
  socklen_t len = sizeof(me);
  if (bind(s, reinterpret_cast<sockaddr*>(&me), sizeof(me)) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr*>(&me), &len) != 0) {
    close(s);
    return;
  }
  fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
  mSocket = s;
  mPort = ntohs(me.sin_port);
}

sockaddr_in LoopbackUdp::Address() const {
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(mPort);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

LoopbackUdp::~LoopbackUdp() {
  if (mSocket >= 0) close(mSocket);
}

std::vector<std::vector<uint8_t>> LoopbackUdp::Drain() {
  std::vector<std::vector<uint8_t>> out;
  if (mSocket < 0) return out;
  static uint8_t buf[65536];
  for (;;) {
    ssize_t n = recv(mSocket, buf, sizeof(buf), 0);
    if (n < 0) break;
    out.emplace_back(buf, buf + n);
  }
  return out;
}

bool LoopbackUdp::Wait(int timeoutMs) {
  if (mSocket < 0) return false;
  struct pollfd p;
  p.fd = mSocket;
  p.events = POLLIN;
  p.revents = 0;
  return poll(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN) != 0;
}

bool LoopbackUdp::Next(std::string* out, int timeoutMs) {
  if (!Wait(timeoutMs)) return false;
  char buf[65536];
  ssize_t n = recv(mSocket, buf, sizeof(buf), 0);
  if (n < 0) return false;
  out->assign(buf, static_cast<size_t>(n));
  return true;
}

bool LoopbackUdp::Empty() {
  char c;
  return recv(mSocket, &c, 1, MSG_DONTWAIT | MSG_PEEK) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

void LoopbackUdp::SendTo(unsigned short port, const std::string& text) {
  sockaddr_in to = loopback(port);
  sendto(mSocket, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
}

}  // namespace vyxtest
