#ifndef VYX_VERSION_H
#define VYX_VERSION_H

// Version numbers of the plug-in (0.82.14).  Exported under their plain names
// so the player and the launcher can look them up.
extern "C" {
__attribute__((visibility("default"))) int version_get_major();
__attribute__((visibility("default"))) int version_get_minor();
__attribute__((visibility("default"))) int version_get_build();
// Start-up banner on the error stream: build date, version, build host.
__attribute__((visibility("default"))) void version_printf();
}

#endif
