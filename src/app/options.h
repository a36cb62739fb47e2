// The command line: GTK's own options, and the wizard's.
//   lumora-updater [--image FILE | FILE]   writes FILE instead of a download
//   lumora-updater --version | --help
#ifndef LUMORA_APP_OPTIONS_H
#define LUMORA_APP_OPTIONS_H

#include <string>

struct lm_options {
    std::string image;     // the image file to write; empty: download one
    bool version = false;  // print the version and end
};

// Parses and removes the options, GTK's included, without opening a
// display. --help prints the options and ends the process (status 0).
// 0, or 1 after a message on standard error for a bad command line.
int lm_parse_options(int* argc, char*** argv, lm_options* out);

#endif
