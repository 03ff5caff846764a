// Serial port forwarding: the reader thread, writes to the port and the
// stored line settings.

#include "uart.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/fields.h"
#include "core/scopedlock.h"
#include "snmplocal.h"
#include "udpcom.h"
#include "utils.h"
#include "zernsnmp.h"

const char* uart_device_path = "/dev/ttyS0";

namespace {

// How long one wait of the reader lasts before it looks at its flags again,
// and how long a write may wait for room in the port's buffer.
constexpr int kReadPollMs = 200;
constexpr int kWritePollMs = 1000;

void* uart_thread(void* arg) {
  static_cast<Uart*>(arg)->RunThread();
  return nullptr;
}

}  // namespace

bool uart_format_parameters(const char* text, char* out, int outSize) {
  if (text == nullptr || out == nullptr || outSize <= 0) return false;
  fields::Split split(text, ',');
  if (split.Count() < 3) return false;
  const char* third = split.At(2);
  // A rate that is not a plain number stores 0 (the agent's side decides
  // what it can apply); the data bits are read as far as they are digits.
  // Only a number beyond an int is refused.
  if (fields::Overflows(split.At(0)) || fields::Overflows(split.At(1))) return false;
  const int baud = fields::IsWholeDecimal(split.At(0)) ? fields::Decimal(split.At(0)) : 0;
  const int databits = fields::Decimal(split.At(1));
  // Stop bits start two characters into the third part (the fourth part when
  // the parity is one letter), and only where the text goes on that far.
  const int offset = split.Offset(2);
  int stopbits = 0;
  if (strnlen(text + offset, 2) == 2) stopbits = fields::Decimal(text + offset + 2);
  // Parity is a word such as N, E, O, even: a few characters at most.
  size_t parityLen = strlen(third);
  if (parityLen > 8) parityLen = 8;
  int n = snprintf(out, static_cast<size_t>(outSize), "\"%d,%.*s,%d,%d\"", baud, static_cast<int>(parityLen), third,
                   databits, stopbits);
  return n > 0 && n < outSize;
}

Uart::Uart()
    : mpUdp(nullptr),
      mSerialFd(-1),
      mRunThread(true),
      mForwardUart(false),
      mChangingSettings(false),
      mThreadRunning(false) {
  pthread_mutex_init(&mMutex, nullptr);
  __atomic_store_n(&mThreadRunning, true, __ATOMIC_RELEASE);
  if (vyx_start_thread(nullptr, uart_thread, this) != 0) {
    VYX_ERROR("CANT CREATE UART thread\n");
    exit(-3);
  }
}

Uart::~Uart() {
  __atomic_store_n(&mRunThread, false, __ATOMIC_RELEASE);
  // The reader looks at the flag between short waits.
  for (int i = 0; i < 300 && __atomic_load_n(&mThreadRunning, __ATOMIC_ACQUIRE); i++) {
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  {
    ScopedLock lock(&mMutex);
    delete mpUdp;
    mpUdp = nullptr;
    if (mSerialFd >= 0) close(mSerialFd);
    mSerialFd = -1;
  }
  if (!__atomic_load_n(&mThreadRunning, __ATOMIC_ACQUIRE)) pthread_mutex_destroy(&mMutex);
}

void Uart::SetUartForwarding(UdpServer* server) {
  ScopedLock lock(&mMutex);
  if (server != nullptr) {
    if (mpUdp == nullptr) mpUdp = new (std::nothrow) UdpSender();
    if (mpUdp == nullptr ||
        !mpUdp->Connect(static_cast<unsigned short>(server->GetLastClientPort()), server->GetLastClientIpAddress()))
      VYX_ERROR("Can't connect");
    if (mSerialFd < 0) {
      int fd = open(uart_device_path, O_RDWR | O_NOCTTY);
      if (fd < 0) {
        VYX_ERROR("Cant open serial\n");
        return;
      }
      __atomic_store_n(&mSerialFd, fd, __ATOMIC_RELEASE);
    }
    __atomic_store_n(&mForwardUart, true, __ATOMIC_RELEASE);
  } else {
    __atomic_store_n(&mForwardUart, false, __ATOMIC_RELEASE);
    delete mpUdp;
    mpUdp = nullptr;
  }
}

bool Uart::ProcessUartCommand(char* data, int len) {
  bool ok = true;
  ScopedLock lock(&mMutex);
  if (mForwardUart && mSerialFd >= 0 && data != nullptr && len > 0) {
    int done = 0;
    while (done < len) {
      // Bounded: a port whose other side reads nothing must not hold the
      // command server.
      struct pollfd p = {mSerialFd, POLLOUT, 0};
      int r = poll(&p, 1, kWritePollMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) break;
      ssize_t n = write(mSerialFd, data + done, static_cast<size_t>(len - done));
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      done += static_cast<int>(n);
    }
    if (done != len) {
      VYX_ERROR("Can't write to serial");
      ok = false;
    }
  }
  return ok;
}

bool Uart::ProcessUartSetParameters(char* cmd, SnmpLocal* pSnmp) {
  if (cmd == nullptr || pSnmp == nullptr) return false;
  ScopedLock lock(&mMutex);
  char value[64];
  bool ok = uart_format_parameters(cmd, value, sizeof(value));
  if (ok) {
    VYX_LOG("New serial params are %s\n", value);
    if (pSnmp->SnmpSet("%s s %s", ZernOid(eSERIAL_PARAMETERS), value) == nullptr) {
      VYX_ERROR("serialParameters: %.64s", cmd);
      ok = false;
    } else if (pSnmp->SnmpSet("%s i %d", ZernOid(eCONFIG_SAVE), 0) == nullptr) {
      VYX_ERROR("configSave");
      ok = false;
    }
  }
  return ok;
}

bool Uart::WriteToUdp(char* data, int len) {
  if (!__atomic_load_n(&mForwardUart, __ATOMIC_ACQUIRE) || data == nullptr || len < 1) return true;
  for (int i = 0; i < len; i++) {
    char datagram[kUartDatagramSize] = {'U', 'A', 'R', 'T', data[i]};
    int sent = kUartDatagramSize;
    {
      ScopedLock lock(&mMutex);
      if (mpUdp == nullptr) return true;
      sent = mpUdp->s != 0 ? mpUdp->Send(datagram, kUartDatagramSize) : -1;
    }
    if (sent != kUartDatagramSize) {
      VYX_LOG("Can't send serial via UDP");
      return false;
    }
  }
  return true;
}

void Uart::RunThread() {
  while (__atomic_load_n(&mRunThread, __ATOMIC_ACQUIRE)) {
    int fd = __atomic_load_n(&mSerialFd, __ATOMIC_ACQUIRE);
    if (!__atomic_load_n(&mForwardUart, __ATOMIC_ACQUIRE) || fd < 0 ||
        __atomic_load_n(&mChangingSettings, __ATOMIC_ACQUIRE)) {
      vyx_sleep_s(1);
      continue;
    }
    // A blocking read, cut into short waits so that the module can be taken
    // down; the mutex is not held while waiting.
    struct pollfd p = {fd, POLLIN, 0};
    int r = poll(&p, 1, kReadPollMs);
    if (r == 0 || (r < 0 && errno == EINTR)) continue;
    char byte;
    ssize_t n = r > 0 ? read(fd, &byte, 1) : -1;
    if (n == 1) {
      WriteToUdp(&byte, 1);
    } else if (n == 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) {
      // Nothing read (the other side is away): go on, without spinning.
      vyx_sleep_ms(100);
    } else {
      if (__atomic_load_n(&mChangingSettings, __ATOMIC_ACQUIRE))
        VYX_LOG("UartThread: Looping ildly while serial port settings are being changed");
      else
        VYX_ERROR("Can't read from serial %d\n", fd);
      vyx_sleep_s(1);
    }
  }
  __atomic_store_n(&mThreadRunning, false, __ATOMIC_RELEASE);
}
