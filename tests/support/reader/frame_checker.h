// Reassembles flash frames from the bytes the emulated reader accepts on its
// bulk endpoint and checks each one: address, length, checksum.
#ifndef LUMORA_FAKE_READER_FRAME_CHECKER_H
#define LUMORA_FAKE_READER_FRAME_CHECKER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumora_fake {

struct received_frame {
    uint32_t addr = 0;
    uint32_t length = 0;       // the frame's length field
    uint32_t payload_len = 0;  // payload bytes received
    uint32_t sum = 0;          // payload sum as computed here, mod 65536
    uint32_t sum_field = 0;    // the checksum the frame carried
    bool ok = false;           // length and checksum both match
    std::vector<unsigned char> payload;  // kept when asked for
};

// Frame on the wire, little endian: u32 address, u32 total length (payload
// + 10), payload, u16 sum of the payload bytes.
class frame_checker {
public:
    explicit frame_checker(bool keep_payload) : m_keep(keep_payload) {}

    // Feeds the bytes of one completed URB. Returns true when they ended a
    // frame (then last() holds it). Bytes past the frame's length make it
    // invalid; the rest of that URB is dropped.
    bool feed(const unsigned char* data, size_t len);
    const received_frame& last() const { return m_last; }
    // Bytes of an unfinished frame (0 when none), and starting over.
    size_t pending() const { return m_received; }
    uint32_t pending_addr() const { return m_frame.addr; }
    uint32_t pending_length() const { return m_frame.length; }
    void reset();

private:
    void finish(bool extra_bytes);

    bool m_keep;
    size_t m_received = 0;  // bytes of the current frame so far
    unsigned char m_header[8] = {0};
    unsigned char m_tail[2] = {0};
    received_frame m_frame;
    received_frame m_last;
};

} // namespace lumora_fake

#endif
