// The flash write frame, the one place that knows its layout. Little endian:
//   u32 flash address | u32 frame length (payload + 10) | payload | u16 sum
// where the sum adds the payload bytes as values 0..255, modulo 65536.
// The frame is never built as a whole: its bytes are produced piece by piece,
// in order, straight from the payload, as the stream asks for them.
#ifndef LUMORA_USB_FRAME_H
#define LUMORA_USB_FRAME_H

#include <cstdint>

#include "usb/transfer.h"

enum { LM_FRAME_HEADER = 8, LM_FRAME_CHECKSUM = 2, LM_FRAME_OVERHEAD = 10 };

class lm_flash_frame : public lm_stream_source {
public:
    // payload stays the caller's and must not change until the stream ends.
    lm_flash_frame(uint32_t addrs, const unsigned char* payload, unsigned int len);

    unsigned int size() const override { return m_len + LM_FRAME_OVERHEAD; }
    void fill(unsigned int offset, unsigned char* out, unsigned int n) override;

private:
    unsigned int fill_payload(unsigned int from, unsigned char* out, unsigned int n);
    uint16_t checksum();

    unsigned char m_header[LM_FRAME_HEADER];
    const unsigned char* m_payload;
    unsigned int m_len;
    uint32_t m_sum;          // of the payload's first m_summed bytes
    unsigned int m_summed;
};

#endif
