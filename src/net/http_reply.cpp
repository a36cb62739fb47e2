// Reading the reply's header block. Every search is bounded by the bytes
// received: a block that fills the whole read holds no terminating zero.
#include <limits.h>
#include <string.h>

#include "net/download.h"

namespace {

const char kHeaderEnd[] = "\r\n\r\n";
const char kStatusOk[] = "HTTP/1.1 200 OK\r\n";
const char kLengthName[] = "Content-Length:";

const char* find_bytes(const char* hay, int hay_len, const char* needle, int needle_len)
{
    if (hay_len <= 0 || needle_len <= 0 || needle_len > hay_len)
        return nullptr;
    return static_cast<const char*>(memmem(hay, hay_len, needle, needle_len));
}

bool is_blank(char c)
{
    return c == ' ' || c == '\t';
}

// The value after "Content-Length:" up to the line's end, within [at, end):
// digits between optional blanks, nothing else.
int parse_length_value(const char* at, const char* end, long* pValue)
{
    while (at < end && is_blank(*at))
        at++;
    if (at == end || *at < '0' || *at > '9')
        return -1;  // no number, or a sign: a negative length is refused here
    long value = 0;
    while (at < end && *at >= '0' && *at <= '9') {
        if (value > (LONG_MAX - 9) / 10)
            return -1;
        value = value * 10 + (*at - '0');
        at++;
    }
    while (at < end && is_blank(*at))
        at++;
    if (at == end || *at != '\r')
        return -1;  // trailing garbage after the number
    *pValue = value;
    return 0;
}

}  // namespace

int lm_download::find_header_end(const char* block, int len)
{
    const char* end = find_bytes(block, len, kHeaderEnd, 4);
    return end ? static_cast<int>(end - block) + 4 : -1;
}

int lm_download::parse_status(const char* block, int len)
{
    const int need = static_cast<int>(sizeof(kStatusOk)) - 1;
    return len >= need && memcmp(block, kStatusOk, need) == 0 ? 0 : -1;
}

int lm_download::parse_content_length(const char* block, int len, long* pLength)
{
    // The header must start a line, so "X-Content-Length:" or a body byte
    // sequence never counts. Two different values leave the body's length
    // unknown (RFC 9112, 6.3); the same value repeated is fine.
    const int name_len = static_cast<int>(sizeof(kLengthName)) - 1;
    bool found = false;
    long length = 0;
    for (int from = 0; from < len;) {
        const char* line_end = find_bytes(block + from, len - from, "\r\n", 2);
        if (!line_end)
            break;
        const char* next = line_end + 2;
        from = static_cast<int>(next - block);
        if (from + 2 <= len && memcmp(next, "\r\n", 2) == 0)
            break;  // the empty line: what follows is the body
        if (next - block + name_len > len || memcmp(next, kLengthName, name_len) != 0)
            continue;
        long value = 0;
        if (parse_length_value(next + name_len, block + len, &value) != 0)
            return -1;
        if (found && value != length)
            return -1;
        found = true;
        length = value;
    }
    if (!found)
        return -1;
    *pLength = length;
    return 0;
}

int lm_download::parse_reply_head(const char* block, int len, long* pLength)
{
    if (parse_status(block, len) != 0)
        return -1;
    long length = 0;
    if (parse_content_length(block, len, &length) != 0)
        return -1;
    if (length > kMaxImageSize)
        return -1;
    *pLength = length;
    return 0;
}

unsigned long lm_download::getlength(const char* header)
{
    long length = 0;
    if (!header || parse_content_length(header, static_cast<int>(strnlen(header, kReplyBlockSize)), &length) != 0)
        return kNoLength;
    return static_cast<unsigned long>(length);
}

int lm_download::getstatus(const char* header)
{
    if (!header)
        return -1;
    return parse_status(header, static_cast<int>(strnlen(header, kReplyBlockSize)));
}
