// The updater's reachability check. It probes in-process only when it may
// open raw sockets (run as root); a normal user's updater holds no capability
// and asks the capable helper, which runs the same probe. A proxy setting
// that cannot be used makes the server unreachable for this program whatever
// the probes say: no fetch would be made, so the Warning page must not lead
// to one.
#include <limits.h>

#include <atomic>

#include "net/download.h"
#include "net/probe.h"
#include "net/probe_helper.h"
#include "net/proxy.h"

int lm_download::get_internet_con_status()
{
    return internet_con_status(nullptr);
}

int lm_download::internet_con_status(lm_probe::probe_stop* stop)
{
    lm_net::http_route route = lm_net::route_for_host(m_host);
    if (route.unusable) {
        static std::atomic<bool> reported{false};  // the check runs many times a minute
        lm_net::report_unusable(route.unusable, &reported);
        return -1;
    }
    if (lm_probe::raw_sockets_allowed())
        return lm_probe::server_reachable(m_host, stop ? stop->flag() : nullptr);
    char helper[PATH_MAX];
    if (lm_probe::helper_path(helper, sizeof(helper)) != 0)
        return -1;
    return lm_probe::run_helper(helper, lm_probe::helper_limit_ms(), stop);
}

int lm_download::host2ip(const char* domain, char* ip)
{
    return lm_probe::host_to_ip(domain, ip);
}

int lm_download::DetectIP(const char* destIp)
{
    return lm_probe::udp_probe(destIp);
}

int lm_download::SendPing(const char* destIp)
{
    return lm_probe::echo_probe(destIp);
}

unsigned short lm_download::cal_chksum(unsigned short* addr, int len)
{
    return lm_probe::checksum(addr, len);
}

void lm_download::build_echo_request(unsigned char* pkt, unsigned short id)
{
    lm_probe::build_echo_request(pkt, id);
}
