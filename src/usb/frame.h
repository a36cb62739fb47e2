// The flash write frame, the one place that knows its layout. Little endian:
//   u32 flash address | u32 frame length (payload + 10) | payload | u16 sum
// where the sum adds the payload bytes as values 0..255, modulo 65536.
// The frame is never built as a whole. Cut into URBs of LM_URB_BYTES, every
// URB but those at its two ends holds payload bytes only, and is handed out
// as the payload itself; the first URB (header and the payload's start) and
// the last (the payload's end and the sum, which may spill over from the URB
// before) are assembled in LM_FRAME_ENDS_BYTES that the caller lends it.
#ifndef LUMORA_USB_FRAME_H
#define LUMORA_USB_FRAME_H

#include <cstdint>

#include "usb/transfer.h"

enum {
    LM_FRAME_HEADER = 8,
    LM_FRAME_CHECKSUM = 2,
    LM_FRAME_OVERHEAD = 10,
    // The first URB, and the last with the sum, which may begin one URB early.
    LM_FRAME_ENDS_BYTES = 2 * LM_URB_BYTES + 1
};

class lm_flash_frame : public lm_stream_source {
public:
    // payload and ends (LM_FRAME_ENDS_BYTES) stay the caller's; the payload
    // must not change until the stream ends.
    lm_flash_frame(uint32_t addrs, const unsigned char* payload, unsigned int len,
                   unsigned char* ends);
    lm_flash_frame(const lm_flash_frame&) = delete;
    lm_flash_frame& operator=(const lm_flash_frame&) = delete;
    unsigned int size() const override { return m_len + LM_FRAME_OVERHEAD; }
    const unsigned char* piece(unsigned int offset, unsigned int n) override;

private:
    void fill(unsigned int offset, unsigned char* out, unsigned int n);
    void sum_payload(unsigned int from, unsigned int n);
    uint16_t checksum();

    unsigned char m_header[LM_FRAME_HEADER];
    const unsigned char* m_payload;
    unsigned int m_len;
    uint32_t m_sum;          // of the payload's first m_summed bytes
    unsigned int m_summed;
    unsigned char* m_head;   // frame bytes [0, m_head_len): the first URB
    unsigned int m_head_len;
    unsigned char* m_tail;   // frame bytes [m_tail_start, size()): the URBs holding the sum
    unsigned int m_tail_start;
    unsigned int m_tail_len;  // 0 when the frame fits in one URB
    bool m_head_ready;
    bool m_tail_ready;
};

#endif
