// A name lookup the fetch can walk away from: the resolver may take as long
// as it likes, Cancel does not wait for it.
#ifndef LUMORA_NET_LOOKUP_H
#define LUMORA_NET_LOOKUP_H

#include <netinet/in.h>

namespace lm_net {

// The first IPv4 address of name (or the dotted address it is): 0 with *addr
// set, -1 when it does not resolve within limit_ms, -2 when the cancel flag
// is set meanwhile. A lookup left behind finishes on its own thread.
int lookup_ipv4(const char* name, in_addr* addr, int limit_ms, const int* pCancel);

}  // namespace lm_net

#endif
