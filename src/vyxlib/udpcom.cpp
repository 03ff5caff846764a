// The one out-of-line UdpServer operation: the board's hardware address, used
// by "IP?" and by the discovery beacon's device identity.

#include "udpcom.h"

#include <net/if.h>
#include <sys/ioctl.h>

#include <mutex>

char* UdpServer::GetSelfMacAddress(const char* interfaceName) {
  // One result buffer for the process: empty until the first success, then
  // the last good answer.  Writers are serialised and only rewrite it when the
  // address changed, so a reader on another thread never sees a torn text.
  static char mac[16];
  static std::mutex macMutex;

  if (interfaceName == nullptr) return mac;
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return mac;

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
    char text[16];
    memset(text, 0, sizeof(text));
    snprintf(text, sizeof(text), "%.2x%.2x%.2x%.2x%.2x%.2x", hw[0], hw[1], hw[2], hw[3], hw[4],
             hw[5]);
    std::lock_guard<std::mutex> lock(macMutex);
    if (memcmp(mac, text, sizeof(mac)) != 0) memcpy(mac, text, sizeof(mac));
    break;
  }
  if_freenameindex(list);
  return mac;
}
