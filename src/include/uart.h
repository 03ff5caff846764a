#ifndef VYX_UART_H
#define VYX_UART_H

// Serial port forwarding on the receiver: every byte read from the port goes
// to the control system that switched forwarding on as a 5-byte datagram
// ("UART" and the byte), and serial data arriving in a "UART" command is
// written to the port.  Line settings are only stored in the SNMP agent
// (SERIAL_PARAMETERS), whose side applies them.

#include <pthread.h>

class SnmpLocal;
class UdpSender;
class UdpServer;

enum : int { kUartDatagramSize = 5 };

// The port the module opens ("/dev/ttyS0"); tests point it elsewhere before
// the module first opens it.
extern const char* uart_device_path;

// The stored value for a SUART parameter text "baud,databits,parity,stopbits":
// the quoted "\"baud,parity,databits,stopbits\"" in `out`.  False (out
// untouched) when the text has fewer than three comma-separated parts or the
// baud rate or data bits are not numbers.
bool uart_format_parameters(const char* text, char* out, int outSize);

class Uart {
 public:
  UdpSender* mpUdp;        // towards the control system, or null
  int mSerialFd;           // the open port, or -1 before it is opened
  bool mRunThread;
  pthread_mutex_t mMutex;  // socket, descriptor and flags against the reader
  bool mForwardUart;
  bool mChangingSettings;  // the reader idles while set

  Uart();
  ~Uart();

  // With a server: forward to the sender of its last datagram, opening the
  // port the first time (a port that cannot be opened leaves forwarding
  // off).  With null: stop forwarding; the port stays open.
  void SetUartForwarding(UdpServer* server);
  // Writes `len` bytes to the port while forwarding is on.  False on a short
  // or failed write; true otherwise (also when nothing was written).
  bool ProcessUartCommand(char* data, int len);
  // SERIAL_PARAMETERS then CONFIG_SAVE; true when both were set.
  bool ProcessUartSetParameters(char* cmd, SnmpLocal* pSnmp);
  // One datagram per byte; false when a send did not go out whole.
  bool WriteToUdp(char* data, int len);
  void RunThread();

 private:
  bool mThreadRunning;
  Uart(const Uart&) = delete;
  Uart& operator=(const Uart&) = delete;
};

#endif
