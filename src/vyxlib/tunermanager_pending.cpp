// ---- Tuner manager operations whose modules are not built yet ----
// The program guide and the language queries come with their own issue.  Until then these
// definitions keep the library linking and answer "nothing done": false,
// 0, null or -1.  Whoever builds one moves it out of this file.

#include "tunermanager.h"

bool TunerManager::SetEventInfoForProgram(ushort, ushort, unsigned int, unsigned int, unsigned char,
                                          char*, unsigned char) {
  return false;
}
bool TunerManager::SetExtendedText(ushort, ushort, char*, uint, unsigned char) { return false; }
Event* TunerManager::GetEvent(EventList*, uint, ushort) { return nullptr; }
Event* TunerManager::FindEventPlayingAtDtime(uint, EventList*) { return nullptr; }
int TunerManager::FormatEvent(char* buffer, Event*) {
  if (buffer != nullptr) buffer[0] = 0;
  return 0;
}
char* TunerManager::ProcessEpgData(char*, ushort, ushort, uint, uint, uint, char) { return nullptr; }
void TunerManager::DumpEitInfo() {}
