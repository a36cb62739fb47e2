// The user's own folder for what the updater keeps between runs, and the
// one way files are written into it.
#ifndef LUMORA_STATE_STATE_DIR_H
#define LUMORA_STATE_STATE_DIR_H

#include <cstddef>
#include <string>

// $XDG_STATE_HOME/lumora-updater, or ~/.local/state/lumora-updater, made
// with mode 0700 when missing. Empty when no such folder can be had (no
// home, not writable, or something else than this user's folder there).
std::string lm_state_dir();

// Replaces dir/name with `len` bytes: a temporary file of mode 0600 in the
// same folder, fsync, rename over the name, fsync of the folder. A crash
// leaves either the old file or the new one whole. 0, or -1 with errno.
int lm_write_atomic(const std::string& dir, const char* name, const void* data, size_t len);

// Reads a whole regular file of at most max_len bytes into a malloc'ed
// buffer (*data, freed by the caller). 0, or -1 when absent or too long.
int lm_read_whole(const std::string& path, size_t max_len, char** data, size_t* len);

#endif
