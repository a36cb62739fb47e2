// Key presses as a user makes them: real X input events (XTest).
#ifndef LUMORA_E2E_KEYS_H
#define LUMORA_E2E_KEYS_H

#include <gtk/gtk.h>

#include <string>

namespace e2e {

// Gives `window` the keyboard focus, as a window manager gives it to the
// newest window, then presses and releases the key named by its X keysym
// name ("Return", "Escape", "Tab"). False when the key or the window is
// unknown or XTest is missing.
bool press_key(GtkWidget* window, const std::string& keysym);

// The label of the button that has the focus in `window`, or "".
std::string focused_button(GtkWidget* window);

} // namespace e2e

#endif
