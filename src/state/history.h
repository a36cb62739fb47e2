// history.jsonl: one JSON object per update attempt, the newest last.
#ifndef LUMORA_STATE_HISTORY_H
#define LUMORA_STATE_HISTORY_H

#include <string>

// Stage masks: bit k stands for step k + 1.
struct lm_history_entry {
    std::string started;     // ISO 8601, UTC
    std::string ended;
    int variant = -1;        // -1: not known (written as null)
    std::string image_url;
    long image_size = 0;
    std::string image_sha256;
    int stages_planned = 0;
    int stages_sent = 0;     // their bytes went to the reader
    int stages_written = 0;  // the reader came back after them
    std::string result;      // success, failed, cancelled, interrupted
    std::string error;       // text of the last error dialog, or ""
};

extern const char LM_HISTORY_FILE[];  // "history.jsonl"
const int LM_HISTORY_KEEP = 200;

// The current time as "2026-12-08T16:04:48Z".
std::string lm_utc_now();
// A string as a JSON string literal, quotes included. Bytes that are not
// valid UTF-8 (text from the manifest may hold anything) become U+FFFD.
std::string lm_json_string(const std::string& text);
// The entry as one JSON object, without a line end.
std::string lm_history_line(const lm_history_entry& entry);
// Appends the entry, keeping the newest `keep` lines; the file is
// replaced whole and synced (dirfd: the state folder). 0, or -1 with errno.
int lm_history_append(int dirfd, const lm_history_entry& entry,
                      int keep = LM_HISTORY_KEEP);
// The variant (64 or 32) of the newest attempt that wrote or fetched the
// image with this SHA-256, or -1 when the history knows none.
int lm_history_variant_of(int dirfd, const std::string& sha256);

#endif
