// Handlers whose modules are not built yet.  Each refuses ("KO\r\n", false, or
// nothing) so that the dispatcher's table is complete and every keyword gets
// an answer.  Whoever builds a handler moves it out of this file into the
// file of its topic (commandmanager_<topic>.cpp).

#include "commandmanager.h"

// ---- guide ----
char* CommandManager::ProcessEpgData(char*, int) { return mKo; }
