#include "ui/dialogs.h"

namespace {

const char kDialogTitle[] = "墨川电子书升级软件";

} // namespace

int lm_run_message(GtkWidget* parent, GtkMessageType type, GtkButtonsType buttons,
                   const char* text, bool at_mouse)
{
    if (!parent || !GTK_IS_WINDOW(parent))
        return LM_NO_DIALOG;
    GtkWidget* dialog = gtk_message_dialog_new(GTK_WINDOW(parent), GTK_DIALOG_DESTROY_WITH_PARENT,
                                               type, buttons, "%s", text);
    if (!dialog)
        return LM_NO_DIALOG;
    if (at_mouse)
        gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_MOUSE);
    gtk_window_set_title(GTK_WINDOW(dialog), kDialogTitle);
    g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (dialog) {
        g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer*>(&dialog));
        gtk_widget_destroy(dialog);
    }
    return response;
}

int lm_run_lone_message(GtkMessageType type, GtkButtonsType buttons, const char* text)
{
    GtkWidget* dialog = gtk_message_dialog_new(nullptr, GtkDialogFlags(0), type, buttons, "%s", text);
    if (!dialog)
        return LM_NO_DIALOG;
    gtk_window_set_position(GTK_WINDOW(dialog), GTK_WIN_POS_CENTER);
    gtk_window_set_title(GTK_WINDOW(dialog), kDialogTitle);
    int response = gtk_dialog_run(GTK_DIALOG(dialog));
    gtk_widget_destroy(dialog);
    return response;
}
