// The TCP check of the Warning page: many servers and office firewalls drop
// ICMP and the UDP probe but serve HTTP, so when the probe says
// "unreachable", a TCP connection to the server's HTTP port that opens
// within 3 seconds decides "reachable" after all (to the proxy, when the
// fetch would go through one). Nothing is sent on it, and nothing is
// connected to when the proxy setting cannot be used: the fetch would not
// go direct either.
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/download.h"
#include "net/lookup.h"
#include "net/proxy.h"
#include "net/socket_wait.h"

// The server itself on port 80, or the proxy the fetch would go through:
// behind a proxy the server's port is often closed to this computer.
int lm_download::tcp_check_target(char* host, int hostSize, int* port)
{
    if (!host || hostSize <= 0 || !port)
        return -1;
    lm_net::http_route route = lm_net::route_for_host(m_host);
    if (route.unusable || route.host.empty() || static_cast<int>(route.host.size()) >= hostSize)
        return -1;
    strcpy(host, route.host.c_str());
    *port = route.port;
    return 0;
}

int lm_download::get_tcp_con_status(const int* pCancel)
{
    char host[kFieldSize];
    int port = 0;
    if (tcp_check_target(host, sizeof(host), &port) != 0 || port <= 0 || port > 65535)
        return -1;
    lm_net::peer_address to;
    if (lm_net::resolve_peer(host, port, &to) != 0)
        return -1;
    if (lm_net::cancel_requested(pCancel))
        return -2;
    int fd = socket(to.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int rc = lm_net::connect_within(fd, to.get(), to.len, kTcpCheckLimitMs, pCancel);
    close(fd);
    return rc;
}
