// The desktop's proxy setting, as GIO's proxy resolver reports it (GNOME's
// settings, libproxy, or direct when neither is installed).
#include <gio/gio.h>

#include <string>

#include "net/proxy.h"

namespace lm_net {

namespace {
std::atomic<bool> reported{false};
}

int desktop_proxy(const char* host, http_route* route)
{
    GProxyResolver* resolver = g_proxy_resolver_get_default();
    if (!resolver || !host || !*host)
        return -1;
    std::string uri = std::string("http://") + host + "/";
    GError* error = nullptr;
    gchar** proxies = g_proxy_resolver_lookup(resolver, uri.c_str(), nullptr, &error);
    if (!proxies) {
        g_clear_error(&error);
        return -1;
    }
    int result = -1;
    for (gchar** p = proxies; *p && result < 0; p++) {
        if (g_str_equal(*p, "direct://"))
            result = 1;
        else if (g_str_has_prefix(*p, "http://") && parse_proxy_url(*p, route) == 0)
            result = 0;
        else
            report_ignored("the desktop's proxy", &reported);
    }
    g_strfreev(proxies);
    return result;
}

}  // namespace lm_net
