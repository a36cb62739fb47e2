#include "frame_checker.h"

#include <algorithm>

namespace lumora_fake {

namespace {

uint32_t le32(const unsigned char* p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

const uint32_t kOverhead = 10;

} // namespace

void frame_checker::reset()
{
    m_received = 0;
    m_frame = received_frame();
}

bool frame_checker::feed(const unsigned char* data, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        unsigned char b = data[i];
        if (m_received < 8) {
            m_header[m_received++] = b;
            if (m_received == 8) {
                m_frame.addr = le32(m_header);
                m_frame.length = le32(m_header + 4);
                if (m_frame.length < kOverhead) {  // not even a header and a sum
                    finish(false);
                    return true;
                }
            }
            continue;
        }
        uint64_t payload_end = uint64_t(m_frame.length) - 2;
        if (m_received < payload_end) {
            // The payload's bytes in one run: the benchmarks feed megabytes.
            size_t run = size_t(std::min<uint64_t>(len - i, payload_end - m_received));
            uint32_t sum = m_frame.sum;
            for (size_t k = 0; k < run; ++k)
                sum += data[i + k];
            m_frame.sum = sum & 0xffff;
            m_frame.payload_len += uint32_t(run);
            if (m_keep)
                m_frame.payload.insert(m_frame.payload.end(), data + i, data + i + run);
            m_received += run;
            i += run - 1;
            continue;
        }
        m_tail[m_received - payload_end] = b;
        ++m_received;
        if (m_received == m_frame.length) {
            finish(i + 1 < len);
            return true;
        }
    }
    return false;
}

void frame_checker::finish(bool extra_bytes)
{
    m_frame.sum_field = uint32_t(m_tail[0]) | uint32_t(m_tail[1]) << 8;
    m_frame.ok = !extra_bytes && m_frame.length >= kOverhead &&
                 m_frame.payload_len + kOverhead == m_frame.length &&
                 m_frame.sum == m_frame.sum_field;
    m_last = std::move(m_frame);
    reset();
}

} // namespace lumora_fake
