#include "net/probe_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "net/clock.h"

namespace {

const int kReapStepUs = 5000;

// The helper gets no descriptor of ours but stderr: stdin and stdout are
// /dev/null, everything from 3 up is closed.
int prepare_descriptors(posix_spawn_file_actions_t* actions)
{
    if (posix_spawn_file_actions_init(actions) != 0)
        return -1;
    if (posix_spawn_file_actions_addopen(actions, 0, "/dev/null", O_RDONLY, 0) != 0 ||
        posix_spawn_file_actions_addopen(actions, 1, "/dev/null", O_WRONLY, 0) != 0 ||
        posix_spawn_file_actions_addclosefrom_np(actions, 3) != 0) {
        posix_spawn_file_actions_destroy(actions);
        return -1;
    }
    return 0;
}

// Starts the helper with no arguments, no environment and no blocked signals.
pid_t start_helper(const char* path)
{
    posix_spawn_file_actions_t actions;
    if (prepare_descriptors(&actions) != 0)
        return -1;
    posix_spawnattr_t attr;
    sigset_t none;
    sigemptyset(&none);
    pid_t pid = -1;
    if (posix_spawnattr_init(&attr) == 0) {
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK);
        posix_spawnattr_setsigmask(&attr, &none);
        char name[] = "lumora-updater-probe";
        char* argv[] = {name, nullptr};
        char* envp[] = {nullptr};
        if (posix_spawn(&pid, path, &actions, &attr, argv, envp) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attr);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// 0 when the helper exited with status 0 before the deadline; a helper still
// running then is killed and reaped.
int await_helper(pid_t pid, int limit_ms)
{
    const long long deadline = lm_net::monotonic_ms() + limit_ms;
    for (;;) {
        int status = 0;
        pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid)
            return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : -1;
        if (done < 0 && errno != EINTR)
            return -1;
        if (lm_net::monotonic_ms() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            return -1;
        }
        usleep(kReapStepUs);
    }
}

}  // namespace

namespace lm_probe {

int helper_path(char* path, size_t size)
{
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return -1;
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    if (!slash)
        return -1;
    slash[1] = '\0';
    int written = snprintf(path, size, "%s%s", self, LUMORA_PROBE_HELPER_FROM_BINDIR);
    return written > 0 && static_cast<size_t>(written) < size ? 0 : -1;
}

int run_helper(const char* path, int limit_ms)
{
    if (!path || !*path)
        return -1;
    pid_t pid = start_helper(path);
    if (pid < 0)
        return -1;
    return await_helper(pid, limit_ms);
}

}  // namespace lm_probe
