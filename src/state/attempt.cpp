#include "state/attempt.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "state/history.h"
#include "state/sha256.h"
#include "state/state_dir.h"
#include "usb/image.h"

namespace {

int popcount6(int mask)
{
    int n = 0;
    for (int k = 0; k < 6; ++k)
        n += (mask >> k) & 1;
    return n;
}

// Bit k for each present stage of the image's plan; -1 for an image that
// does not check out.
int planned_stages(const char* image, int len, int variant)
{
    lm_stage_plan plan;
    if (lm_read_stage_plan(image, len, variant, &plan) != 0 || plan.stagenum == 0)
        return -1;
    int mask = 0;
    for (int k = 0; k < LM_STAGE_COUNT; ++k) {
        if (plan.stages[k].present)
            mask |= 1 << k;
    }
    return popcount6(mask) == plan.stagenum ? mask : -1;
}

} // namespace

lm_attempt::lm_attempt(int dirfd)
    : m_dirfd(dirfd), m_locked(false), m_active(false), m_generation(0), m_saved(false),
      m_warned(false), m_hasKept(false), m_pending(false)
{
}

lm_attempt::~lm_attempt()
{
    if (m_dirfd >= 0)
        close(m_dirfd);
}

void lm_attempt::warn(const char* what)
{
    if (m_warned)
        return;
    m_warned = true;
    fprintf(stderr, "lumora-updater: going on without saving the update (%s: %s)\n", what,
            strerror(errno));
}

// Before the image is saved the record names the attempt only: nothing in
// it vouches for whatever lies at the image's name. While an update saved
// from before is kept, the record is that update's, noting only that a
// newer attempt began (so that one dying is still found at the next start).
int lm_attempt::save_record()
{
    if (m_dirfd < 0)
        return -1;
    m_rec.updated = lm_utc_now();
    lm_journal_record rec = m_rec;
    if (m_pending) {
        rec = m_kept;
        rec.pending = m_rec.started;
        rec.updated = m_rec.updated;
    } else if (!m_saved) {
        rec.size = 0;
        rec.sha256.clear();
        rec.planned = rec.done = rec.sent = rec.written = rec.begun = 0;
    }
    if (lm_journal_save(m_dirfd, rec) == 0)
        return 0;
    warn("cannot write the journal");
    return -1;
}

void lm_attempt::discard_saved()
{
    if (m_dirfd < 0 || lm_journal_remove(m_dirfd) == 0)
        return;
    // A full disk may still allow emptying the file, which no longer parses.
    int fd = openat(m_dirfd, LM_JOURNAL_FILE, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

void lm_attempt::append_history(const lm_journal_record& rec, const std::string& ended,
                                const char* result, const std::string& error)
{
    lm_history_entry e;
    e.started = rec.started;
    e.ended = ended;
    e.variant = rec.variant;
    // An image from a file has no server: its source is the file's path.
    if (!rec.host.empty())
        e.image_url = "http://" + rec.host + rec.path;
    else
        e.image_url = rec.path;
    e.image_size = rec.size;
    e.image_sha256 = rec.sha256;
    e.stages_planned = rec.planned;
    e.stages_sent = rec.sent;
    e.stages_written = rec.written;
    e.result = result;
    e.error = error;
    if (m_dirfd >= 0 && lm_history_append(m_dirfd, e) != 0)
        warn("cannot write the history");
}

int lm_attempt::lock()
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_locked)
        return 0;
    int rc = lm_state_dir_lock(m_dirfd);
    m_locked = rc == 0;
    return rc;
}

int lm_attempt::recover(char** image, int* len, lm_journal_record* out)
{
    *image = nullptr;
    *len = 0;
    // Another wizard's attempt is running, not interrupted.
    if (lock() == 1)
        return -1;
    std::lock_guard<std::mutex> hold(m_lock);
    m_hasKept = false;
    lm_remove_temporaries(m_dirfd);
    lm_journal_record rec;
    if (lm_journal_load(m_dirfd, &rec) != 0) {
        lm_journal_remove(m_dirfd);  // absent, or not to be trusted
        return -1;
    }
    if (!rec.pending.empty()) {
        // A newer attempt died before its image arrived.
        lm_journal_record newer;
        newer.started = rec.pending;
        append_history(newer, rec.updated, "interrupted", std::string());
        rec.pending.clear();
    }
    if (!rec.logged) {
        append_history(rec, rec.updated, "interrupted", std::string());
        rec.logged = 1;
    }
    rec.updated = lm_utc_now();
    if (lm_journal_save(m_dirfd, rec) != 0) {
        warn("cannot write the journal");
        discard_saved();
        return -1;
    }
    char* data = nullptr;
    size_t size = 0;
    if (!rec.begun || rec.done == rec.planned ||
        lm_journal_load_image(m_dirfd, rec, &data, &size) != 0 ||
        planned_stages(data, static_cast<int>(size), rec.variant) != rec.planned) {
        free(data);
        lm_journal_remove(m_dirfd);
        return -1;
    }
    *image = data;
    *len = static_cast<int>(size);
    *out = rec;
    m_kept = rec;
    m_hasKept = true;
    return 0;
}

void lm_attempt::begin()
{
    if (active())
        end(false);
    std::lock_guard<std::mutex> hold(m_lock);
    m_rec = lm_journal_record();
    m_rec.started = lm_utc_now();
    m_error.clear();
    m_active = true;
    ++m_generation;
    m_saved = false;
    m_pending = m_hasKept;
    save_record();
}

void lm_attempt::resume(const lm_journal_record& rec)
{
    if (active())
        end(false);
    std::lock_guard<std::mutex> hold(m_lock);
    m_rec = rec;
    m_rec.started = lm_utc_now();
    m_rec.sent = m_rec.written = 0;
    m_rec.logged = 0;
    m_rec.pending.clear();
    m_error.clear();
    m_active = true;
    ++m_generation;
    m_saved = true;
    m_hasKept = false;
    m_pending = false;
    save_record();
}

void lm_attempt::image_ready(const char* data, int len, int variant, const char* host,
                             const char* path, const int* abandon)
{
    int planned = planned_stages(data, len, variant);
    unsigned generation;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (!m_active || planned < 0)
            return;
        generation = m_generation;
        m_rec.variant = variant;
        m_rec.host = host ? host : "";
        m_rec.path = path ? path : "";
        m_rec.size = len;
        m_rec.saved = lm_utc_now();
        m_rec.planned = planned;
        m_rec.done = m_rec.sent = m_rec.written = m_rec.begun = m_rec.logged = 0;
        m_saved = false;
        if (m_dirfd < 0) {
            errno = ENOENT;
            warn("no state folder");
            return;
        }
        // The new image has arrived whole: it takes the place of whatever
        // was saved. What cannot be replaced must not come back later.
        m_pending = false;
        m_hasKept = false;
        if (save_record() != 0) {  // names the image, vouches for none
            discard_saved();
            return;
        }
    }
    // The long part, without the lock: the main thread may report meanwhile.
    std::string sha = lm_sha256_hex(data, static_cast<size_t>(len), abandon);
    int rc = sha.empty() ? -1 : lm_journal_save_image(m_dirfd, data, static_cast<size_t>(len), abandon);
    int err = sha.empty() ? ECANCELED : errno;
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active || generation != m_generation) {
        // The attempt ended meanwhile and took its journal along: an image
        // saved after that would lie there with nothing naming it.
        if (rc == 0)
            lm_journal_remove_image(m_dirfd);
        return;
    }
    if (rc != 0) {
        lm_journal_remove_image(m_dirfd);
        errno = err;
        if (err != ECANCELED)
            warn("cannot save the image");
        return;
    }
    m_rec.sha256 = sha;
    m_saved = true;
    save_record();
}

void lm_attempt::set_variant(int variant)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_active && variant > 0)
        m_rec.variant = variant;
}

void lm_attempt::set_reader(const std::string& port, const std::string& serial)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active || m_pending || (m_rec.port == port && m_rec.serial == serial))
        return;
    m_rec.port = port;
    m_rec.serial = serial;
    save_record();
}

void lm_attempt::stage_started(int stage)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active || stage < 0 || stage > 5 || m_rec.begun)
        return;
    m_rec.begun = 1;
    save_record();
}

void lm_attempt::stage_sent(int stage)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active || stage < 0 || stage > 5)
        return;
    m_rec.sent |= 1 << stage;
    save_record();
}

void lm_attempt::stage_confirmed(int stage)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active || stage < 0 || stage > 5)
        return;
    m_rec.sent |= 1 << stage;
    m_rec.done |= 1 << stage;
    m_rec.written |= 1 << stage;
    save_record();
    if (m_saved && (m_rec.done & m_rec.planned) == m_rec.planned)
        lm_journal_remove_image(m_dirfd);
}

void lm_attempt::set_error(const char* text)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (m_active)
        m_error = text ? text : "";
}

void lm_attempt::end(bool complete)
{
    std::lock_guard<std::mutex> hold(m_lock);
    if (!m_active)
        return;
    m_active = false;
    ++m_generation;
    const char* result = complete ? "success" : (m_error.empty() ? "cancelled" : "failed");
    append_history(m_rec, lm_utc_now(), result, m_error);
    if (m_pending) {
        // No new image arrived: the saved update is as it was.
        m_pending = false;
        lm_journal_record kept = m_kept;
        kept.updated = lm_utc_now();
        if (m_dirfd >= 0 && lm_journal_save(m_dirfd, kept) != 0)
            warn("cannot write the journal");
        return;
    }
    bool unfinished = m_rec.begun && (m_rec.done & m_rec.planned) != m_rec.planned;
    if (m_saved && !complete && unfinished) {
        m_rec.logged = 1;
        save_record();
        return;
    }
    // Synced before anything goes on: a journal back after a power loss
    // would add "interrupted" to an attempt the history already holds.
    if (m_dirfd >= 0 && lm_journal_remove(m_dirfd) != 0)
        warn("cannot remove the journal");
}

int lm_attempt::known_variant(const std::string& sha256)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return lm_history_variant_of(m_dirfd, sha256);
}

bool lm_attempt::active()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_active;
}
