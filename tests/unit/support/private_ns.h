#ifndef VYX_TEST_PRIVATE_NS_H
#define VYX_TEST_PRIVATE_NS_H

// Re-executing a test program inside private Linux namespaces, so that the
// device's fixed System V keys, its ports and its /mnt can be used without
// meeting another test or a real process.  private_ipc.h, standins_support.h
// and the command manager's test are the users.

#include <initializer_list>
#include <string>
#include <vector>

namespace vyxtest {

// This program's arguments, from /proc/self/cmdline.
std::vector<std::string> own_args();

// Runs this program again as
//   unshare --user --map-root-user <flags> -- [/bin/sh -c <setup>] <program> <arguments>
// and does not return when that works.  `stateVar` carries the outcome to the
// new program: there the call returns true at once.  Returns false, with
// stateVar set to "0", when this host cannot make the namespaces (probed with
// a child first, so a refusal ends in a skip instead of a failed exec).
// `setup`, when given, is a shell script run inside before the program; it
// must end with: exec "$0" "$@".
bool reexec_in_namespaces(const char* stateVar, std::initializer_list<const char*> flags,
                          const char* setup = nullptr);

// The command words of VYX_TEST_EMULATOR (a cross build's user-mode
// emulator, set where the kernel cannot run the target's programs itself);
// empty when unset.
std::vector<std::string> emulator_words();

// execve(), through the emulator when there is one (then found on PATH) and
// `path` is a program for the same machine as this one.  Returns only when
// the exec failed.
int exec_program(const char* path, char* const argv[], char* const envp[]);

// The private world of a test program that runs a whole device: its own IPC
// and network namespaces (and, when `mntDirs` is not empty, a mount
// namespace with a tmpfs on /mnt holding those directories), entered by
// re-executing the program after `setup` (see reexec_in_namespaces).
// `timeScale` is set as VYX_TIME_SCALE for the new program, so the device's
// waits pass quickly.  An alarm of two minutes ends a stuck run.  False when
// the host cannot make the namespaces (the tests then skip).
bool enter_private_world(const char* stateVar, const char* timeScale, const char* setup,
                         std::initializer_list<const char*> mntDirs = {});

}  // namespace vyxtest

#endif
