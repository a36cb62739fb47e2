// Where a fetch connects, found on a thread the fetch can walk away from:
// neither the desktop's proxy resolver nor the name server is waited for
// after Cancel.
#ifndef LUMORA_NET_LOOKUP_H
#define LUMORA_NET_LOOKUP_H

#include <netinet/in.h>

#include "net/proxy.h"

namespace lm_net {

// The route for http://host/ (route_for_host) and the first IPv4 address of
// its host: 0 with both set, -1 when the host does not resolve within
// limit_ms, -2 when the cancel flag is set meanwhile. A lookup left behind
// finishes on its own thread.
int lookup_route(const char* host, http_route* route, in_addr* addr, int limit_ms, const int* pCancel);

}  // namespace lm_net

#endif
