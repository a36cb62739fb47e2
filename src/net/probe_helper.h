// Running lumora-updater-probe, the only file that carries cap_net_raw, for a
// process that may not open raw sockets itself. The updater is a GTK program
// and GTK loads code the user chooses, so it must hold no capability.
#ifndef LUMORA_NET_PROBE_HELPER_H
#define LUMORA_NET_PROBE_HELPER_H

#include <stddef.h>

#include "net/probe.h"

namespace lm_probe {

// Longest run of the helper: both probe waits and a name lookup.
constexpr int kHelperLimitMs = 3 * kWaitMs;

// Where the helper lies for the running program: at a place fixed at build
// time relative to the program's own file, so that an installed program
// finds the installed helper under any prefix and a program in the build
// tree the one built with it. 0 with the path in path, or -1.
int helper_path(char* path, size_t size);

// Runs the helper at path with no arguments and an empty environment: 0 when
// it exits with status 0, -1 when it cannot start, fails, or is still running
// after limit_ms (it is then killed).
int run_helper(const char* path, int limit_ms);

}  // namespace lm_probe

#endif
