// GTK+ 2 and GTK 3 versions of the calls in toolkit.h.
#include "ui/toolkit.h"

#include <stdio.h>

#include "ui/images/images.h"

#if !GTK_CHECK_VERSION(3, 0, 0)

GtkWidget* lm_hbox_new() { return gtk_hbox_new(FALSE, 0); }
GtkWidget* lm_vbox_new() { return gtk_vbox_new(FALSE, 0); }

GtkWidget* lm_alignment_new(GtkWidget* child, guint top, guint bottom, guint left, guint right,
                            gfloat yscale)
{
    GtkWidget* alg = gtk_alignment_new(0.5f, 0.5f, 1.0f, yscale);
    gtk_alignment_set_padding(GTK_ALIGNMENT(alg), top, bottom, left, right);
    if (child != nullptr) {
        gtk_container_add(GTK_CONTAINER(alg), child);
    }
    return alg;
}

void lm_widget_hide_all(GtkWidget* w) { gtk_widget_hide_all(w); }

void lm_widget_set_background(GtkWidget* w, const GdkColor& color)
{
    gtk_widget_modify_bg(w, GTK_STATE_NORMAL, &color);
}

GtkWidget* lm_image_new(GdkPixbuf* pixbuf, const guint8*) { return gtk_image_new_from_pixbuf(pixbuf); }

void lm_window_set_icon(GtkWindow* window, GdkPixbuf* icon, const guint8*)
{
    gtk_window_set_icon(window, icon);
}

#else

namespace {

const char kPictureOnce[] = "lumora-picture";
const char kPictureTwice[] = "lumora-picture-2x";

struct Twins {
    const guint8* once;
    const guint8* twice;
};

const Twins kTwins[] = {
    {lm_images::lumora, lm_images::lumora_2x}, {lm_images::Left, lm_images::Left_2x},
    {lm_images::welcome, lm_images::welcome_2x}, {lm_images::top, lm_images::top_2x},
    {lm_images::power, lm_images::power_2x}, {lm_images::menu, lm_images::menu_2x},
    {lm_images::link_1, lm_images::link_1_2x}, {lm_images::Link_2, lm_images::Link_2_2x},
    {lm_images::finish, lm_images::finish_2x},
};

const guint8* twice_of(const guint8* data)
{
    for (const Twins& t : kTwins) {
        if (t.once == data) {
            return t.twice;
        }
    }
    return nullptr;
}

GdkPixbuf* decode(const guint8* data)
{
    if (data == nullptr) {
        return nullptr;
    }
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    return pixbuf;
}

// The picture for the image's scale now: the twice-size drawing as a
// surface of scale 2 (GTK draws it at the picture's size, every pixel
// sharp), else the picture itself.
void show_at_scale(GtkWidget* image)
{
    auto* once = static_cast<GdkPixbuf*>(g_object_get_data(G_OBJECT(image), kPictureOnce));
    auto* twice = static_cast<const guint8*>(g_object_get_data(G_OBJECT(image), kPictureTwice));
    GdkPixbuf* big = gtk_widget_get_scale_factor(image) >= 2 ? decode(twice) : nullptr;
    if (big != nullptr) {
        cairo_surface_t* surface = gdk_cairo_surface_create_from_pixbuf(big, 2, nullptr);
        gtk_image_set_from_surface(GTK_IMAGE(image), surface);
        cairo_surface_destroy(surface);
        g_object_unref(big);
        return;
    }
    if (gtk_image_get_storage_type(GTK_IMAGE(image)) != GTK_IMAGE_PIXBUF ||
        gtk_image_get_pixbuf(GTK_IMAGE(image)) != once) {
        gtk_image_set_from_pixbuf(GTK_IMAGE(image), once);
    }
}

void on_scale_changed(GObject* image, GParamSpec*, gpointer)
{
    show_at_scale(GTK_WIDGET(image));
}

} // namespace

GtkWidget* lm_hbox_new() { return gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 0); }
GtkWidget* lm_vbox_new() { return gtk_box_new(GTK_ORIENTATION_VERTICAL, 0); }

GtkWidget* lm_alignment_new(GtkWidget* child, guint top, guint bottom, guint left, guint right,
                            gfloat)
{
    GtkWidget* box = lm_vbox_new();
    gtk_widget_set_margin_top(box, top);
    gtk_widget_set_margin_bottom(box, bottom);
    gtk_widget_set_margin_start(box, left);
    gtk_widget_set_margin_end(box, right);
    if (child != nullptr) {
        gtk_box_pack_start(GTK_BOX(box), child, TRUE, TRUE, 0);
    }
    return box;
}

void lm_widget_hide_all(GtkWidget* w) { gtk_widget_hide(w); }

void lm_widget_set_background(GtkWidget* w, const GdkColor& color)
{
    char css[64];
    snprintf(css, sizeof css, "* { background-color: #%02x%02x%02x; }", color.red >> 8,
             color.green >> 8, color.blue >> 8);
    GtkCssProvider* provider = gtk_css_provider_new();
    if (gtk_css_provider_load_from_data(provider, css, -1, nullptr)) {
        // A provider of the widget's own style context styles that widget
        // only, as gtk_widget_modify_bg did.
        gtk_style_context_add_provider(gtk_widget_get_style_context(w), GTK_STYLE_PROVIDER(provider),
                                       GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    }
    g_object_unref(provider);
}

GtkWidget* lm_image_new(GdkPixbuf* pixbuf, const guint8* data)
{
    GtkWidget* image = gtk_image_new();
    g_object_set_data_full(G_OBJECT(image), kPictureOnce, g_object_ref(pixbuf), g_object_unref);
    g_object_set_data(G_OBJECT(image), kPictureTwice, const_cast<guint8*>(twice_of(data)));
    show_at_scale(image);
    g_signal_connect(image, "notify::scale-factor", G_CALLBACK(on_scale_changed), nullptr);
    return image;
}

void lm_window_set_icon(GtkWindow* window, GdkPixbuf* icon, const guint8* data)
{
    GList* icons = g_list_append(nullptr, icon);
    GdkPixbuf* big = decode(twice_of(data));
    if (big != nullptr) {
        icons = g_list_append(icons, big);
    }
    gtk_window_set_icon_list(window, icons);
    g_list_free(icons);
    if (big != nullptr) {
        g_object_unref(big);
    }
}

#endif
