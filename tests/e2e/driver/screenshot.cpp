#include "screenshot.h"

namespace e2e {

std::string save_screenshot(const std::vector<GtkWidget*>& windows, const std::string& path,
                            std::string* error)
{
    // Draw what is pending and let the X server finish, so the picture
    // shows the state the step has just seen.
#if !GTK_CHECK_VERSION(3, 0, 0)
    gdk_window_process_all_updates(); // GTK 3 paints on its frame clock
#endif
    gdk_display_flush(gdk_display_get_default());

    GdkWindow* root = gdk_get_default_root_window();
    GdkRectangle screen = {0, 0, gdk_window_get_width(root), gdk_window_get_height(root)};
    GdkRectangle area = screen;
    bool first = true;
    for (GtkWidget* window : windows) {
        GdkWindow* gw = gtk_widget_get_window(window);
        if (!gw)
            continue;
        GdkRectangle r;
        gdk_window_get_origin(gw, &r.x, &r.y);
        r.width = gdk_window_get_width(gw);
        r.height = gdk_window_get_height(gw);
        if (first)
            area = r;
        else
            gdk_rectangle_union(&area, &r, &area);
        first = false;
    }
    // Only the part that lies on the screen can be read.
    if (!gdk_rectangle_intersect(&area, &screen, &area)) {
        *error = "nothing of the window is on the screen";
        return "";
    }
    int x = area.x, y = area.y, w = area.width, h = area.height;
    if (w <= 0 || h <= 0) {
        *error = "window is off the screen";
        return "";
    }
#if GTK_CHECK_VERSION(3, 0, 0)
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_window(root, x, y, w, h);
#else
    GdkPixbuf* pixbuf = gdk_pixbuf_get_from_drawable(nullptr, root, nullptr, x, y, 0, 0, w, h);
#endif
    if (!pixbuf) {
        *error = "could not read the screen";
        return "";
    }
    GError* err = nullptr;
    gboolean saved = gdk_pixbuf_save(pixbuf, path.c_str(), "png", &err, nullptr);
    g_object_unref(pixbuf);
    if (!saved) {
        *error = err ? err->message : "could not save";
        if (err)
            g_error_free(err);
        return "";
    }
    return std::to_string(w) + "x" + std::to_string(h);
}

} // namespace e2e
