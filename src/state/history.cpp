// JSON is written by hand: the fields are few and fixed, and only strings
// need care (quotes, backslashes and control characters are escaped; UTF-8
// text such as the error dialogs' Chinese passes through as it is).
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
std::vector<std::string> old_lines(const std::string& path)
{
    std::vector<std::string> lines;
    char* text = nullptr;
    size_t len = 0;
    if (lm_read_whole(path, kMaxHistory, &text, &len) != 0)
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
    for (unsigned char c : text) {
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
    out += ",\"stages_written\":" + step_list(e.stages_written);
    out += ",\"result\":" + lm_json_string(e.result);
    out += ",\"error\":" + lm_json_string(e.error);
    return out + "}";
}

int lm_history_append(const std::string& dir, const lm_history_entry& entry, int keep)
{
    if (dir.empty() || keep < 1)
        return -1;
    std::vector<std::string> lines = old_lines(dir + "/" + LM_HISTORY_FILE);
    size_t first = lines.size() >= static_cast<size_t>(keep) ? lines.size() - keep + 1 : 0;
    std::string text;
    for (size_t i = first; i < lines.size(); ++i)
        text += lines[i] + "\n";
    text += lm_history_line(entry) + "\n";
    return lm_write_atomic(dir, LM_HISTORY_FILE, text.data(), text.size());
}
