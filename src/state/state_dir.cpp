// The state folder is private to the user: anything found at its name that
// is not a folder of this user with mode 0700 is not used.
#include "state/state_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const char kFolderName[] = "lumora-updater";

bool absolute(const char* path)
{
    return path != nullptr && path[0] == '/';
}

// Makes every missing folder of path (an absolute path) with mode 0700.
int make_folders(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return -1;
    }
    return 0;
}

bool private_folder(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid())
        return false;
    return (st.st_mode & 0777) == 0700 || chmod(path.c_str(), 0700) == 0;
}

int write_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return 0;
}

int fsync_folder(const std::string& dir)
{
    int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = fsync(fd);
    close(fd);
    return rc;
}

} // namespace

std::string lm_state_dir()
{
    std::string base;
    const char* state_home = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    if (absolute(state_home))
        base = state_home;
    else if (absolute(home))
        base = std::string(home) + "/.local/state";
    else
        return std::string();
    std::string dir = base + "/" + kFolderName;
    if (make_folders(dir) != 0 || !private_folder(dir))
        return std::string();
    return dir;
}

int lm_write_atomic(const std::string& dir, const char* name, const void* data, size_t len)
{
    if (dir.empty()) {
        errno = ENOENT;
        return -1;
    }
    std::string path = dir + "/" + name;
    std::string temp = path + ".XXXXXX";
    // mkstemp makes the file with mode 0600 and never opens an existing one.
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0)
        return -1;
    int rc = write_all(fd, static_cast<const char*>(data), len);
    if (rc == 0)
        rc = fsync(fd);
    int err = errno;
    if (close(fd) != 0 && rc == 0) {
        rc = -1;
        err = errno;
    }
    if (rc == 0 && rename(temp.c_str(), path.c_str()) != 0) {
        rc = -1;
        err = errno;
    }
    if (rc != 0) {
        unlink(temp.c_str());
        errno = err;
        return -1;
    }
    return fsync_folder(dir);
}

int lm_read_whole(const std::string& path, size_t max_len, char** data, size_t* len)
{
    *data = nullptr;
    *len = 0;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    char* buf = nullptr;
    size_t size = 0;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= max_len) {
        size = static_cast<size_t>(st.st_size);
        buf = static_cast<char*>(malloc(size + 1));
    }
    size_t got = 0;
    while (buf != nullptr && got < size) {
        ssize_t n = read(fd, buf + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (buf == nullptr || got != size) {
        free(buf);
        return -1;
    }
    buf[size] = '\0';  // text files may be read as C strings
    *data = buf;
    *len = size;
    return 0;
}
