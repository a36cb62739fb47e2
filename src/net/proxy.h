// Where an HTTP connection goes: straight to the server on port 80, or to the
// proxy the user set (http_proxy / HTTP_PROXY, minus no_proxy / NO_PROXY, as
// curl and wget read them; else the desktop's setting through GIO). A
// setting that names a proxy this program cannot use stops every fetch it
// applies to: going direct instead would bypass what the user configured.
#ifndef LUMORA_NET_PROXY_H
#define LUMORA_NET_PROXY_H

#include <atomic>
#include <string>

namespace lm_net {

struct http_route {
    bool via_proxy = false;
    std::string host;           // whom the TCP connection goes to (an IPv6 literal without brackets)
    int port = 80;
    std::string authorization;  // "Basic ..." for Proxy-Authorization, or empty
    // The name of the setting that applies but cannot be used ("http_proxy",
    // "the desktop's proxy"), or null. When set, no connection is made.
    const char* unusable = nullptr;
};

// The route of a request for http://host/: the proxy when one applies, else
// host itself on port 80, or a route whose `unusable` names the setting in
// the way. Safe on any thread, cheap enough for every check, and silent.
http_route route_for_host(const char* host);

// Writes "lumora-updater: WHAT is not a plain http:// proxy URL; nothing is
// fetched without it" to stderr; with a flag, only the first time it is passed.
void report_unusable(const char* what, std::atomic<bool>* reported = nullptr);

// "http://[user[:password]@]host[:port][/]", or the same without the scheme
// (curl's reading); the port defaults to 1080 as with curl. The host is a
// plain host name, a dotted IPv4 address or a bracketed IPv6 address
// ("[::1]"). 0 with *route filled, -1 for anything else (control bytes,
// another scheme, a bad port).
int parse_proxy_url(const char* value, http_route* route);

// Whether the comma-separated no_proxy list exempts host: "*" exempts all,
// "example.com" and ".example.com" exempt that domain and its subdomains.
bool no_proxy_matches(const char* list, const char* host);

// The desktop's proxy for http://host/ (GIO's GProxyResolver): 0 with a
// proxy in *route, 1 for a direct connection, -1 when the desktop names no
// setting, -2 when its only choices cannot be used (socks://, https://).
int desktop_proxy(const char* host, http_route* route);

}  // namespace lm_net

#endif
