// JSON is written by hand: the fields are few and fixed, and only strings
// need care (quotes, backslashes and control characters are escaped; valid
// UTF-8 such as the error dialogs' Chinese passes through as it is, any
// other byte is replaced, so the file stays valid UTF-8).
#include "state/history.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "state/state_dir.h"

const char LM_HISTORY_FILE[] = "history.jsonl";

namespace {

const size_t kMaxHistory = 4u << 20;

std::string step_list(int mask)
{
    std::string out = "[";
    for (int k = 0; k < 6; ++k) {
        if (!(mask & (1 << k)))
            continue;
        if (out.size() > 1)
            out += ',';
        out += std::to_string(k + 1);
    }
    return out + "]";
}

// The whole lines of the old file that look like entries; a line cut
// short by a crash or damaged otherwise is dropped.
std::vector<std::string> old_lines(int dirfd)
{
    std::vector<std::string> lines;
    char* text = nullptr;
    size_t len = 0;
    if (lm_read_whole(dirfd, LM_HISTORY_FILE, kMaxHistory, &text, &len) != 0)
        return lines;
    std::string all(text, len);
    free(text);
    size_t at = 0;
    for (size_t end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = all.substr(at, end - at);
        if (line.size() >= 2 && line.front() == '{' && line.back() == '}')
            lines.push_back(line);
    }
    return lines;
}

// Length of the well-formed UTF-8 sequence at text[at], or 0 (overlong
// forms, surrogates and code points above U+10FFFF are not well-formed).
size_t utf8_length(const std::string& text, size_t at)
{
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t n;
    unsigned min;
    unsigned cp;
    if (c < 0x80)
        return 1;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2, min = 0x80, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3, min = 0x800, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4, min = 0x10000, cp = c & 0x07;
    } else {
        return 0;
    }
    if (at + n > text.size())
        return 0;
    for (size_t i = 1; i < n; ++i) {
        unsigned char t = static_cast<unsigned char>(text[at + i]);
        if ((t & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (t & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

} // namespace

std::string lm_utc_now()
{
    time_t now = time(nullptr);
    struct tm utc;
    char text[32];
    if (gmtime_r(&now, &utc) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0)
        return std::string();
    return text;
}

std::string lm_json_string(const std::string& text)
{
    std::string out = "\"";
    for (size_t at = 0; at < text.size(); ++at) {
        unsigned char c = static_cast<unsigned char>(text[at]);
        size_t n = utf8_length(text, at);
        if (n == 0) {
            out += "\xef\xbf\xbd";  // U+FFFD for the byte
            continue;
        }
        if (n > 1) {
            out.append(text, at, n);
            at += n - 1;
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char esc[8];
                snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string lm_history_line(const lm_history_entry& e)
{
    std::string out = "{";
    out += "\"started\":" + lm_json_string(e.started);
    out += ",\"ended\":" + lm_json_string(e.ended);
    out += ",\"variant\":" + (e.variant < 0 ? std::string("null") : std::to_string(e.variant));
    out += ",\"image_url\":" + lm_json_string(e.image_url);
    out += ",\"image_size\":" + std::to_string(e.image_size);
    out += ",\"image_sha256\":" + lm_json_string(e.image_sha256);
    out += ",\"stages_planned\":" + step_list(e.stages_planned);
    out += ",\"stages_sent\":" + step_list(e.stages_sent);
    out += ",\"stages_written\":" + step_list(e.stages_written);
    out += ",\"result\":" + lm_json_string(e.result);
    out += ",\"error\":" + lm_json_string(e.error);
    return out + "}";
}

int lm_history_variant_of(int dirfd, const std::string& sha256)
{
    if (dirfd < 0 || sha256.empty())
        return -1;
    const std::string image = "\"image_sha256\":" + lm_json_string(sha256);
    const std::string key = "\"variant\":";
    std::vector<std::string> lines = old_lines(dirfd);
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        size_t at = line->find(key);
        if (line->find(image) == std::string::npos || at == std::string::npos)
            continue;
        int variant = atoi(line->c_str() + at + key.size());
        if (variant == 64 || variant == 32)
            return variant;
    }
    return -1;
}

int lm_history_append(int dirfd, const lm_history_entry& entry, int keep)
{
    if (dirfd < 0 || keep < 1)
        return -1;
    std::vector<std::string> lines = old_lines(dirfd);
    size_t first = lines.size() >= static_cast<size_t>(keep) ? lines.size() - keep + 1 : 0;
    std::string text;
    for (size_t i = first; i < lines.size(); ++i)
        text += lines[i] + "\n";
    text += lm_history_line(entry) + "\n";
    return lm_write_atomic(dirfd, LM_HISTORY_FILE, text.data(), text.size());
}
