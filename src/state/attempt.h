// One update attempt, from "下载" (or from taking up an unfinished update)
// to its end: kept in the journal while it runs and added to the history
// when it ends. Disk trouble never stops an update; it goes on unsaved and
// says so once on standard error. The worker and the main thread both
// report to it, so every operation takes its lock.
#ifndef LUMORA_STATE_ATTEMPT_H
#define LUMORA_STATE_ATTEMPT_H

#include <mutex>
#include <string>

#include "state/journal.h"

class lm_attempt {
public:
    // dir: the state folder; empty keeps nothing.
    explicit lm_attempt(const std::string& dir);
    lm_attempt(const lm_attempt&) = delete;
    lm_attempt& operator=(const lm_attempt&) = delete;

    // At start. An attempt that never ended goes to the history as
    // "interrupted". Returns 0 with the saved image (malloc'ed) and its
    // record when an update whose writing began can be finished with it:
    // its size, SHA-256 and stage plan check out. Anything that does not
    // is removed.
    int recover(char** image, int* len, lm_journal_record* rec);
    // "下载" pressed; an attempt still open ends first.
    void begin();
    // The user takes up the recovered update: a new attempt on the saved image.
    void resume(const lm_journal_record& rec);
    // The download is complete: when its stage plan checks out, the image
    // and its record are saved, replacing what was there.
    void image_ready(const char* data, int len, int variant, const char* host, const char* path);
    void set_variant(int variant);
    // Before a stage's write, and once the write returned success. When
    // the last stage is written the saved image is removed.
    void stage_started(int stage);
    void stage_written(int stage);
    // The text of an error dialog just shown.
    void set_error(const char* text);
    // The attempt ends: success when complete, else failed after an error
    // dialog, else cancelled. An image whose writing began and did not
    // finish is kept for the next start; any other image this attempt
    // saved is removed.
    void end(bool complete);
    bool active();

private:
    void save_record();
    void warn(const char* what);
    void append_history(const lm_journal_record& rec, const std::string& ended, const char* result,
                        const std::string& error);

    std::mutex m_lock;
    std::string m_dir;
    lm_journal_record m_rec;
    std::string m_error;
    bool m_active;
    bool m_saved;   // the image of m_rec is on disk
    bool m_warned;  // the one line on standard error was written
};

#endif
