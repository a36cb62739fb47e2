// One wizard per user session: an exclusive lock held for the life of the
// process, so a second launch leaves the running one alone with the reader.
#ifndef LUMORA_APP_INSTANCE_LOCK_H
#define LUMORA_APP_INSTANCE_LOCK_H

#include <string>

enum class lm_lock_result {
    taken,   // this process holds the lock now
    held,    // another process of this user holds it
    failed,  // no lock could be had either way (the file cannot be made...)
};

class lm_instance_lock {
public:
    lm_instance_lock();
    ~lm_instance_lock();
    lm_instance_lock(const lm_instance_lock&) = delete;
    lm_instance_lock& operator=(const lm_instance_lock&) = delete;

    // Takes the lock on `path` without waiting. On `failed`, `error` (when
    // given) says why.
    lm_lock_result take(const std::string& path, std::string* error = nullptr);

    // The lock file of this user's session, in $XDG_RUNTIME_DIR when that
    // names an absolute folder; empty otherwise (the wizard's lock on its
    // state folder then stands alone).
    static std::string default_path();

private:
    int m_fd;
};

#endif
