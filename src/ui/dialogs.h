// Message dialogs over the wizard window.
#ifndef LUMORA_UI_DIALOGS_H
#define LUMORA_UI_DIALOGS_H

#include <gtk/gtk.h>

// Returned when no dialog could be made.
const int LM_NO_DIALOG = -100;

// Runs a message dialog titled "墨川电子书升级软件" over `parent` and destroys
// it; returns the response, or LM_NO_DIALOG. The dialog may go with its
// parent while it runs (a confirmed quit from elsewhere); that is noticed
// and nothing is destroyed twice.
int lm_run_message(GtkWidget* parent, GtkMessageType type, GtkButtonsType buttons,
                   const char* text, bool at_mouse);

// The same dialog with no window under it, centred on the screen, for
// when there is no wizard to put it over.
int lm_run_lone_message(GtkMessageType type, GtkButtonsType buttons, const char* text);

#endif
