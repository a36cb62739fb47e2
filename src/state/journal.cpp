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

const char kHeader[] = "lumora-updater journal 3";
const char kSecondHeader[] = "lumora-updater journal 2";
const char kFirstHeader[] = "lumora-updater journal 1";
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

// A port names a sysfs device entry ("1-1.2"); a serial is printable text.
bool is_port(const std::string& text)
{
    if (text.size() > 31)
        return false;
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || c == '-' || c == '.'))
            return false;
    }
    return true;
}

bool is_serial(const std::string& text)
{
    if (text.size() > 126)
        return false;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f)
            return false;
    }
    return true;
}

bool has_keys(std::map<std::string, std::string>& f, const char* const* keys, size_t n)
{
    if (f.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (f.find(keys[i]) == f.end())
            return false;
    }
    return true;
}

// A record written when the download began, before any image was saved.
bool fill_without_image(std::map<std::string, std::string>& f, lm_journal_record* rec)
{
    long variant = 0;
    if (f["variant"] == "-1")
        rec->variant = -1;
    else if (to_long(f["variant"], &variant) && (variant == 64 || variant == 32))
        rec->variant = static_cast<int>(variant);
    else
        return false;
    return f["sha256"].empty() && f["planned"] == "0" && f["done"] == "0" &&
           f["sent"] == "0" && f["written"] == "0" && f["begun"] == "0" &&
           to_flag(f["logged"], &rec->logged);
}

bool fill_record(std::map<std::string, std::string>& f, lm_journal_record* rec)
{
    rec->host = f["host"];
    rec->path = f["path"];
    rec->saved = f["saved"];
    rec->started = f["started"];
    rec->updated = f["updated"];
    if (f["size"] == "0") {
        rec->size = 0;
        return fill_without_image(f, rec);
    }
    long variant = 0;
    if (!to_long(f["variant"], &variant) || (variant != 64 && variant != 32))
        return false;
    rec->variant = static_cast<int>(variant);
    // An image from a file has a path and no server.
    if (rec->path.empty() || rec->path[0] != '/')
        return false;
    if (!to_long(f["size"], &rec->size) || rec->size <= 0 ||
        static_cast<unsigned long>(rec->size) > kMaxImage)
        return false;
    rec->sha256 = f["sha256"];
    return is_sha256(rec->sha256) && to_mask(f["planned"], &rec->planned) && rec->planned != 0 &&
           to_mask(f["done"], &rec->done) && to_mask(f["sent"], &rec->sent) &&
           to_mask(f["written"], &rec->written) && (rec->done & ~rec->planned) == 0 &&
           (rec->sent & ~rec->planned) == 0 && (rec->written & ~rec->done) == 0 &&
           (rec->written & ~rec->sent) == 0 && to_flag(f["begun"], &rec->begun) &&
           to_flag(f["logged"], &rec->logged);
}

const char* const kKeys[] = {"variant", "host", "path", "size", "sha256", "saved", "started",
                             "updated", "planned", "done", "sent", "written", "begun", "logged",
                             "port", "serial", "pending"};
const size_t kKeyCount = sizeof kKeys / sizeof kKeys[0];
// The second format had neither the reader nor a pending attempt.
const size_t kSecondKeyCount = kKeyCount - 3;

// The reader and the pending attempt, in a record of the current format.
bool fill_reader(std::map<std::string, std::string>& f, lm_journal_record* rec)
{
    rec->port = f["port"];
    rec->serial = f["serial"];
    rec->pending = f["pending"];
    // A pending attempt waits behind a saved image, never behind none.
    return is_port(rec->port) && is_serial(rec->serial) &&
           (rec->pending.empty() || rec->size > 0);
}

// A record of the first format counted a stage done once it was sent: none
// of its stages is taken as confirmed, so a resume writes them all again.
bool fill_first_format(std::map<std::string, std::string>& f, lm_journal_record* rec)
{
    if (f.find("sent") != f.end() || f.find("written") == f.end())
        return false;
    f["sent"] = f["written"];
    f["done"] = "0";
    f["written"] = "0";
    return has_keys(f, kKeys, kSecondKeyCount) && fill_record(f, rec);
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
    add("sent", std::to_string(rec.sent));
    add("written", std::to_string(rec.written));
    add("begun", std::to_string(rec.begun));
    add("logged", std::to_string(rec.logged));
    add("port", rec.port);
    add("serial", rec.serial);
    add("pending", rec.pending);
    return out;
}

int lm_journal_parse(const char* text, size_t len, lm_journal_record* rec)
{
    std::string all(text, len);
    if (all.find('\0') != std::string::npos)
        return -1;
    const std::string headers[] = {std::string(kHeader) + "\n", std::string(kSecondHeader) + "\n",
                                   std::string(kFirstHeader) + "\n"};
    int format = 0;
    while (format < 3 && all.compare(0, headers[format].size(), headers[format]) != 0)
        ++format;
    if (format == 3)
        return -1;
    std::map<std::string, std::string> fields;
    lm_journal_record parsed;
    if (!split_fields(all.substr(headers[format].size()), &fields))
        return -1;
    bool ok = false;
    if (format == 0)
        ok = has_keys(fields, kKeys, kKeyCount) && fill_record(fields, &parsed) &&
             fill_reader(fields, &parsed);
    else if (format == 1)
        ok = has_keys(fields, kKeys, kSecondKeyCount) && fill_record(fields, &parsed);
    else
        ok = fill_first_format(fields, &parsed);
    if (!ok)
        return -1;
    *rec = parsed;
    return 0;
}

int lm_journal_save(int dirfd, const lm_journal_record& rec)
{
    // Host and path come from the manifest; a line break in them would
    // make a record that reads back differently.
    if (rec.host.find('\n') != std::string::npos || rec.path.find('\n') != std::string::npos ||
        !is_port(rec.port) || !is_serial(rec.serial)) {
        errno = EINVAL;
        return -1;
    }
    std::string text = lm_journal_format(rec);
    return lm_write_atomic(dirfd, LM_JOURNAL_FILE, text.data(), text.size());
}

int lm_journal_load(int dirfd, lm_journal_record* rec)
{
    char* text = nullptr;
    size_t len = 0;
    if (lm_read_whole(dirfd, LM_JOURNAL_FILE, kMaxRecord, &text, &len) != 0)
        return -1;
    int rc = lm_journal_parse(text, len, rec);
    free(text);
    return rc;
}

int lm_journal_save_image(int dirfd, const char* data, size_t len, const int* abandon)
{
    return lm_write_atomic(dirfd, LM_IMAGE_FILE, data, len, abandon);
}

int lm_journal_load_image(int dirfd, const lm_journal_record& rec, char** data, size_t* len)
{
    if (rec.size <= 0 || lm_read_whole(dirfd, LM_IMAGE_FILE, kMaxImage, data, len) != 0)
        return -1;
    if (*len == static_cast<size_t>(rec.size) && lm_sha256_hex(*data, *len) == rec.sha256)
        return 0;
    free(*data);
    *data = nullptr;
    *len = 0;
    return -1;
}

void lm_journal_remove_image(int dirfd)
{
    lm_remove_file(dirfd, LM_IMAGE_FILE);
}

int lm_journal_remove(int dirfd)
{
    int image = lm_remove_file(dirfd, LM_IMAGE_FILE);
    int journal = lm_remove_file(dirfd, LM_JOURNAL_FILE);
    int synced = lm_sync_dir(dirfd);
    return image == 0 && journal == 0 && synced == 0 ? 0 : -1;
}
