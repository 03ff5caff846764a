// Output streams of the transmitter: buffering and datagram sending.

#include "streamer.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "statistics.h"
#include "tsfilter.h"  // dbg_file_out
#include "udpcom.h"
#include "utils.h"

namespace {

// Process-wide, touched only by the player's thread inside Stream().
unsigned int overflow_count = 0;
unsigned int no_udp_count = 0;
unsigned int send_fail_count = 0;

// Reports on the packet path are rate-limited: the first and every 100th.
const unsigned int kReportEvery = 100;

}  // namespace

Streamer::Streamer(int bufferSize, int packetSize)
    : mpFilteredBuffer(nullptr),
      mpCurrWritePtr(nullptr),
      mDataCount(0),
      mBufferSize(0),
      mMulticastPort(0),
      mpUdp(nullptr),
      mMulticastChanged(false),
      mId(0),
      mActive(false),
      mTotalPids(0),
      mPacketSize(0),
      mpPrivatePatBuffer(nullptr),
      mPrivatePatBufferLen(0),
      mPrivatePatContinuity(0),
      mPrivatePatCrcInvalid(false),
      mProgramList(nullptr),
      mProgramCount(0),
      mPidList(nullptr),
      mPidCount(0) {
  memset(mMulticastIp, 0, sizeof(mMulticastIp));
  if (bufferSize > 0) mpFilteredBuffer = new (std::nothrow) unsigned char[bufferSize];
  mpPrivatePatBuffer = new (std::nothrow) unsigned char[kPrivatePatBufferSize];
  if (mpFilteredBuffer == nullptr || mpPrivatePatBuffer == nullptr) VYX_ERROR("Cant alloc memory");
  // Without a buffer every Stream() call overflows and discards: safe.
  if (mpFilteredBuffer != nullptr) mBufferSize = bufferSize;
  if (mpPrivatePatBuffer != nullptr) memset(mpPrivatePatBuffer, 0, kPrivatePatBufferSize);
  mpCurrWritePtr = mpFilteredBuffer;
  mProgramList = new (std::nothrow) unsigned short[kMaxListEntries];
  mPidList = new (std::nothrow) unsigned short[kMaxListEntries];
  if (mProgramList == nullptr || mPidList == nullptr) VYX_ERROR("Cant alloc memory");
  mPacketSize = (packetSize >= kMinPacketSize && packetSize <= kMaxPacketSize)
                    ? packetSize
                    : kDefaultLargePacketSize;
}

Streamer::~Streamer() {
  mActive = false;
  delete mpUdp;  // closes the socket
  mpUdp = nullptr;
  delete[] mpFilteredBuffer;
  delete[] mpPrivatePatBuffer;
  delete[] mProgramList;
  delete[] mPidList;
}

bool Streamer::StreamSet(const char* ip, unsigned short port, pthread_mutex_t* lock) {
  if (ip == nullptr) return false;
  // Open and aim the new socket first, outside any lock: the packet thread
  // keeps sending to the old destination meanwhile.
  UdpSender* fresh = new (std::nothrow) UdpSender();
  if (fresh == nullptr) {
    VYX_ERROR("Cant alloc memory");
    return false;
  }
  // The sender keeps (and aims at) the first 15 characters of the address.
  if (!fresh->Connect(port, ip)) {
    VYX_ERROR("Cannot send to %.15s:%d", ip, port);
    delete fresh;
    return false;
  }
  char addr[16];
  memcpy(addr, fresh->serverIp, sizeof(addr));
  addr[sizeof(addr) - 1] = 0;
  if (lock != nullptr) pthread_mutex_lock(lock);
  UdpSender* old = mpUdp;
  mpUdp = fresh;
  memcpy(mMulticastIp, addr, sizeof(mMulticastIp));
  mMulticastPort = port;
  mMulticastChanged = true;
  if (lock != nullptr) pthread_mutex_unlock(lock);
  delete old;
  return true;
}

void Streamer::AddProgramToList(unsigned short programId, unsigned short pid) {
  if (programId == 0 || mProgramList == nullptr || mPidList == nullptr) return;
  bool known = false;
  for (int i = 0; i < mProgramCount; i++) {
    if (mProgramList[i] == programId) {
      known = true;
      break;
    }
  }
  if (!known && mProgramCount < kMaxListEntries) mProgramList[mProgramCount++] = programId;
  if (mPidCount < kMaxListEntries) mPidList[mPidCount++] = pid;
}

int Streamer::Stream(unsigned char* addData, int len) {
  if (!mActive) return 0;
  if (mpUdp == nullptr) {
    if (no_udp_count++ % kReportEvery == 0) VYX_ERROR("no udp");
    return 0;
  }
  if (addData == nullptr || len < 0) return 0;

  mDataCount += len;
  if (mDataCount > mBufferSize) {
    // The network does not keep up (or the threshold is larger than the
    // buffer): drop what is queued rather than overrun.
    mpCurrWritePtr = mpFilteredBuffer;
    mDataCount = 0;
    if (overflow_count % kReportEvery == 0)
      VYX_ERROR("Too much data called from Stream: %d > %d", overflow_count, mBufferSize);
    overflow_count++;
    return 0;
  }
  if (len > 0) {
    memcpy(mpCurrWritePtr, addData, static_cast<size_t>(len));
    mpCurrWritePtr += len;
  }
  if (mDataCount < mPacketSize) return 0;

  // The destination is already in place (StreamSet); from here on datagrams
  // go to it.
  mMulticastChanged = false;

  int sent = 0;
  unsigned char* p = mpFilteredBuffer;
  while (mDataCount > 0) {
    int piece = mDataCount < kMaxDatagram ? mDataCount : kMaxDatagram;
    int n;
    if (dbg_file_out != nullptr) {
      n = static_cast<int>(fwrite(p, 1, static_cast<size_t>(piece), dbg_file_out));
    } else if (mpUdp->s <= 0) {
      n = -1;
    } else {
      n = mpUdp->Send(p, piece);
    }
    if (n != piece) {
      // The socket stays usable (UDP keeps no connection state); what remains
      // of this datagram's data is dropped.
      if (send_fail_count++ % kReportEvery == 0) VYX_ERROR("Send");
      break;
    }
    sent += piece;
    p += piece;
    mDataCount -= piece;
  }
  mDataCount = 0;
  mpCurrWritePtr = mpFilteredBuffer;
  Statistics::Self()->AddOutBytes(static_cast<unsigned int>(sent));
  return sent;
}
