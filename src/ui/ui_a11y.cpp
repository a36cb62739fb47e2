// What assistive technologies and keyboard users get: the pictures named in
// the wizard's language, the status texts exposed as status bars, the
// progress bars named, and the button that Enter presses on each page.
// ATK is the same on GTK 2 (with the gail and atk-bridge modules) and GTK 3.
#include "ui/ui_a11y.h"

#include <initializer_list>

#include "ui/i18n.h"
#include "ui/images/images.h"
#include "ui/ui.h"

namespace {

struct Picture {
    const guint8* data;
    const char* name;
    const char* description;
};

const char kConnected[] = N_("设备已连接");
const char kNotConnected[] = N_("设备未连接");

// Every picture a page shows; the window icon is not in the tree.
const Picture kPictures[] = {
    {lm_images::Left, N_("墨川电子书升级向导"), N_("墨川电子书升级向导的标志")},
    {lm_images::welcome, N_("欢迎使用墨川电子书升级向导"), N_("欢迎页的标题")},
    {lm_images::top, N_("墨川电子书升级软件"), N_("升级软件的标题横幅")},
    {lm_images::power, N_("开机键"), N_("电子书上的开机按键，与菜单键同时按下")},
    {lm_images::menu, N_("菜单键"), N_("电子书上的菜单按键，与开机键同时按下")},
    {lm_images::link_1, kConnected, N_("电脑与电子书之间的数据线已连接")},
    {lm_images::Link_2, kNotConnected, N_("电脑与电子书之间的数据线未连接")},
    {lm_images::finish, N_("墨川电子书升级完成"), N_("完成页的标题")},
};

AtkObject* accessible_of(GtkWidget* w)
{
    return w != nullptr && GTK_IS_WIDGET(w) ? gtk_widget_get_accessible(w) : nullptr;
}

// A label whose changes an assistive technology announces, and which its
// "read the status bar" command finds. The label's name stays its text, so
// a new text is announced as a text and name change.
void expose_status(GtkWidget* label)
{
    if (AtkObject* acc = accessible_of(label))
        atk_object_set_role(acc, ATK_ROLE_STATUSBAR);
}

// The bar is named for what it measures and described by the status text
// beside it; its value is the toolkit's own (the fraction shown).
void expose_progress(GtkWidget* bar, const char* name, GtkWidget* status)
{
    if (bar == nullptr || !GTK_IS_PROGRESS_BAR(bar))
        return;
    // GTK 2 makes a bar's adjustment at its first fraction, and gail reads
    // the value from the adjustment it found when the accessible was made:
    // without one the bar never has a value.
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), 0.0);
    AtkObject* acc = accessible_of(bar);
    if (acc == nullptr)
        return;
    atk_object_set_name(acc, name);
    AtkObject* described_by = accessible_of(status);
    if (described_by == nullptr)
        return;
    atk_object_add_relationship(acc, ATK_RELATION_DESCRIBED_BY, described_by);
    atk_object_add_relationship(described_by, ATK_RELATION_DESCRIPTION_FOR, acc);
}

} // namespace

void lm_describe_picture(GtkWidget* image, const guint8* data)
{
    AtkObject* acc = accessible_of(image);
    if (acc == nullptr)
        return;
    for (const Picture& p : kPictures) {
        if (p.data != data)
            continue;
        atk_object_set_name(acc, _(p.name));
        atk_object_set_description(acc, _(p.description));
        return;
    }
}

void lm_name_button(GtkWidget* button, const char* label)
{
    if (AtkObject* acc = accessible_of(button))
        atk_object_set_name(acc, label);
}

void lm_show_connection_name(GtkWidget* holder, GtkWidget* picture)
{
    AtkObject* acc = accessible_of(holder);
    AtkObject* shown = accessible_of(picture);
    if (acc == nullptr || shown == nullptr)
        return;
    const char* name = atk_object_get_name(shown);
    // Set only on a change: each set is announced as a name change.
    const char* before = atk_object_get_name(acc);
    if (name != nullptr && (before == nullptr || g_strcmp0(before, name) != 0))
        atk_object_set_name(acc, name);
}

void lm_ui::expose_accessibility()
{
    // Named from the start: ATK announces no name's first setting.
    for (GtkWidget* btn : {m_btnBack, m_btnNext, m_btnCancel}) {
        if (btn != nullptr && GTK_IS_BUTTON(btn))
            lm_name_button(btn, gtk_button_get_label(GTK_BUTTON(btn)));
    }
    expose_status(m_lblWarning);
    expose_status(m_lblDownload);
    expose_status(m_lblUpdate);
    expose_progress(m_prgDownload, _("下载进度"), m_lblDownload);
    expose_progress(m_prgUpdate, _("更新进度"), m_lblUpdate);
    // The connection picture's holder is the status that changes when the
    // reader leaves or comes back; it carries the shown picture's name.
    if (AtkObject* acc = accessible_of(alg_update_con_status))
        atk_object_set_role(acc, ATK_ROLE_STATUSBAR);
    lm_show_connection_name(alg_update_con_status, img_update_old);
}

// The button a user presses next on the page as it is now: after a failed
// download that is "上一步" (back, then "下一步" and "下载" again).
GtkWidget* lm_ui::default_button() const
{
    switch (m_curDlgIdx) {
    case DLGWELCOME:
    case DLGWARN:
    case DLGUPDATE:
        return m_btnNext;
    case DLGDOWNLOAD:
        if (!g_atomic_int_get(&m_downloading) && g_atomic_int_get(&m_downError))
            return m_btnBack;
        return m_btnNext;
    case DLGFINISH:
        return m_btnCancel;
    }
    return nullptr;
}

// Enter presses the default button. The focus goes to it when the page
// appears and whenever the focused button went insensitive or hidden (the
// Warning page's "下一步" is sensitive only once the check passed); a
// button the user moved the focus to keeps it.
void lm_ui::keep_default_button()
{
    GtkWidget* btn = default_button();
    if (btn == nullptr || !GTK_IS_WIDGET(btn) || m_dlgFather == nullptr || !GTK_IS_WINDOW(m_dlgFather))
        return;
    gtk_widget_grab_default(btn);
    GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(m_dlgFather));
    bool usable = focus != nullptr && gtk_widget_is_sensitive(focus) && gtk_widget_get_visible(focus);
    bool new_page = m_nFocusPage != m_curDlgIdx;
    m_nFocusPage = m_curDlgIdx;
    if ((usable && !new_page) || !gtk_widget_is_sensitive(btn) || !gtk_widget_get_visible(btn))
        return;
    gtk_widget_grab_focus(btn);
}
