#ifndef VYX_STREAMER_H
#define VYX_STREAMER_H

// One output stream of the transmitter: collects the transport packets of the
// PIDs attached to it and sends them as UDP datagrams (multicast in the field)
// of about mPacketSize bytes to one group and port.  Each stream also carries
// its own PAT, regenerated from the received one (see tsfilter_stream.cpp).
//
// Every datagram is whole transport packets: Stream() takes whole packets,
// or the pieces of one packet cut by the player's buffers (its head, then
// the rest); a packet stays out of every datagram until all of it is here,
// and one whose rest never comes (the feed lost bytes) is dropped.
//
// Sending: Stream() only queues.  Each datagram it completes (the threshold
// reached, at a packet's end) is recorded, and Flush() sends all of them at once, in order, with
// one system call (UDP segmentation offload when the kernel has it, else one
// sendmmsg) on a socket connected to the destination.  TsFilter::Filter
// flushes the streamers at the end of a player buffer: every buffer, or on
// the transmitter the first one past its send hold (a few ms), so that a
// stream's datagrams leave several at a time; a queue of kMaxBatch
// datagrams, or a full buffer, is flushed at once.
//
// Threads: Stream() and Flush() run on the media player's thread inside
// TsFilter::Filter, under the filter's mutex; they allocate nothing and make
// no system call but the datagram sends.  Everything else (construction,
// StreamSet, the lists) runs on the command thread.

#include <pthread.h>

#include <cstdint>

class UdpSender;
struct sockaddr_in;

class Streamer {
 public:
  // Capacity of the program and PID lists: one entry per PID at most.
  static constexpr int kMaxListEntries = 8192;
  // The stream's PAT: a section first, then its ready transport packets.
  static constexpr int kPrivatePatBufferSize = 1152;
  // Largest single datagram.
  static constexpr int kMaxDatagram = 32768;
  static constexpr int kPacketLen = 188;
  // Largest datagram of whole packets.
  static constexpr int kMaxPacketDatagram = kMaxDatagram - kMaxDatagram % kPacketLen;
  // Send threshold used when the requested one is out of range.
  static constexpr int kDefaultLargePacketSize = 32580;
  static constexpr int kMinPacketSize = 1316;
  static constexpr int kMaxPacketSize = 32712;
  // Completed datagrams queued before a flush is forced.
  static constexpr int kMaxBatch = 32;
  // Offload is used for datagrams that fit an Ethernet frame, in batches
  // the kernel accepts as one (64 segments, 64 KiB).
  static constexpr int kGsoMaxSegment = 1472;
  static constexpr int kGsoMaxBytes = 61440;

  unsigned char* mpFilteredBuffer;  // mBufferSize bytes, owned
  unsigned char* mpCurrWritePtr;    // next free byte in mpFilteredBuffer
  int mDataCount;                   // bytes waiting (completed datagrams and the open one)
  int mBufferSize;
  unsigned short mMulticastPort;
  char mMulticastIp[16];            // always NUL-terminated
  UdpSender* mpUdp;                 // owned; created by the first StreamSet
  bool mMulticastChanged;           // destination changed since the last datagram
  int mId;                          // stream number 0..7
  bool mActive;                     // Stream accepts data only while true
  int mTotalPids;                   // not maintained
  int mPacketSize;                  // send threshold
  unsigned char* mpPrivatePatBuffer;  // kPrivatePatBufferSize bytes, owned
  int mPrivatePatBufferLen;
  int mPrivatePatContinuity;        // 0..15
  bool mPrivatePatCrcInvalid;
  unsigned short* mProgramList;     // program numbers carried, each once
  int mProgramCount;
  unsigned short* mPidList;         // PIDs attached through AddProgramToList
  int mPidCount;
  // Completed datagrams waiting for Flush(): end offsets in mpFilteredBuffer
  // (each starts where the previous one ends, the first at 0).
  int mBatchEnd[kMaxBatch];
  int mBatchCount;
  int mOpenStart;                   // offset of the datagram being filled
  int mPartial;                     // bytes queued of a packet not yet whole (at the end)
  bool mGso;                        // offload still worth trying on this socket
  unsigned int mFlushCalls;         // send system calls made (for tests and benchmarks)
  bool mFlushListed;                // on the filter's list of streamers to flush
  // Programs the stream was asked to carry, kept whether or not their PIDs
  // were known then: a PAT or PMT that comes later, or changes, attaches
  // (and detaches) their PIDs.  mCarriesAll: every program of the multiplex.
  static constexpr int kMaxCarried = 64;
  uint16_t mCarriedTransport[kMaxCarried];
  uint16_t mCarriedProgram[kMaxCarried];
  int mCarriedCount;
  bool mCarriesAll;

  Streamer(int bufferSize, int packetSize);
  ~Streamer();

  // Queue len bytes: whole packets or the head of one (`head`: the bytes
  // start at a sync byte; an unfinished packet before them is dropped), or
  // the rest of the packet under way (`head` false: taken only after a head,
  // and a packet grown past 188 bytes is dropped).  When the open datagram
  // reaches the threshold at a packet's end it is complete (in pieces of at
  // most kMaxPacketDatagram) and waits for Flush().  Returns the bytes sent
  // by this call: 0 unless the queue was full and had to be flushed first.
  int Stream(unsigned char* addData, int len, bool head = true);
  // The unfinished packet at the end of the queue is dropped.
  void DropPartial() {
    if (mPartial == 0) return;
    mpCurrWritePtr -= mPartial;
    mDataCount -= mPartial;
    mPartial = 0;
  }

  // Send every completed datagram, in order; the open one stays queued.
  // Returns the bytes sent.
  int Flush();
  int PendingDatagrams() const { return mBatchCount; }

  // Record that pid was attached for programId (program 0 is not listed).
  void AddProgramToList(unsigned short programId, unsigned short pid);
  // Carriage of a program (false when the table is full), and the test the
  // PAT and PMT analysis makes.
  bool CarryProgram(uint16_t transportId, uint16_t programId);
  bool Carries(uint16_t transportId, uint16_t programId) const;

  // Set the destination.  The socket is opened and aimed here, on the calling
  // (command) thread; when `lock` is given, the new sender replaces the old one
  // under it, so a packet thread holding that lock never sees a half-changed
  // destination.  False (destination unchanged) when the address does not
  // parse or no socket can be opened.
  bool StreamSet(const char* ip, unsigned short port, pthread_mutex_t* lock = nullptr);
  const char* StreamGetIp() const { return mMulticastIp; }
  unsigned short StreamGetPort() const { return mMulticastPort; }

  int GetId() const { return mId; }
  void SetId(int id) { mId = id; }
  bool IsActive() const { return mActive; }
  void SetActive(bool active) { mActive = active; }

  int GetProgramCount() const { return mProgramCount; }
  unsigned short GetProgram(int i) const { return mProgramList[i]; }
  int GetPidCount() const { return mPidCount; }
  unsigned short GetPid(int i) const { return mPidList[i]; }

 private:
  // The completed datagrams to the network (or the debug copy file); the
  // bytes that left.  streamer_send.cpp.
  int SendBatch();
  int SendOffloaded(int fd, const struct sockaddr_in* to, int total, bool* tried);
  int SendEach(int fd, const struct sockaddr_in* to);
  // Queue full: completed datagrams flushed, or everything dropped.
  bool MakeRoom(int len, int* sent);
  // The open datagram, reaching the threshold, recorded as complete.
  int CompleteOpen();
  Streamer(const Streamer&) = delete;
  Streamer& operator=(const Streamer&) = delete;
};

#endif
