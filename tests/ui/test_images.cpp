// The compiled-in pictures: well-formed GdkPixdata streams of the sizes and
// sample formats the window lays out, decodable, and not blank.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gtest/gtest.h>

#include <cstring>

#include "ui/images/images.h"

namespace {

struct Asset {
    const char* name;
    const guint8* data;
    guint32 width, height;
    bool alpha;
};

const Asset kAssets[] = {
    {"lumora", lm_images::lumora, 48, 48, true},
    {"Left", lm_images::Left, 143, 344, false},
    {"welcome", lm_images::welcome, 316, 48, false},
    {"top", lm_images::top, 606, 92, false},
    {"power", lm_images::power, 189, 76, false},
    {"menu", lm_images::menu, 189, 76, false},
    {"link_1", lm_images::link_1, 402, 128, false},
    {"Link_2", lm_images::Link_2, 402, 128, false},
    {"finish", lm_images::finish, 225, 24, false},
#define LM_WORDED(lang)                                                                  \
    {"Left_" #lang, lm_images::Left_##lang, 143, 344, false},                           \
        {"welcome_" #lang, lm_images::welcome_##lang, 316, 48, false},                  \
        {"top_" #lang, lm_images::top_##lang, 606, 92, false},                          \
        {"power_" #lang, lm_images::power_##lang, 189, 76, false},                      \
        {"menu_" #lang, lm_images::menu_##lang, 189, 76, false},                        \
        {"link_1_" #lang, lm_images::link_1_##lang, 402, 128, false},                   \
        {"Link_2_" #lang, lm_images::Link_2_##lang, 402, 128, false},                   \
        {"finish_" #lang, lm_images::finish_##lang, 225, 24, false}
    LM_WORDED(en),
    LM_WORDED(zh_TW),
};

guint32 be32(const guint8* p) { return (guint32(p[0]) << 24) | (guint32(p[1]) << 16) | (guint32(p[2]) << 8) | p[3]; }

GdkPixbuf* decode(const guint8* data)
{
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* pb = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    return pb;
}

class Picture : public ::testing::TestWithParam<Asset> {};

TEST_P(Picture, HeaderDescribesUncompressedPixelsOfTheRightShape)
{
    const Asset& a = GetParam();
    const guint8* p = a.data;
    ASSERT_EQ(std::memcmp(p, "GdkP", 4), 0);
    guint32 length = be32(p + 4), type = be32(p + 8), rowstride = be32(p + 12);
    EXPECT_EQ(type, a.alpha ? 0x01010002u : 0x01010001u);
    EXPECT_EQ(be32(p + 16), a.width);
    EXPECT_EQ(be32(p + 20), a.height);
    guint32 channels = a.alpha ? 4 : 3;
    EXPECT_EQ(rowstride % 4, 0u);
    EXPECT_GE(rowstride, a.width * channels);
    EXPECT_LT(rowstride, a.width * channels + 4);
    EXPECT_EQ(length, 24 + rowstride * a.height);
}

TEST_P(Picture, DecodesToAPictureWithContent)
{
    const Asset& a = GetParam();
    GdkPixbuf* pb = decode(a.data);
    ASSERT_NE(pb, nullptr);
    EXPECT_EQ(guint32(gdk_pixbuf_get_width(pb)), a.width);
    EXPECT_EQ(guint32(gdk_pixbuf_get_height(pb)), a.height);
    EXPECT_EQ(bool(gdk_pixbuf_get_has_alpha(pb)), a.alpha);

    // A real drawing has many colours, not a flat fill.
    const guint8* px = gdk_pixbuf_get_pixels(pb);
    int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
    guint8 lo = 255, hi = 0;
    for (guint32 y = 0; y < a.height; ++y) {
        for (guint32 x = 0; x < a.width; ++x) {
            guint8 g = px[y * stride + x * n + 1];
            lo = std::min(lo, g);
            hi = std::max(hi, g);
        }
    }
    EXPECT_GT(hi - lo, 100) << a.name << " looks blank";
    g_object_unref(pb);
}

INSTANTIATE_TEST_SUITE_P(Assets, Picture, ::testing::ValuesIn(kAssets),
                         [](const ::testing::TestParamInfo<Asset>& info) { return std::string(info.param.name); });

// Counts pixels where channel `main` clearly dominates the other two.
int dominant_pixels(const guint8* data, int main)
{
    GdkPixbuf* pb = decode(data);
    if (pb == nullptr) {
        return -1;
    }
    const guint8* px = gdk_pixbuf_get_pixels(pb);
    int n = gdk_pixbuf_get_n_channels(pb), stride = gdk_pixbuf_get_rowstride(pb);
    int count = 0;
    for (int y = 0; y < gdk_pixbuf_get_height(pb); ++y) {
        for (int x = 0; x < gdk_pixbuf_get_width(pb); ++x) {
            const guint8* c = px + y * stride + x * n;
            int others = std::max(c[(main + 1) % 3], c[(main + 2) % 3]);
            count += c[main] > others + 80 ? 1 : 0;
        }
    }
    g_object_unref(pb);
    return count;
}

TEST(LinkPictures, AttachedShowsGreenIndicatorAndDetachedRed)
{
    const int red = 0, green = 1;
    for (const char* language : {"", "en", "zh_TW"}) {
        SCOPED_TRACE(language);
        const guint8* attached = lm_images::localised(lm_images::link_1, language);
        const guint8* detached = lm_images::localised(lm_images::Link_2, language);
        EXPECT_GT(dominant_pixels(attached, green), 300);
        EXPECT_LT(dominant_pixels(attached, red), 20);
        EXPECT_GT(dominant_pixels(detached, red), 300);
        EXPECT_LT(dominant_pixels(detached, green), 20);
    }
}

// The words follow the catalogue: its own drawing, else its base
// language's, else the English one; without a catalogue the source
// pictures, and the icon (no words) always.
TEST(LocalisedPictures, FollowTheCatalogueLanguage)
{
    using namespace lm_images;
    EXPECT_EQ(localised(top, ""), top);
    EXPECT_EQ(localised(top, "zh_TW"), top_zh_TW);
    EXPECT_EQ(localised(power, "en"), power_en);
    EXPECT_EQ(localised(menu, "en_GB"), menu_en);
    EXPECT_EQ(localised(Left, "de"), Left_en);
    EXPECT_EQ(localised(lumora, "zh_TW"), lumora);
    EXPECT_NE(std::memcmp(top_zh_TW, top, be32(top + 4)), 0); // drawn anew, not a copy
}

} // namespace
