#include "ui/dialogs.h"

#include "ui/i18n.h"

namespace {

const char kDialogTitle[] = N_("墨川电子书升级软件");

// Titles, places and runs the dialog, then destroys it. The weak pointer
// notices a dialog destroyed meanwhile (with its parent) and skips the
// second destroy.
int run_and_destroy(GtkWidget* dialog, GtkWindowPosition position)
{
    if (!dialog)
        return LM_NO_DIALOG;
    if (position != GTK_WIN_POS_NONE)
        gtk_window_set_position(GTK_WINDOW(dialog), position);
    gtk_window_set_title(GTK_WINDOW(dialog), _(kDialogTitle));
    // A screen reader announces the dialog by its accessible name, which
    // GTK gives from the message type ("Information") unless it is set.
    if (AtkObject* acc = gtk_widget_get_accessible(dialog))
        atk_object_set_name(acc, _(kDialogTitle));
    // Enter answers OK, also where Cancel would get the focus first.
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
    g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (dialog) {
        g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
        gtk_widget_destroy(dialog);
    }
    return response;
}

} // namespace

int lm_run_message(GtkWidget* parent, GtkMessageType type, GtkButtonsType buttons,
                   const char* text, bool at_mouse)
{
    if (!parent || !GTK_IS_WINDOW(parent))
        return LM_NO_DIALOG;
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               type, buttons, "%s", text);
    return run_and_destroy(dialog, at_mouse ? GTK_WIN_POS_MOUSE : GTK_WIN_POS_NONE);
}

int lm_run_lone_message(GtkMessageType type, GtkButtonsType buttons, const char* text)
{
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GtkDialogFlags(0), type, buttons, "%s", text);
    return run_and_destroy(dialog, GTK_WIN_POS_CENTER);
}
