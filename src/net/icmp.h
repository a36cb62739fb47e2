// IPv4 and ICMP headers as they lie on the wire (RFC 791, RFC 792).
// Multi-byte fields are in network byte order except icmp_Id, which the
// probe stores and compares in host byte order (the reply mirrors its bytes).
#ifndef LUMORA_NET_ICMP_H
#define LUMORA_NET_ICMP_H

#include <stdint.h>

typedef struct tagIpHead {
    uint8_t ip_verlen;
    uint8_t ip_tos;
    uint16_t ip_len;
    uint16_t ip_id;
    uint16_t ip_fragoff;
    uint8_t ip_ttl;
    uint8_t ip_proto;
    uint16_t ip_chksum;
    uint32_t ip_src_addr;
    uint32_t ip_dst_addr;
} IPHEAD;

typedef struct tagIcmpHead {
    uint8_t icmp_type;
    uint8_t icmp_code;
    uint16_t icmp_chksum;
    uint16_t icmp_Id;
    uint16_t icmp_Seq;
} ICMP_HEAD;

static_assert(sizeof(IPHEAD) == 20, "IPv4 header is 20 bytes");
static_assert(sizeof(ICMP_HEAD) == 8, "ICMP echo header is 8 bytes");

#endif
