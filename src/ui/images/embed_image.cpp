// Build tool: writes a PNG as a serialised GdkPixdata stream (uncompressed,
// rows padded to four bytes) in a C++ byte array lm_images::NAME.
// gdk-pixbuf-csource did this until gdk-pixbuf stopped padding the rows it
// serialises; the wizard's pictures keep the padded layout wherever built.
// Usage: embed_image NAME IN.png OUT.cpp
#include <gdk-pixbuf/gdk-pixbuf.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr guint32 kPixdataMagic = 0x47646b50;  // "GdkP"
constexpr guint32 kHeaderLength = 24;
// Raw encoding, 8-bit samples; the colour type is RGB (1) or RGBA (2).
constexpr guint32 kRaw8 = 0x01010000;

void put_be32(std::vector<guint8>& out, guint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(guint8(v >> shift));
}

// The stream gdk_pixbuf_new_from_inline() reads; empty for a picture that
// is not 8-bit RGB or RGBA.
std::vector<guint8> serialise(GdkPixbuf* pixbuf)
{
    const guint32 width = guint32(gdk_pixbuf_get_width(pixbuf));
    const guint32 height = guint32(gdk_pixbuf_get_height(pixbuf));
    const bool alpha = gdk_pixbuf_get_has_alpha(pixbuf);
    const guint32 channels = alpha ? 4 : 3;
    if (gdk_pixbuf_get_bits_per_sample(pixbuf) != 8 || guint32(gdk_pixbuf_get_n_channels(pixbuf)) != channels)
        return {};
    const guint32 row = width * channels;
    const guint32 rowstride = (row + 3) & ~3u;
    const guint8* pixels = gdk_pixbuf_read_pixels(pixbuf);
    const guint32 source_stride = guint32(gdk_pixbuf_get_rowstride(pixbuf));

    std::vector<guint8> out;
    out.reserve(kHeaderLength + size_t(rowstride) * height);
    put_be32(out, kPixdataMagic);
    put_be32(out, kHeaderLength + rowstride * height);
    put_be32(out, kRaw8 | (alpha ? 2u : 1u));
    put_be32(out, rowstride);
    put_be32(out, width);
    put_be32(out, height);
    for (guint32 y = 0; y < height; ++y) {
        const guint8* line = pixels + size_t(y) * source_stride;
        out.insert(out.end(), line, line + row);
        out.insert(out.end(), rowstride - row, 0);
    }
    return out;
}

bool write_source(const char* name, const char* png, const std::vector<guint8>& stream, const char* path)
{
    FILE* f = std::fopen(path, "w");
    if (!f)
        return false;
    std::fprintf(f, "// Generated from %s; do not edit.\n#include \"ui/images/images.h\"\n\n", png);
    std::fprintf(f, "namespace lm_images {\n// Aligned: the pixel rows are read in place.\n");
    std::fprintf(f, "alignas(4) const guint8 %s[] = {", name);
    for (size_t i = 0; i < stream.size(); ++i)
        std::fprintf(f, "%s%u,", i % 24 == 0 ? "\n" : "", stream[i]);
    std::fprintf(f, "\n};\n} // namespace lm_images\n");
    const bool written = !std::ferror(f);
    return std::fclose(f) == 0 && written;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: embed_image NAME IN.png OUT.cpp\n");
        return 2;
    }
    GError* error = nullptr;
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_file(argv[2], &error);
    if (!pixbuf) {
        std::fprintf(stderr, "embed_image: %s: %s\n", argv[2], error->message);
        g_error_free(error);
        return 1;
    }
    std::vector<guint8> stream = serialise(pixbuf);
    g_object_unref(pixbuf);
    if (stream.empty()) {
        std::fprintf(stderr, "embed_image: %s: not 8-bit RGB or RGBA\n", argv[2]);
        return 1;
    }
    if (!write_source(argv[1], argv[2], stream, argv[3])) {
        std::fprintf(stderr, "embed_image: cannot write %s\n", argv[3]);
        std::remove(argv[3]);
        return 1;
    }
    return 0;
}
