#include "net/probe_helper.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <netinet/in.h>
#include <resolv.h>
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

// True once the child has ended; it is left unreaped (WNOWAIT), so its pid
// cannot be reused while another thread may still send it a signal.
bool has_ended(pid_t pid, bool* gone)
{
    siginfo_t info;
    memset(&info, 0, sizeof(info));
    int rc = waitid(P_PID, pid, &info, WEXITED | WNOHANG | WNOWAIT);
    // ECHILD: reaped behind our back (SIGCHLD ignored); nothing to reap.
    *gone = rc != 0 && errno == ECHILD;
    return *gone || (rc == 0 && info.si_pid == pid);
}

// 0 when the helper exited with status 0 before the deadline and was not
// stopped; a helper still running at the deadline is killed. Always reaps.
int await_helper(pid_t pid, int limit_ms, lm_probe::probe_stop* stop, std::mutex* lock,
                 pid_t* registered)
{
    const long long deadline = lm_net::monotonic_ms() + limit_ms;
    bool killed = false;
    for (;;) {
        bool gone = false;
        if (has_ended(pid, &gone)) {
            if (lock) {
                // No kill() may reach the pid once it can be reused.
                std::lock_guard<std::mutex> hold(*lock);
                *registered = -1;
            }
            if (gone)
                return -1;
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
            return ok && !killed && !(stop && stop->stopped()) ? 0 : -1;
        }
        if (!killed && lm_net::monotonic_ms() >= deadline) {
            kill(pid, SIGKILL);
            killed = true;
        }
        usleep(kReapStepUs);
    }
}

// glibc's wait for one query sent to name server ns (send_dg in res_send.c).
int server_wait_s(int retrans, int ns, int nscount)
{
    int seconds = retrans << ns;
    if (ns > 0)
        seconds /= nscount;
    return seconds > 0 ? seconds : 1;
}

int lookup_limit_s(int retrans, int retry, int nscount)
{
    if (nscount < 1)
        nscount = 1;
    int per_try = 0;
    for (int ns = 0; ns < nscount; ++ns)
        per_try += server_wait_s(retrans, ns, nscount);
    return per_try * (retry > 0 ? retry : 1);
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

int configured_lookup_ms()
{
    struct __res_state res;
    memset(&res, 0, sizeof(res));
    if (res_ninit(&res) != 0)
        return -1;
    int seconds = lookup_limit_s(res.retrans, res.retry, res.nscount);
    res_nclose(&res);
    return seconds * 1000;
}

int resolver_limit_ms()
{
    int configured = configured_lookup_ms();
    int defaults = lookup_limit_s(RES_TIMEOUT, RES_DFLRETRY, 1) * 1000;
    return configured > defaults ? configured : defaults;
}

int helper_limit_ms()
{
    return resolver_limit_ms() + 2 * kWaitMs + kHelperMarginMs;
}

void probe_stop::stop()
{
    std::lock_guard<std::mutex> hold(m_lock);
    __atomic_store_n(&m_flag, 1, __ATOMIC_RELAXED);
    if (m_pid > 0)
        kill(m_pid, SIGKILL);
}

bool probe_stop::stopped() const
{
    return __atomic_load_n(&m_flag, __ATOMIC_RELAXED) != 0;
}

int run_helper(const char* path, int limit_ms, probe_stop* stop)
{
    if (!path || !*path)
        return -1;
    if (!stop) {
        pid_t pid = start_helper(path);
        return pid < 0 ? -1 : await_helper(pid, limit_ms, nullptr, nullptr, nullptr);
    }
    pid_t pid = -1;
    {
        // Started and registered under the lock: a stop() either comes
        // before (nothing starts) or finds the pid to kill.
        std::lock_guard<std::mutex> hold(stop->m_lock);
        if (stop->stopped())
            return -1;
        pid = start_helper(path);
        if (pid < 0)
            return -1;
        stop->m_pid = pid;
    }
    return await_helper(pid, limit_ms, stop, &stop->m_lock, &stop->m_pid);
}

}  // namespace lm_probe
