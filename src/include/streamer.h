#ifndef VYX_STREAMER_H
#define VYX_STREAMER_H

// One output stream of the transmitter: collects the transport packets of the
// PIDs attached to it and sends them as UDP datagrams (multicast in the field)
// of about mPacketSize bytes to one group and port.  Each stream also carries
// its own PAT, regenerated from the received one (see tsfilter_stream.cpp).
//
// Threads: Stream() runs on the media player's thread inside TsFilter::Filter,
// under the filter's mutex; it allocates nothing and makes no system call but
// the datagram sends.  Everything else (construction, StreamSet, the lists)
// runs on the command thread.

#include <pthread.h>

class UdpSender;

class Streamer {
 public:
  // Capacity of the program and PID lists: one entry per PID at most.
  static constexpr int kMaxListEntries = 8192;
  // The stream's PAT: a section first, then its ready transport packets.
  static constexpr int kPrivatePatBufferSize = 1152;
  // Largest single datagram.
  static constexpr int kMaxDatagram = 32768;
  // Send threshold used when the requested one is out of range.
  static constexpr int kDefaultLargePacketSize = 32580;
  static constexpr int kMinPacketSize = 1316;
  static constexpr int kMaxPacketSize = 32712;

  unsigned char* mpFilteredBuffer;  // mBufferSize bytes, owned
  unsigned char* mpCurrWritePtr;    // next free byte in mpFilteredBuffer
  int mDataCount;                   // bytes waiting
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

  Streamer(int bufferSize, int packetSize);
  ~Streamer();

  // Queue len bytes; when the threshold is reached, send everything queued.
  // Returns the bytes sent by this call (0 when it only buffered).
  int Stream(unsigned char* addData, int len);

  // Record that pid was attached for programId (program 0 is not listed).
  void AddProgramToList(unsigned short programId, unsigned short pid);

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
  Streamer(const Streamer&) = delete;
  Streamer& operator=(const Streamer&) = delete;
};

#endif
