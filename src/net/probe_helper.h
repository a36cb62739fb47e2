// Running lumora-updater-probe, the only file that carries cap_net_raw, for a
// process that may not open raw sockets itself. The updater is a GTK program
// and GTK loads code the user chooses, so it must hold no capability.
#ifndef LUMORA_NET_PROBE_HELPER_H
#define LUMORA_NET_PROBE_HELPER_H

#include <stddef.h>
#include <sys/types.h>

#include <mutex>

#include "net/probe.h"

namespace lm_probe {

// Added to the helper's limit for starting the process and the answer's way back.
constexpr int kHelperMarginMs = 1000;

// The longest one name lookup may take with this machine's resolver
// configuration (res_ninit: timeout, attempts and name servers, spent as
// glibc spends them); -1 when the configuration cannot be read.
int configured_lookup_ms();

// configured_lookup_ms, but never less than with glibc's defaults (5 s, 2
// attempts): the helper starts with an empty environment, so RES_OPTIONS of
// ours may not be its.
int resolver_limit_ms();

// Longest run of the helper: the resolver's own limit, both probe waits and
// a margin; never shorter than what the helper may rightly take.
int helper_limit_ms();

// Lets another thread end a probe early (the Warning page's check when the
// page is left). stop() sets the flag that the in-process probe looks at
// between its waits and kills a helper that run_helper is running; run_helper
// then reaps it and gives -1, and a later run_helper gives -1 at once.
class probe_stop {
public:
    probe_stop() = default;
    probe_stop(const probe_stop&) = delete;
    probe_stop& operator=(const probe_stop&) = delete;

    void stop();
    bool stopped() const;
    // For server_reachable: set once stop() was called.
    const int* flag() const { return &m_flag; }

private:
    friend int run_helper(const char* path, int limit_ms, probe_stop* stop);
    std::mutex m_lock;
    int m_flag = 0;
    pid_t m_pid = -1;  // a helper started and not yet reaped, under m_lock
};

// Where the helper lies for the running program: at a place fixed at build
// time relative to the program's own file, so that an installed program
// finds the installed helper under any prefix and a program in the build
// tree the one built with it. 0 with the path in path, or -1.
int helper_path(char* path, size_t size);

// Runs the helper at path with no arguments and an empty environment: 0 when
// it exits with status 0, -1 when it cannot start, fails, is still running
// after limit_ms (it is then killed), or is stopped through stop (may be null).
// Every helper started is reaped before this returns.
int run_helper(const char* path, int limit_ms, probe_stop* stop = nullptr);

}  // namespace lm_probe

#endif
