#ifndef VYX_BEACON_H
#define VYX_BEACON_H

// Discovery beacon: the device announces itself with a short text datagram to
// the multicast group 239.255.250.250 port 52428, stays quiet while a control
// system talks to it, resumes after ten minutes of silence, and restarts at
// once on any datagram sent to port 52429.  One detached sender thread with
// process-wide state; the flags are shared without a lock, as atomics so that
// a change made on one thread is seen on the others.

#define BEACON_GROUP "239.255.250.250"
#define BEACON_PORT 52428          // 0xCCCC
#define BEACON_REQUEST_PORT 52429  // 0xCCCD
#define BEACON_PACKET_SIZE 256

enum BeaconStateEnum { eNone = 0, eSending = 1, eSleeping = 2 };

// Records the type, waits for a previous sender thread to end, and starts a
// new one.  Returns 0, or -1 when the thread cannot be created.
int BeaconStart(char type);
// Asks the sender thread to end at its next wake-up.
void BeaconStop();
// Forces announcing again (e.g. after the device's address changed).
void BeaconRestart();
// Called by the command server for each command datagram.
void BeaconTellThatUdpTrafficReceived();
// The command server is ready: the first beacon waits for it.
void BeaconSetCommandReady();
// Dotted source address of the last restart request, or null while the
// thread has no receiver.
char* BeaconGetMasterIp();
// The datagram text (empty until the MAC address is known).
char* BeaconGetString();
// Beacons sent; non-zero once the datagram is built (the network is up).
int BeaconGetCount();
// 'T' or 'R' replaces the stored type; anything else only reads it.  Returns
// the stored type as a one-character string.
char* BeaconType(char type);

// Formats the announcement for type ('T' transmitter, anything else receiver)
// and a MAC address given as 12 hex digits, with the library's version.
// Returns the length written (at most size - 1), or -1 when it does not fit.
int BeaconFormat(char* out, int size, char type, const char* mac12);
// Seed of the sender's random waits: the low 32 bits of the MAC address (its
// last 8 hex digits).
unsigned int BeaconSeed(const char* mac12);

// Announcing/quiet decision of the sender thread, taken after each wait on
// the request socket.  `requestReceived`: a restart request arrived during the
// wait; `traffic`: the current count of command datagrams; `waited`: the
// length of the wait in seconds.  Returns true when a beacon is to be sent now.
struct BeaconCycle {
  int state;     // BeaconStateEnum
  int baseline;  // traffic count last taken as "seen"
  int silence;   // seconds of accumulated waits without new traffic
};
bool BeaconAfterWait(BeaconCycle* cycle, bool requestReceived, int traffic, int waited);

#endif
