// The out-of-line UdpServer operations: a bounded wait for a datagram, and
// the board's hardware address, used by "IP?" and by the discovery beacon's
// device identity.

#include "udpcom.h"

#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <ctime>
#include <mutex>

namespace {

double monotonic_seconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int UdpServer::WaitReadable(double seconds) {
  if (s < 0) return -1;
  if (!(seconds > 0.0)) seconds = 0.0;
  // A day at most per poll call, so the millisecond count fits an int.
  const double deadline = monotonic_seconds() + seconds;
  for (;;) {
    double left = deadline - monotonic_seconds();
    if (left < 0.0) left = 0.0;
    if (left > 86400.0) left = 86400.0;
    struct pollfd p;
    p.fd = s;
    p.events = POLLIN;
    p.revents = 0;
    int r = poll(&p, 1, static_cast<int>(left * 1000.0 + 0.999));
    if (r > 0) return (p.revents & POLLIN) != 0 ? 1 : -1;
    if (r < 0 && errno != EINTR) return -1;
    if (r == 0 && monotonic_seconds() >= deadline) return 0;
  }
}

bool UdpServer::ReadMacAddress(const char* interfaceName, char out[16]) {
  memset(out, 0, 16);
  if (interfaceName == nullptr) return false;
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return false;
  bool ok = false;
  for (struct if_nameindex* entry = list; entry->if_index != 0; ++entry) {
    if (entry->if_name == nullptr || strcmp(entry->if_name, interfaceName) != 0) continue;
    printf("Getting mac for %s\n", entry->if_name);
    struct ifreq request;
    memset(&request, 0, sizeof(request));
    strncpy(request.ifr_name, entry->if_name, sizeof(request.ifr_name) - 1);
    if (ioctl(s, SIOCGIFHWADDR, &request) < 0) {
      perror("ioctl");
      break;
    }
    const unsigned char* hw = reinterpret_cast<const unsigned char*>(request.ifr_hwaddr.sa_data);
    snprintf(out, 16, "%.2x%.2x%.2x%.2x%.2x%.2x", hw[0], hw[1], hw[2], hw[3], hw[4], hw[5]);
    ok = true;
    break;
  }
  if_freenameindex(list);
  return ok;
}

char* UdpServer::GetSelfMacAddress(const char* interfaceName) {
  // One result buffer for the process: empty until the first success, then
  // the last good answer (the beacon's identity must not flicker).  Writers
  // are serialised and only rewrite it when the address changed, so a reader
  // on another thread never sees a torn text.
  static char mac[16];
  static std::mutex macMutex;

  char text[16];
  if (!ReadMacAddress(interfaceName, text)) return mac;
  std::lock_guard<std::mutex> lock(macMutex);
  if (memcmp(mac, text, sizeof(mac)) != 0) memcpy(mac, text, sizeof(mac));
  return mac;
}
