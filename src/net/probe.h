// Reachability of the update server: a UDP datagram to a closed port, whose
// ICMP port-unreachable answer proves the server is there, with an ICMP echo
// as the fallback. Both need a raw ICMP socket (root or CAP_NET_RAW). The
// updater runs this in-process when it may open raw sockets; otherwise the
// capable helper lumora-updater-probe runs the very same code for it.
#ifndef LUMORA_NET_PROBE_H
#define LUMORA_NET_PROBE_H

namespace lm_probe {

constexpr int kPort = 45678;     // nothing listens there
constexpr int kWaitMs = 2000;    // whole wait of each probe

// 0 when host resolves and answers either probe, -1 when not. A set *stop
// (read atomically; may be null) ends the probe's waits early with -1; the
// name lookup itself runs to its end.
int server_reachable(const char* host, const int* stop = nullptr);

// True when this process may open a raw ICMP socket.
bool raw_sockets_allowed();

// The first IPv4 address of domain as dotted text in the 16-byte field ip.
int host_to_ip(const char* domain, char* ip);
// The UDP probe and the echo probe against a dotted address: 0 or -1.
int udp_probe(const char* ip, const int* stop = nullptr);
int echo_probe(const char* ip, const int* stop = nullptr);

unsigned short checksum(const unsigned short* addr, int len);
// Writes the 8-byte echo request (no data) carrying the identifier id.
void build_echo_request(unsigned char* pkt, unsigned short id);

}  // namespace lm_probe

#endif
