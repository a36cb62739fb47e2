// The journal of the update under way: the saved image and a small record
// of what it is and which stages went to the reader. It outlives the
// program, so an update cut short can be finished from the saved image.
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
    int done = 0;         // stages written, over all attempts
    int written = 0;      // stages written in the current attempt
    int begun = 0;        // 1 once a stage write was started
    int logged = 0;       // 1 once the current attempt is in the history
};

extern const char LM_JOURNAL_FILE[];   // "journal"
extern const char LM_IMAGE_FILE[];     // "image.bin"

std::string lm_journal_format(const lm_journal_record& rec);
// 0 when text is a whole, valid record; -1 otherwise (nothing is guessed).
int lm_journal_parse(const char* text, size_t len, lm_journal_record* rec);

int lm_journal_save(const std::string& dir, const lm_journal_record& rec);
// 0 with the record; -1 when there is none or it does not parse.
int lm_journal_load(const std::string& dir, lm_journal_record* rec);
int lm_journal_save_image(const std::string& dir, const char* data, size_t len);
// The saved image when its size and SHA-256 are those of the record:
// 0 and a malloc'ed buffer, else -1.
int lm_journal_load_image(const std::string& dir, const lm_journal_record& rec, char** data,
                          size_t* len);
void lm_journal_remove_image(const std::string& dir);
void lm_journal_remove(const std::string& dir);

#endif
