// Decoder of a chunked message body (RFC 9112, 7.1): fed the bytes as they
// arrive, it writes out the body's bytes only, never the framing. Sizes may
// carry extensions (ignored); trailer fields are skipped.
#ifndef LUMORA_NET_CHUNKED_H
#define LUMORA_NET_CHUNKED_H

#include <stddef.h>

class lm_chunked {
public:
    // A body longer than max_body is an error.
    explicit lm_chunked(long max_body);

    // Decodes in[0..len) and writes the body bytes found to out, which may be
    // in itself (out never runs ahead of in). Returns the number written, or
    // -1 on bad framing or a body past the limit. Bytes after the end of the
    // message are ignored.
    long feed(const char* in, long len, char* out);

    // Longest chunk-size line, extensions included, and longest trailer
    // section (every byte after the last chunk's size line).
    static constexpr long kMaxSizeLine = 1024;
    static constexpr long kMaxTrailers = 16 * 1024;

    bool done() const { return m_state == kDone; }
    bool failed() const { return m_state == kFailed; }
    long body_length() const { return m_body; }

private:
    enum state { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLf, kDone, kFailed };
    int size_byte(char c);
    int line_byte(char c, state after_lf);
    int framing_byte(char c);

    state m_state = kSize;
    long m_max_body;
    long m_body = 0;       // body bytes so far
    long m_left = 0;       // bytes left in the current chunk
    int m_digits = 0;      // hex digits of the current size line
    long m_size_line = 0;  // bytes of the current size line
    long m_trailers = 0;   // bytes of the trailer section so far
    long m_line = 0;       // bytes in the current trailer line
};

#endif
