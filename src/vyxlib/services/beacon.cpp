// Discovery beacon.  The sender thread announces the device on
// 239.255.250.250:52428 every 30 to 59 seconds, falls quiet as soon as a
// control system sends commands, announces again after more than ten minutes
// without commands, and restarts at once on any datagram to port 52429.
//
// The flags are shared between the command thread and the sender thread
// without a lock; they are atomics so that a change is seen, nothing more.

#include "services/beacon.h"

#include <sys/select.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <signal.h>

#include "udpcom.h"
#include "utils.h"
#include "core/version.h"

namespace {

std::atomic<int> runBeacon{0};
std::atomic<int> beaconRunning{0};
std::atomic<int> beaconState{eNone};
std::atomic<int> trafficDetected{0};
std::atomic<int> commandReady{0};
std::atomic<int> beaconRequest{0};
std::atomic<int> beaconCount{0};
char beaconPacket[BEACON_PACKET_SIZE];
char myType[2];  // "T", "R" or "" before the first BeaconStart

// Owned by the sender thread; the pointer is only read elsewhere to tell
// whether the thread has its receiver.
std::atomic<UdpServer*> receiver{nullptr};
// Source of the last restart request, copied by the sender thread so that
// readers never touch the socket object.
char masterIp[16] = "0.0.0.0";

unsigned int randomState = 1;  // sender thread only

constexpr int kSilenceToResume = 601;  // seconds of waits without commands
constexpr int kRequestSize = 16;
constexpr int kMaxRequestsPerWake = 64;  // a flood does not hold the thread

int next_random() { return rand_r(&randomState); }

// Waits at most `seconds` (of device time) for a restart request.
// 1 readable, 0 timeout, -1 failure (reported).
int wait_for_request(UdpServer* server, int seconds) {
  double scale = vyx_time_scale();
  if (!(scale > 0)) scale = 1;
  long long us = static_cast<long long>(seconds * 1000000.0 / scale);
  fd_set readSet;
  FD_ZERO(&readSet);
  FD_SET(server->s, &readSet);
  struct timeval tv;
  tv.tv_sec = static_cast<time_t>(us / 1000000);
  tv.tv_usec = static_cast<suseconds_t>(us % 1000000);
  int r = select(server->s + 1, &readSet, nullptr, nullptr, &tv);
  if (r < 0) {
    perror("select()");
    return -1;
  }
  return (r > 0 && FD_ISSET(server->s, &readSet)) ? 1 : 0;
}

// Reads every pending restart request without waiting.
void drain_requests(UdpServer* server) {
  for (int i = 0; i < kMaxRequestsPerWake; i++) {
    char request[kRequestSize + 1];
    int n = server->Receive(request, kRequestSize, MSG_DONTWAIT);
    if (n < 0) break;  // none left ("recvfrom()" on the error stream)
    request[n] = 0;
    snprintf(masterIp, sizeof(masterIp), "%s", server->GetLastClientIpAddress());
    VYX_LOG("Received beacon restart request: %s\n", request);
  }
}

void send_beacon(UdpSender* sender) {
  VYX_LOG("Sending beacon out: %s\n", beaconPacket);
  sender->Send(beaconPacket, static_cast<int>(strlen(beaconPacket)));
}

void* beacon_thread(void*) {
  beaconRunning = 1;
  UdpSender* sender = new UdpSender();
  UdpServer* server = new UdpServer();

  while (!sender->Connect(BEACON_PORT, BEACON_GROUP)) {
    VYX_ERROR("Can't connect 1!");
    vyx_sleep_s(1);
  }
  while (!server->Connect(BEACON_REQUEST_PORT, BEACON_GROUP)) {
    VYX_ERROR("Can't connect 2!");
    vyx_sleep_s(1);
  }
  receiver = server;

  char mac[16];
  for (;;) {
    snprintf(mac, sizeof(mac), "%s", server->GetSelfMacAddress("eth0"));
    if (strlen(mac) == 12) break;
    VYX_ERROR("Can't get valid MAC address: %s (len %d)", mac, static_cast<int>(strlen(mac)));
    vyx_sleep_s(1);
  }

  randomState = BeaconSeed(mac);
  VYX_LOG("BeaconThread: The seed is %d\n", static_cast<int>(randomState));

  char type = myType[0] == 'T' ? 'T' : 'R';
  BeaconFormat(beaconPacket, sizeof(beaconPacket), type, mac);
  beaconCount++;

  while (!commandReady) {
    VYX_LOG("Beacon: Wait for command ready... \n");
    vyx_sleep_ms(500);
  }

  vyx_sleep_s(static_cast<unsigned>(next_random() % 2 + 1));
  send_beacon(sender);

  beaconState = eSending;
  BeaconCycle cycle;
  cycle.state = eSending;
  cycle.baseline = trafficDetected;
  cycle.silence = 0;

  while (runBeacon) {
    int waited = 30 + next_random() % 30;
    int r = wait_for_request(server, waited);
    if (r < 0) {
      vyx_sleep_s(1);  // a broken socket must not spin the thread
      continue;
    }
    if (r > 0) drain_requests(server);

    int before = beaconState;
    cycle.state = before;
    bool send = BeaconAfterWait(&cycle, r > 0, trafficDetected, waited);
    // A BeaconRestart from the command thread during this step wins.
    beaconState.compare_exchange_strong(before, cycle.state);
    if (send) {
      send_beacon(sender);
      beaconCount++;
    }
  }

  receiver = nullptr;
  delete sender;
  delete server;
  beaconCount = 0;
  beaconRunning = 0;
  return nullptr;
}

}  // namespace

int BeaconFormat(char* out, int size, char type, const char* mac12) {
  if (out == nullptr || size <= 0) return -1;
  if (mac12 == nullptr) mac12 = "";
  const char* fmt =
      type == 'T'
          ? "VYXB<Device-UUID=VYX_IPTV_TX_QAM-%s><Device-SDKClass=SettopBox><Device-Make=VYX-Morvane>"
            "<Device-Model=VYX_IPTV_TX_QAM><Device-Revision=%d.%d.%d>\r\n"
          : "VYXB<Device-UUID=VYX_IPTV_RX_HD-%s><Device-SDKClass=SettopBox><Device-Make=VYX-Morvane>"
            "<Device-Model=VYX_IPTV_RX_HD><Device-Revision=%d.%d.%d>\r\n";
  int n = snprintf(out, static_cast<size_t>(size), fmt, mac12, version_get_major(),
                   version_get_minor(), version_get_build());
  if (n < 0 || n >= size) return -1;
  return n;
}

unsigned int BeaconSeed(const char* mac12) {
  if (mac12 == nullptr) return 0;
  size_t len = strlen(mac12);
  return hatoi(len > 8 ? mac12 + len - 8 : mac12);
}

bool BeaconAfterWait(BeaconCycle* cycle, bool requestReceived, int traffic, int waited) {
  if (requestReceived) {
    cycle->state = eSending;
    cycle->baseline = traffic;
  }
  switch (cycle->state) {
    case eSending:
      if (traffic != cycle->baseline && traffic != 0) {
        cycle->state = eSleeping;
        return false;
      }
      return true;
    case eSleeping:
      if (traffic != cycle->baseline) {
        cycle->baseline = traffic;
        cycle->silence = 0;
      }
      cycle->silence += waited;
      if (cycle->silence >= kSilenceToResume) cycle->state = eSending;
      return false;
    default:
      VYX_ERROR("Can't be!");
      return false;
  }
}

char* BeaconType(char type) {
  if (type == 'T' || type == 'R') {
    myType[0] = type;
    myType[1] = 0;
  }
  if (myType[0] == 0) {
    VYX_ERROR("myType %c", type);
    exit(-1);
  }
  return myType;
}

int BeaconStart(char type) {
  if (type == 'T' || type == 'R') BeaconType(type);
  while (beaconRunning) vyx_sleep_s(1);
  trafficDetected = 0;
  beaconRequest = 0;
  runBeacon = 1;
  // Marked running before the thread exists, so that a second BeaconStart
  // right after this one waits for it instead of starting a twin.
  beaconRunning = 1;
  pthread_t id;
  if (vyx_start_thread(&id, beacon_thread, nullptr) != 0) {
    beaconRunning = 0;
    VYX_ERROR("CANT CREATE sender thread");
    return -1;
  }
  return 0;
}

void BeaconStop() {
  runBeacon = 0;
  raise(SIGCONT);
}

void BeaconRestart() {
  beaconState = eSending;
  trafficDetected = 0;
}

void BeaconTellThatUdpTrafficReceived() { trafficDetected++; }

void BeaconSetCommandReady() { commandReady = 1; }

char* BeaconGetMasterIp() {
  if (receiver.load() == nullptr) return nullptr;
  return masterIp;
}

char* BeaconGetString() { return beaconPacket; }

int BeaconGetCount() { return beaconCount; }
