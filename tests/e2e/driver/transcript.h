// The driver's transcript: one line per event, each with the seconds since
// the program started, written through at once so a crash loses nothing.
#ifndef LUMORA_E2E_TRANSCRIPT_H
#define LUMORA_E2E_TRANSCRIPT_H

#include <string>

namespace e2e {

bool transcript_open(const char* path);
void transcript_line(const std::string& text);
// Line breaks as "\n" and backslashes doubled, so one event stays one line.
std::string escape(const std::string& text);

} // namespace e2e

#endif
