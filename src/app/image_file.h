// An image file the user brings on the command line, read whole before the
// wizard trusts any of it: a regular file (a FIFO, a folder or a device is
// refused without waiting on it), of at most LM_IMAGE_FILE_MAX bytes.
#ifndef LUMORA_APP_IMAGE_FILE_H
#define LUMORA_APP_IMAGE_FILE_H

#include <cstddef>

const size_t LM_IMAGE_FILE_MAX = 256u << 20;  // as much as a download may bring

enum lm_image_file_result {
    LM_IMAGE_FILE_READ = 0,
    LM_IMAGE_FILE_CANNOT_OPEN,  // missing, or not readable by the user
    LM_IMAGE_FILE_NOT_REGULAR,  // a FIFO, a folder, a device, a socket
    LM_IMAGE_FILE_TOO_LARGE,
};

// A link at `path` itself is the user's own naming and is followed; the
// file it resolves to is then opened without following any further link.
// LM_IMAGE_FILE_READ with the bytes (malloc'ed, freed by the caller).
lm_image_file_result lm_read_image_file(const char* path, char** data, size_t* len);

#endif
