// Guide query of the command manager: "EIT" followed by the type letter (I,
// L or N, either case) and comma-separated hexadecimal transport and program
// ids, then the type's own fields.  The answer leaves through the tuner
// forwarding, to the controller that asked.

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "commands/commandmanager.h"
#include "tuner/tunermanager.h"
#include "utils.h"

namespace {

constexpr int kMaxFields = 4;
constexpr size_t kFieldSize = 32;

// Splits text at commas into at most kMaxFields fields of kFieldSize bytes
// (longer ones keep their last characters, as hatoi reads from the right).
// Returns the number of fields.
int SplitFields(const char* text, size_t len, char fields[kMaxFields][kFieldSize]) {
  int count = 0;
  size_t i = 0;
  while (count < kMaxFields) {
    size_t start = i;
    while (i < len && text[i] != ',') ++i;
    size_t n = i - start;
    const char* from = text + start;
    if (n >= kFieldSize) {
      from += n - (kFieldSize - 1);
      n = kFieldSize - 1;
    }
    memcpy(fields[count], from, n);
    fields[count][n] = 0;
    ++count;
    if (i >= len) break;
    ++i;  // the comma
  }
  return count;
}

// A decimal field, blanks first allowed; anything else reads as 0.
unsigned int Decimal(const char* field) {
  while (*field == ' ' || *field == '\t') ++field;
  if (!isdigit(static_cast<unsigned char>(*field))) return 0;
  return static_cast<unsigned int>(strtoul(field, nullptr, 10));
}

}  // namespace

char* CommandManager::ProcessEpgData(char* cmd, int len) {
  if (cmd == nullptr || mpTunerManager == nullptr) return mKo;
  size_t size = len > 0 ? strnlen(cmd, static_cast<size_t>(len)) : strlen(cmd);
  const char type = size > 3 ? cmd[3] : 0;
  mpTunerManager->SetTunerForwarding(mpServer);

  // From the second character: the first field still holds "IT" and the
  // type letter, which hatoi passes over.
  char fields[kMaxFields][kFieldSize];
  int count = size > 1 ? SplitFields(cmd + 1, size - 1, fields) : 0;
  const ushort transportId = count > 0 ? static_cast<ushort>(hatoi(fields[0]) & 0xFFFF) : 0;
  const ushort programId = count > 1 ? static_cast<ushort>(hatoi(fields[1]) & 0xFFFF) : 0;

  switch (toupper(static_cast<unsigned char>(type))) {
    case 'I': {
      unsigned int date = count > 2 ? hatoi(fields[2]) : 0;
      unsigned int time = count > 3 ? Decimal(fields[3]) : 0;
      return mpTunerManager->ProcessEpgData(cmd, transportId, programId, date, time, 0, 'i');
    }
    case 'L': {
      unsigned int hhmm = count > 2 ? Decimal(fields[2]) : 0;
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
