// Output streams of the transmitter: buffering and datagram sending.

#include "streamer.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/reportdue.h"
#include "core/scopedlock.h"
#include "ts/debugfiles.h"
#include "statistics.h"
#include "udpcom.h"
#include "utils.h"

namespace {

// Process-wide, touched only by the player's thread inside Stream().
unsigned int overflow_count = 0;

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
      mPidCount(0),
      mBatchCount(0),
      mOpenStart(0),
      mPartial(0),
      mGso(true),
      mFlushCalls(0),
      mFlushListed(false),
      mCarriedCount(0),
      mCarriesAll(false) {
  memset(mMulticastIp, 0, sizeof(mMulticastIp));
  memset(mCarriedTransport, 0, sizeof(mCarriedTransport));
  memset(mCarriedProgram, 0, sizeof(mCarriedProgram));
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
  // A connected socket spares the kernel a route lookup per datagram; one
  // that cannot be connected still sends, naming the destination each time.
  fresh->Pin();
  memcpy(addr, fresh->serverIp, sizeof(addr));
  addr[sizeof(addr) - 1] = 0;
  UdpSender* old = mpUdp;
  auto swap = [&] {
    old = mpUdp;
    mpUdp = fresh;
    memcpy(mMulticastIp, addr, sizeof(mMulticastIp));
    mMulticastPort = port;
    mMulticastChanged = true;
    mGso = true;  // a new socket: offload is tried afresh
  };
  if (lock != nullptr) {
    ScopedLock guard(lock);
    swap();
  } else {
    swap();
  }
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

bool Streamer::CarryProgram(uint16_t transportId, uint16_t programId) {
  for (int i = 0; i < mCarriedCount; i++)
    if (mCarriedTransport[i] == transportId && mCarriedProgram[i] == programId) return true;
  if (mCarriedCount >= kMaxCarried) return false;
  mCarriedTransport[mCarriedCount] = transportId;
  mCarriedProgram[mCarriedCount] = programId;
  mCarriedCount++;
  return true;
}

bool Streamer::Carries(uint16_t transportId, uint16_t programId) const {
  if (mCarriesAll) return true;
  for (int i = 0; i < mCarriedCount; i++)
    if (mCarriedTransport[i] == transportId && mCarriedProgram[i] == programId) return true;
  return false;
}

int Streamer::Stream(unsigned char* addData, int len, bool head) {
  if (!mActive) return 0;
  if (mpUdp == nullptr) {
    VYX_ERROR_LIMITED("no udp");
    return 0;
  }
  if (addData == nullptr || len < 0) return 0;
  if (head) {
    DropPartial();  // its rest never came
  } else if (mPartial == 0 || mPartial + len > kPacketLen) {
    // A rest without its head (dropped, or queued before an overflow), or
    // more than a packet: nothing of it may reach a datagram.
    DropPartial();
    return 0;
  }

  int sent = 0;
  if (mDataCount + len > mBufferSize && !MakeRoom(len, &sent)) return sent;
  if (len > 0) {
    memcpy(mpCurrWritePtr, addData, static_cast<size_t>(len));
    mpCurrWritePtr += len;
    mDataCount += len;
  }
  mPartial = (mPartial + len) % kPacketLen;
  if (mDataCount - mPartial - mOpenStart < mPacketSize) return sent;
  return sent + CompleteOpen();
}

bool Streamer::MakeRoom(int len, int* sent) {
  // Completed datagrams leave first when the new bytes would not fit.
  if (mBatchCount > 0) *sent += Flush();
  if (mDataCount + len <= mBufferSize) return true;
  // The network does not keep up (or the threshold is larger than the
  // buffer): drop what is queued rather than overrun.
  mpCurrWritePtr = mpFilteredBuffer;
  mDataCount = 0;
  mOpenStart = 0;
  mPartial = 0;
  VYX_ERROR_LIMITED("Too much data called from Stream: %d > %d", overflow_count, mBufferSize);
  overflow_count++;
  return false;
}

int Streamer::CompleteOpen() {
  // All of the open datagram's whole packets leave at the next flush, cut
  // into pieces that fit one datagram; an unfinished packet stays.
  int sent = 0;
  while (mOpenStart < mDataCount - mPartial) {
    // A flush moves what is left to the buffer's start: offsets are re-read.
    if (mBatchCount == kMaxBatch) sent += Flush();
    int piece = mDataCount - mPartial - mOpenStart;
    if (piece > kMaxPacketDatagram) piece = kMaxPacketDatagram;
    mOpenStart += piece;
    mBatchEnd[mBatchCount++] = mOpenStart;
  }
  return sent;
}

int Streamer::Flush() {
  if (mBatchCount == 0) return 0;
  int sent = 0;
  if (mpUdp != nullptr) {
    // The destination is already in place (StreamSet); from here on
    // datagrams go to it.
    mMulticastChanged = false;
    sent = SendBatch();
  }
  // What follows the last completed datagram is the start of the next one.
  int consumed = mBatchEnd[mBatchCount - 1];
  int rest = mDataCount - consumed;
  if (rest > 0) memmove(mpFilteredBuffer, mpFilteredBuffer + consumed, static_cast<size_t>(rest));
  mDataCount = rest;
  mOpenStart = 0;
  mBatchCount = 0;
  mpCurrWritePtr = mpFilteredBuffer + rest;
  if (sent > 0) Statistics::Self()->AddOutBytes(static_cast<unsigned int>(sent));
  return sent;
}
