// Tuner manager: the blind scan (start and stop requests, the scan thread,
// the walk over the band with its progress lines) and the small scan
// queries.
//
// Threads: BlindScan runs on the command thread, DoScan on the scan thread,
// and the filter adds the programs it finds on the player's thread.  The
// flags polled between them (mRunScan, mScanRunning, mScanState, ...) are
// plain variables; a reader sees a new value within one polling period.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/scopedlock.h"
#include "sharedmem.h"
#include "statistics.h"
#include "tuner/tunermanager.h"
#include "udpcom.h"
#include "utils.h"

int (*scan_thread_starter)(pthread_t*, void* (*)(void*), void*) = vyx_start_thread;

namespace {

// The scan thread is made once per process and serves the manager that asked
// last (there is one per process on the device).  It holds this mutex while
// it looks at or scans for a manager, so a manager going away waits for it.
pthread_mutex_t scan_thread_mutex = PTHREAD_MUTEX_INITIALIZER;
TunerManager* volatile scan_manager = nullptr;
bool ScanThreadStarted = false;
pthread_t scan_thread_id;

// A scan starts within a poll of the scan thread (1 s): a start that has not
// happened long after that never will.
const unsigned int kStartWaitMs = 10000;
const unsigned int kStartPollMs = 50;
// A stop takes effect at the top of the next channel (at most ~14 s).
const unsigned int kStopWaitMs = 60000;
const unsigned int kStopPollMs = 100;

const char kStartFailed[] = "BLINDSTART:1 KO\r\n";

bool StartRequest(int type) { return type >= TunerManager::eScanUk && type <= TunerManager::eScanAsia; }

}  // namespace

void* scan_thread(void* /*arg*/) {
  for (;;) {
    {
      ScopedLock lock(&scan_thread_mutex);
      TunerManager* tm = scan_manager;
      if (tm != nullptr && tm->mRunScan) {
        tm->DoScan();
        tm->mRunScan = false;
      }
    }
    vyx_sleep_s(1);
  }
  return nullptr;
}

void TunerManager::LeaveScanThread() {
  if (scan_manager != this) return;
  mRunScan = false;  // a scan under way ends at its next channel
  ScopedLock lock(&scan_thread_mutex);
  if (scan_manager == this) scan_manager = nullptr;
}

int TunerManager::SendProgress(const char* text) {
  VYX_LOG("%s", text);
  int length = static_cast<int>(strlen(text));
  int sent = -1;
  ScopedLock lock(&mUdpMutex);
  if (mpUdp != nullptr) {
    sent = mpUdp->Send(text, length);
    if (sent < 0) fprintf(stderr, "sendto() - 2 errno %d\n", errno);
  }
  return sent;
}

bool TunerManager::BlindScan(ScanTypeEnum type) {
  RoleCheck();
  vyx_sleep_s(2);
  int t = static_cast<int>(type);
  if (StartRequest(t)) {
    unsigned int startsBefore = mScansStarted;
    mScanState = eScanInProgress;
    scan_manager = this;
    mRunScan = true;
    if (!ScanThreadStarted) {
      ScanThreadStarted = true;
      if (scan_thread_starter(&scan_thread_id, scan_thread, this) != 0) {
        // Another request may try again: nothing is left half started.
        ScanThreadStarted = false;
        mRunScan = false;
        mScanState = eScanError;
        VYX_ERROR("CANT CREATE scan thread\n");
        SendProgress(kStartFailed);
        return false;
      }
    }
    for (unsigned int waited = 0;; waited += kStartPollMs) {
      if (mScansStarted != startsBefore) return true;
      if (mScanState == eScanError) {
        // The scan ended before it started (no filter, bad tuner mode).
        SendProgress(kStartFailed);
        return false;
      }
      if (waited >= kStartWaitMs) {
        mRunScan = false;
        mScanState = eScanError;
        VYX_ERROR("Scan did not start\n");
        SendProgress(kStartFailed);
        return false;
      }
      vyx_sleep_ms(kStartPollMs);
    }
  }
  if (t == eScanStop) {
    SendProgress("OK\r\n");
    mRunScan = false;
    for (unsigned int waited = 0; mScanRunning; waited += kStopPollMs) {
      if (waited >= kStopWaitMs) {
        VYX_ERROR("Scan did not stop\n");
        break;
      }
      vyx_sleep_ms(kStopPollMs);
    }
    return true;
  }
  return true;
}

void TunerManager::ScanOneChannel(int which) {
  RoleCheck();
  mScanOneChannel = which;
}

int TunerManager::DoScan() {
  RoleCheck();
  if (mpScanMode == nullptr) {
    VYX_ERROR("No tsFilter!");
    mScanState = eScanError;
    return 0;
  }
  int minChan = 0, maxChan = -1;
  if (!ChannelRange(mTunerMode, &minChan, &maxChan)) {
    VYX_ERROR("Unsupported tuner mode");
    mScanState = eScanError;
    return 0;
  }
  if (mScanOneChannel > 0) {
    int one = mScanOneChannel;
    mScanOneChannel = 0;
    if (one < minChan || one > maxChan) {
      // The tuner cannot go there: the list stays as it is.
      VYX_ERROR("Channel %d outside the tuner mode's range %d..%d", one, minChan, maxChan);
      mScanState = eScanError;
      return 0;
    }
    minChan = maxChan = one;
  }

  mScanState = eScanInProgress;
  mScanRunning = true;
  ++mScansStarted;
  SendProgress("BLINDSTART:0 OK\r\n");
  mCurrentChannel = 0;
  mCurrentStrength = 0;
  mTotalChannelsFound = 0;
  {
    ScopedLock lock(&mMutex);
    for (int c = 0; c < kChannels; ++c) ClearChannelList(&mScalProgramDescriptors[c]);
  }

  for (int chan = minChan; chan <= maxChan; ++chan) {
    {
      ScopedLock lock(&mMutex);
      mCurrentChannel = chan;
    }
    if (!mRunScan) break;
    ScanChannel(chan);
  }

  if (!SaveScanResults()) VYX_ERROR("Can't save scan results");
  // Done before it is said: a controller that asks "SCA?" on BLINDCMP must
  // not still read "scanning".
  mScanState = eScanDone;
  SendProgress("BLINDCMP:0 OK\r\n");
  mScanRunning = false;
  return 0;
}

void TunerManager::ScanChannel(int chan) {
  EnterFilterScanMode(false);
  VYX_LOG("Tune to channel %d\n", chan);
  TuneToChannel(chan);
  vyx_sleep_s(1);
  int strength = SharedMem::Self()->GetSignalStrengthTransmitter();
  mCurrentStrength = strength;
  if (strength <= 0) return;
  if (strength < 3) {
    VYX_ERROR("Found signal on channel %d, but too weak to be usable (%d of 5). Ignoring\n", chan,
              strength);
    return;
  }
  ++mTotalChannelsFound;
  char line[32];
  snprintf(line, sizeof(line), "BLINDLOCK:%d OK\r\n", chan);
  VYX_LOG("%s; chan strength %d\n", line, strength);
  SendProgress(line);

  Statistics* stats = Statistics::Self();
  unsigned int pats = stats->mPatCounter;
  unsigned int pmts = stats->mPmtCounter;
  EnterFilterScanMode(true);
  vyx_sleep_s(5);
  if (mProgramsOnChannel == 0) {
    VYX_ERROR("Found chan %d strength %d of 5, but no programs! Rcvd %d PATs and %d PMTs. Try again.\n",
              chan, strength, static_cast<int>(stats->mPatCounter - pats),
              static_cast<int>(stats->mPmtCounter - pmts));
    vyx_sleep_s(5);
    if (mProgramsOnChannel == 0)
      VYX_ERROR("Waited extra %d seconds, but still nothing ... Rcvd %d PATs and %d PMTs. giving up "
                "on this channel\n",
                5, static_cast<int>(stats->mPatCounter - pats),
                static_cast<int>(stats->mPmtCounter - pmts));
  }
  EnterFilterScanMode(false);
  snprintf(line, sizeof(line), "BLINDFND:%d OK\r\n", static_cast<int>(mProgramsOnChannel));
  SendProgress(line);
}

int TunerManager::GetTotalChannelsFound() {
  RoleCheck();
  return mTotalChannelsFound;
}

bool TunerManager::RewindScan() {
  RoleCheck();
  mScalRestart = true;
  return true;
}

bool TunerManager::ClearScanResults(int /*channelNo*/) {
  RoleCheck();
  return false;
}
