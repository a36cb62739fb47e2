// Builds the wizard window, shows each of its five pages in turn and saves
// the window's pixels as DIR/N-page.png. Usage: lumora-screens DIR
#include <gtk/gtk.h>
#include <stdio.h>

#include <string>

#include "ui/ui.h"

namespace {

struct Shot {
    lm_ui::DLG_TYPE page;
    const char* file;
};

const Shot kShots[] = {
    {lm_ui::DLGWELCOME, "1-welcome.png"}, {lm_ui::DLGWARN, "2-warning.png"},
    {lm_ui::DLGDOWNLOAD, "3-download.png"}, {lm_ui::DLGUPDATE, "4-update.png"},
    {lm_ui::DLGFINISH, "5-finish.png"},
};

// Lets the X server and GTK finish mapping and painting the window.
void settle()
{
    for (int round = 0; round < 10; ++round) {
#if !GTK_CHECK_VERSION(3, 0, 0)
        gdk_window_process_all_updates(); // GTK 3 paints on its frame clock
#endif
        gdk_display_flush(gdk_display_get_default());
        while (gtk_events_pending()) {
            gtk_main_iteration_do(FALSE);
        }
        g_usleep(30 * 1000);
    }
}

bool save_window(GtkWidget* window, const std::string& path)
{
    GdkWindow* gdkwin = gtk_widget_get_window(window);
    if (gdkwin == nullptr) {
        return false;
    }
    gint width = gdk_window_get_width(gdkwin), height = gdk_window_get_height(gdkwin);
#if GTK_CHECK_VERSION(3, 0, 0)
    GdkPixbuf* shot = gdk_pixbuf_get_from_window(gdkwin, 0, 0, width, height);
#else
    GdkPixbuf* shot = gdk_pixbuf_get_from_drawable(nullptr, GDK_DRAWABLE(gdkwin), nullptr, 0, 0, 0, 0,
                                                   width, height);
#endif
    if (shot == nullptr) {
        return false;
    }
    GError* error = nullptr;
    gboolean ok = gdk_pixbuf_save(shot, path.c_str(), "png", &error, nullptr);
    if (!ok) {
        fprintf(stderr, "lumora-screens: %s: %s\n", path.c_str(), error ? error->message : "save failed");
        g_clear_error(&error);
    }
    g_object_unref(shot);
    return ok;
}

} // namespace

int main(int argc, char* argv[])
{
    gtk_init(&argc, &argv);
    if (argc != 2) {
        fprintf(stderr, "usage: lumora-screens DIR\n");
        return 2;
    }
    const std::string dir = argv[1];

    lm_ui ui;
    ui.create_dlg();
    int failures = 0;
    for (const Shot& shot : kShots) {
        ui.show_dlg(shot.page);
        ui.SetBtnStatus();
        settle();
        std::string path = dir + "/" + shot.file;
        if (!save_window(ui.m_dlgFather, path)) {
            ++failures;
            continue;
        }
        printf("%s\n", path.c_str());
    }
    gtk_widget_destroy(ui.m_dlgFather);
    return failures == 0 ? 0 : 1;
}
