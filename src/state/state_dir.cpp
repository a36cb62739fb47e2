// The state folder is private to the user: anything found at its name that
// is not a folder of this user with mode 0700 is not used.
#include "state/state_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kFolderName[] = "lumora-updater";
// Temporary files are ".tmp-NAME-XXXXXXXX": hidden, and never one of the
// names the updater reads.
const char kTempPrefix[] = ".tmp-";
const size_t kPiece = 4u << 20;       // written between looks at `abandon`
const size_t kSyncEvery = 32u << 20;  // synced as it goes: the last sync stays short

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

bool abandoned(const int* abandon)
{
    return abandon != nullptr && g_atomic_int_get(abandon) != 0;
}

int write_all(int fd, const char* data, size_t len, const int* abandon)
{
    size_t since_sync = 0;
    while (len > 0) {
        if (abandoned(abandon)) {
            errno = ECANCELED;
            return -1;
        }
        size_t piece = len < kPiece ? len : kPiece;
        ssize_t n = write(fd, data, piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        data += n;
        len -= static_cast<size_t>(n);
        since_sync += static_cast<size_t>(n);
        if (since_sync >= kSyncEvery) {
            since_sync = 0;
            if (fdatasync(fd) != 0)
                return -1;
        }
    }
    return 0;
}

// Creates a new temporary file for `name`; its name goes to *temp.
int make_temp(int dirfd, const char* name, std::string* temp)
{
    for (int tries = 0; tries < 100; ++tries) {
        char tail[16];
        snprintf(tail, sizeof tail, "-%08x", g_random_int());
        *temp = std::string(kTempPrefix) + name + tail;
        int fd = openat(dirfd, temp->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                        0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// Earlier versions named a temporary file NAME.XXXXXX (mkstemp).
bool earlier_temporary(const char* entry)
{
    static const char* const kNames[] = {"journal", "image.bin", "history.jsonl"};
    for (const char* name : kNames) {
        size_t n = strlen(name);
        if (strncmp(entry, name, n) == 0 && entry[n] == '.' && strlen(entry + n + 1) == 6)
            return true;
    }
    return false;
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

int lm_state_dir_open()
{
    std::string path = lm_state_dir();
    if (path.empty())
        return -1;
    int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    // What was checked by path may have been swapped since: the folder is
    // checked again on what was opened.
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & 0777) != 0700 && fchmod(fd, 0700) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int lm_state_dir_lock(int dirfd)
{
    if (dirfd < 0)
        return -1;
    int rc;
    do {
        rc = flock(dirfd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0)
        return 0;
    return errno == EWOULDBLOCK ? 1 : -1;
}

int lm_write_atomic(int dirfd, const char* name, const void* data, size_t len,
                    const int* abandon)
{
    if (dirfd < 0) {
        errno = ENOENT;
        return -1;
    }
    std::string temp;
    int fd = make_temp(dirfd, name, &temp);
    if (fd < 0)
        return -1;
    int rc = write_all(fd, static_cast<const char*>(data), len, abandon);
    if (rc == 0 && abandoned(abandon)) {
        errno = ECANCELED;
        rc = -1;
    }
    if (rc == 0)
        rc = fsync(fd);
    int err = errno;
    if (close(fd) != 0 && rc == 0) {
        rc = -1;
        err = errno;
    }
    if (rc == 0 && renameat(dirfd, temp.c_str(), dirfd, name) != 0) {
        rc = -1;
        err = errno;
    }
    if (rc != 0) {
        unlinkat(dirfd, temp.c_str(), 0);
        errno = err;
        return -1;
    }
    return fsync(dirfd);
}

int lm_read_whole(int dirfd, const char* name, size_t max_len, char** data, size_t* len)
{
    *data = nullptr;
    *len = 0;
    if (dirfd < 0)
        return -1;
    // O_NONBLOCK: a FIFO at the name must not hold the program up.
    int fd = openat(dirfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
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

void lm_remove_temporaries(int dirfd)
{
    if (dirfd < 0)
        return;
    int fd = openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd >= 0 ? fdopendir(fd) : nullptr;
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    for (struct dirent* e; (e = readdir(dir)) != nullptr;) {
        if (strncmp(e->d_name, kTempPrefix, sizeof kTempPrefix - 1) == 0 ||
            earlier_temporary(e->d_name))
            unlinkat(dirfd, e->d_name, 0);
    }
    closedir(dir);
}

int lm_remove_file(int dirfd, const char* name)
{
    if (dirfd < 0)
        return -1;
    return unlinkat(dirfd, name, 0) == 0 || errno == ENOENT ? 0 : -1;
}

int lm_sync_dir(int dirfd)
{
    return dirfd >= 0 ? fsync(dirfd) : -1;
}
