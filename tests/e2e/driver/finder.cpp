#include "finder.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>

#include <libintl.h>

namespace e2e {

namespace {

bool is_shown(GtkWidget* w)
{
    return w && gtk_widget_get_visible(w) && gtk_widget_get_mapped(w);
}

// Walks a widget tree, internal children included (a dialog's buttons).
void walk(GtkWidget* root, const std::function<void(GtkWidget*)>& visit)
{
    visit(root);
    if (!GTK_IS_CONTAINER(root))
        return;
    GList* children = nullptr;
    gtk_container_forall(
        GTK_CONTAINER(root),
        [](GtkWidget* child, gpointer data) {
            GList** list = static_cast<GList**>(data);
            *list = g_list_append(*list, child);
        },
        &children);
    for (GList* l = children; l; l = l->next)
        walk(GTK_WIDGET(l->data), visit);
    g_list_free(children);
}

std::vector<GtkWidget*> shown_toplevels()
{
    std::vector<GtkWidget*> out;
    GList* tops = gtk_window_list_toplevels();
    for (GList* l = tops; l; l = l->next) {
        GtkWidget* w = GTK_WIDGET(l->data);
        if (is_shown(w))
            out.push_back(w);
    }
    g_list_free(tops);
    return out;
}

bool starts_with(const std::string& s, const char* prefix)
{
    return s.compare(0, strlen(prefix), prefix) == 0;
}

uint32_t pixel_hash(GdkPixbuf* pixbuf)
{
    static GQuark quark = g_quark_from_static_string("lumora-e2e-hash");
    gpointer cached = g_object_get_qdata(G_OBJECT(pixbuf), quark);
    if (cached)
        return GPOINTER_TO_UINT(cached);
    const guchar* pixels = gdk_pixbuf_get_pixels(pixbuf);
    int rowstride = gdk_pixbuf_get_rowstride(pixbuf);
    int row_bytes = gdk_pixbuf_get_width(pixbuf) * gdk_pixbuf_get_n_channels(pixbuf);
    uint32_t h = 2166136261u;
    for (int y = 0; y < gdk_pixbuf_get_height(pixbuf); ++y) {
        for (int x = 0; x < row_bytes; ++x) {
            h ^= pixels[y * rowstride + x];
            h *= 16777619u;
        }
    }
    if (h == 0)
        h = 1;
    g_object_set_qdata(G_OBJECT(pixbuf), quark, GUINT_TO_POINTER(h));
    return h;
}

// The picture an image shows, by its size on the screen and its pixels:
// a pixbuf, or (GTK 3 on a screen scaled by 2) a surface of its
// twice-size drawing. Empty when it shows neither at that size.
std::string picture_id(GtkImage* image, int width, int height)
{
    char hex[16] = "";
#if GTK_CHECK_VERSION(3, 0, 0)
    if (gtk_image_get_storage_type(image) == GTK_IMAGE_SURFACE) {
        cairo_surface_t* surface = nullptr;
        g_object_get(image, "surface", &surface, NULL);
        double sx = 1, sy = 1;
        cairo_surface_get_device_scale(surface, &sx, &sy);
        int w = cairo_image_surface_get_width(surface), h = cairo_image_surface_get_height(surface);
        if (w == static_cast<int>(width * sx) && h == static_cast<int>(height * sy)) {
            const unsigned char* data = cairo_image_surface_get_data(surface);
            uint32_t hash = 2166136261u;
            for (int i = 0; data && i < cairo_image_surface_get_stride(surface) * h; ++i)
                hash = (hash ^ data[i]) * 16777619u;
            snprintf(hex, sizeof hex, "%08x", hash ? hash : 1);
        }
        cairo_surface_destroy(surface);
        return hex;
    }
#endif
    if (gtk_image_get_storage_type(image) != GTK_IMAGE_PIXBUF)
        return hex;
    GdkPixbuf* pixbuf = gtk_image_get_pixbuf(image);
    if (!pixbuf || gdk_pixbuf_get_width(pixbuf) != width || gdk_pixbuf_get_height(pixbuf) != height)
        return hex;
    snprintf(hex, sizeof hex, "%08x", pixel_hash(pixbuf));
    return hex;
}

} // namespace

GtkWidget* find_wizard()
{
    for (GtkWidget* w : shown_toplevels()) {
        if (GTK_IS_DIALOG(w) && !GTK_IS_MESSAGE_DIALOG(w))
            return w;
    }
    return nullptr;
}

GtkWidget* find_button(const std::string& label)
{
    GtkWidget* found = nullptr;
    for (GtkWidget* top : shown_toplevels()) {
        walk(top, [&](GtkWidget* w) {
            if (found || !GTK_IS_BUTTON(w) || !is_shown(w))
                return;
            const char* text = gtk_button_get_label(GTK_BUTTON(w));
            if (text && label == text)
                found = w;
        });
    }
    return found;
}

std::vector<std::string> shown_labels()
{
    std::vector<std::string> out;
    for (GtkWidget* top : shown_toplevels()) {
        if (GTK_IS_MESSAGE_DIALOG(top))
            continue;
        walk(top, [&](GtkWidget* w) {
            if (GTK_IS_LABEL(w) && is_shown(w))
                out.push_back(gtk_label_get_text(GTK_LABEL(w)));
        });
    }
    return out;
}

std::vector<GtkWidget*> shown_message_dialogs()
{
    std::vector<GtkWidget*> out;
    for (GtkWidget* w : shown_toplevels()) {
        if (GTK_IS_MESSAGE_DIALOG(w))
            out.push_back(w);
    }
    return out;
}

// A text of the wizard as the wizard shows it: translated through the
// catalogue the program bound (the driver runs inside it).
const char* shown(const char* msgid)
{
    return dgettext("lumora-updater", msgid);
}

std::string current_page(GtkWidget* wizard)
{
    if (!wizard)
        return "";
    static const char* const kWelcome = "向导将会通过互联网下载最新的升级软件。";
    static const char* const kWarning =
        "在更新之前，请确认\n\n"
        "    1.您的电脑已连接互联网。\n"
        "    2.您的电子书与电脑已连接。\n"
        "    3.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
        "按键及菜单按键直到电子书的屏幕上显示更新界面。）";
    // With an image file the Warning page asks nothing of the network, and
    // the Download page names the file.
    static const char* const kWarningForFile =
        "在更新之前，请确认\n\n"
        "    1.您的电子书与电脑已连接。\n"
        "    2.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
        "按键及菜单按键直到电子书的屏幕上显示更新界面。）\n\n"
        "更新文件已在电脑上，无需连接互联网。";
    static const std::string kFileFormat = shown("更新文件：%s\n大小：%s 字节\nSHA-256：%s");
    static const std::string kFileShown = kFileFormat.substr(0, kFileFormat.find("%s"));
    static const char* const kUpdate = "警告：请确保在更新期间您的电子书设备保持与电脑连接。";
    static const char* const kFinish = "点击重置键并重新启动您的电子书。\n"
                                       "轻松享受墨川电子书的阅读乐趣！\n\n\n"
                                       "向导已成功安装墨川电子书软件升级软件。\n"
                                       "点击“完成”退出向导。";
    std::string page;
    walk(wizard, [&](GtkWidget* w) {
        if (!page.empty() || !GTK_IS_LABEL(w) || !is_shown(w))
            return;
        std::string text = gtk_label_get_text(GTK_LABEL(w));
        if (text == shown(kWelcome))
            page = "Welcome";
        else if (text == shown(kWarning) || text == shown(kWarningForFile))
            page = "Warning";
        else if (starts_with(text, shown("状态:")) || starts_with(text, kFileShown.c_str()))
            page = "Download";
        else if (text == shown(kUpdate))
            page = "Update";
        else if (text == shown(kFinish))
            page = "Finish";
    });
    return page;
}

std::string shown_picture(GtkWidget* wizard, int width, int height)
{
    std::string id = "none";
    if (!wizard)
        return id;
    walk(wizard, [&](GtkWidget* w) {
        if (id != "none" || !GTK_IS_IMAGE(w) || !is_shown(w))
            return;
        std::string seen = picture_id(GTK_IMAGE(w), width, height);
        if (!seen.empty())
            id = seen;
    });
    return id;
}

std::string button_states(GtkWidget* wizard)
{
    std::string out;
    if (!wizard)
        return out;
    walk(wizard, [&](GtkWidget* w) {
        if (!GTK_IS_BUTTON(w) || !is_shown(w))
            return;
        const char* text = gtk_button_get_label(GTK_BUTTON(w));
        if (!out.empty())
            out += ' ';
        out += text ? text : "";
        out += gtk_widget_is_sensitive(w) ? "(+)" : "(-)";
    });
    return out;
}

} // namespace e2e
