// Finds the wizard's widgets from outside its code: buttons and labels by
// their texts, message dialogs, the page shown and the pictures shown.
#ifndef LUMORA_E2E_FINDER_H
#define LUMORA_E2E_FINDER_H

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace e2e {

// The wizard window: the shown toplevel that is not a message dialog.
GtkWidget* find_wizard();

// A shown button with exactly this label in any toplevel, or null.
GtkWidget* find_button(const std::string& label);

// Texts of all shown labels of all toplevels (message dialogs excluded).
std::vector<std::string> shown_labels();

// Shown message dialogs, newest last.
std::vector<GtkWidget*> shown_message_dialogs();

// Name of the wizard page shown ("Welcome", "Warning", "Download",
// "Update", "Finish"), or "" when none is recognised.
std::string current_page(GtkWidget* wizard);

// Identity of the shown picture of that size in the wizard: a hash of its
// pixels in hexadecimal, or "none".
std::string shown_picture(GtkWidget* wizard, int width, int height);

// The shown buttons of the wizard as "LABEL(+)" or "LABEL(-)" for
// sensitive and insensitive ones, in window order.
std::string button_states(GtkWidget* wizard);

} // namespace e2e

#endif
