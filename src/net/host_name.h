// What may stand as a server's host in a request or a proxy setting: a host
// name or a dotted IPv4 address, nothing more. A port, user information, an
// IPv6 literal or a second address would let the text choose a different
// server than the one it names.
#ifndef LUMORA_NET_HOST_NAME_H
#define LUMORA_NET_HOST_NAME_H

namespace lm_net {

// Labels of letters, digits, '-' and '_' (1 to 63 characters, no '-' at
// either end) joined by single dots, at most 253 characters; when the last
// label is numeric, or the resolver would read the text as an address in
// any of its spellings, the whole text must be a dotted quad of decimal
// numbers 0 to 255 without leading zeros (the resolver would read "10.1",
// "0x7f.1", "0x7f000001", "1.0x7f" or "010.0.0.1" as other addresses).
bool plain_host(const char* text);

}  // namespace lm_net

#endif
