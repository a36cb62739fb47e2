// Saves what is on the screen as PNG files.
#ifndef LUMORA_E2E_SCREENSHOT_H
#define LUMORA_E2E_SCREENSHOT_H

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace e2e {

// Saves the screen area that holds all of `windows` (what covers them
// included), or the whole screen when `windows` is empty. Returns "WxH" on
// success, or "" with `error` set.
std::string save_screenshot(const std::vector<GtkWidget*>& windows, const std::string& path,
                            std::string* error);

} // namespace e2e

#endif
