#include "net/chunked.h"

#include <string.h>

#include "net/hex.h"

lm_chunked::lm_chunked(long max_body) : m_max_body(max_body) {}

// One byte of a chunk-size line: hex digits, then optional blanks and a
// ";extension" up to CR LF. 0 on success, -1 on bad framing.
int lm_chunked::size_byte(char c)
{
    int digit = lm_net::hex_digit(c);
    if (digit >= 0) {
        // The limit keeps the arithmetic far from overflow.
        if (m_left > (m_max_body - m_body) / 16 + 1)
            return -1;
        m_left = m_left * 16 + digit;
        m_digits++;
        return 0;
    }
    if (m_digits == 0)
        return -1;
    if (c == '\r') {
        m_state = kSizeLf;
        return 0;
    }
    if (c == ';' || c == ' ' || c == '\t') {
        m_state = kExtension;
        return 0;
    }
    return -1;
}

// A byte of a line whose content is ignored (extension, trailer field).
int lm_chunked::line_byte(char c, state after_lf)
{
    if (c == '\n')
        return -1;  // a bare LF: the framing is not what we expect
    if (c == '\r')
        m_state = after_lf;
    return 0;
}

// One byte of framing (anything but a chunk's data). 0, or -1 on bad framing.
int lm_chunked::framing_byte(char c)
{
    switch (m_state) {
    case kSize:
    case kExtension:
        if (c != '\r' && ++m_size_line > kMaxSizeLine)
            return -1;
        return m_state == kSize ? size_byte(c) : line_byte(c, kSizeLf);
    case kSizeLf:
        if (c != '\n' || m_body + m_left > m_max_body)
            return -1;
        m_state = m_left == 0 ? kTrailer : kData;
        m_line = 0;
        return 0;
    case kDataCr:
        m_state = kDataLf;
        return c == '\r' ? 0 : -1;
    case kDataLf:
        m_state = kSize;
        m_digits = 0;
        m_size_line = 0;
        return c == '\n' ? 0 : -1;
    case kTrailer:
    case kTrailerLf:
        if (++m_trailers > kMaxTrailers)
            return -1;
        break;
    default:
        return -1;
    }
    if (m_state == kTrailerLf) {
        if (c != '\n')
            return -1;
        m_state = m_line == 0 ? kDone : kTrailer;
        m_line = 0;
        return 0;
    }
    // An empty line ends the message; any other line is a trailer field.
    if (c == '\r' && m_line == 0) {
        m_state = kTrailerLf;
        return 0;
    }
    m_line++;
    return line_byte(c, kTrailerLf);
}

long lm_chunked::feed(const char* in, long len, char* out)
{
    long written = 0;
    long at = 0;
    while (at < len && m_state != kDone && m_state != kFailed) {
        if (m_state == kData) {
            long take = len - at < m_left ? len - at : m_left;
            memmove(out + written, in + at, static_cast<size_t>(take));
            written += take;
            at += take;
            m_left -= take;
            m_body += take;
            if (m_left == 0)
                m_state = kDataCr;
            continue;
        }
        if (framing_byte(in[at++]) != 0)
            m_state = kFailed;
    }
    return m_state == kFailed ? -1 : written;
}
