#include "usb/frame.h"

#include <algorithm>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Copies n bytes to out and adds them to sum in the same pass. SSE2's sum of
// absolute differences against zero adds 8 bytes in one instruction, which
// keeps the sum cheaper than the copy even on an emulated CPU.
uint32_t copy_and_sum(unsigned char* out, const unsigned char* p, size_t n, uint32_t sum)
{
    size_t i = 0;
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128();
    __m128i lanes = zero;
    for (; i + 16 <= n; i += 16) {
        __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
        lanes = _mm_add_epi64(lanes, _mm_sad_epu8(v, zero));
    }
    uint64_t halves[2];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), lanes);
    sum += static_cast<uint32_t>(halves[0] + halves[1]);
#endif
    memcpy(out + i, p + i, n - i);
    return plain_sum(sum, p + i, n - i);
}

} // namespace

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
    if (from != m_summed) {
        memcpy(out, m_payload + from, n);
        return n;
    }
    m_sum = copy_and_sum(out, m_payload + from, n, m_sum);
    m_summed += n;
    return n;
}

uint16_t lm_flash_frame::checksum()
{
    if (m_summed < m_len) {
        m_sum = plain_sum(m_sum, m_payload + m_summed, m_len - m_summed);
        m_summed = m_len;
    }
    return static_cast<uint16_t>(m_sum);
}
