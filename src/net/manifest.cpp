// The version manifest: groups of three CR-terminated lines (variant number,
// image host, image path). A lone line feed is an ordinary character.
#include <string.h>

#include "net/download.h"

namespace {

enum scan_state { SEARCH_VARIANT, HOST_LINE, PATH_LINE };

// Stores c as the next character of a field; false when the field is full
// (kFieldSize - 1 characters and the zero).
bool append_char(char* field, int* count, char c)
{
    if (*count >= lm_download::kFieldSize - 1)
        return false;
    field[(*count)++] = c;
    return true;
}

}  // namespace

int lm_download::scan_manifest(const char* data, int len, const char* variant, char* host, char* file)
{
    char line[kFieldSize];
    int count = 0;
    scan_state state = SEARCH_VARIANT;
    host[0] = '\0';
    file[0] = '\0';

    for (int i = 0; i < len; i++) {
        char* field = state == SEARCH_VARIANT ? line : state == HOST_LINE ? host : file;
        const char c = data[i];
        if (c != '\r') {
            if (!append_char(field, &count, c))
                return -1;
            continue;
        }
        if (i + 1 < len && data[i + 1] == '\n')
            i++;
        field[count] = '\0';
        count = 0;
        // A carriage return always ends the path, also as the file's last
        // byte: it must never reach the request line.
        if (state == PATH_LINE)
            return 0;
        if (state == HOST_LINE)
            state = PATH_LINE;
        else if (strcmp(line, variant) == 0)
            state = HOST_LINE;
    }
    // Data that ends inside the host or the path line keeps what came.
    if (state == HOST_LINE)
        host[count] = '\0';
    if (state == PATH_LINE)
        file[count] = '\0';
    return 0;
}
