// Accessible names of the wizard's pictures (ui_a11y.cpp).
#ifndef LUMORA_UI_UI_A11Y_H
#define LUMORA_UI_UI_A11Y_H

#include <string>

#include <gtk/gtk.h>

// Names and describes the image made from one of the compiled-in pictures;
// other images are left alone.
void lm_describe_picture(GtkWidget* image, const guint8* data);

// Gives `holder` the accessible name of the picture it now shows, so that
// a change of picture is announced as a name change.
void lm_show_connection_name(GtkWidget* holder, GtkWidget* picture);

// Announces a button's new label as its accessible name: the toolkit
// replaces the label inside the button and tells nobody.
void lm_name_button(GtkWidget* button, const char* label);

// Makes the texts that `page` shows, in their order, the description of
// `window` (relations described-by and description-for), in place of those
// of the page shown before; returns them joined by spaces.
std::string lm_describe_page(GtkWidget* window, GtkWidget* page);

#endif
