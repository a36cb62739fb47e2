// Name lookup for the update server and the image server (IPv4 only).
#ifndef LUMORA_NET_RESOLVE_H
#define LUMORA_NET_RESOLVE_H

#include <netinet/in.h>

// The first IPv4 address of `name`: 0 with *addr set, or -1. getaddrinfo is
// used because the Warning page's check (its own thread) and the fetch (worker) may both
// resolve.
int lm_resolve_ipv4(const char* name, in_addr* addr);

#endif
