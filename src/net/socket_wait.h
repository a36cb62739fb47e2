// Bounded, cancellable waits on a non-blocking socket. Every wait is cut into
// slices of lm_download::kCancelPollMs so a set cancel flag is seen quickly.
#ifndef LUMORA_NET_SOCKET_WAIT_H
#define LUMORA_NET_SOCKET_WAIT_H

#include <sys/socket.h>

#include "net/clock.h"

namespace lm_net {

// The user interface sets the flag on the main thread; read it atomically.
bool cancel_requested(const int* pCancel);

// 0 when fd has one of events (or an error to report), -1 after limit_ms or
// when poll fails, -2 when the cancel flag is set while waiting.
int wait_ready(int fd, short events, int limit_ms, const int* pCancel);

// Connects the non-blocking fd: 0 connected, -1 failed or timed out, -2 cancelled.
int connect_within(int fd, const sockaddr* to, socklen_t to_len, int limit_ms, const int* pCancel);

// Sends all len bytes: 0 sent, -1 failed or stalled for limit_ms, -2 cancelled.
int send_all_within(int fd, const char* buf, int len, int limit_ms, const int* pCancel);

}  // namespace lm_net

#endif
