#include "net/resolve.h"

#include <netdb.h>
#include <string.h>
#include <sys/socket.h>

int lm_resolve_ipv4(const char* name, in_addr* addr)
{
    if (!name || !*name || !addr)
        return -1;
    addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &found) != 0 || !found)
        return -1;
    *addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return 0;
}
