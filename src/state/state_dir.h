// The user's own folder for what the updater keeps between runs, opened
// once and then used by descriptor: every file in it is opened, replaced
// and removed relative to that descriptor, never by path again.
#ifndef LUMORA_STATE_STATE_DIR_H
#define LUMORA_STATE_STATE_DIR_H

#include <cstddef>
#include <string>

// $XDG_STATE_HOME/lumora-updater, or ~/.local/state/lumora-updater, made
// with mode 0700 when missing. Empty when no such folder can be had (no
// home, not writable, or something else than this user's folder there).
std::string lm_state_dir();

// The same folder, opened (O_DIRECTORY|O_NOFOLLOW) and checked on the
// descriptor itself: a folder of this user, mode 0700. -1 when none.
int lm_state_dir_open();

// The folder's lock, held by one wizard for as long as it runs (flock on
// the descriptor; the kernel drops it with the process). 0 taken, 1 another
// process holds it, -1 no lock can be had.
int lm_state_dir_lock(int dirfd);

// Replaces `name` in the folder with `len` bytes: a temporary file of mode
// 0600, synced, renamed over the name, then the folder synced. A crash
// leaves the old file or the new one whole, and at worst a temporary file
// that lm_remove_temporaries takes away. While `abandon` (when given)
// reads 0 the write goes on; once it reads non-zero the write stops within
// a few MiB and leaves nothing (errno ECANCELED). 0, or -1 with errno.
int lm_write_atomic(int dirfd, const char* name, const void* data, size_t len,
                    const int* abandon = nullptr);

// Reads a whole regular file of at most max_len bytes into a malloc'ed
// buffer (*data, freed by the caller). Anything else at the name (a FIFO,
// a device, a link) is refused without blocking. 0, or -1.
int lm_read_whole(int dirfd, const char* name, size_t max_len, char** data, size_t* len);

// Removes the temporary files of writes that never ended.
void lm_remove_temporaries(int dirfd);

// Removes `name` from the folder, whatever it is (a folder excepted): 0
// when it is gone (or was never there), -1 when it could not be removed.
int lm_remove_file(int dirfd, const char* name);
// Makes the folder's entries (names added, replaced, removed) durable.
int lm_sync_dir(int dirfd);

#endif
