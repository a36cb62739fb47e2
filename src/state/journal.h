// The journal of the update under way: the saved image and a small record
// of what it is and which stages went to the reader. It outlives the
// program, so an update cut short can be finished from the saved image.
// A stage is "sent" once its bytes went out and the write returned, and
// "done" only once the reader left the bus and came back (what the wizard
// counts as written): a resume writes every stage not done, a sent one too.
// The record is written when the download begins; until the image is
// saved it has no image (size 0), so that any attempt that dies is found.
#ifndef LUMORA_STATE_JOURNAL_H
#define LUMORA_STATE_JOURNAL_H

#include <cstddef>
#include <string>

// Stage masks: bit k stands for stage k (step k + 1).
struct lm_journal_record {
    int variant = -1;
    std::string host;     // where the image came from
    std::string path;
    long size = 0;        // bytes of the image
    std::string sha256;   // of the image, 64 lower-case hex digits
    std::string saved;    // when the image was saved (ISO 8601, UTC)
    std::string started;  // when the current attempt began
    std::string updated;  // when this record was last written
    int planned = 0;      // stages present in the image
    int done = 0;         // stages confirmed by the reader, over all attempts
    int sent = 0;         // stages sent in the current attempt
    int written = 0;      // stages confirmed in the current attempt
    int begun = 0;        // 1 once a stage write was started
    int logged = 0;       // 1 once the current attempt is in the history
    // The reader written: where it is plugged in (its sysfs entry, e.g.
    // 1-1.2) and its serial number; empty until a stage began, and in
    // records of the earlier formats.
    std::string port;
    std::string serial;
    // When a newer attempt began that has no image yet: the update this
    // record names stays the one to finish until that attempt's image has
    // arrived whole. Empty when there is none.
    std::string pending;
};

extern const char LM_JOURNAL_FILE[];   // "journal"
extern const char LM_IMAGE_FILE[];     // "image.bin"

std::string lm_journal_format(const lm_journal_record& rec);
// 0 when text is a whole, valid record; -1 otherwise (nothing is guessed).
int lm_journal_parse(const char* text, size_t len, lm_journal_record* rec);

// dirfd: the state folder's descriptor (lm_state_dir_open).
int lm_journal_save(int dirfd, const lm_journal_record& rec);
// 0 with the record; -1 when there is none or it does not parse.
int lm_journal_load(int dirfd, lm_journal_record* rec);
// abandon: see lm_write_atomic.
int lm_journal_save_image(int dirfd, const char* data, size_t len, const int* abandon = nullptr);
// The saved image when its size and SHA-256 are those of the record:
// 0 and a malloc'ed buffer, else -1.
int lm_journal_load_image(int dirfd, const lm_journal_record& rec, char** data, size_t* len);
void lm_journal_remove_image(int dirfd);
// Removes the journal and the image, then syncs the folder, so that the
// removal outlives a power loss: 0, or -1 when something could not go.
int lm_journal_remove(int dirfd);

#endif
