// The record is "key=value" lines after a first line naming the format.
// Every key must be there exactly once with a well-formed value; a record
// that is anything less is not trusted at all.
#include "state/journal.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>

#include "state/sha256.h"
#include "state/state_dir.h"

const char LM_JOURNAL_FILE[] = "journal";
const char LM_IMAGE_FILE[] = "image.bin";

namespace {

const char kHeader[] = "lumora-updater journal 1";
const size_t kMaxRecord = 8192;
const size_t kMaxImage = 256u << 20;  // the largest image a download accepts
const int kAllStages = 0x3f;

bool to_long(const std::string& text, long* out)
{
    if (text.empty() || text.size() > 12)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    *out = strtol(text.c_str(), nullptr, 10);
    return true;
}

bool to_mask(const std::string& text, int* out)
{
    long v = 0;
    if (!to_long(text, &v) || v > kAllStages)
        return false;
    *out = static_cast<int>(v);
    return true;
}

bool to_flag(const std::string& text, int* out)
{
    if (text != "0" && text != "1")
        return false;
    *out = text[0] - '0';
    return true;
}

bool is_sha256(const std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// Splits the lines after the header into keys and values; false for a
// line without '=' or a key given twice.
bool split_fields(const std::string& body, std::map<std::string, std::string>* fields)
{
    size_t at = 0;
    while (at < body.size()) {
        size_t end = body.find('\n', at);
        if (end == std::string::npos)
            return false;  // the last line must be whole
        std::string line = body.substr(at, end - at);
        at = end + 1;
        size_t eq = line.find('=');
        if (eq == std::string::npos || !fields->emplace(line.substr(0, eq), line.substr(eq + 1)).second)
            return false;
    }
    return true;
}

bool fill_record(std::map<std::string, std::string>& f, lm_journal_record* rec)
{
    static const char* const kKeys[] = {"variant", "host", "path", "size", "sha256", "saved",
                                        "started", "updated", "planned", "done", "written",
                                        "begun", "logged"};
    if (f.size() != sizeof kKeys / sizeof kKeys[0])
        return false;
    for (const char* key : kKeys) {
        if (f.find(key) == f.end())
            return false;
    }
    long variant = 0;
    if (!to_long(f["variant"], &variant) || (variant != 64 && variant != 32))
        return false;
    rec->variant = static_cast<int>(variant);
    rec->host = f["host"];
    rec->path = f["path"];
    if (rec->host.empty() || rec->path.empty())
        return false;
    if (!to_long(f["size"], &rec->size) || rec->size <= 0 ||
        static_cast<unsigned long>(rec->size) > kMaxImage)
        return false;
    rec->sha256 = f["sha256"];
    rec->saved = f["saved"];
    rec->started = f["started"];
    rec->updated = f["updated"];
    return is_sha256(rec->sha256) && to_mask(f["planned"], &rec->planned) && rec->planned != 0 &&
           to_mask(f["done"], &rec->done) && to_mask(f["written"], &rec->written) &&
           (rec->done & ~rec->planned) == 0 && (rec->written & ~rec->done) == 0 &&
           to_flag(f["begun"], &rec->begun) && to_flag(f["logged"], &rec->logged);
}

} // namespace

std::string lm_journal_format(const lm_journal_record& rec)
{
    std::string out = std::string(kHeader) + "\n";
    auto add = [&out](const char* key, const std::string& value) {
        out += key;
        out += '=';
        out += value;
        out += '\n';
    };
    add("variant", std::to_string(rec.variant));
    add("host", rec.host);
    add("path", rec.path);
    add("size", std::to_string(rec.size));
    add("sha256", rec.sha256);
    add("saved", rec.saved);
    add("started", rec.started);
    add("updated", rec.updated);
    add("planned", std::to_string(rec.planned));
    add("done", std::to_string(rec.done));
    add("written", std::to_string(rec.written));
    add("begun", std::to_string(rec.begun));
    add("logged", std::to_string(rec.logged));
    return out;
}

int lm_journal_parse(const char* text, size_t len, lm_journal_record* rec)
{
    std::string all(text, len);
    if (all.find('\0') != std::string::npos)
        return -1;
    std::string head = std::string(kHeader) + "\n";
    if (all.compare(0, head.size(), head) != 0)
        return -1;
    std::map<std::string, std::string> fields;
    lm_journal_record parsed;
    if (!split_fields(all.substr(head.size()), &fields) || !fill_record(fields, &parsed))
        return -1;
    *rec = parsed;
    return 0;
}

int lm_journal_save(const std::string& dir, const lm_journal_record& rec)
{
    // Host and path come from the manifest; a line break in them would
    // make a record that reads back differently.
    if (rec.host.find('\n') != std::string::npos || rec.path.find('\n') != std::string::npos) {
        errno = EINVAL;
        return -1;
    }
    std::string text = lm_journal_format(rec);
    return lm_write_atomic(dir, LM_JOURNAL_FILE, text.data(), text.size());
}

int lm_journal_load(const std::string& dir, lm_journal_record* rec)
{
    char* text = nullptr;
    size_t len = 0;
    if (dir.empty() || lm_read_whole(dir + "/" + LM_JOURNAL_FILE, kMaxRecord, &text, &len) != 0)
        return -1;
    int rc = lm_journal_parse(text, len, rec);
    free(text);
    return rc;
}

int lm_journal_save_image(const std::string& dir, const char* data, size_t len)
{
    return lm_write_atomic(dir, LM_IMAGE_FILE, data, len);
}

int lm_journal_load_image(const std::string& dir, const lm_journal_record& rec, char** data,
                          size_t* len)
{
    if (dir.empty() || lm_read_whole(dir + "/" + LM_IMAGE_FILE, kMaxImage, data, len) != 0)
        return -1;
    if (*len == static_cast<size_t>(rec.size) && lm_sha256_hex(*data, *len) == rec.sha256)
        return 0;
    free(*data);
    *data = nullptr;
    *len = 0;
    return -1;
}

void lm_journal_remove_image(const std::string& dir)
{
    if (!dir.empty())
        unlink((dir + "/" + LM_IMAGE_FILE).c_str());
}

void lm_journal_remove(const std::string& dir)
{
    if (dir.empty())
        return;
    lm_journal_remove_image(dir);
    unlink((dir + "/" + LM_JOURNAL_FILE).c_str());
}
