#include "app/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

// The file the user named: a link at the name is resolved once, here.
bool named_file(const char* path, std::string* target)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return false;
    if (!S_ISLNK(st.st_mode)) {
        *target = path;
        return true;
    }
    char* real = realpath(path, nullptr);
    if (!real)
        return false;
    *target = real;
    free(real);
    return true;
}

bool read_all(int fd, char* out, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t n = read(fd, out + got, len - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;  // the file shrank under us, or cannot be read
        got += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

lm_image_file_result lm_read_image_file(const char* path, char** data, size_t* len)
{
    *data = nullptr;
    *len = 0;
    std::string target;
    if (!path || !named_file(path, &target))
        return LM_IMAGE_FILE_CANNOT_OPEN;
    // Non-blocking: a FIFO opens at once and is then refused by its type.
    int fd = open(target.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == ELOOP ? LM_IMAGE_FILE_NOT_REGULAR : LM_IMAGE_FILE_CANNOT_OPEN;
    lm_image_file_result rc = LM_IMAGE_FILE_READ;
    struct stat st;
    char* buf = nullptr;
    if (fstat(fd, &st) != 0) {
        rc = LM_IMAGE_FILE_CANNOT_OPEN;
    } else if (!S_ISREG(st.st_mode)) {
        rc = LM_IMAGE_FILE_NOT_REGULAR;
    } else if (static_cast<unsigned long long>(st.st_size) > LM_IMAGE_FILE_MAX) {
        rc = LM_IMAGE_FILE_TOO_LARGE;
    } else {
        size_t size = static_cast<size_t>(st.st_size);
        buf = static_cast<char*>(malloc(size ? size : 1));
        if (!buf || !read_all(fd, buf, size)) {
            free(buf);
            buf = nullptr;
            rc = LM_IMAGE_FILE_CANNOT_OPEN;
        } else {
            *data = buf;
            *len = size;
        }
    }
    close(fd);
    return rc;
}
