// The reachability probe itself, shared by the updater and its capable
// helper; see probe.h.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/probe.h"
#include "net/clock.h"
#include "net/icmp.h"
#include "net/resolve.h"

namespace {

const int kUdpReplyReadSize = 128;
const int kEchoReplySize = 200;
const int kEchoRequestSize = 8;
const uint8_t kIcmpProto = 1;
const uint8_t kIcmpEchoReply = 0;
const uint8_t kIcmpEchoRequest = 8;
const uint8_t kIcmpUnreachable = 3;
const uint8_t kIcmpPortUnreachable = 3;
// A stop flag is looked at this often while a probe waits.
const int kStopSliceMs = 50;

bool stop_requested(const int* stop)
{
    return stop && __atomic_load_n(stop, __ATOMIC_RELAXED) != 0;
}

// Waits for the raw socket until the probe's deadline. 0 readable, -1 when the
// deadline has passed, poll failed or the stop flag is set. The deadline is
// fixed when the probe is sent, so unrelated ICMP traffic cannot stretch the wait.
int wait_until(int fd, long long deadline, const int* stop)
{
    for (;;) {
        long long left = deadline - lm_net::monotonic_ms();
        if (left <= 0 || stop_requested(stop))
            return -1;
        if (stop && left > kStopSliceMs)
            left = kStopSliceMs;
        pollfd p = {fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready > 0)
            return 0;
        if (ready < 0 && errno != EINTR)
            return -1;
    }
}

// Splits a received IPv4 datagram; false when it is too short to hold an
// IPv4 header and an 8-byte ICMP header.
bool split_datagram(const unsigned char* msg, int len, IPHEAD* ip, ICMP_HEAD* icmp)
{
    if (len < static_cast<int>(sizeof(IPHEAD)))
        return false;
    memcpy(ip, msg, sizeof(*ip));
    int header_len = (ip->ip_verlen & 0x0F) * 4;
    if (header_len < static_cast<int>(sizeof(IPHEAD)) || len < header_len + static_cast<int>(sizeof(*icmp)))
        return false;
    memcpy(icmp, msg + header_len, sizeof(*icmp));
    return true;
}

int await_port_unreachable(int udp, int raw, in_addr_t server, const int* stop)
{
    char send_buf[1024] = {0};
    unsigned char recv_buf[1024] = {0};
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_port = htons(lm_probe::kPort);
    to.sin_addr.s_addr = server;
    if (sendto(udp, send_buf, 1, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0)
        return -1;

    const long long deadline = lm_net::monotonic_ms() + lm_probe::kWaitMs;
    for (;;) {
        if (wait_until(raw, deadline, stop) != 0)
            return -1;
        ssize_t n = recvfrom(raw, recv_buf, kUdpReplyReadSize, MSG_DONTWAIT, nullptr, nullptr);
        if (n < 0)
            continue;
        IPHEAD ip;
        ICMP_HEAD icmp;
        if (!split_datagram(recv_buf, static_cast<int>(n), &ip, &icmp))
            continue;
        if (ip.ip_proto != kIcmpProto || ip.ip_src_addr != server)
            continue;
        if (icmp.icmp_type == kIcmpUnreachable && icmp.icmp_code == kIcmpPortUnreachable)
            return 0;
    }
}

int await_echo_reply(int raw, in_addr_t server, const int* stop)
{
    sockaddr_in to;
    memset(&to, 0, sizeof(to));
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = server;
    const unsigned short id = static_cast<unsigned short>(getpid() & 0xFFFF);
    unsigned char send_buf[kEchoReplySize] = {0};
    lm_probe::build_echo_request(send_buf, id);
    if (sendto(raw, send_buf, kEchoRequestSize, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0)
        return -1;

    const long long deadline = lm_net::monotonic_ms() + lm_probe::kWaitMs;
    for (;;) {
        if (wait_until(raw, deadline, stop) != 0)
            return -1;
        unsigned char recv_buf[kEchoReplySize] = {0};
        sockaddr_in from;
        socklen_t from_len = sizeof(from);
        ssize_t n = recvfrom(raw, recv_buf, sizeof(recv_buf), MSG_DONTWAIT,
                             reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
            continue;
        if (n < 0)
            return -1;
        IPHEAD ip;
        ICMP_HEAD icmp;
        if (!split_datagram(recv_buf, static_cast<int>(n), &ip, &icmp))
            return -1;
        // Identifier and sequence decide, not the sender; another program's
        // message ends this poll, the next poll tries again.
        if (icmp.icmp_Id != id || icmp.icmp_Seq != 0)
            return -1;
        if (icmp.icmp_type == kIcmpEchoReply)
            return 0;
        // Our own request looped back on a local address: keep waiting.
    }
}

}  // namespace

namespace lm_probe {

int server_reachable(const char* host, const int* stop)
{
    char ip[16];
    memset(ip, 0, sizeof(ip));
    if (host_to_ip(host, ip) < 0 || stop_requested(stop))
        return -1;
    if (udp_probe(ip, stop) == 0)
        return 0;
    if (stop_requested(stop))
        return -1;
    return echo_probe(ip, stop);
}

bool raw_sockets_allowed()
{
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (raw < 0)
        return false;
    close(raw);
    return true;
}

int host_to_ip(const char* domain, char* ip)
{
    if (!domain || !*domain || !ip)
        return -1;
    in_addr first;
    if (lm_resolve_ipv4(domain, &first) != 0)
        return -1;
    // At most 15 characters and the zero: the caller's 16th byte stays zero.
    const char* text = inet_ntop(AF_INET, &first, ip, 16);
    return text ? 0 : -1;
}

int udp_probe(const char* ip, const int* stop)
{
    in_addr_t server = inet_addr(ip);
    if (server == INADDR_NONE)
        return -1;
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (udp < 0)
        return -1;
    // Opened before the datagram leaves, so the answer cannot be missed.
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (raw < 0) {
        close(udp);
        return -1;
    }
    int result = await_port_unreachable(udp, raw, server, stop);
    close(raw);
    close(udp);
    return result;
}

int echo_probe(const char* ip, const int* stop)
{
    in_addr_t server = inet_addr(ip);
    if (server == INADDR_NONE)
        return -1;
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (raw < 0)
        return -1;
    int result = await_echo_reply(raw, server, stop);
    close(raw);
    return result;
}

unsigned short checksum(const unsigned short* addr, int len)
{
    // Words are read as they lie in memory; memcpy keeps odd offsets legal.
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(addr);
    unsigned int sum = 0;
    while (len > 1) {
        unsigned short word;
        memcpy(&word, bytes, sizeof(word));
        sum += word;
        bytes += 2;
        len -= 2;
    }
    if (len == 1) {
        unsigned char last[2] = {bytes[0], 0};
        unsigned short word;
        memcpy(&word, last, sizeof(word));
        sum += word;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum += (sum >> 16);
    return static_cast<unsigned short>(~sum);
}

void build_echo_request(unsigned char* pkt, unsigned short id)
{
    ICMP_HEAD icmp;
    icmp.icmp_type = kIcmpEchoRequest;
    icmp.icmp_code = 0;
    icmp.icmp_chksum = 0;
    icmp.icmp_Id = id;
    icmp.icmp_Seq = 0;
    icmp.icmp_chksum = checksum(reinterpret_cast<unsigned short*>(&icmp), sizeof(icmp));
    memcpy(pkt, &icmp, sizeof(icmp));
}

}  // namespace lm_probe
