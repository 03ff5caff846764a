#ifndef VYX_IRCONTROL_H
#define VYX_IRCONTROL_H

// IR remote handling on the receiver.  The media player writes each key of
// the remote to queue 1250; one detached thread reads them and sends each to
// the control system that switched forwarding on (a 12-byte datagram), to the
// on-screen browser ("-k%.3d" on queue 945602), or nowhere.

#include <pthread.h>

#include <cstdint>

class UdpSender;
class UdpServer;

// Queue of the player's key messages (type 1; the key is the signed byte at
// text offset 4).
enum : int { kIrInputQueueKey = 1250, kIrKeyMessageType = 1, kIrKeyTextSize = 16, kIrKeyOffset = 4 };

// Key codes of the remote as the player reports them.
enum IrKeyEnum {
  eKEY_NUM_0 = 1,
  eKEY_NUM_9 = 10,
  eKEY_UP = 11,
  eKEY_MENU = 16,
  eKEY_VOL_UP = 44,
  eKEY_VOL_DOWN = 45,
  eKEY_MUTE = 46,
};

// The datagram a forwarded key makes: "REMOTE", 0x01, 0x04, the IR mode
// code's low byte, the code from the key table, the repeat flag, 0xCC.
enum : int { kIrDatagramSize = 12 };
// Code byte of a key the table does not know.
enum : uint8_t { kIrUnknownKeyCode = 0x0F };

// The key table: the code sent for `key` and its name, or false.
bool ir_key_lookup(int key, uint8_t* code, const char** name);
// Fills the 12-byte datagram for `key` (unknown keys get kIrUnknownKeyCode).
// Returns false for an unknown key.
bool ir_build_datagram(int key, unsigned char modeCode, unsigned char repeat, unsigned char out[kIrDatagramSize]);

// Repeat filter, time in units of 1/1024 s.  A volume key repeats once 250
// units have passed since its last accepted press (with the repeat flag);
// any other key held down (presses less than 300 units apart) goes out once.
struct SlowKeyState {
  int prevKey;
  long long prevTime;
  bool started;
};
enum : int { kSlowKeyVolumeRepeat = 250, kSlowKeyHold = 300 };
bool slow_key_filter(SlowKeyState* state, int key, unsigned char* repeat, long long now);
// Now in 1/1024 s units (seconds * 1024 + microseconds / 1024), monotonic.
long long slow_key_now();

class IrControl {
 public:
  int mMsqInId;    // key messages from the player (1250)
  int mMsqOutId;   // the browser's command queue (945602)
  bool mRunIr;
  bool mForwardKeysToMaster;
  char mIp[16];
  unsigned short mPort;
  UdpSender* mpUdp;
  struct {
    long mtype;
    char mtext[12];
  } mQTxbuf;
  struct {
    long mtype;
    char mtext[kIrKeyTextSize];
  } mQRxbuf;
  bool mBrowserRunning;
  pthread_mutex_t mMutex;  // mpUdp and mForwardKeysToMaster against sending

  IrControl();
  ~IrControl();

  // With a server: forward keys to the sender of the last datagram it got.
  // With null: stop forwarding.
  void SetIrForwarding(UdpServer* server);
  bool BrowserRunning();
  void BrowserRunning(bool running);
  // Next key from the player (blocking), or -1.
  int ReceiveKey();
  int SendKeyToUdp(int key);
  // -1 when the browser's queue stayed full or the send failed (the key is
  // dropped and reported); 0 otherwise.
  int SendKeyToBrowser(int key);
  bool SlowKey(int key, unsigned char* repeat);
  int ProcessIrKeys();

 private:
  bool mThreadRunning;  // set by the thread while it is in ProcessIrKeys
  IrControl(const IrControl&) = delete;
  IrControl& operator=(const IrControl&) = delete;
};

#endif
