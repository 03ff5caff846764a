// What the processes around the device send it, hostile: the SNMP agent's
// replies (any text, unasked, late, or none because its queue is full), the
// system manager's remount replies (any record, none, or two), the player's
// IR key messages (any length, or its queue made again), bytes at the serial
// port's far end, and a browser that stops reading its queue.  A transmitter
// and a receiver command manager with the fakes of the unit tests, in a
// private world (fuzz_support.h); their commands make the requests, as from
// a controller on loopback (whose port receives what the receiver forwards)
// or from one that the network no longer reaches.
// Input: pieces (fuzz_support.h); each piece is a selector byte and its
// bytes.  The selector's bit 3 picks the receiver (else the transmitter),
// its value modulo 8 the piece:
//   0 a command from the controller;   1 a command from an unreachable one;
//   2 the text of the agent's reply to the next request (several queue up);
//   3 the agent's behaviour, by the first byte modulo 6: 0 answers at once,
//     1 held (its answers come late), 2 woken only by the next request,
//     3 its request queue full, 4 a reply nobody asked for (the rest of the
//     bytes), 5 garble;
//   4 the system manager, by the first byte modulo 5: its next reply is
//     0 the rest of the bytes laid over the confirming record, 1 none,
//     2 sent twice; 3 it is gone (its queue removed), 4 stopped with its
//     queue full (until the input ends);
//   5 a key message of the player (these bytes as its text; none: the
//     player makes its key queue again);
//   6 bytes typed at the serial port's far end;
//   7 by the first byte modulo 6: 0 the browser and the serial line's far
//     end read on, 1 the browser stops reading, 5 the serial line's far end
//     does; the controller list on the disk, read as at start: 2 the rest of
//     the bytes, 3 a directory, 4 a link to itself.
// After each piece, what reached the controller and the browser is checked:
// forwarded keys and serial bytes in their datagram layouts, key texts
// "-k" and digits.  Each input ends with the fakes behaving again and
// forwarding off.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ipc.h>
#include <sys/msg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "commands/commandmanager.h"
#include "device_fakes.h"
#include "fuzz_support.h"
#include "fuzz_world.h"
#include "quv_interprocess.h"
#include "services/ircontrol.h"
#include "uart.h"
#include "udpcom.h"
#include "utils.h"

namespace {

const size_t kReceiveLimit = 2040;  // the command loop's receive size

struct World {
  CommandManager* tx = nullptr;
  CommandManager* rx = nullptr;
  vyxtest::FakeBrowser* browser = nullptr;
  int controller = -1;  // bound on loopback: gets the receiver's forwards
  unsigned short controllerPort = 0;
};

World* gWorld = nullptr;

// The sender of the datagram the command loop just received: replies,
// reports and forwards go there.
void ComeFrom(CommandManager* m, const char* address, unsigned short port) {
  memset(&m->mpServer->siOther, 0, sizeof(m->mpServer->siOther));
  m->mpServer->siOther.sin_family = AF_INET;
  m->mpServer->siOther.sin_port = htons(port);
  inet_pton(AF_INET, address, &m->mpServer->siOther.sin_addr);
}

// Datagrams that reached the controller: forwarded keys and serial bytes must
// keep their layouts (reports and log lines may come too).
void CheckController(int fd) {
  unsigned char d[4096];
  for (;;) {
    ssize_t n = recv(fd, d, sizeof(d), MSG_DONTWAIT);
    if (n < 0) return;
    if (n >= 6 && memcmp(d, "REMOTE", 6) == 0) {
      if (n != kIrDatagramSize || d[6] != 0x01 || d[7] != 0x04 || d[11] != 0xCC) __builtin_trap();
    } else if (n >= 4 && memcmp(d, "UART", 4) == 0) {
      if (n != kUartDatagramSize) __builtin_trap();
    }
  }
}

// Messages the browser read: the device sends it keys only, "-k" and the
// key's number in a terminated text of 1024 bytes (URLkey) or 12 (IR).
void CheckBrowser(vyxtest::FakeBrowser* browser) {
  for (const vyxtest::FakeBrowser::Seen& s : browser->Take()) {
    if (s.type != kBrowserCommandType || (s.size != kBrowserTextSize && s.size != kBrowserKeyTextSize))
      __builtin_trap();
    const char* text = s.text.data();
    size_t length = strnlen(text, static_cast<size_t>(s.size));
    if (length == static_cast<size_t>(s.size) || length < 3 || strncmp(text, "-k", 2) != 0) __builtin_trap();
    for (size_t i = 2; i < length; ++i)
      if (!isdigit(static_cast<unsigned char>(text[i])) && !(i == 2 && text[i] == '-')) __builtin_trap();
  }
}

void AgentBehaves(int how, const std::string& rest) {
  vyxtest::FakeAgent& agent = vyxtest::FakeAgent::Get();
  agent.Hold(how == 1);
  agent.WakeOnNext(how == 2);
  agent.Jam(how == 3);
  agent.Garble(how == 5);
  if (how == 4) agent.Stray(rest);
}

// A key message as the player's IR driver queues it, taken by the IR thread
// and acted on before the next piece.  Empty: the player's queue is removed
// and made again, as a restarted player does.
void PlayerKey(const std::string& text) {
  int queue = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
  if (queue < 0) return;
  if (text.empty()) {
    msgctl(queue, IPC_RMID, nullptr);
    msgget(kIrInputQueueKey, IPC_CREAT | 0666);
    usleep(2000);
    return;
  }
  struct {
    long mtype;
    char mtext[32];
  } m;
  m.mtype = kIrKeyMessageType;
  const size_t n = text.size() < sizeof(m.mtext) ? text.size() : sizeof(m.mtext);
  memcpy(m.mtext, text.data(), n);
  if (msgsnd(queue, &m, n, IPC_NOWAIT) != 0) return;
  for (int i = 0; i < 1000; ++i) {
    msqid_ds state;
    if (msgctl(queue, IPC_STAT, &state) != 0 || state.msg_qnum == 0) break;
    usleep(1000);
  }
  usleep(2000);
}

// The controller list as the device may find it on its disk: any text, a
// directory, a link that leads nowhere but to itself.  Kind 0: none.
void ControllerFile(int kind, const std::string& text) {
  if (system("rm -rf /mnt/hd1/vyx_controllers") != 0) return;
  if (kind == 2) vyxtest::write_file("/mnt/hd1/vyx_controllers", text);
  if (kind == 3) mkdir("/mnt/hd1/vyx_controllers", 0755);
  if (kind == 4 && symlink("vyx_controllers", "/mnt/hd1/vyx_controllers") != 0) return;
}

void Command(CommandManager* m, const std::string& text, bool reachable) {
  ComeFrom(m, reachable ? "127.0.0.1" : "10.99.0.1", gWorld->controllerPort);
  std::string datagram = vyxtest::tame_command(text.substr(0, kReceiveLimit));
  std::string reply = vyxtest::dispatch(m, datagram);
  if (reply.size() >= 4096) __builtin_trap();  // replies are bounded texts
  global_debug_flag = 0;
}

// Everything back to normal: the agent answers, the system manager
// confirms, the browser reads, nothing is forwarded.
void Settle() {
  AgentBehaves(0, "");
  vyxtest::FakeAgent::Get().ClearScript();
  vyxtest::FakeSysMgr::Get().ClearScript();
  vyxtest::FakeSysMgr::Get().SetState(vyxtest::FakeSysMgr::kRunning);
  gWorld->browser->Stall(false);
  vyxtest::FakeSerial::Get().Stall(false);
  ControllerFile(0, "");
  gWorld->tx->LoadControllers();
  gWorld->rx->LoadControllers();
  Command(gWorld->rx, "CALLBACK0", true);
  Command(gWorld->tx, "CALLBACK0", true);
  vyxtest::FakeAgent::Get().ClearRequests();
  vyxtest::FakeSysMgr::Get().Take();
  vyxtest::FakeSerial::Get().Take();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vyxfuzz::enter_command_world();
  msgget(QUV_MSG_Q_KEY, IPC_CREAT | 0666);  // the player's queue, unread
  gWorld = new World();
  gWorld->browser = new vyxtest::FakeBrowser(1);
  gWorld->tx = vyxtest::shared_manager('T');
  gWorld->rx = vyxtest::shared_manager('R');
  gWorld->controller = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(a);
  if (gWorld->controller < 0 || bind(gWorld->controller, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
      getsockname(gWorld->controller, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
    perror("fuzz_peers: controller socket");
    exit(1);
  }
  gWorld->controllerPort = ntohs(a.sin_port);
  global_debug_flag = 0;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  World& w = *gWorld;
  // A stopped peer costs each exchange its full wait (a second or more):
  // pieces past 12 s are left out, so that no input nears the time-out.
  const auto start = std::chrono::steady_clock::now();
  for (const std::string& piece : vyxfuzz::split_pieces(data, size, 16)) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(12)) break;
    if (piece.empty()) continue;
    const uint8_t selector = static_cast<uint8_t>(piece[0]);
    CommandManager* m = (selector & 8) ? w.rx : w.tx;
    const std::string bytes = piece.substr(1);
    const int first = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
    const std::string rest = bytes.empty() ? "" : bytes.substr(1);
    switch (selector % 8) {
      case 0:
      case 1:
        Command(m, bytes, selector % 8 == 0);
        break;
      case 2:
        vyxtest::FakeAgent::Get().Script(bytes);
        break;
      case 3:
        AgentBehaves(first % 6, rest);
        break;
      case 4:
        if (first % 5 < 3)
          vyxtest::FakeSysMgr::Get().Script(static_cast<vyxtest::FakeSysMgr::Reply>(first % 5), rest);
        else
          vyxtest::FakeSysMgr::Get().SetState(first % 5 == 3 ? vyxtest::FakeSysMgr::kGone
                                                              : vyxtest::FakeSysMgr::kStopped);
        break;
      case 5:
        PlayerKey(bytes);
        break;
      case 6:
        vyxtest::FakeSerial::Get().Type(bytes);
        usleep(20000);  // the serial thread reads and forwards them
        break;
      default:
        if (first % 6 < 2) {
          w.browser->Stall(first % 6 == 1);
          vyxtest::FakeSerial::Get().Stall(false);
        } else if (first % 6 == 5) {
          vyxtest::FakeSerial::Get().Stall(true);
        } else {
          ControllerFile(first % 6, rest);
          m->LoadControllers();
        }
        break;
    }
    CheckController(w.controller);
    CheckBrowser(w.browser);
  }
  Settle();
  CheckController(w.controller);
  CheckBrowser(w.browser);
  return 0;
}
