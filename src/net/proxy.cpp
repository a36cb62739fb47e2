// Proxy settings from the environment, checked before anything is built
// from them: a value may hold a password, so it is never printed.
#include "net/proxy.h"

#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "net/hex.h"
#include "net/host_name.h"

namespace lm_net {

namespace {

const int kDefaultProxyPort = 1080;
const size_t kMaxIpv6Text = 45;  // INET6_ADDRSTRLEN - 1

// %XX escapes of the user and password, as in any URL.
int percent_decode(const std::string& in, std::string* out)
{
    out->clear();
    for (size_t i = 0; i < in.size(); i++) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size() || lm_net::hex_digit(in[i + 1]) < 0 || lm_net::hex_digit(in[i + 2]) < 0)
            return -1;
        char c = static_cast<char>(lm_net::hex_digit(in[i + 1]) * 16 + lm_net::hex_digit(in[i + 2]));
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return -1;  // would break the header line
        out->push_back(c);
        i += 2;
    }
    return 0;
}

std::string base64(const std::string& in)
{
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < in.size(); i += 3) {
        unsigned n = static_cast<unsigned char>(in[i]) << 16;
        if (i + 1 < in.size())
            n |= static_cast<unsigned char>(in[i + 1]) << 8;
        if (i + 2 < in.size())
            n |= static_cast<unsigned char>(in[i + 2]);
        out.push_back(kAlphabet[(n >> 18) & 63]);
        out.push_back(kAlphabet[(n >> 12) & 63]);
        out.push_back(i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=');
        out.push_back(i + 2 < in.size() ? kAlphabet[n & 63] : '=');
    }
    return out;
}

int parse_port(const std::string& text, int* pPort)
{
    if (text.empty() || text.size() > 5)
        return -1;
    int port = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535)
        return -1;
    *pPort = port;
    return 0;
}

int parse_credentials(const std::string& userinfo, http_route* route)
{
    size_t colon = userinfo.find(':');
    std::string user;
    std::string password;
    if (percent_decode(userinfo.substr(0, colon), &user) != 0)
        return -1;
    if (colon != std::string::npos && percent_decode(userinfo.substr(colon + 1), &password) != 0)
        return -1;
    route->authorization = "Basic " + base64(user + ":" + password);
    return 0;
}

bool ipv6_literal(const std::string& text)
{
    in6_addr addr;
    return !text.empty() && text.size() <= kMaxIpv6Text && inet_pton(AF_INET6, text.c_str(), &addr) == 1;
}

// "host[:port]" or "[ipv6][:port]" into route->host and route->port.
int parse_host_port(const std::string& authority, http_route* route)
{
    size_t host_end = authority.find(':');
    if (!authority.empty() && authority[0] == '[') {
        size_t close = authority.find(']');
        if (close == std::string::npos || !ipv6_literal(authority.substr(1, close - 1)))
            return -1;
        route->host = authority.substr(1, close - 1);
        host_end = close + 1;
        if (host_end < authority.size() && authority[host_end] != ':')
            return -1;
    } else {
        route->host = authority.substr(0, host_end);
        if (!plain_host(route->host.c_str()))
            return -1;
    }
    if (host_end < authority.size() && parse_port(authority.substr(host_end + 1), &route->port) != 0)
        return -1;
    return 0;
}

// The first non-empty variable of the two, and its name.
const char* first_set(const char* lower, const char* upper, const char** pName)
{
    const char* value = getenv(lower);
    *pName = lower;
    if (value && *value)
        return value;
    value = getenv(upper);
    *pName = upper;
    return value && *value ? value : nullptr;
}

}  // namespace

int parse_proxy_url(const char* value, http_route* route)
{
    if (!value || !*value)
        return -1;
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(value); *c; c++) {
        if (*c <= 0x20 || *c == 0x7F)
            return -1;
    }
    std::string rest = value;
    size_t scheme_end = rest.find("://");
    if (scheme_end != std::string::npos) {
        if (scheme_end != 4 || strncasecmp(value, "http", 4) != 0)
            return -1;
        rest = rest.substr(7);
    }
    std::string authority = rest.substr(0, rest.find('/'));
    if (rest.size() > authority.size() + 1)
        return -1;  // a path after the proxy's address means something else
    http_route parsed;
    parsed.via_proxy = true;
    parsed.port = kDefaultProxyPort;
    size_t at = authority.rfind('@');
    if (at != std::string::npos) {
        if (parse_credentials(authority.substr(0, at), &parsed) != 0)
            return -1;
        authority = authority.substr(at + 1);
    }
    if (parse_host_port(authority, &parsed) != 0)
        return -1;
    *route = parsed;
    return 0;
}

bool no_proxy_matches(const char* list, const char* host)
{
    if (!list || !host)
        return false;
    const size_t host_len = strlen(host);
    const char* entry = list;
    while (*entry) {
        while (*entry == ',' || *entry == ' ' || *entry == '\t')
            entry++;
        size_t len = strcspn(entry, ", \t");
        const char* name = entry;
        entry += len;
        if (len == 1 && *name == '*')
            return true;
        if (len > 0 && *name == '.') {
            name++;
            len--;
        }
        if (len == 0 || len > host_len)
            continue;
        const char* tail = host + host_len - len;
        if (strncasecmp(tail, name, len) == 0 && (tail == host || tail[-1] == '.'))
            return true;
    }
    return false;
}

void report_unusable(const char* what, std::atomic<bool>* reported)
{
    if (reported && reported->exchange(true))
        return;
    fprintf(stderr, "lumora-updater: %s is not a plain http:// proxy URL; nothing is fetched without it\n",
            what);
}

http_route route_for_host(const char* host)
{
    http_route direct;
    direct.host = host ? host : "";
    const char* name = nullptr;
    const char* exempt = first_set("no_proxy", "NO_PROXY", &name);
    if (no_proxy_matches(exempt, direct.host.c_str()))
        return direct;
    const char* setting = first_set("http_proxy", "HTTP_PROXY", &name);
    http_route chosen;
    if (setting) {
        if (parse_proxy_url(setting, &chosen) != 0)
            chosen.unusable = name;
        return chosen;
    }
    int desktop = desktop_proxy(direct.host.c_str(), &chosen);
    if (desktop == 0)
        return chosen;
    if (desktop == -2) {
        http_route stopped;
        stopped.unusable = "the desktop's proxy";
        return stopped;
    }
    return direct;
}

}  // namespace lm_net
