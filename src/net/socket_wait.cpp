#include "net/socket_wait.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>

#include "net/download.h"

namespace lm_net {

bool cancel_requested(const int* pCancel)
{
    return pCancel && __atomic_load_n(pCancel, __ATOMIC_RELAXED) != 0;
}

int wait_ready(int fd, short events, int limit_ms, const int* pCancel)
{
    const long long deadline = monotonic_ms() + limit_ms;
    for (;;) {
        long long left = deadline - monotonic_ms();
        int slice = left < lm_download::kCancelPollMs ? static_cast<int>(left < 0 ? 0 : left)
                                                      : lm_download::kCancelPollMs;
        pollfd p = {fd, events, 0};
        int ready = poll(&p, 1, slice);
        if (ready > 0)
            return 0;
        if (ready < 0 && errno != EINTR)
            return -1;
        if (cancel_requested(pCancel))
            return -2;
        if (monotonic_ms() >= deadline)
            return -1;
    }
}

int connect_within(int fd, const sockaddr* to, socklen_t to_len, int limit_ms, const int* pCancel)
{
    if (connect(fd, to, to_len) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return -1;
    int waited = wait_ready(fd, POLLOUT, limit_ms, pCancel);
    if (waited != 0)
        return waited;
    int error = 0;
    socklen_t size = sizeof(error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0)
        return -1;
    return 0;
}

int send_all_within(int fd, const char* buf, int len, int limit_ms, const int* pCancel)
{
    int sent = 0;
    while (sent < len) {
        ssize_t n = send(fd, buf + sent, len - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            return -1;
        int waited = wait_ready(fd, POLLOUT, limit_ms, pCancel);
        if (waited != 0)
            return waited;
    }
    return 0;
}

}  // namespace lm_net
