#include "script.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

namespace e2e {

namespace {

std::string trim(const std::string& s)
{
    size_t b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos)
        return "";
    size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

std::string unescape(const std::string& raw)
{
    std::string s = raw;
    if (s.size() >= 2 && s.front() == '"' && s.back() == '"')
        s = s.substr(1, s.size() - 2);
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            char c = s[++i];
            out += c == 'n' ? '\n' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Splits "WORD rest" into the word and the trimmed rest.
void split_word(const std::string& line, std::string* word, std::string* rest)
{
    size_t sp = line.find_first_of(" \t");
    if (sp == std::string::npos) {
        *word = line;
        rest->clear();
        return;
    }
    *word = line.substr(0, sp);
    *rest = trim(line.substr(sp + 1));
}

bool parse_number(const std::string& s, double* value)
{
    if (s.empty())
        return false;
    char* end = nullptr;
    *value = strtod(s.c_str(), &end);
    return end && *end == '\0' && *value >= 0;
}

const std::map<std::string, step_kind>& verbs()
{
    static const std::map<std::string, step_kind> table = {
        {"click", step_kind::click},
        {"key", step_kind::key},
        {"expect-focus", step_kind::expect_focus},
        {"expect-label", step_kind::expect_label},
        {"expect-label-match", step_kind::expect_label_match},
        {"steady-label", step_kind::steady_label},
        {"expect-sensitive", step_kind::expect_sensitive},
        {"expect-insensitive", step_kind::expect_insensitive},
        {"expect-page", step_kind::expect_page},
        {"dialog", step_kind::dialog},
        {"screenshot", step_kind::screenshot},
        {"screenshot-screen", step_kind::screenshot_screen},
        {"picture-change", step_kind::picture_change},
        {"sleep", step_kind::sleep},
        {"signal", step_kind::signal},
        {"wait-signal", step_kind::wait_signal},
        {"pace", step_kind::pace},
        {"terminate", step_kind::terminate},
        {"expect-exit", step_kind::expect_exit},
    };
    return table;
}

bool parse_arguments(step* st, const std::string& rest, std::string* error)
{
    switch (st->kind) {
    case step_kind::dialog: {
        size_t arrow = rest.rfind("->");
        if (arrow == std::string::npos) {
            *error = "dialog needs 'TEXT -> ok|cancel|none'";
            return false;
        }
        st->text = unescape(trim(rest.substr(0, arrow)));
        st->reply = trim(rest.substr(arrow + 2));
        if (st->reply != "ok" && st->reply != "cancel" && st->reply != "none") {
            *error = "dialog answer must be ok, cancel or none";
            return false;
        }
        return true;
    }
    case step_kind::steady_label: {
        std::string secs, text;
        split_word(rest, &secs, &text);
        st->text = unescape(text);
        if (!parse_number(secs, &st->seconds)) {
            *error = "steady-label needs SECONDS TEXT";
            return false;
        }
        return true;
    }
    case step_kind::picture_change:
        if (sscanf(rest.c_str(), "%dx%d", &st->width, &st->height) != 2 || st->width <= 0 ||
            st->height <= 0) {
            *error = "picture-change needs WIDTHxHEIGHT";
            return false;
        }
        return true;
    case step_kind::sleep:
    case step_kind::pace:
    case step_kind::terminate:
        if (!parse_number(rest, &st->seconds)) {
            *error = "a number is needed";
            return false;
        }
        return true;
    case step_kind::expect_exit:
        return true;
    case step_kind::expect_label:
        st->text = unescape(rest);
        return true;
    default:
        st->text = unescape(rest);
        if (st->text.empty()) {
            *error = "an argument is needed";
            return false;
        }
        return true;
    }
}

} // namespace

bool parse_script(const std::string& text, std::vector<step>* steps, std::string* error)
{
    std::istringstream in(text);
    std::string raw;
    double default_timeout = 30;
    int line_no = 0;
    while (std::getline(in, raw)) {
        ++line_no;
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        std::string word, rest;
        split_word(line, &word, &rest);
        double timeout = default_timeout;
        if (word == "timeout") {
            if (!parse_number(rest, &default_timeout)) {
                *error = "line " + std::to_string(line_no) + ": timeout needs seconds";
                return false;
            }
            continue;
        }
        if (word == "within") {
            std::string secs;
            split_word(rest, &secs, &line);
            if (!parse_number(secs, &timeout)) {
                *error = "line " + std::to_string(line_no) + ": within needs seconds";
                return false;
            }
            split_word(line, &word, &rest);
        }
        auto verb = verbs().find(word);
        if (verb == verbs().end()) {
            *error = "line " + std::to_string(line_no) + ": unknown step '" + word + "'";
            return false;
        }
        step st;
        st.kind = verb->second;
        st.timeout = timeout;
        st.line = line_no;
        st.source = line;
        std::string why;
        if (!parse_arguments(&st, rest, &why)) {
            *error = "line " + std::to_string(line_no) + ": " + why;
            return false;
        }
        steps->push_back(st);
    }
    return true;
}

} // namespace e2e
