#include "usb/image.h"

#include <cstdint>
#include <cstring>

const unsigned int FLASH_ADDRS_64[6] = {0x0, 0x40000, 0x200000, 0x1200000, 0x3480000, 0x3400000};
const unsigned int FLASH_ADDRS_32[6] = {0x0, 0x40000, 0x200000, 0x1200000, 0x3480000, 0x3400000};
const unsigned int ADDR_INDEX[6] = {0, 5, 1, 2, 3, 4};

namespace {

uint32_t get_le32(const unsigned char* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

struct table_entry {
    uint32_t offset;
    int32_t len;
};

table_entry read_entry(const unsigned char* image, int i)
{
    const unsigned char* p = image + LM_STAGE_TABLE_OFFSET + 8 * i;
    table_entry e;
    e.offset = get_le32(p);
    e.len = static_cast<int32_t>(get_le32(p + 4));
    return e;
}

bool is_present(const table_entry& e)
{
    return e.offset != 0 && e.len > 0;
}

// A negative length, or a present block that does not lie wholly inside
// the image, makes the whole image unusable.
bool is_valid(const table_entry& e, int image_len)
{
    if (e.len < 0)
        return false;
    if (!is_present(e))
        return true;
    return static_cast<uint64_t>(e.offset) + static_cast<uint64_t>(e.len) <=
           static_cast<uint64_t>(image_len);
}

} // namespace

int lm_read_stage_plan(const char* image, int image_len, int variant, lm_stage_plan* plan)
{
    if (!plan)
        return -1;
    memset(plan, 0, sizeof *plan);
    if (!image || image_len < LM_STAGE_TABLE_END)
        return -1;

    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(image);
    table_entry entries[LM_STAGE_COUNT];
    for (int i = 0; i < LM_STAGE_COUNT; ++i) {
        entries[i] = read_entry(bytes, i);
        if (!is_valid(entries[i], image_len))
            return -1;
    }

    const unsigned int* addrs = variant == 64 ? FLASH_ADDRS_64 : FLASH_ADDRS_32;
    lm_stage_plan result;
    memset(&result, 0, sizeof result);
    for (int k = 0; k < LM_STAGE_COUNT; ++k) {
        unsigned int e = ADDR_INDEX[k];
        lm_stage& stage = result.stages[k];
        stage.entry = e;
        stage.addrs = addrs[e];
        if (!is_present(entries[e]))
            continue;  // absent: no data, nothing to write
        stage.present = 1;
        stage.data = bytes + entries[e].offset;
        stage.len = entries[e].len;
        ++result.stagenum;
    }
    *plan = result;
    return 0;
}
