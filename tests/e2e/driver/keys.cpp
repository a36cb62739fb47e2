#include "keys.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <gdk/gdkx.h>

namespace e2e {

bool press_key(GtkWidget* window, const std::string& keysym)
{
    GdkWindow* gdk_window = window ? gtk_widget_get_window(window) : nullptr;
    KeySym sym = XStringToKeysym(keysym.c_str());
    if (!gdk_window || sym == NoSymbol)
        return false;
    Display* dpy = gdk_x11_display_get_xdisplay(gdk_display_get_default());
    int event_base, error_base, major, minor;
    KeyCode code = XKeysymToKeycode(dpy, sym);
    if (code == 0 || !XTestQueryExtension(dpy, &event_base, &error_base, &major, &minor))
        return false;
    // There is no window manager under Xvfb to move the focus.
    XSetInputFocus(dpy, GDK_WINDOW_XID(gdk_window), RevertToParent, CurrentTime);
    XTestFakeKeyEvent(dpy, code, True, CurrentTime);
    XTestFakeKeyEvent(dpy, code, False, CurrentTime);
    XFlush(dpy);
    return true;
}

std::string focused_button(GtkWidget* window)
{
    GtkWidget* focus = window ? gtk_window_get_focus(GTK_WINDOW(window)) : nullptr;
    if (!focus || !GTK_IS_BUTTON(focus))
        return "";
    const char* label = gtk_button_get_label(GTK_BUTTON(focus));
    return label ? label : "";
}

} // namespace e2e
