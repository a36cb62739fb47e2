// Reply header parsing on arbitrary bytes, as the fetch gathers them: the
// header end is looked for in what arrived, then status, length and transfer
// coding are read from the header block alone. A chunked body is decoded in
// place in two pieces, as two reads would bring it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "net/chunked.h"
#include "net/download.h"

namespace {

const long kFuzzBodyLimit = 4096;

void decode_chunked(char* body, long len)
{
    lm_chunked decoder(kFuzzBodyLimit);
    long half = len / 2;
    long first = decoder.feed(body, half, body);
    if (first < 0)
        return;
    long second = decoder.feed(body + half, len - half, body + first);
    // The body never outgrows its framing nor the limit.
    if (first > half || (second >= 0 && first + second > len) || decoder.body_length() > kFuzzBodyLimit)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > static_cast<size_t>(lm_download::kMaxHeaderSize))
        return 0;
    // An exactly sized copy, so any read past the received bytes is caught.
    char* block = static_cast<char*>(malloc(size ? size : 1));
    memcpy(block, data, size);
    const int len = static_cast<int>(size);

    int header_len = lm_download::find_header_end(block, len);
    if (header_len >= 0) {
        if (header_len < 4 || header_len > len || memcmp(block + header_len - 4, "\r\n\r\n", 4) != 0)
            abort();
        long length = -1;
        bool chunked = false;
        if (lm_download::parse_reply_head(block, header_len, &length, &chunked) == 0) {
            if (chunked ? length != lm_download::kChunkedLength : (length < 0 || length > lm_download::kMaxImageSize))
                abort();
            if (chunked)
                decode_chunked(block + header_len, len - header_len);
        }
    }
    long length = -1;
    if (lm_download::parse_content_length(block, len, &length) == 0 && length < 0)
        abort();
    lm_download::parse_status(block, len);
    free(block);
    return 0;
}
