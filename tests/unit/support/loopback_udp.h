#ifndef VYX_TEST_LOOPBACK_UDP_H
#define VYX_TEST_LOOPBACK_UDP_H

// A UDP socket on 127.0.0.1 and an ephemeral port, standing in for whatever
// the code under test sends datagrams to (a controller, a stream receiver)
// and able to send to it.  A large receive buffer holds a whole test's output
// even when nobody reads for a while.  Datagrams sent on loopback are queued
// before sendto returns, so a drain right after the send sees them; Wait and
// Next poll with a deadline for what comes from other threads.

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

namespace vyxtest {

class LoopbackUdp {
 public:
  LoopbackUdp();
  ~LoopbackUdp();
  bool Ok() const { return mSocket >= 0; }
  unsigned short Port() const { return mPort; }
  // 127.0.0.1 and the port: set as a command server's sender (siOther), what
  // the code under test answers or forwards comes here.
  sockaddr_in Address() const;

  // Reads every datagram already queued, without waiting.
  std::vector<std::vector<uint8_t>> Drain();
  // Waits until at least one datagram is queued or the deadline passes.
  bool Wait(int timeoutMs);
  // The next datagram, waiting up to `timeoutMs`; false when none came.
  bool Next(std::string* out, int timeoutMs = 5000);
  // True when no datagram is queued right now.
  bool Empty();
  // Sends `text` to 127.0.0.1:port.
  void SendTo(unsigned short port, const std::string& text);

 private:
  int mSocket;
  unsigned short mPort;
  LoopbackUdp(const LoopbackUdp&) = delete;
  LoopbackUdp& operator=(const LoopbackUdp&) = delete;
};

}  // namespace vyxtest

#endif
