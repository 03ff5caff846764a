#ifndef VYX_UDPCOM_H
#define VYX_UDPCOM_H

// UDP endpoints of the plug-in: UdpServer, a bound socket that answers whoever
// last sent to it, and UdpSender, a socket aimed at one destination (unicast or
// multicast, TTL 4).  Small and used inline by their callers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

class UdpServer {
 public:
  struct sockaddr_in siMe;
  struct sockaddr_in siOther;  // sender of the last datagram: replies go there
  int s;
  int i;
  unsigned int slen;

  UdpServer() : s(-1), i(0), slen(sizeof(struct sockaddr_in)) {
    memset(&siMe, 0, sizeof(siMe));
    memset(&siOther, 0, sizeof(siOther));
  }
  ~UdpServer() {
    if (s >= 0) close(s);
  }

  bool Connect(unsigned short port, const char* ip = nullptr) {
    slen = sizeof(struct sockaddr_in);
    s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s < 0) {
      fprintf(stderr, "socket");
      return false;
    }
    int one = 1;
    if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) < 0) {
      fprintf(stderr, "Reusing ADDR failed");
      close(s);
      s = -1;
      return false;
    }
    memset(&siMe, 0, sizeof(siMe));
    siMe.sin_family = AF_INET;
    siMe.sin_port = htons(port);
    siMe.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s, reinterpret_cast<struct sockaddr*>(&siMe), sizeof(siMe)) < 0) {
      perror("bind");
      close(s);
      s = -1;
      return false;
    }
    if (ip != nullptr) {
      int first = atoi(ip);
      struct in_addr group;
      // Only a class-D leading number asks for a group join; text that does
      // not parse as an address skips it.
      if (first >= 224 && first <= 239 && inet_aton(ip, &group) != 0) {
        struct ip_mreq mreq;
        mreq.imr_multiaddr = group;
        mreq.imr_interface.s_addr = htonl(INADDR_ANY);
        if (setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof(mreq)) < 0) {
          perror("setsockopt");
          close(s);
          s = -1;
          return false;
        }
        printf("Joined multicast group %s\n", ip);
      }
    }
    return true;
  }

  // Waits up to `seconds` for a datagram: 1 when one is waiting, 0 when the
  // time passed, -1 without a socket or on an error.  A signal does not cut
  // the wait short (udpcom.cpp).
  int WaitReadable(double seconds);

  void Close() {
    if (s >= 0) close(s);
    s = -1;
  }

  bool WaitForData(long seconds, long microseconds) {
    if (s < 0) return false;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    struct timeval tv;
    tv.tv_sec = seconds;
    tv.tv_usec = microseconds;
    int r = select(s + 1, &readSet, nullptr, nullptr, &tv);
    if (r < 0) {
      perror("select()");
      return false;
    }
    return r > 0 && FD_ISSET(s, &readSet);
  }

  int Receive(void* buffer, int size, int flags) {
    socklen_t len = sizeof(siOther);
    int n = static_cast<int>(recvfrom(s, buffer, static_cast<size_t>(size), flags,
                                      reinterpret_cast<struct sockaddr*>(&siOther), &len));
    if (n < 0) fprintf(stderr, "recvfrom()\n");
    return n;
  }

  int Reply(const void* text, int length) {
    int n = static_cast<int>(sendto(s, text, static_cast<size_t>(length), 0,
                                    reinterpret_cast<struct sockaddr*>(&siOther), slen));
    if (n < 0) perror("sendto() - 1");
    return n;
  }

  const char* GetLastClientIpAddress() { return inet_ntoa(siOther.sin_addr); }
  int GetLastClientPort() { return ntohs(siOther.sin_port); }

  // The hardware address of the named interface as 12 lower-case hex digits,
  // in one static buffer that keeps the last good answer (udpcom.cpp).
  char* GetSelfMacAddress(const char* interfaceName);
  // The same read into `out` (16 bytes), which is left empty when the
  // interface is missing or its address cannot be read.  True on success.
  bool ReadMacAddress(const char* interfaceName, char out[16]);
};

class UdpSender {
 public:
  char serverIp[16];
  unsigned short port;
  int s;  // 0: no socket yet
  int slen;
  struct sockaddr_in siOther;
  bool connected;  // the socket itself names the destination (Pin)

  UdpSender() : port(0), s(0), slen(sizeof(struct sockaddr_in)), connected(false) {
    memset(serverIp, 0, sizeof(serverIp));
    memset(&siOther, 0, sizeof(siOther));
  }
  ~UdpSender() { Disconnect(); }

  bool Connect(unsigned short destPort, const char* ip) {
    if (connected && s != 0) {
      // A new destination for a pinned socket: start from a fresh one.
      close(s);
      s = 0;
      connected = false;
    }
    strncpy(serverIp, ip, 15);
    serverIp[15] = 0;
    port = destPort;
    slen = sizeof(struct sockaddr_in);
    if (s == 0) {
      s = socket(AF_INET, SOCK_DGRAM, 0);
      if (s < 0) {
        s = 0;
        fprintf(stderr, "socket");
        return false;
      }
    }
    memset(&siOther, 0, sizeof(siOther));
    siOther.sin_family = AF_INET;
    siOther.sin_port = htons(port);
    int ttl = 4;
    if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof(ttl)) < 0)
      fprintf(stderr, "setsockopt - ttl");
    if (inet_aton(serverIp, &siOther.sin_addr) == 0) {
      fprintf(stderr, "inet_aton()");
      close(s);
      s = 0;
      return false;
    }
    return true;
  }

  // Fix the destination on the socket (connect), so that sends need no route
  // lookup each.  False when the kernel refuses (a broadcast address without
  // SO_BROADCAST, no route yet): sends then keep naming the destination.
  bool Pin() {
    if (s <= 0) return false;
    connected = connect(s, reinterpret_cast<struct sockaddr*>(&siOther),
                        static_cast<socklen_t>(slen)) == 0;
    return connected;
  }

  int Send(const void* data, int length, const char* /*unused*/ = nullptr) {
    return static_cast<int>(sendto(s, data, static_cast<size_t>(length), 0,
                                   reinterpret_cast<struct sockaddr*>(&siOther),
                                   static_cast<socklen_t>(slen)));
  }

  // One datagram to port:ip without keeping the destination.
  int SendOnce(unsigned short destPort, const char* ip, const void* data, int length) {
    if (!Connect(destPort, ip)) return -1;
    return Send(data, length);
  }

  void Disconnect() {
    if (s != 0) {
      close(s);
      s = 0;
    }
    connected = false;
  }
};

#endif
