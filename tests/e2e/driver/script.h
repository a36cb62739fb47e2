// The scenario script that drives the wizard: one step per line.
#ifndef LUMORA_E2E_SCRIPT_H
#define LUMORA_E2E_SCRIPT_H

#include <string>
#include <vector>

namespace e2e {

enum class step_kind {
    click,              // click LABEL: press a visible, sensitive button
    key,                // key KEYSYM: a key press to the newest dialog, else the wizard
    expect_focus,       // expect-focus LABEL: that window's focused button
    expect_label,       // expect-label TEXT: a visible label with exactly TEXT
    expect_label_match, // expect-label-match REGEX
    steady_label,       // steady-label SECONDS TEXT: TEXT shown for SECONDS without a break
    expect_sensitive,   // expect-sensitive LABEL
    expect_insensitive, // expect-insensitive LABEL
    expect_page,        // expect-page NAME
    dialog,             // dialog TEXT -> ok|cancel|none
    screenshot,         // screenshot NAME: the wizard window
    screenshot_screen,  // screenshot-screen NAME: the whole screen
    picture_change,     // picture-change WxH: the shown picture of that size changes
    sleep,              // sleep SECONDS
    signal,             // signal NAME: creates a file for the harness
    wait_signal,        // wait-signal NAME: waits for the harness to create a file
    pace,               // pace SECONDS: delay before each click or answer
    terminate,          // terminate STATUS: ends the process at once
    expect_exit,        // expect-exit: the program ends by itself
};

struct step {
    step_kind kind;
    std::string text;     // label, text, pattern, page or file name
    std::string reply;    // dialog answer: ok, cancel or none
    double seconds = 0;   // sleep / steady / pace / terminate status
    int width = 0, height = 0;
    double timeout = 30;  // seconds before the step fails
    int line = 0;
    std::string source;   // the line as written, for the transcript
};

// Parses a whole script. Blank lines and lines starting with '#' are
// skipped; "within N " in front of a step sets its time-out; "timeout N"
// sets the time-out of the steps that follow. In texts, "\n" stands for a
// line break and a text in double quotes is taken without them.
bool parse_script(const std::string& text, std::vector<step>* steps, std::string* error);

} // namespace e2e

#endif
