// Who may command the device.  With a controller list in force, datagrams
// from other sources get no reply and are not acted on (the command loop
// drops them before the dispatcher), and forwarding goes only to listed
// controllers.  "CONTROLLERS?" reads the list; "CONTROLLERS,<entry>,..."
// replaces it and "CONTROLLERS0" removes it, only from a listed controller
// while a list is set.

#include <cstdio>
#include <cstring>

#include "commands/commandmanager.h"
#include "services/controllers.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// The command's text after the keyword, without the line end a terminal or
// script may have left.
void TrimLineEnd(char* text) {
  size_t n = strlen(text);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
}

}  // namespace

void CommandManager::LoadControllers() {
  mControllers.Load(kControllersFile);
}

bool CommandManager::SourceAllowed() {
  uint32_t source = mpServer->siOther.sin_addr.s_addr;
  if (mControllers.Allows(source)) return true;
  mControllers.CountRefused(source, mpServer->GetLastClientPort());
  return false;
}

char* CommandManager::ProcessControllers(char* cmd, int len) {
  const size_t kKeyword = 11;
  if (cmd == nullptr || len < static_cast<int>(kKeyword) || strlen(cmd) < kKeyword) return mKo;
  char* text = cmd + kKeyword;
  TrimLineEnd(text);
  if (strcmp(text, "?") == 0) {
    char list[ControllerList::kMaxEntries * ControllerList::kEntryText + 1];
    mControllers.Format(list, sizeof(list), ',');
    return FormatReply(cmd, "CONTROLLERS%d%s%s OK\r\n", mControllers.Count(),
                       mControllers.Active() ? "," : "", list);
  }
  uint32_t source = mpServer->siOther.sin_addr.s_addr;
  if (!mControllers.Allows(source)) return mKo;

  ControllerList::Entry wanted[ControllerList::kMaxEntries];
  int count;
  if (strcmp(text, "0") == 0) {
    count = 0;
  } else if (text[0] == ',') {
    count = ControllerList::ParseList(text + 1, wanted);
    if (count <= 0) {
      VYX_ERROR("CONTROLLERS: not a list of at most %d addresses or CIDR blocks",
                ControllerList::kMaxEntries);
      return mKo;
    }
    // A controller that left itself out could never change the list again.
    if (!ControllerList::Covers(wanted, count, source)) {
      VYX_ERROR("CONTROLLERS: the new list leaves out %s, which sent it",
                mpServer->GetLastClientIpAddress());
      return mKo;
    }
  } else {
    return mKo;
  }

  ControllerList before = mControllers;
  mControllers.Set(wanted, count);
  if (!mControllers.Save(kControllersFile)) {
    mControllers = before;
    return mKo;
  }
  VYX_LOG("Controller list: %d entries\n", count);
  DropUnlistedForwarding();
  return mOk;
}

void CommandManager::DropUnlistedForwarding() {
  if (mCallbackClient != 0 && !mControllers.Allows(mCallbackClient)) {
    VYX_LOG("Forwarding stopped: its controller is no longer listed\n");
    mCallbackClient = 0;
    error_sender_clear();
    char off[] = "CALLBACK0";
    ProcessIrAndUartForward(off);
  }
  // Scan progress, language lists and guide answers go to the first
  // controller that asked; the next listed one to ask takes them over.
  UdpSender* tuner = mpTunerManager != nullptr ? mpTunerManager->mpUdp : nullptr;
  if (tuner != nullptr && !mControllers.Allows(tuner->siOther.sin_addr.s_addr))
    mpTunerManager->SetTunerForwarding(nullptr);
}
