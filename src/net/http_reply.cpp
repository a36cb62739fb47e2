// Reading the reply's header block. Every search is bounded by the bytes
// received: a block that fills the whole read holds no terminating zero.
// Field names are case-insensitive (RFC 9110, 5.1).
#include <limits.h>
#include <string.h>
#include <strings.h>

#include "net/download.h"

namespace {

const char kHeaderEnd[] = "\r\n\r\n";
const char kStatusOk[] = "HTTP/1.1 200";
const char kLengthName[] = "Content-Length";
const char kCodingName[] = "Transfer-Encoding";

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

// One header line, [name, colon) and the value up to its line end.
struct field {
    const char* name;
    int name_len;
    const char* value;
    const char* value_end;
};

bool name_is(const field& f, const char* name)
{
    int len = static_cast<int>(strlen(name));
    return f.name_len == len && strncasecmp(f.name, name, len) == 0;
}

// The value with its surrounding blanks removed.
void trim(const char** pFrom, const char** pTo)
{
    while (*pFrom < *pTo && is_blank(**pFrom))
        (*pFrom)++;
    while (*pTo > *pFrom && is_blank((*pTo)[-1]))
        (*pTo)--;
}

// Digits only: a sign, a second number or trailing garbage is refused.
int parse_length_value(const field& f, long* pValue)
{
    const char* at = f.value;
    const char* end = f.value_end;
    trim(&at, &end);
    if (at == end)
        return -1;
    long value = 0;
    for (; at < end; at++) {
        if (*at < '0' || *at > '9')
            return -1;
        if (value > (LONG_MAX - 9) / 10)
            return -1;
        value = value * 10 + (*at - '0');
    }
    *pValue = value;
    return 0;
}

// The fields after the status line, up to the empty line. fn returns -1 to stop.
template <typename Fn>
int for_each_field(const char* block, int len, Fn fn)
{
    const char* end = block + len;
    const char* line = find_bytes(block, len, "\r\n", 2);
    while (line) {
        line += 2;
        const char* line_end = find_bytes(line, static_cast<int>(end - line), "\r\n", 2);
        if (!line_end || line_end == line)
            return 0;  // cut off, or the empty line: what follows is the body
        const char* colon = static_cast<const char*>(memchr(line, ':', line_end - line));
        if (colon && colon > line && fn(field{line, static_cast<int>(colon - line), colon + 1, line_end}) != 0)
            return -1;
        line = line_end;
    }
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
    // Any reason phrase: a proxy or a CDN may word it differently.
    const int need = static_cast<int>(sizeof(kStatusOk)) - 1;
    if (len < need + 1 || memcmp(block, kStatusOk, need) != 0)
        return -1;
    return block[need] == ' ' || block[need] == '\r' ? 0 : -1;
}

int lm_download::parse_content_length(const char* block, int len, long* pLength)
{
    // Two different values leave the body's length unknown (RFC 9112, 6.3);
    // the same value repeated is fine.
    bool found = false;
    long length = 0;
    int step = for_each_field(block, len, [&](const field& f) {
        if (!name_is(f, kLengthName))
            return 0;
        long value = 0;
        if (parse_length_value(f, &value) != 0 || (found && value != length))
            return -1;
        found = true;
        length = value;
        return 0;
    });
    if (step != 0 || !found)
        return -1;
    *pLength = length;
    return 0;
}

int lm_download::parse_transfer_coding(const char* block, int len, bool* pChunked)
{
    // Only "chunked" alone is understood; gzip or chunked applied twice is not.
    int codings = 0;
    int step = for_each_field(block, len, [&](const field& f) {
        if (!name_is(f, kCodingName))
            return 0;
        const char* at = f.value;
        const char* end = f.value_end;
        trim(&at, &end);
        codings++;
        return codings == 1 && end - at == 7 && strncasecmp(at, "chunked", 7) == 0 ? 0 : -1;
    });
    if (step != 0)
        return -1;
    *pChunked = codings == 1;
    return 0;
}

int lm_download::parse_reply_head(const char* block, int len, long* pLength, bool* pChunked)
{
    if (parse_status(block, len) != 0)
        return -1;
    bool chunked = false;
    if (parse_transfer_coding(block, len, &chunked) != 0)
        return -1;
    long length = kChunkedLength;
    // Chunked framing takes precedence over any Content-Length (RFC 9112, 6.3).
    if (!chunked && parse_content_length(block, len, &length) != 0)
        return -1;
    if (length > kMaxImageSize || (chunked && !pChunked))
        return -1;
    *pLength = length;
    if (pChunked)
        *pChunked = chunked;
    return 0;
}

unsigned long lm_download::getlength(const char* header)
{
    long length = 0;
    if (!header || parse_content_length(header, static_cast<int>(strnlen(header, kMaxHeaderSize)), &length) != 0)
        return kNoLength;
    return static_cast<unsigned long>(length);
}

int lm_download::getstatus(const char* header)
{
    if (!header)
        return -1;
    return parse_status(header, static_cast<int>(strnlen(header, kMaxHeaderSize)));
}
