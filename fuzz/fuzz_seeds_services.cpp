// Seeds of the services around the device and of the core's readers: the
// player tool's option lines, agent replies, and commands (to the device
// targets and the dispatcher) whose numbers, keys and serial settings reach
// the less travelled paths of the field reader, the IR filter and the serial
// module.

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

}  // namespace

void ServiceSeeds(const std::string& /*samples*/) {
  K720Lines();
  SnmpReplies();
  NumberSeeds();
  ReceiverSeeds();
}

}  // namespace vyxseeds
