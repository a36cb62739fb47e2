// One update attempt, from "下载" (or from taking up an unfinished update)
// to its end: kept in the journal while it runs and added to the history
// when it ends. Disk trouble never stops an update; it goes on unsaved and
// says so once on standard error. The worker and the main thread both
// report to it, so every operation takes its lock; the image is hashed and
// saved outside it, so the main thread never waits for that.
#ifndef LUMORA_STATE_ATTEMPT_H
#define LUMORA_STATE_ATTEMPT_H

#include <mutex>
#include <string>

#include "state/journal.h"

class lm_attempt {
public:
    // dirfd: the state folder's descriptor (lm_state_dir_open), owned from
    // here on; -1 keeps nothing.
    explicit lm_attempt(int dirfd);
    ~lm_attempt();
    lm_attempt(const lm_attempt&) = delete;
    lm_attempt& operator=(const lm_attempt&) = delete;

    // Takes the state folder's lock, held until this object goes: 0 taken
    // (or taken before), 1 another wizard holds it, -1 no lock can be had.
    int lock();
    // At start. Touches nothing while another wizard holds the lock.
    // Otherwise temporary files of a save that never ended go, and an
    // attempt that never ended goes to the history as "interrupted".
    // Returns 0 with the saved image (malloc'ed) and its record when an
    // update whose writing began can be finished with it: its size,
    // SHA-256 and stage plan check out, and this start could note in the
    // journal that it has seen it (a folder that cannot be written offers
    // nothing, rather than the same old update after a newer one). Anything
    // that does not check out is removed. An update offered and not taken
    // up stays saved until a newer attempt's image has arrived whole.
    int recover(char** image, int* len, lm_journal_record* rec);
    // "下载" pressed; an attempt still open ends first. The journal names
    // the attempt from now on; an update saved from before stays the one
    // to finish until this attempt's image has arrived (image_ready).
    void begin();
    // The user takes up the recovered update: a new attempt on the saved image.
    void resume(const lm_journal_record& rec);
    // The download is complete: when its stage plan checks out, the image
    // and its record are saved. Once `abandon` reads non-zero (a quit) the
    // hash and the save stop and nothing of them is kept.
    void image_ready(const char* data, int len, int variant, const char* host, const char* path,
                     const int* abandon = nullptr);
    void set_variant(int variant);
    // The reader the stages go to: where it is plugged in and its serial.
    void set_reader(const std::string& port, const std::string& serial);
    // Before a stage's write; once the write returned success (the bytes
    // went out); once the reader left and came back (the stage counts as
    // written). When the last stage is confirmed the saved image is removed.
    void stage_started(int stage);
    void stage_sent(int stage);
    void stage_confirmed(int stage);
    // The text of an error dialog just shown.
    void set_error(const char* text);
    // The attempt ends: success when complete, else failed after an error
    // dialog, else cancelled. An image whose writing began and did not
    // finish is kept for the next start; any other image this attempt
    // saved is removed.
    void end(bool complete);
    bool active();
    // The variant an image of this SHA-256 was fetched or written for
    // before, from the history; -1 when it was never seen.
    int known_variant(const std::string& sha256);

private:
    int save_record();
    // The journal and image on disk, when they cannot be replaced by the
    // current attempt's: removed, or at least made unreadable.
    void discard_saved();
    void warn(const char* what);
    void append_history(const lm_journal_record& rec, const std::string& ended, const char* result,
                        const std::string& error);

    std::mutex m_lock;
    int m_dirfd;
    bool m_locked;
    lm_journal_record m_rec;
    std::string m_error;
    bool m_active;
    unsigned m_generation;  // counts attempts: a save finishing late knows its own
    bool m_saved;   // the image of m_rec is on disk
    bool m_warned;  // the one line on standard error was written
    lm_journal_record m_kept;  // the saved update recovered at start, not taken up
    bool m_hasKept;
    bool m_pending;  // the current attempt has no image yet and m_kept stays saved
};

#endif
