// IR remote handling: the key table, the repeat filter and the IR thread.

#include "services/ircontrol.h"

#include <sys/ipc.h>
#include <sys/msg.h>
#include <time.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/scopedlock.h"
#include "sharedmem.h"
#include "udpcom.h"
#include "utils.h"

namespace {

struct IrKey {
  int in;
  uint8_t out;
  const char* name;
};

const IrKey kIrKeys[] = {
    {1, 25, "KEY_NUM_0"},      {2, 15, "KEY_NUM_1"},       {3, 16, "KEY_NUM_2"},
    {4, 17, "KEY_NUM_3"},      {5, 18, "KEY_NUM_4"},       {6, 19, "KEY_NUM_5"},
    {7, 20, "KEY_NUM_6"},      {8, 21, "KEY_NUM_7"},       {9, 22, "KEY_NUM_8"},
    {10, 23, "KEY_NUM_9"},     {11, 7, "KEY_UP"},          {12, 13, "KEY_DOWN"},
    {13, 11, "KEY_RIGHT"},     {14, 9, "KEY_LEFT"},        {15, 10, "KEY_ENTER (SEL)"},
    {16, 29, "KEY_MENU"},      {26, 14, "KEY_FF"},         {33, 2, "KEY_OFF"},
    {34, 3, "KEY_VYX"},        {35, 27, "KEY_RED"},        {36, 28, "KEY_GREEN"},
    {37, 30, "KEY_YELLOW"},    {38, 31, "KEY_BLUE"},       {39, 26, "KEY_F1"},
    {40, 1, "KEY_CHAN_UP"},    {41, 4, "KEY_CHAN_DOWN"},   {42, 12, "KEY_GUIDE"},
    {43, 24, "KEY_INFO"},      {44, 8, "KEY_VOL_UP"},      {45, 6, "KEY_VOL_DOWN"},
    {46, 5, "KEY_MUTE"},
};

// The datagram as sent for an unknown key; the known ones overwrite bytes
// 8 to 10.
const unsigned char kDatagramTemplate[kIrDatagramSize] = {'R', 'E', 'M', 'O', 'T', 'E', 0x01, 0x04,
                                                          0x00, kIrUnknownKeyCode, 0x00, 0xCC};

// Shared by both senders, as the previous key is whatever went anywhere.
SlowKeyState slow_key_state = {0, 0, false};

void* ir_thread(void* arg) {
  static_cast<IrControl*>(arg)->ProcessIrKeys();
  return nullptr;
}

inline bool is_volume_key(int key) { return key == eKEY_VOL_UP || key == eKEY_VOL_DOWN; }

}  // namespace

bool ir_key_lookup(int key, uint8_t* code, const char** name) {
  for (const IrKey& k : kIrKeys) {
    if (k.in != key) continue;
    if (code != nullptr) *code = k.out;
    if (name != nullptr) *name = k.name;
    return true;
  }
  return false;
}

bool ir_build_datagram(int key, unsigned char modeCode, unsigned char repeat, unsigned char out[kIrDatagramSize]) {
  memcpy(out, kDatagramTemplate, kIrDatagramSize);
  out[8] = modeCode;
  out[10] = repeat;
  uint8_t code = 0;
  if (!ir_key_lookup(key, &code, nullptr)) return false;
  out[9] = code;
  return true;
}

bool slow_key_filter(SlowKeyState* st, int key, unsigned char* repeat, long long now) {
  if (!st->started) {
    st->prevTime = now;
    st->started = true;
  }
  if (repeat != nullptr) *repeat = 0;
  bool accepted;
  bool keepTime = false;
  long long elapsed = now - st->prevTime;
  if (is_volume_key(key)) {
    if (key != st->prevKey) {
      accepted = true;
    } else if (elapsed < kSlowKeyVolumeRepeat) {
      // Held volume key between repeats: the repeat interval counts from the
      // last press that went out.
      accepted = false;
      keepTime = true;
    } else {
      accepted = true;
      if (repeat != nullptr) *repeat = 1;
    }
  } else {
    // A held key keeps pushing the time on, so it goes out once however long
    // it is held.
    accepted = key != st->prevKey || elapsed >= kSlowKeyHold;
  }
  st->prevKey = key;
  if (!keepTime) st->prevTime = now;
  return accepted;
}

long long slow_key_now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1024 + (ts.tv_nsec / 1000) / 1024;
}

IrControl::IrControl()
    : mMsqInId(-1),
      mMsqOutId(-1),
      mRunIr(true),
      mForwardKeysToMaster(false),
      mPort(0),
      mpUdp(nullptr),
      mBrowserRunning(false),
      mThreadRunning(false) {
  memset(mIp, 0, sizeof(mIp));
  memset(&mQTxbuf, 0, sizeof(mQTxbuf));
  memset(&mQRxbuf, 0, sizeof(mQRxbuf));
  mMsqInId = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
  if (mMsqInId < 0) {
    VYX_ERROR("msgget in snmplc failed");
    exit(-1);
  }
  VYX_LOG("Obtained IR In msqid %d\n", mMsqInId);
  mMsqOutId = msgget(kBrowserCommandQueueKey, IPC_CREAT | 0666);
  if (mMsqOutId < 0) {
    VYX_ERROR("msgget in snmplc failed");
    exit(-1);
  }
  VYX_LOG("Obtained IR Out msqid %d\n", mMsqOutId);
  pthread_mutex_init(&mMutex, nullptr);
  __atomic_store_n(&mThreadRunning, true, __ATOMIC_RELEASE);
  if (vyx_start_thread(nullptr, ir_thread, this) != 0) {
    VYX_ERROR("CANT CREATE IR thread\n");
    exit(-3);
  }
}

IrControl::~IrControl() {
  __atomic_store_n(&mRunIr, false, __ATOMIC_RELEASE);
  raise(SIGCONT);
  // The thread waits in the queue: an empty key message wakes it, and it
  // sees mRunIr cleared.  Wait for it to leave before the instance goes.
  struct {
    long mtype;
    char mtext[1];
  } wake = {kIrKeyMessageType, {0}};
  for (int i = 0; i < 200 && __atomic_load_n(&mThreadRunning, __ATOMIC_ACQUIRE); i++) {
    if (i % 20 == 0) msgsnd(mMsqInId, &wake, 0, IPC_NOWAIT);
    struct timespec ts = {0, 10 * 1000 * 1000};
    nanosleep(&ts, nullptr);
  }
  {
    ScopedLock lock(&mMutex);
    delete mpUdp;
    mpUdp = nullptr;
  }
  // A thread that never left (its queue gone) keeps the mutex usable.
  if (!__atomic_load_n(&mThreadRunning, __ATOMIC_ACQUIRE)) pthread_mutex_destroy(&mMutex);
}

void IrControl::SetIrForwarding(UdpServer* server) {
  ScopedLock lock(&mMutex);
  if (server != nullptr) {
    snprintf(mIp, sizeof(mIp), "%s", server->GetLastClientIpAddress());
    mPort = static_cast<unsigned short>(server->GetLastClientPort());
    if (mpUdp == nullptr) mpUdp = new (std::nothrow) UdpSender();
    if (mpUdp == nullptr || !mpUdp->Connect(mPort, mIp)) VYX_ERROR("Can't connect");
    __atomic_store_n(&mForwardKeysToMaster, true, __ATOMIC_RELEASE);
  } else {
    __atomic_store_n(&mForwardKeysToMaster, false, __ATOMIC_RELEASE);
    delete mpUdp;
    mpUdp = nullptr;
  }
}

bool IrControl::BrowserRunning() { return __atomic_load_n(&mBrowserRunning, __ATOMIC_ACQUIRE); }

void IrControl::BrowserRunning(bool running) { __atomic_store_n(&mBrowserRunning, running, __ATOMIC_RELEASE); }

int IrControl::ReceiveKey() {
  memset(&mQRxbuf, 0, sizeof(mQRxbuf));
  ssize_t n = msgrcv(mMsqInId, &mQRxbuf, sizeof(mQRxbuf.mtext), kIrKeyMessageType, MSG_NOERROR);
  if (n < 0) {
    int err = errno;
    VYX_ERROR("Message Queue receive error");
    // A queue removed under us is made again, as the player would find it.
    if (err == EIDRM || err == EINVAL) {
      int id = msgget(kIrInputQueueKey, IPC_CREAT | 0666);
      if (id >= 0) mMsqInId = id;
    }
    vyx_sleep_s(1);
    return -1;
  }
  // Empty, or too short to hold the key byte.
  if (n <= kIrKeyOffset) return -1;
  int key = static_cast<signed char>(mQRxbuf.mtext[kIrKeyOffset]);
  VYX_LOG("DUREDOD: Received key %.2x\n", key & 0xFF);
  return key;
}

bool IrControl::SlowKey(int key, unsigned char* repeat) {
  return slow_key_filter(&slow_key_state, key, repeat, slow_key_now());
}

int IrControl::SendKeyToUdp(int key) {
  if (!__atomic_load_n(&mForwardKeysToMaster, __ATOMIC_ACQUIRE)) return 0;
  unsigned char repeat = 0;
  if (!SlowKey(key, &repeat)) return 0;
  unsigned char datagram[kIrDatagramSize];
  const char* name = nullptr;
  bool known = ir_key_lookup(key, nullptr, &name);
  ir_build_datagram(key, static_cast<unsigned char>(SharedMem::Self()->IrModeCode() & 0xFF), repeat, datagram);
  if (known)
    VYX_LOG("%s\n", name);
  else
    VYX_ERROR("Unknown key %d\n", key);
  VYX_LOG(" Sending out key %.2x %.2x %.2x %.2x %.2x %.2x\n", datagram[6], datagram[7], datagram[8], datagram[9],
          datagram[10], datagram[11]);
  ScopedLock lock(&mMutex);
  if (mpUdp != nullptr && mpUdp->s != 0) {
    if (mpUdp->Send(datagram, kIrDatagramSize) != kIrDatagramSize) VYX_ERROR("Can't send IR key via UDP");
  }
  return 0;
}

int IrControl::SendKeyToBrowser(int key) {
  if (!SlowKey(key, nullptr)) return 0;
  memset(&mQTxbuf, 0, sizeof(mQTxbuf));
  mQTxbuf.mtype = kBrowserCommandType;
  snprintf(mQTxbuf.mtext, sizeof(mQTxbuf.mtext), "-k%.3d", key);
  VYX_LOG("Sent key to Browser: %s\n", mQTxbuf.mtext);
  // Never wait for a browser that stopped reading: the key is dropped.
  if (browser_msgsnd(mMsqOutId, &mQTxbuf, sizeof(mQTxbuf.mtext)) < 0) {
    if (errno == EAGAIN)
      VYX_ERROR("bcontr: Error sending msg: browser queue full, key %s dropped", mQTxbuf.mtext);
    else
      VYX_ERROR("bcontr: Error sending msg");
    return -1;
  }
  return 0;
}

int IrControl::ProcessIrKeys() {
  while (__atomic_load_n(&mRunIr, __ATOMIC_ACQUIRE)) {
    int key = ReceiveKey();
    if (!__atomic_load_n(&mRunIr, __ATOMIC_ACQUIRE)) break;
    if (key < 0) {
      vyx_sleep_s(1);
      VYX_ERROR("Error receiving key: %d", key);
      continue;
    }
    if (__atomic_load_n(&mForwardKeysToMaster, __ATOMIC_ACQUIRE)) {
      SendKeyToUdp(key);
    } else if (BrowserRunning() || key == eKEY_MENU) {
      SendKeyToBrowser(key);
      if (key == eKEY_MENU) BrowserRunning(true);
    } else {
      VYX_LOG("Dropping the IR key");
    }
  }
  __atomic_store_n(&mThreadRunning, false, __ATOMIC_RELEASE);
  return 0;
}
