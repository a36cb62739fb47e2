#include "usb/frame.h"

#include <algorithm>
#include <cstring>

namespace {

void put_le32(unsigned char* out, uint32_t v)
{
    out[0] = static_cast<unsigned char>(v);
    out[1] = static_cast<unsigned char>(v >> 8);
    out[2] = static_cast<unsigned char>(v >> 16);
    out[3] = static_cast<unsigned char>(v >> 24);
}

} // namespace

uint32_t lm_frame_sum(uint32_t sum, const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}

lm_flash_frame::lm_flash_frame(uint32_t addrs, const unsigned char* payload, unsigned int len)
    : m_payload(payload), m_len(len), m_sum(0), m_summed(0)
{
    put_le32(m_header, addrs);
    put_le32(m_header + 4, len + LM_FRAME_OVERHEAD);
}

void lm_flash_frame::fill(unsigned int offset, unsigned char* out, unsigned int n)
{
    const unsigned int payload_end = LM_FRAME_HEADER + m_len;
    const unsigned int end = offset + n;
    while (offset < end) {
        unsigned int done;
        if (offset < LM_FRAME_HEADER) {
            done = std::min(end, static_cast<unsigned int>(LM_FRAME_HEADER)) - offset;
            memcpy(out, m_header + offset, done);
        } else if (offset < payload_end) {
            done = fill_payload(offset - LM_FRAME_HEADER, out, std::min(end, payload_end) - offset);
        } else {
            uint16_t sum = checksum();
            const unsigned char tail[LM_FRAME_CHECKSUM] = {static_cast<unsigned char>(sum),
                                                           static_cast<unsigned char>(sum >> 8)};
            unsigned int at = offset - payload_end;
            done = std::min(end - offset, LM_FRAME_CHECKSUM - at);
            memcpy(out, tail + at, done);
        }
        offset += done;
        out += done;
    }
}

// The stream asks for the payload in order, so the sum follows the copy and
// the payload is read once; bytes asked for out of order are summed later.
unsigned int lm_flash_frame::fill_payload(unsigned int from, unsigned char* out, unsigned int n)
{
    memcpy(out, m_payload + from, n);
    if (from == m_summed) {
        m_sum = lm_frame_sum(m_sum, m_payload + from, n);
        m_summed += n;
    }
    return n;
}

uint16_t lm_flash_frame::checksum()
{
    if (m_summed < m_len) {
        m_sum = lm_frame_sum(m_sum, m_payload + m_summed, m_len - m_summed);
        m_summed = m_len;
    }
    return static_cast<uint16_t>(m_sum);
}
