// The desktop's proxy setting, as GIO's proxy resolver reports it (GNOME's
// settings, libproxy, or direct when neither is installed).
#include <gio/gio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "net/proxy.h"

namespace lm_net {

namespace {

// A desktop that has proxy settings has a session bus. Without one (a bare X
// session, a test run) GIO's settings backend would start a bus of its own
// through dbus-launch, forking from one of its threads; a child forked so
// was seen stuck before its exec, outliving the program.
bool has_session_bus()
{
    const char* address = getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address && *address)
        return true;
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (!runtime || !*runtime)
        return false;
    std::string bus = std::string(runtime) + "/bus";
    struct stat st;
    return stat(bus.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}
}  // namespace

int desktop_proxy(const char* host, http_route* route)
{
    if (!host || !*host || !has_session_bus())
        return -1;
    GProxyResolver* resolver = g_proxy_resolver_get_default();
    if (!resolver)
        return -1;
    std::string uri = std::string("http://") + host + "/";
    GError* error = nullptr;
    gchar** proxies = g_proxy_resolver_lookup(resolver, uri.c_str(), nullptr, &error);
    if (!proxies) {
        g_clear_error(&error);
        return -1;
    }
    // The choices in the order to try: the first usable one is taken; a
    // list of unusable ones only must not fall back to a direct connection.
    int result = -1;
    for (gchar** p = proxies; *p && result < 0; p++) {
        if (g_str_equal(*p, "direct://"))
            result = 1;
        else if (g_str_has_prefix(*p, "http://") && parse_proxy_url(*p, route) == 0)
            result = 0;
    }
    if (result < 0 && proxies[0])
        result = -2;
    g_strfreev(proxies);
    return result;
}

}  // namespace lm_net
