// Guide query of the command manager: "EIT" followed by the type letter (I,
// L or N, either case) and comma-separated hexadecimal transport and program
// ids, then the type's own fields.  The answer leaves through the tuner
// forwarding, to the controller that asked.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "core/fields.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

// A decimal time or duration field; missing or negative reads as 0 (a
// negative time would wrap to a date far in the future).
unsigned int NonNegative(const char* field) {
  return field != nullptr ? static_cast<unsigned int>(fields::Clamped(field, 0, 2147483647)) : 0;
}

}  // namespace

char* CommandManager::ProcessEpgData(char* cmd, int len) {
  if (cmd == nullptr || mpTunerManager == nullptr) return mKo;
  size_t size = len > 0 ? strnlen(cmd, static_cast<size_t>(len)) : strlen(cmd);
  const char type = size > 3 ? cmd[3] : 0;
  mpTunerManager->SetTunerForwarding(mpServer);

  // From the second character: the first field still holds "IT" and the
  // type letter, which hatoi passes over.
  fields::Split split(size > 1 ? cmd + 1 : "", ',', size > 1 ? static_cast<int>(size - 1) : 0);
  const ushort transportId = static_cast<ushort>(split.HexAt(0, 0) & 0xFFFF);
  const ushort programId = static_cast<ushort>(split.HexAt(1, 0) & 0xFFFF);

  switch (toupper(static_cast<unsigned char>(type))) {
    case 'I': {
      unsigned int date = split.HexAt(2, 0);
      unsigned int time = NonNegative(split.At(3));
      return mpTunerManager->ProcessEpgData(cmd, transportId, programId, date, time, 0, 'i');
    }
    case 'L': {
      unsigned int hhmm = NonNegative(split.At(2));
      unsigned int minutes = (hhmm / 100) * 60 + hhmm % 100;
      return mpTunerManager->ProcessEpgData(cmd, transportId, programId, 0, 0, minutes, 'l');
    }
    case 'N':
      return mpTunerManager->ProcessEpgData(cmd, transportId, programId, 0, 0, 0, 'n');
    default:
      VYX_ERROR("Unknown EIT command: %c", type != 0 ? type : ' ');
      return mKo;
  }
}
