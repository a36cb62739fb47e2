// Reply header parsing on arbitrary bytes, as the fetch gathers them: the
// header end is looked for in what arrived, then status and length are read
// from the header block alone.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "net/download.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > lm_download::kMaxHeaderSize)
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
        if (lm_download::parse_reply_head(block, header_len, &length) == 0 &&
            (length < 0 || length > lm_download::kMaxImageSize))
            abort();
    }
    long length = -1;
    if (lm_download::parse_content_length(block, len, &length) == 0 && length < 0)
        abort();
    lm_download::parse_status(block, len);
    free(block);
    return 0;
}
