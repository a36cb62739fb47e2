// Fuzzes the image's stage table reader: whatever the bytes, every block it
// hands out lies inside the image and has a positive length.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "usb/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1 || size > (1u << 20))
        return 0;
    int variant = (data[0] & 1) ? 64 : 32;
    // The image without the selector byte, in a buffer of exactly its size.
    size_t len = size - 1;
    char* image = static_cast<char*>(malloc(len ? len : 1));
    if (len)
        memcpy(image, data + 1, len);

    lm_stage_plan plan;
    int rc = lm_read_stage_plan(image, int(len), variant, &plan);
    if (rc != 0 && rc != -1)
        abort();
    int present = 0;
    for (int k = 0; k < LM_STAGE_COUNT; ++k) {
        const lm_stage& s = plan.stages[k];
        if (!s.present) {
            if (s.data || s.len != 0)
                abort();
            continue;
        }
        ++present;
        const char* begin = reinterpret_cast<const char*>(s.data);
        if (rc != 0 || s.len <= 0 || begin < image || begin + s.len > image + len)
            abort();
        // Touch both ends: ASan reports any block outside the buffer.
        volatile char first = begin[0], last = begin[s.len - 1];
        (void)first;
        (void)last;
    }
    if (present != plan.stagenum)
        abort();
    free(image);
    return 0;
}
