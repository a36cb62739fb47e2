#include "transcript.h"

#include <glib.h>

#include <cstdio>

namespace e2e {

namespace {

FILE* g_out = nullptr;
gint64 g_start = 0;

} // namespace

bool transcript_open(const char* path)
{
    g_start = g_get_monotonic_time();
    g_out = path && *path ? fopen(path, "a") : nullptr;
    if (!g_out)
        g_out = stderr;
    return g_out != stderr || !(path && *path);
}

void transcript_line(const std::string& text)
{
    if (!g_out)
        return;
    double secs = (g_get_monotonic_time() - g_start) / 1e6;
    fprintf(g_out, "%9.3f %s\n", secs, text.c_str());
    fflush(g_out);
}

std::string escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += "\\n";
        else if (c == '\\')
            out += "\\\\";
        else
            out += c;
    }
    return out;
}

} // namespace e2e
