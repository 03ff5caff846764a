// Seeds of the services around the device and of the core's readers: the
// player tool's option lines, agent replies, and commands (to the device
// targets and the dispatcher) whose numbers, keys and serial settings reach
// the less travelled paths of the field reader, the IR filter and the serial
// module.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_seeds.h"
#include "fuzz_support.h"

namespace vyxseeds {

namespace {

void Write(const std::string& target, int n, const std::string& bytes) {
  WriteSeed(target, "svc-" + std::to_string(n), bytes);
}

// A piece of the device targets: the selector byte, then its bytes.
std::string Piece(char selector, const std::string& bytes) { return std::string(1, selector) + bytes; }
std::string Command(const std::string& text) { return Piece('\0', text); }
// An IR key message as the player queues it (the key is the fifth byte).
std::string Key(int key) { return Piece('\4', std::string("\0\0\0\0", 4) + static_cast<char>(key)); }

std::string Repeat(const std::string& option, int times) {
  std::string line;
  for (int i = 0; i < times; ++i) line += option + " ";
  return line;
}

// Lines of the option parser: name lookups (a host in the hosts file, an
// address given as digits, names and addresses no resolver answers here),
// debug texts, and lines of more records than the queues take.
void K720Lines() {
  const std::vector<std::string> lines = {
      "-hostip localhost -stopall",
      "-hostip 10.77.0.9 -vstat",
      "-hostip no-such-host.invalid -stopall",
      "-hostname 127.0.0.1 -osdstop",
      "-hostname 10.200.0.1",
      "-hostname not.an.address",
      "-hostip",
      "-vdbg 7",
      "-vdbg 8 /mnt/hd1/log.txt -vdbg 9 -x",
      Repeat("-mount 1 rw", 48),
      Repeat("-udp 239.1.1.1 1234 2 0 50 50 100 100 0 255 0 9", 48),
  };
  int n = 0;
  for (const std::string& l : lines) Write("k720cmmd", n++, l);
}

// Agent replies with an '=' and no ':' (a bare "OID = value").
void SnmpReplies() {
  Write("snmp_reply", 0, ".1.3.6.1.4.1.32473.3.1.6.0 = 1\n");
  Write("snmp_reply", 1, "=");
}

// Numbers past an int, signed ones and upper-case hex through the commands:
// serial settings, window geometry, the IR mode code.
const char* const kNumberCommands[] = {
    "SUART99999999999,8,N,1",      "SUART9600,99999999999,N,1", "SUART-9600,-8,E,2",
    "SUART2147483647,8,N,1",       "SUART-2147483648,8,O,1",    "SUART+19200,+7,even,2",
    "SUART00002147483647,8,N,1",   "VSCALE,-10,+20,30,40,255",  "VSCALE,99999999999,1,1,1,1",
    "REMOTEAB",                    "REMOTE0x1F",                "URLkey99999999999",
    "URLkey-5",                    "URL http://x/,-100,+50,200,100,255,0",
};

void NumberSeeds() {
  int n = 0;
  for (const char* c : kNumberCommands) {
    // Receiver commands: bit 0 of the dispatcher target's selector.
    Write("commands", n++, vyxfuzz::join_pieces({Piece('\1', c)}));
    // The agent answering garble to the serial settings.
    if (c[0] == 'S') Write("commands", n++, vyxfuzz::join_pieces({Piece('\3', c)}));
  }
  Write("device_rx", 0, vyxfuzz::join_pieces({Command("SUART9600,99999999999,N,1"), Command("REMOTEAB"),
                                              Command("VSCALE,-10,+20,30,40,255")}));
}

// The receiver's IR filter and log stream: a volume key held past its
// repeat interval (each BLIND costs the target a tenth of a second), and
// log lines sent to the controller as datagrams.
void ReceiverSeeds() {
  Write("device_rx", 1, vyxfuzz::join_pieces({Command("CALLBACK1"), Key(44), Command("BLIND"), Command("BLIND"),
                                              Command("BLIND"), Key(44), Key(45), Command("BLIND"),
                                              Command("BLIND"), Command("BLIND"), Key(45), Command("CALLBACK0")}));
  Write("device_rx", 2, vyxfuzz::join_pieces({Command("CALLBACK1"), Command("DEBUG2"), Command("STATUS"),
                                              Command("SUART9600,8,N,1"), Key(16), Command("DEBUG0"),
                                              Command("CALLBACK0")}));
}

// The peers target (fuzz_peers.cpp): selector bit 3 the receiver, the value
// modulo 8 the piece.
std::string Tx(int piece, const std::string& bytes) { return Piece(static_cast<char>(piece), bytes); }
std::string Rx(int piece, const std::string& bytes) { return Piece(static_cast<char>(8 | piece), bytes); }
std::string Agent(int how, const std::string& rest = "") { return Tx(3, std::string(1, static_cast<char>(how)) + rest); }
std::string SysMgr(int how, const std::string& bytes = "") { return Tx(4, std::string(1, static_cast<char>(how)) + bytes); }
// A remount reply record: command id, then parameters 0 to 4.
std::string Record(int32_t id, int32_t state) {
  int32_t words[6] = {id, 1689, 1, 0, 1, state};
  return std::string(reinterpret_cast<const char*>(words), sizeof(words));
}

void PeerSeeds() {
  int n = 0;
  // The agent's replies as texts: cut short, unterminated, of another OID,
  // long, without a value; then one nobody asked for, met by the next request.
  Write("peers", n++, vyxfuzz::join_pieces({Tx(2, ".1.3.6.1.4.1.32473.3.1.1.0 = STRING: \"10.0.0.2"),
                                            Tx(2, "= :"), Tx(2, std::string(1200, 'x') + "= STRING: \"y"),
                                            Tx(2, ".1 = INTEGER:"), Tx(0, "IP?"), Tx(0, "STATUS"),
                                            Agent(4, ".1.9 = INTEGER: 7\n"), Rx(0, "STATUS"), Rx(0, "RESOLUTION?")}));
  // A static address refused by the agent at each of its settings in turn;
  // a receiver playing a stream; a browser window whose captions setting
  // the agent refuses.
  const std::string ok = Tx(2, ".1 = INTEGER: 1\n");
  const std::string bad = Tx(2, "refused");
  const std::string dhcp = "DHCP0,10.0.0.2,10.0.0.1,255.255.255.0";
  Write("peers", n++, vyxfuzz::join_pieces({ok, bad, Tx(0, dhcp), ok, ok, bad, Tx(0, dhcp), ok, ok, ok, bad,
                                            Tx(0, dhcp), Tx(2, ".1 = STRING: \"Stream 239.1.1.1\""),
                                            Rx(0, "STATUS"), bad, Rx(0, "URL http://x/,0,0,100,100,255,0")}));
  // Serial settings stored, then the save refused.
  Write("peers", n++, vyxfuzz::join_pieces({Tx(2, ".1 = STRING: \"9600,N,8,1\""), Tx(2, "garbage"),
                                            Rx(0, "SUART9600,8,N,1"), Rx(0, "SUART19200,8,E,1")}));
  // A stopped agent: the request given up, its answer coming behind the
  // next request's (of another OID); then a queue nobody takes from.
  Write("peers", n++, vyxfuzz::join_pieces({Agent(2), Rx(0, "RESOLUTION?"), Rx(0, "STATUS"), Agent(0),
                                            Rx(0, "IP?"), Agent(3), Rx(0, "RESET"), Agent(0), Rx(0, "IP?")}));
  // The system manager refusing, silent, answering twice, with another
  // command id, around the writes of the controller list and the tuner mode.
  Write("peers", n++, vyxfuzz::join_pieces({SysMgr(0, Record(74, 0)), Tx(0, "CONTROLLERS,0.0.0.0/0"),
                                            SysMgr(1), Tx(0, "TUNERMODE1"), SysMgr(2), Tx(0, "TUNERMODE0"),
                                            Tx(0, "CONTROLLERS,127.0.0.1"), SysMgr(0, Record(75, 1)),
                                            Tx(0, "MCASTPACKETSIZE188"), SysMgr(0, Record(74, 1)),
                                            SysMgr(0, Record(74, 0)), Tx(0, "CONTROLLERS0"),
                                            Tx(0, "MCASTPACKETSIZE1316")}));
  // The system manager gone, then stopped with its queue full.
  Write("peers", n++, vyxfuzz::join_pieces({SysMgr(3), Tx(0, "TUNERMODE1"), Tx(0, "CONTROLLERS,127.0.0.1"),
                                            SysMgr(4), Tx(0, "TUNERMODE0"), Tx(0, "CONTROLLERS0")}));
  // Controller lists as the disk may hold them: too long, too many, none
  // valid, a directory, a link to itself; then one that holds the sender.
  std::string many;
  for (int i = 0; i < 70; ++i) many += "10.1." + std::to_string(i) + ".1\n";
  Write("peers", n++, vyxfuzz::join_pieces({Tx(7, "\2" + std::string(5000, '#')), Tx(0, "CONTROLLERS?"),
                                            Tx(7, "\2" + many), Tx(7, "\2nothing\n# here\n300.1.1.1\n"),
                                            Tx(7, "\3"), Tx(0, "CONTROLLERS,127.0.0.1"), Tx(7, "\4"),
                                            Tx(0, "CONTROLLERS?"),
                                            Tx(7, "\2# ok\n127.0.0.0/8\n"), Tx(0, "CONTROLLERS?")}));
  // Keys of the player: forwarded, to a browser that stopped reading, from
  // a queue made again, short and long messages.
  auto key = [](int k) { return Rx(5, std::string("\0\0\0\0", 4) + static_cast<char>(k)); };
  Write("peers", n++, vyxfuzz::join_pieces({Rx(0, "CALLBACK1"), key(44), key(3), Rx(5, "\0\0"),
                                            Rx(5, std::string(30, '\x7f')), Rx(0, "CALLBACK0"), Rx(7, "\1"),
                                            key(16), key(5), Rx(0, "URLkey13"), Rx(7, "\0"), key(16),
                                            Rx(0, "URLkey7"), Rx(5, ""), key(16), Rx(0, "CALLBACK1"), key(46)}));
  // Serial bytes forwarded to the controller, then to one the network no
  // longer reaches (the forwards and the reports fail).
  Write("peers", n++, vyxfuzz::join_pieces({Rx(0, "CALLBACK1"), Rx(6, "hello"), Rx(0, "UARTabc"),
                                            Rx(1, "CALLBACK1"), Rx(6, "lost"), key(16), Rx(1, "DEBUG2"),
                                            Rx(1, "UARTxyz"), Rx(0, "CALLBACK0")}));
  // A serial line whose far end stops reading: the writes fill it (a
  // pseudo-terminal here holds about 22 KB) and the last one fails.
  const std::string chunk = "UART" + std::string(2030, 'u');
  std::vector<std::string> stalled = {Rx(0, "CALLBACK1"), Rx(7, "\5")};
  for (int i = 0; i < 11; ++i) stalled.push_back(Rx(0, chunk));
  stalled.push_back(Rx(7, "\0"));
  stalled.push_back(Rx(0, "UARTok"));
  Write("peers", n++, vyxfuzz::join_pieces(stalled));
}

}  // namespace

void ServiceSeeds(const std::string& /*samples*/) {
  K720Lines();
  SnmpReplies();
  NumberSeeds();
  ReceiverSeeds();
  PeerSeeds();
}

}  // namespace vyxseeds
