// Where a fetch connects, found on a thread the fetch can walk away from:
// neither the desktop's proxy resolver nor the name server is waited for
// after Cancel.
#ifndef LUMORA_NET_LOOKUP_H
#define LUMORA_NET_LOOKUP_H

#include <sys/socket.h>

#include <string>

#include "net/proxy.h"

namespace lm_net {

// Where a TCP connection goes: an IPv4 or IPv6 socket address.
struct peer_address {
    sockaddr_storage addr{};
    socklen_t len = 0;
    int family() const { return addr.ss_family; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&addr); }
};

// host (an IPv4 or IPv6 literal, else a name and its first IPv4 address)
// with port: 0 with *peer set, or -1. Blocks for as long as the resolver.
int resolve_peer(const std::string& host, int port, peer_address* peer);

// The route for http://host/ (route_for_host) and the address of its host:
// 0 with both set, -1 when the route is unusable (route->unusable says why)
// or its host does not resolve within limit_ms, -2 when the cancel flag is
// set meanwhile. A lookup left behind finishes on its own thread.
int lookup_route(const char* host, http_route* route, peer_address* peer, int limit_ms, const int* pCancel);

}  // namespace lm_net

#endif
