// The least a client must do to stream a block to the reader: open the node,
// claim interface 0, keep up to a fixed number of 16384-byte bulk URBs in
// flight to endpoint 3, reap them as poll() reports them, close. The
// benchmarks measure the updater's write against it on the same node.
#ifndef LUMORA_BENCH_REFERENCE_CLIENT_H
#define LUMORA_BENCH_REFERENCE_CLIENT_H

#include <cstddef>

namespace bench {

constexpr int kUrbBytes = 16384;
constexpr int kUrbsInFlight = 64;

// Streams `size` bytes of `data` to endpoint 3 of the usbfs node at `node`.
// 0 when every URB completed whole, -1 on any failure.
int reference_stream(const char* node, const unsigned char* data, size_t size,
                     int max_in_flight = kUrbsInFlight);

// The flash frame of `len` payload bytes for address `addr`, as the reader
// expects it; `out` holds len + 10 bytes.
void build_frame(unsigned char* out, unsigned addr, const unsigned char* payload, size_t len);

}  // namespace bench

#endif
