// What assistive technologies and keyboard users get: the pictures named in
// the wizard's language, the status texts exposed as status bars, the
// progress bars named, and the button that Enter presses on each page; what
// a screen reader speaks: each page's texts as it appears, then its default
// button, and the warnings and status texts as they change.
// ATK is the same on GTK 2 (with the gail and atk-bridge modules) and GTK 3.
#include "ui/ui_a11y.h"

#include <initializer_list>
#include <string>
#include <vector>

#include <gdk/gdkkeysyms.h>

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

// The labels of a page that show a text, in the order shown.
void shown_texts(GtkWidget* w, std::vector<GtkWidget*>* out)
{
    if (!gtk_widget_get_visible(w))
        return;
    if (GTK_IS_LABEL(w)) {
        const char* text = gtk_label_get_text(GTK_LABEL(w));
        if (text != nullptr && *text != '\0')
            out->push_back(w);
        return;
    }
    if (!GTK_IS_CONTAINER(w))
        return;
    GList* children = gtk_container_get_children(GTK_CONTAINER(w));
    for (GList* c = children; c != nullptr; c = c->next)
        shown_texts(GTK_WIDGET(c->data), out);
    g_list_free(children);
}

void drop_relations(AtkObject* acc, AtkRelationType type)
{
    AtkRelationSet* set = atk_object_ref_relation_set(acc);
    if (set == nullptr)
        return;
    while (AtkRelation* r = atk_relation_set_get_relation_by_type(set, type))
        atk_relation_set_remove(set, r);
    g_object_unref(set);
}

#if !GTK_CHECK_VERSION(3, 0, 0)
// GTK 2 presses a button from the keyboard under a keyboard grab, which
// takes the focus from the window and gives it back: a screen reader then
// announces the window again on every page change made by Enter or Space.
// The wizard's buttons are pressed here instead, without the grab.
gboolean press_without_grab(GtkWidget* window, GdkEventKey* event, gpointer)
{
    bool space = event->keyval == GDK_KEY_space || event->keyval == GDK_KEY_KP_Space;
    bool enter = event->keyval == GDK_KEY_Return || event->keyval == GDK_KEY_KP_Enter ||
                 event->keyval == GDK_KEY_ISO_Enter;
    if ((!space && !enter) || (event->state & gtk_accelerator_get_default_mod_mask()) != 0)
        return FALSE;
    GtkWidget* target = gtk_window_get_focus(GTK_WINDOW(window));
    if (target == nullptr && enter)
        target = gtk_window_get_default_widget(GTK_WINDOW(window));
    if (target == nullptr || !GTK_IS_BUTTON(target) || !gtk_widget_is_sensitive(target) ||
        !gtk_widget_get_visible(target))
        return FALSE;
    gtk_button_clicked(GTK_BUTTON(target));
    return TRUE;
}
#endif

// A status text is spoken when it changes, at most once in this many
// microseconds: a listener follows a download that way, not every percent.
const gint64 kStatusPaceUs = 4 * G_USEC_PER_SEC;
const char kSpokenText[] = "lumora-spoken-text";
const char kSpokenAt[] = "lumora-spoken-at";

void set_description(GtkWidget* w, const char* text)
{
    if (AtkObject* acc = accessible_of(w)) {
        // ATK announces no description's first setting: that one is empty.
        if (acc->description == nullptr)
            atk_object_set_description(acc, "");
        atk_object_set_description(acc, text);
        atk_object_set_description(acc, "");
    }
}

// A text that a label of the page now shows, spoken unless it was the one
// spoken last; a status (not a warning) at the pace above.
void on_text_changed(GObject* object, GParamSpec*, gpointer data)
{
    auto* ui = static_cast<lm_ui*>(data);
    GtkWidget* label = GTK_WIDGET(object);
    if (ui->m_dlgFather == nullptr || !gtk_widget_get_mapped(label))
        return;
    const char* text = gtk_label_get_text(GTK_LABEL(label));
    const char* before = static_cast<const char*>(g_object_get_data(object, kSpokenText));
    if (text == nullptr || g_strcmp0(text, before) == 0)
        return;
    gint64 now = g_get_monotonic_time();
    // The time is kept in a gint64 of its own: a pointer holds only 32 bits
    // on i386 and armhf, too few for microseconds since boot.
    const auto* at = static_cast<const gint64*>(g_object_get_data(object, kSpokenAt));
    if (*text != '\0' && label != ui->m_lblWarning && at != nullptr && now - *at < kStatusPaceUs)
        return;
    g_object_set_data_full(object, kSpokenText, g_strdup(text), g_free);
    if (*text != '\0') {
        auto* spoken_at = g_new(gint64, 1);
        *spoken_at = now;
        g_object_set_data_full(object, kSpokenAt, spoken_at, g_free);
    } else {
        g_object_set_data(object, kSpokenAt, nullptr);
    }
    if (*text != '\0')
        ui->announce(text);
}

} // namespace

// A screen reader speaks a change of description for the object it follows
// only: the window, or the button that has (or last had) the focus. Each is
// changed, and none keeps the text.
void lm_ui::announce(const char* text)
{
    if (m_dlgFather == nullptr)
        return;
    for (GtkWidget* w : {m_dlgFather, m_btnBack, m_btnNext, m_btnCancel})
        set_description(w, text);
}

std::string lm_describe_page(GtkWidget* window, GtkWidget* page)
{
    std::string said;
    AtkObject* acc = accessible_of(window);
    if (acc == nullptr || page == nullptr)
        return said;
    drop_relations(acc, ATK_RELATION_DESCRIBED_BY);
    std::vector<GtkWidget*> labels;
    shown_texts(page, &labels);
    for (GtkWidget* label : labels) {
        const char* text = gtk_label_get_text(GTK_LABEL(label));
        said += said.empty() ? text : std::string(" ") + text;
        // What the page shows as it appears is not spoken again as a change;
        // the first change is spoken at once.
        g_object_set_data_full(G_OBJECT(label), kSpokenText, g_strdup(text), g_free);
        g_object_set_data(G_OBJECT(label), kSpokenAt, nullptr);
        AtkObject* text_acc = accessible_of(label);
        drop_relations(text_acc, ATK_RELATION_DESCRIPTION_FOR);
        atk_object_add_relationship(acc, ATK_RELATION_DESCRIBED_BY, text_acc);
        atk_object_add_relationship(text_acc, ATK_RELATION_DESCRIPTION_FOR, acc);
    }
    return said;
}

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
    // Warnings are spoken as they appear and change, the status texts at
    // a listener's pace.
    for (GtkWidget* label : {m_lblWarning, m_lblDownload, m_lblUpdate}) {
        if (label != nullptr)
            g_signal_connect(label, "notify::label", G_CALLBACK(on_text_changed), this);
    }
    if (m_dlgFather != nullptr) {
        g_signal_connect(m_dlgFather, "set-focus", G_CALLBACK(OnSetFocus), this);
        g_signal_connect(m_dlgFather, "notify::is-active", G_CALLBACK(OnActiveChanged), this);
    }
#if !GTK_CHECK_VERSION(3, 0, 0)
    if (m_dlgFather != nullptr)
        g_signal_connect(m_dlgFather, "key-press-event", G_CALLBACK(press_without_grab), nullptr);
#endif
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

// A new page is read as a window that has just been shown: the window with
// the page's texts as its description, then the focused default button. The
// focus leaves the buttons for the window itself; keep_default_button gives
// it to the default button once the page's buttons are set (on the Warning
// page, once "下一步" has become sensitive), so the button is presented after
// the window, with its new label.
void lm_ui::present_page()
{
    if (m_dlgFather == nullptr || !GTK_IS_WINDOW(m_dlgFather))
        return;
    std::string texts = lm_describe_page(m_dlgFather, m_oldWidget);
    GtkWidget* followed = m_pReaderAt;
    gtk_window_set_focus(GTK_WINDOW(m_dlgFather), nullptr);
    AtkObject* acc = accessible_of(m_dlgFather);
    if (!gtk_window_is_active(GTK_WINDOW(m_dlgFather)) || acc == nullptr)
        return; // a window that becomes active is presented, texts and all
    m_pReaderAt = m_dlgFather;
    if (followed == nullptr || followed == m_dlgFather) {
        // The reader presents the window it follows again only as a change
        // of its description.
        if (!texts.empty())
            set_description(m_dlgFather, texts.c_str());
        return;
    }
    // The reader follows a button: the window, which the toolkits do not
    // report as focused when the focus goes to it alone, is reported here.
    // ATK passes on no object twice in a row, and GTK 3 tells it of no
    // widget's focus, so the button is reported first (the reader is there
    // already and says nothing for it).
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    atk_focus_tracker_notify(accessible_of(followed));
    atk_focus_tracker_notify(acc);
    G_GNUC_END_IGNORE_DEPRECATIONS
}

// What a screen reader follows: the widget that took the focus last (also
// once it lost it by going insensitive: nothing else was focused since),
// or the window when it became active with no focused widget.
void lm_ui::OnSetFocus(GtkWindow*, GtkWidget* widget, gpointer data)
{
    if (widget != nullptr)
        static_cast<lm_ui*>(data)->m_pReaderAt = widget;
}

void lm_ui::OnActiveChanged(GObject* window, GParamSpec*, gpointer data)
{
    auto* ui = static_cast<lm_ui*>(data);
    if (!gtk_window_is_active(GTK_WINDOW(window)))
        return;
    GtkWidget* focus = gtk_window_get_focus(GTK_WINDOW(window));
    ui->m_pReaderAt = focus != nullptr ? focus : GTK_WIDGET(window);
}
