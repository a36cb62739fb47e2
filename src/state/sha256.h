// SHA-256 of a buffer, as 64 lower-case hex digits.
#ifndef LUMORA_STATE_SHA256_H
#define LUMORA_STATE_SHA256_H

#include <cstddef>
#include <string>

// Empty when `abandon` (when given) read non-zero before the end: a large
// image is hashed in pieces, looking at it between them.
std::string lm_sha256_hex(const void* data, size_t len, const int* abandon = nullptr);

#endif
