// The lock is flock() on a file the kernel releases with the process, so
// a crash never leaves a stale lock behind. It lives in the session's
// folder of this user only; still, it is opened without following links and used only
// if it is a regular file of this user.
#include "app/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>


namespace {

const char kLockName[] = "lumora-updater.lock";

std::string describe(const char* what, int err)
{
    return std::string(what) + ": " + strerror(err);
}

} // namespace

lm_instance_lock::lm_instance_lock() : m_fd(-1)
{
}

lm_instance_lock::~lm_instance_lock()
{
    if (m_fd >= 0)
        close(m_fd);
}

std::string lm_instance_lock::default_path()
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/')
        return std::string(runtime) + "/" + kLockName;
    // Not /tmp: another user could put a file at the name first and so
    // switch the lock off. Without a session folder the wizard's lock on
    // its state folder is the one that counts.
    return std::string();
}

lm_lock_result lm_instance_lock::take(const std::string& path, std::string* error)
{
    std::string why;
    if (error == nullptr)
        error = &why;
    if (m_fd >= 0)
        return lm_lock_result::taken;
    // O_NONBLOCK: a FIFO planted at the name must not stall the start.
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
    if (fd < 0) {
        *error = describe("cannot open the lock file", errno);
        return lm_lock_result::failed;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        *error = describe("cannot stat the lock file", errno);
        close(fd);
        return lm_lock_result::failed;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
        *error = "the lock file is not a regular file of this user";
        close(fd);
        return lm_lock_result::failed;
    }
    int rc;
    do {
        rc = flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        close(fd);
        if (err == EWOULDBLOCK)
            return lm_lock_result::held;
        *error = describe("cannot lock the lock file", err);
        return lm_lock_result::failed;
    }
    m_fd = fd;
    return lm_lock_result::taken;
}
