// The image's stage table and the flash address plan.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "usb/image.h"

namespace {

struct entry {
    uint32_t offset;
    int32_t len;
};

void put_le32(std::vector<char>& img, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        img[at + i] = char((v >> (8 * i)) & 0xff);
}

// An image of `size` bytes whose table holds the given entries.
std::vector<char> make_image(size_t size, const std::vector<entry>& entries)
{
    std::vector<char> img(size, 0);
    for (size_t i = 0; i < entries.size(); ++i) {
        put_le32(img, 64 + 8 * i, entries[i].offset);
        put_le32(img, 68 + 8 * i, uint32_t(entries[i].len));
    }
    return img;
}

// Reads the plan from a heap copy of exactly the image's size, so that a
// read past its end is caught by AddressSanitizer.
int read_plan(const std::vector<char>& img, int variant, lm_stage_plan* plan)
{
    std::unique_ptr<char[]> exact(new char[img.size()]);
    memcpy(exact.get(), img.data(), img.size());
    int rc = lm_read_stage_plan(exact.get(), int(img.size()), variant, plan);
    // Blocks point into the buffer; re-base them onto img for the checks.
    for (lm_stage& s : plan->stages) {
        if (s.data)
            s.data = reinterpret_cast<const unsigned char*>(img.data()) +
                     (reinterpret_cast<const char*>(s.data) - exact.get());
    }
    return rc;
}

const std::vector<entry> kSixBlocks = {{112, 100}, {212, 200}, {412, 300},
                                       {712, 400}, {1112, 500}, {1612, 600}};

TEST(StagePlan, SixPresentEntriesGoInStageOrderToTheirAddresses)
{
    std::vector<char> img = make_image(2212, kSixBlocks);
    const unsigned entries[6] = {0, 5, 1, 2, 3, 4};
    const unsigned addrs[6] = {0x0, 0x3400000, 0x40000, 0x200000, 0x1200000, 0x3480000};
    for (int variant : {64, 32, 7}) {
        lm_stage_plan plan;
        ASSERT_EQ(0, read_plan(img, variant, &plan));
        EXPECT_EQ(6, plan.stagenum);
        for (int k = 0; k < 6; ++k) {
            const lm_stage& s = plan.stages[k];
            const entry& e = kSixBlocks[entries[k]];
            EXPECT_EQ(entries[k], s.entry) << k;
            EXPECT_EQ(addrs[k], s.addrs) << k;
            EXPECT_EQ(1, s.present);
            EXPECT_EQ(e.len, s.len);
            EXPECT_EQ(reinterpret_cast<const unsigned char*>(img.data()) + e.offset, s.data);
        }
    }
}

TEST(StagePlan, AbsentEntriesAreSkippedWhereverTheyAre)
{
    // Entry 5 (stage 1) has no length, entry 1 (stage 2) no offset: both
    // absent, although later stages are present.
    std::vector<entry> table = kSixBlocks;
    table[5] = {1612, 0};
    table[1] = {0, 200};
    std::vector<char> img = make_image(2212, table);
    lm_stage_plan plan;
    ASSERT_EQ(0, read_plan(img, 64, &plan));
    EXPECT_EQ(4, plan.stagenum);
    const int present[6] = {1, 0, 0, 1, 1, 1};
    for (int k = 0; k < 6; ++k) {
        EXPECT_EQ(present[k], plan.stages[k].present) << k;
        if (!present[k]) {
            EXPECT_EQ(nullptr, plan.stages[k].data) << k;
            EXPECT_EQ(0, plan.stages[k].len) << k;
        }
    }
    EXPECT_EQ(0x3480000u, plan.stages[5].addrs);
}

TEST(StagePlan, TablesThatReachOutsideTheImageAreRefused)
{
    struct bad_case {
        const char* what;
        size_t size;
        entry e;
    } cases[] = {
        {"block past the end", 2212, {2000, 213}},
        {"offset past the end", 2212, {5000, 1}},
        {"offset near 4 GiB", 2212, {0xFFFFFFF0u, 0x20}},
        {"huge length", 2212, {112, INT32_MAX}},
        {"negative length", 2212, {112, -1}},
        {"negative length, no offset", 2212, {0, INT32_MIN}},
    };
    for (const bad_case& c : cases) {
        std::vector<entry> table = kSixBlocks;
        table[3] = c.e;
        std::vector<char> img = make_image(c.size, table);
        lm_stage_plan plan;
        memset(&plan, 0x5A, sizeof plan);
        EXPECT_EQ(-1, read_plan(img, 64, &plan)) << c.what;
        EXPECT_EQ(0, plan.stagenum) << c.what;
        for (const lm_stage& s : plan.stages)
            EXPECT_EQ(0, s.present) << c.what;
    }

    // A block that ends exactly at the image's end is fine.
    std::vector<entry> table = kSixBlocks;
    table[3] = {2000, 212};
    lm_stage_plan plan;
    EXPECT_EQ(0, read_plan(make_image(2212, table), 64, &plan));
}

TEST(StagePlan, ImagesTooShortForTheTableAreRefused)
{
    lm_stage_plan plan;
    for (size_t size : {size_t(1), size_t(64), size_t(111)}) {
        std::vector<char> img(size, 0x11);
        EXPECT_EQ(-1, read_plan(img, 64, &plan)) << size;
    }
    EXPECT_EQ(-1, lm_read_stage_plan(nullptr, 4096, 64, &plan));
    // Exactly the table, all entries absent: valid and empty.
    std::vector<char> bare(112, 0);
    ASSERT_EQ(0, read_plan(bare, 32, &plan));
    EXPECT_EQ(0, plan.stagenum);
}

} // namespace
