// Process entry: GTK, GLib threads, then the wizard until it ends.
#include <gtk/gtk.h>

#include "app/app.h"

int main(int argc, char* argv[])
{
    // GTK takes its own options out of argv; nothing else is looked at.
    gtk_init(&argc, &argv);

    // Kept for GLib versions that still need an explicit thread start-up.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (!g_threads_got_initialized) {
        g_thread_init(nullptr);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS

    lm_app app;
    if (app.init() == 0) {
        app.run();
        app.uninit();
    }
    return 0;
}
