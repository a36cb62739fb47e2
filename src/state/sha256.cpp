#include "state/sha256.h"

#include <glib.h>

std::string lm_sha256_hex(const void* data, size_t len, const int* abandon)
{
    GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
    const guchar* at = static_cast<const guchar*>(data);
    // g_checksum_update takes a gssize, and a quit must not wait for the
    // whole of a large image: pieces of 4 MiB.
    const size_t piece = 4u << 20;
    while (len > 0) {
        if (abandon != nullptr && g_atomic_int_get(abandon) != 0) {
            g_checksum_free(sum);
            return std::string();
        }
        size_t n = len < piece ? len : piece;
        g_checksum_update(sum, at, static_cast<gssize>(n));
        at += n;
        len -= n;
    }
    std::string hex = g_checksum_get_string(sum);
    g_checksum_free(sum);
    return hex;
}
