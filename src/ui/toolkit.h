// The few widget calls where GTK+ 2 and GTK 3 differ. The wizard is built
// with either (GTK 2 where it exists); everything else in src/ui uses calls
// both have, so the pages read the same for both.
#ifndef LUMORA_UI_TOOLKIT_H
#define LUMORA_UI_TOOLKIT_H

#include <gtk/gtk.h>

// Boxes, not homogeneous, spacing 0.
GtkWidget* lm_hbox_new();
GtkWidget* lm_vbox_new();

// A one-child container that gives its child all its space less the
// padding: a GtkAlignment (centred, scale 1 across, `yscale` down) on
// GTK 2; on GTK 3, which deprecates alignments, a box with margins whose
// child fills it (`yscale` is not kept there). `child` may be null.
GtkWidget* lm_alignment_new(GtkWidget* child, guint top, guint bottom, guint left, guint right,
                            gfloat yscale);

// Hides w and everything in it.
void lm_widget_hide_all(GtkWidget* w);

// The background of a window (GTK 3: a style sheet for the widget alone).
void lm_widget_set_background(GtkWidget* w, const GdkColor& color);

// An image widget showing the compiled-in picture `data`, already decoded
// into `pixbuf` (the image takes its own reference). On GTK 3 it shows the
// picture's twice-size drawing while its screen is scaled by 2 or more, and
// follows the scale when the window moves to another screen.
GtkWidget* lm_image_new(GdkPixbuf* pixbuf, const guint8* data);

// The window's icon, `data` decoded into `icon`; on GTK 3 together with its
// twice-size drawing, for the desktop to pick from.
void lm_window_set_icon(GtkWindow* window, GdkPixbuf* icon, const guint8* data);

#endif
