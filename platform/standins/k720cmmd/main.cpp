// k720cmmd: the media player's command-line tool.  Each option becomes one
// command message on the player's queue (or the system manager's for -mount);
// the launcher and the tuner manager run it through the shell.

#include "services/k720cmmd.h"

int main(int argc, char** argv) { return Main(argc, argv); }
