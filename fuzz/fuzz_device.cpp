// The whole device as the player starts it, in the role VYX_FUZZ_DEVICE_ROLE
// ('T': fuzz_device, 'R': fuzz_device_rx): Vyx_Start_Filter builds the
// command manager and starts its command loop (with the beacon, the
// controller list and the start-up item) and the watchdog; the input then
// reaches it as a controller and the player would: command datagrams over
// the network to its port, restart requests to the beacon's port, buffers
// to Vyx_Filter.  The fake agent, system manager and serial port of the unit
// tests stand in for the processes around it, inside a private world whose
// network has an eth0 (a veth pair), so that the beacon finds its MAC
// address.
// Input: pieces (fuzz_support.h); each piece is a selector byte and its
// bytes, by the selector's value modulo 8:
//   0 a command from 127.0.0.1;   1 a datagram to the beacon's request port;
//   2 a buffer to Vyx_Filter (the transmitter's tuner stream, the
//     receiver's sections);       3 a command from 10.77.0.2 (eth0), which
//                                   a controller list may refuse;
//   4 a message on the IR input queue (the key is its fifth byte);
//   5 the receiver: bytes typed at the serial port's far end; the
//     transmitter: the tuner's signal strength (the first byte, modulo 6)
//     in the player's status memory, which the blind scan reads;
//   6 the program the player says it plays (the first two bytes, little
//     endian) in its status memory, which the receiver's language choice
//     reads;
//   7 the system manager refuses every remount from here to the input's
//     end (the first byte odd) or confirms them again.
// Each command is followed by a VERS from 127.0.0.1 whose reply says that
// the loop has dealt with it.  An input ends by abandoning any upgrade it
// began and stopping any scan (either left under way would refuse every
// later input's streams and scans), and removing any controller list it set.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "core/version.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "services/beacon.h"
#include "services/ircontrol.h"
#include "sharedmem.h"
#include "utils.h"
#include "zernsnmp.h"

extern "C" char* Vyx_Start_Filter(char type);
extern "C" void Vyx_Filter(unsigned char* data, unsigned len);

namespace {

#ifndef VYX_FUZZ_DEVICE_ROLE
#define VYX_FUZZ_DEVICE_ROLE 'T'
#endif
const char kRole = VYX_FUZZ_DEVICE_ROLE;
const unsigned short kCommandPort = kRole == 'T' ? 5000 : 2008;

// A key message as the player's IR driver queues it.
void QueueKey(const std::string& bytes) {
  static int queue = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
  struct {
    long mtype;
    char mtext[kIrKeyTextSize];
  } m;
  m.mtype = kIrKeyMessageType;
  memset(m.mtext, 0, sizeof(m.mtext));
  const size_t n = bytes.size() < sizeof(m.mtext) ? bytes.size() : sizeof(m.mtext);
  memcpy(m.mtext, bytes.data(), n);
  if (queue < 0 || msgsnd(queue, &m, n, IPC_NOWAIT) != 0) return;
  // Taken by the IR thread (within a second), and a moment to act on it:
  // the key's handling belongs to this input.
  for (int i = 0; i < 1000; ++i) {
    msqid_ds state;
    if (msgctl(queue, IPC_STAT, &state) != 0 || state.msg_qnum == 0) break;
    usleep(1000);
  }
  usleep(2000);
}

int Socket(const char* from) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  inet_pton(AF_INET, from, &a.sin_addr);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    perror("fuzz_device: socket");
    exit(1);
  }
  return fd;
}

void SendTo(int fd, unsigned short port, const std::string& bytes) {
  sockaddr_in to;
  memset(&to, 0, sizeof(to));
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0) {
  }
}

struct Controller {
  int local = Socket("127.0.0.1");
  int eth0 = Socket("10.77.0.2");

  // A VERS sent and its reply awaited (other replies before it are read
  // and dropped): the loop has dealt with everything sent before.  Sent
  // again after each second without the reply: with forwarding on, the
  // device's own reports to this socket may have crowded the reply out of
  // its buffer.  The replies of the VERS sent again are awaited too (half a
  // second at most: they may be the ones crowded out), or the next Sync
  // would take one for its own and return before its command was done.
  // `echo`: the command before was itself a VERS from here, whose reply
  // comes first.  False when no reply came within `seconds`.
  bool Sync(int seconds, bool echo = false) {
    char reply[4096];
    int sentIn = -1;  // the second of waiting the last VERS went in
    int sent = 0;
    int answered = echo ? -1 : 0;
    int late = 0;  // waits for the replies of the VERS sent again
    for (int waited = 0; waited < seconds * 100 && late < 50;) {
      if (answered <= 0 && waited / 100 != sentIn) {
        sentIn = waited / 100;
        SendTo(local, kCommandPort, "VERS");
        ++sent;
      }
      pollfd p = {local, POLLIN, 0};
      if (poll(&p, 1, 10) <= 0) {
        ++waited;
        if (answered > 0) ++late;  // only the replies of VERS sent again are still due
        continue;
      }
      ssize_t n = recv(local, reply, sizeof(reply) - 1, 0);
      if (n >= 4 && memcmp(reply, "VERS", 4) == 0 && ++answered == sent) return true;
    }
    return answered > 0;
  }
  // Reads and drops what comes to 127.0.0.1 until `ms` pass without a datagram.
  void Drain(int ms) {
    char reply[4096];
    pollfd p = {local, POLLIN, 0};
    while (poll(&p, 1, ms) > 0) {
      if (recv(local, reply, sizeof(reply), 0) < 0) break;
    }
  }
  // The transmitter's scan stopped and its end awaited ("SCA?" no longer
  // says scanning).  The device's own wait for the stop is scaled down
  // with its other waits, but the player's tool the scan runs for each
  // channel is not: that wait may end first.  False after `seconds`.
  bool StopScan(int seconds) {
    char reply[4096];
    for (int round = 0; round < seconds * 10; ++round) {
      SendTo(local, kCommandPort, "BLIND99");
      SendTo(local, kCommandPort, "SCA?");
      for (int polls = 0; polls < 100;) {
        pollfd p = {local, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0) {
          ++polls;
          continue;
        }
        ssize_t n = recv(local, reply, sizeof(reply), 0);
        // The status answer: four bytes, the first 0; the last 2 while scanning.
        if (n != 4 || reply[0] != 0) continue;
        if (reply[3] != 2) return true;
        break;
      }
    }
    return false;
  }
  // Replies to the other address are not read: dropped once its buffer is full.
};

Controller* gController = nullptr;

void WriteFile(const char* path, const std::string& text) {
  FILE* f = fopen(path, "w");
  if (f == nullptr) return;
  fwrite(text.data(), 1, text.size(), f);
  fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_private_world(
      "ip link set lo up; ip link add eth0 type veth peer name peer0 && ip link set eth0 up && "
      "ip link set peer0 up && ip addr add 10.77.0.2/24 dev eth0 && ip route add 224.0.0.0/4 dev eth0");
  vyxfuzz::quick_waits("10000");
  vyxtest::FakeSysMgr::Get();
  vyxtest::FakeAgent::Get();
  uart_device_path = vyxtest::FakeSerial::Get().Path();
  // What a device that ran before left on its disk: the tuner mode (one the
  // tuner does not have: the transmitter starts in mode 0),
  // the start-up item (the receiver's with a stray byte after it) and a
  // controller list with a comment and a bad line.
  WriteFile("/mnt/hd1/vyx_tunermode", "7\n");
  WriteFile("/mnt/hd1/vyx_def_startup",
            kRole == 'T' ? "UNIT1,239.1.1.1,1234,5,1,1" : std::string("UNIT1,239.1.1.1,1234,0,1\x01junk"));
  WriteFile("/mnt/hd1/vyx_controllers", "# the head-end's controllers\n127.0.0.0/8\n10.77.0.99\nnot an address\n");
  version_printf();  // the banner the player may ask for at load
  // The receiver is started as the player starts an unknown board: its
  // role read from the board's version word (board 4, variant 1).
  if (kRole == 'R') vyxtest::FakeAgent::Get().SetValue(ZernOid(eZERN_VERSION), "67174400");
  Vyx_Start_Filter(kRole == 'R' ? 'A' : kRole);
  Vyx_Start_Filter(kRole);  // a second start only reports
  gController = new Controller();
  // The loop listens once the beacon has found the MAC address: until then
  // the VERS finds no socket.
  int tries = 0;
  while (!gController->Sync(1) && ++tries < 60) {
  }
  if (tries == 60) {
    fprintf(stderr, "fuzz_device: the command loop never answered\n");
    exit(1);
  }
  // A VERS of the tries before, queued before the loop read it, is answered
  // late: not to be taken by the first input's Sync for its own.
  gController->Drain(300);
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Controller& c = *gController;
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 16)) {
    if (piece.empty()) continue;
    std::string bytes = piece.substr(1);
    const unsigned selector = static_cast<uint8_t>(piece[0]) % 8;
    switch (selector) {
      case 0:
      case 3: {
        std::string datagram = vyxtest::tame_command(bytes);
        // A list set from eth0 would leave 127.0.0.1 out, and the harness
        // could no longer talk to the device: eth0 sets none.
        if (selector == 3 && strncasecmp(datagram.c_str(), "CONTROLLERS", 11) == 0) datagram[0] = '#';
        SendTo(selector == 0 ? c.local : c.eth0, kCommandPort, datagram);
        if (!c.Sync(30, selector == 0 && strncasecmp(datagram.c_str(), "VERS", 4) == 0))
          __builtin_trap();  // the loop is stuck
        // A scan runs on its own thread: a moment for it to get on (its
        // waits are scaled; the tuning commands it runs are not).
        if (strncasecmp(datagram.c_str(), "BLIND", 5) == 0) usleep(100000);
        break;
      }
      case 1:
        SendTo(c.local, BEACON_REQUEST_PORT, bytes);
        break;
      case 2:
        if (!bytes.empty()) Vyx_Filter(reinterpret_cast<unsigned char*>(&bytes[0]), static_cast<unsigned>(bytes.size()));
        break;
      case 4:
        QueueKey(bytes);
        break;
      case 6: {
        int32_t program = 0;
        if (bytes.size() >= 2) program = static_cast<uint8_t>(bytes[0]) | (static_cast<uint8_t>(bytes[1]) << 8);
        __atomic_store_n(&SharedMem::Self()->Record()->vStatus.progId, program, __ATOMIC_RELAXED);
        break;
      }
      case 7:
        vyxtest::FakeSysMgr::Get().Refuse(!bytes.empty() && (bytes[0] & 1) != 0);
        break;
      default:
        if (kRole == 'T') {
          // The tuner's signal strength as the player reports it (0-5).
          SharedMem::Self()->Record()->vStatus.tunerSignalStrength = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) % 6;
          break;
        }
        vyxtest::FakeSerial::Get().Type(bytes);
        usleep(20000);  // the serial thread reads and forwards them
        break;
    }
  }
  vyxtest::FakeSysMgr::Get().Refuse(false);
  SendTo(c.local, kCommandPort, "UPGR0");
  if (kRole == 'T' && !c.StopScan(60)) __builtin_trap();  // the scan never ends
  SendTo(c.local, kCommandPort, "CONTROLLERS0");
  if (!c.Sync(30)) __builtin_trap();
  global_debug_flag = 0;
  vyxtest::FakeAgent::Get().ClearRequests();
  vyxtest::FakeSysMgr::Get().Take();
  vyxtest::FakeSerial::Get().Take();
  return 0;
}
