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

uint32_t plain_sum(uint32_t sum, const unsigned char* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        sum += p[i];
    return sum;
}

// An empty asm the value has to pass through in a general register. Without
// it the compiler turns the loop below into SSE2 code, which an emulated CPU
// (QEMU's TCG) runs through a helper call per instruction, several times
// slower than the same work in plain integer instructions.
inline void keep_in_register(uint64_t& v)
{
    asm("" : "+r"(v));
}

uint64_t load64(const unsigned char* p)
{
    uint64_t w;
    memcpy(&w, p, sizeof w);
    return w;
}

// Folds four 16-bit lanes into one number.
uint32_t fold_lanes(uint64_t lanes)
{
    lanes = (lanes & 0x0000FFFF0000FFFFull) + ((lanes >> 16) & 0x0000FFFF0000FFFFull);
    return static_cast<uint32_t>(lanes + (lanes >> 32));
}

// Adds n bytes to sum, and copies them to out unless it is null. Four 64-bit
// words a step: the even bytes of each word go into the 16-bit lanes of one
// accumulator, the odd bytes into another; a lane takes at most 256 bytes
// (64 steps) before it is folded, so it cannot overflow.
uint32_t sum_bytes(const unsigned char* p, size_t n, uint32_t sum, unsigned char* out)
{
    if (out)
        memcpy(out, p, n);
    const uint64_t low = 0x00FF00FF00FF00FFull;
    const size_t step = 4 * sizeof(uint64_t);
    size_t i = 0;
    while (n - i >= step) {
        size_t stop = i + std::min<size_t>((n - i) / step, 64) * step;
        uint64_t even = 0, odd = 0;
        for (; i < stop; i += step) {
            const uint64_t w0 = load64(p + i), w1 = load64(p + i + 8), w2 = load64(p + i + 16),
                           w3 = load64(p + i + 24);
            even += (w0 & low) + (w1 & low) + (w2 & low) + (w3 & low);
            odd += ((w0 >> 8) & low) + ((w1 >> 8) & low) + ((w2 >> 8) & low) + ((w3 >> 8) & low);
            keep_in_register(even);
            keep_in_register(odd);
        }
        sum += fold_lanes(even) + fold_lanes(odd);
    }
    return plain_sum(sum, p + i, n - i);
}

} // namespace

lm_flash_frame::lm_flash_frame(uint32_t addrs, const unsigned char* payload, unsigned int len,
                               unsigned char* ends)
    : m_payload(payload), m_len(len), m_sum(0), m_summed(0), m_head(ends), m_head_len(0),
      m_tail(nullptr), m_tail_start(0), m_tail_len(0), m_head_ready(false), m_tail_ready(false)
{
    put_le32(m_header, addrs);
    put_le32(m_header + 4, len + LM_FRAME_OVERHEAD);
    const unsigned int urb = LM_URB_BYTES;
    m_head_len = std::min(size(), urb);
    // From the start of the URB that holds the sum's first byte, or of the
    // second URB when that is the first.
    if (size() > urb) {
        m_tail_start = std::max((LM_FRAME_HEADER + len) / urb * urb, urb);
        m_tail_len = size() - m_tail_start;
    } else {
        m_tail_start = size();
    }
    if (m_tail_len && ends)
        m_tail = ends + m_head_len;
}

// The stream asks for its URBs in order, so the payload is summed as each
// one is handed out; the sum is complete when the tail is assembled.
const unsigned char* lm_flash_frame::piece(unsigned int offset, unsigned int n)
{
    if (!m_head || n == 0 || offset > size() || n > size() - offset)
        return nullptr;
    const unsigned int end = offset + n;
    if (end <= m_head_len) {
        if (!m_head_ready)
            fill(0, m_head, m_head_len);
        m_head_ready = true;
        return m_head + offset;
    }
    if (m_tail_len && offset >= m_tail_start) {
        if (!m_tail_ready)
            fill(m_tail_start, m_tail, m_tail_len);
        m_tail_ready = true;
        return m_tail + (offset - m_tail_start);
    }
    if (offset < m_head_len || end > m_tail_start)
        return nullptr;  // across the edge of a buffer: not a URB of this frame
    sum_payload(offset - LM_FRAME_HEADER, n);
    return m_payload + (offset - LM_FRAME_HEADER);
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
            unsigned int from = offset - LM_FRAME_HEADER;
            done = std::min(end, payload_end) - offset;
            if (from == m_summed) {
                m_sum = sum_bytes(m_payload + from, done, m_sum, out);
                m_summed += done;
            } else {
                memcpy(out, m_payload + from, done);
            }
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

// Bytes handed out of order are left for checksum() to add.
void lm_flash_frame::sum_payload(unsigned int from, unsigned int n)
{
    if (from != m_summed)
        return;
    m_sum = sum_bytes(m_payload + from, n, m_sum, nullptr);
    m_summed += n;
}

uint16_t lm_flash_frame::checksum()
{
    if (m_summed < m_len) {
        m_sum = plain_sum(m_sum, m_payload + m_summed, m_len - m_summed);
        m_summed = m_len;
    }
    return static_cast<uint16_t>(m_sum);
}
