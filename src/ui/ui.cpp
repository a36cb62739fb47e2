// The wizard window, its five pages, and the small widget helpers the
// rest of the wizard uses to set buttons, progress bars and labels.
#include "ui/ui.h"

#include <stdlib.h>

#include "ui/i18n.h"
#include "ui/images/images.h"
#include "ui/toolkit.h"
#include "ui/ui_a11y.h"

namespace {

// Background of the wizard window: white.
const GdkColor color = {0, 0xffff, 0xffff, 0xffff};

const char* const kWindowTitle = N_("墨川电子书升级软件");
const char* const kUpdateHint = N_("点击“更新”开始更新。");

enum ButtonBit { BTN_CANCEL = 1, BTN_NEXT = 2, BTN_BACK = 4 };

struct Padding {
    guint top, bottom, left, right;
};

// An alignment centred and stretched to its space, holding child (if any).
GtkWidget* aligned(GtkWidget* child, Padding pad = {0, 0, 0, 0}, gfloat yscale = 1.0f)
{
    return lm_alignment_new(child, pad.top, pad.bottom, pad.left, pad.right, yscale);
}

void pack(GtkWidget* box, GtkWidget* child, gboolean expand, gboolean fill)
{
    if (child == nullptr) {
        return; // a picture that failed to decode leaves a gap
    }
    gtk_box_pack_start(GTK_BOX(box), child, expand, fill, 0);
}

void pack_grow(GtkWidget* box, GtkWidget* child) { pack(box, child, TRUE, TRUE); }
void pack_fixed(GtkWidget* box, GtkWidget* child) { pack(box, child, FALSE, FALSE); }

// A horizontal box holding one fixed child; keeps labels at their natural width.
GtkWidget* hbox_with(GtkWidget* child)
{
    GtkWidget* box = lm_hbox_new();
    pack_fixed(box, child);
    return box;
}

GtkWidget* add_button(GtkWidget* dialog, const char* label, GCallback handler, gpointer self)
{
    GtkWidget* btn = gtk_button_new_with_mnemonic(label);
    g_signal_connect_data(btn, "clicked", handler, self, nullptr, GConnectFlags(0));
    gtk_dialog_add_action_widget(GTK_DIALOG(dialog), btn, 0);
    gtk_widget_set_can_default(btn, TRUE);
    return btn;
}

void set_button_label(GtkWidget* btn, const char* text)
{
    if (btn == nullptr || !GTK_IS_BUTTON(btn)) {
        return;
    }
    const char* label = text != nullptr ? text : "";
    bool changed = g_strcmp0(gtk_button_get_label(GTK_BUTTON(btn)), label) != 0;
    gtk_button_set_label(GTK_BUTTON(btn), label);
    if (changed)
        lm_name_button(btn, label);
}

void set_button_sensitive(GtkWidget* btn, int on)
{
    if (btn == nullptr || !GTK_IS_BUTTON(btn)) {
        return;
    }
    gtk_widget_set_sensitive(btn, on ? TRUE : FALSE);
}

} // namespace

lm_ui::lm_ui()
    : m_dlgFather(nullptr), m_dlgWelcome(nullptr), m_dlgWarning(nullptr),
      m_dlgDownload(nullptr), m_dlgUpdate(nullptr), m_dlgFinish(nullptr),
      m_oldWidget(nullptr), m_dlgVbox(nullptr), alg_update_con_status(nullptr),
      img_update_con_ok(nullptr), img_update_con_fail(nullptr), img_update_old(nullptr),
      m_lblWarning(nullptr), m_nupdate_old_connect(0), m_btnBack(nullptr),
      m_btnNext(nullptr), m_btnCancel(nullptr), m_prgDownload(nullptr),
      m_prgUpdate(nullptr), m_lblDownload(nullptr), m_lblUpdate(nullptr),
      m_pThread(nullptr), m_nEventID(0), m_curDlgIdx(DLG_TYPE(0)),
      m_oldDlgIdx(DLG_TYPE(0)), m_pDownload(nullptr), m_pUpdate(nullptr),
      m_pdata(nullptr), m_nBufLen(0), m_nCancel(0), m_downComplete(0),
      m_downloading(0), m_upComplete(0), m_updating(0), m_stageRetval(0),
      m_nstage_idx(0), m_nstage_idx_view(0), m_ndev_con(0), m_nnet_con(0),
      m_downError(0), m_lumora_bufsize(0), m_nStageEnd(0), m_nFreshBegin(0),
      m_nFreshEnd(0), m_nStageAddress(-1), m_nWaitDevice(0), m_nWrittenStages(0), m_nWriteTried(0),
      m_nWriteState(WRITE_IDLE), m_bAsking(0), m_pDeferredDlg(nullptr), m_pCheck(nullptr),
      m_nCheckShown(0)
{
}

lm_ui::~lm_ui()
{
    // A check still running goes on alone and never reports back.
    abandon_connect_check();
    release_data_buf();
    free(m_pFileData);
}

void lm_ui::release_data_buf()
{
    if (m_pdata == nullptr) {
        return;
    }
    free(m_pdata);
    m_pdata = nullptr;
}

int lm_ui::create_dlg()
{
    m_dlgFather = create_father_dlg();
    m_dlgWelcome = create_welcome_dlg();
    m_dlgWarning = create_dlg_warning();
    m_dlgDownload = create_dlg_download();
    m_dlgUpdate = create_dlg_update();
    m_dlgFinish = create_dlg_finish();
    expose_accessibility();
    return 0;
}

GtkWidget* lm_ui::create_father_dlg()
{
    GtkWidget* dlg = gtk_dialog_new();
    gtk_widget_set_size_request(dlg, 610, 400);
    gtk_window_set_title(GTK_WINDOW(dlg), _(kWindowTitle));
    gtk_window_set_resizable(GTK_WINDOW(dlg), FALSE);

    GdkPixbuf* icon = create_pixbuf(lm_images::lumora);
    if (icon != nullptr) {
        lm_window_set_icon(GTK_WINDOW(dlg), icon, lm_images::lumora);
        g_object_unref(icon);
    }
    gtk_window_set_type_hint(GTK_WINDOW(dlg), GDK_WINDOW_TYPE_HINT_DIALOG);

    m_dlgVbox = gtk_dialog_get_content_area(GTK_DIALOG(dlg));

    m_btnBack = add_button(dlg, _("上一步"), G_CALLBACK(OnBtnBack), this);
    m_btnNext = add_button(dlg, _("下一步"), G_CALLBACK(OnBtnNext), this);
    m_btnCancel = add_button(dlg, _("取消"), G_CALLBACK(OnBtnCancel), this);
    // The buttons' box is the dialog's action area (reached this way on
    // both toolkits: GTK 3 deprecates asking the dialog for it).
    gtk_button_box_set_layout(GTK_BUTTON_BOX(gtk_widget_get_parent(m_btnBack)), GTK_BUTTONBOX_END);

    // A close request from the window manager (or Escape) goes through
    // the same confirmation as Cancel; GTK never destroys the window itself.
    g_signal_connect(dlg, "delete-event", G_CALLBACK(OnDeleteEvent), this);

    lm_widget_set_background(dlg, color);
    return dlg;
}

GtkWidget* lm_ui::create_welcome_dlg()
{
    GtkWidget* root = lm_hbox_new();
    pack(root, create_pixmap(lm_images::Left), FALSE, TRUE);

    GtkWidget* column = lm_vbox_new();
    pack_grow(root, aligned(column));
    pack_fixed(column, aligned(create_pixmap(lm_images::welcome), {73, 0, 0, 0}));

    GtkWidget* texts = lm_vbox_new();
    pack_grow(column, aligned(texts));
    pack_fixed(texts, aligned(gtk_label_new(_("Version: 2.0.1 build 0205")), {11, 0, 0, 0}));
    pack_fixed(texts, aligned(hbox_with(gtk_label_new(_("向导将会通过互联网下载最新的升级软件。"))),
                              {38, 0, 70, 70}));
    pack_fixed(texts, aligned(hbox_with(gtk_label_new(_("点击：“下一步”继续"))), {20, 0, 70, 70}));
    return root;
}

GtkWidget* lm_ui::create_dlg_warning()
{
    GtkWidget* root = lm_vbox_new();
    pack_grow(root, aligned(create_pixmap(lm_images::top)));
    m_lblWarningList = gtk_label_new(_("在更新之前，请确认\n\n"
                                       "    1.您的电脑已连接互联网。\n"
                                       "    2.您的电子书与电脑已连接。\n"
                                       "    3.您的电子书正处于更新模式下。（请先按下重置键，然后同时按下开机\n"
                                       "按键及菜单按键直到电子书的屏幕上显示更新界面。）"));
    pack_grow(root, aligned(m_lblWarningList, {5, 5, 45, 45}));

    GtkWidget* keys = lm_hbox_new();
    pack_grow(root, aligned(keys));
    pack_fixed(keys, aligned(create_pixmap(lm_images::power), {0, 0, 87, 0}));
    pack_fixed(keys, aligned(create_pixmap(lm_images::menu), {0, 0, 32, 0}));

    m_lblWarning = gtk_label_new("");
    pack_fixed(root, aligned(hbox_with(m_lblWarning), {3, 0, 55, 0}));
    return root;
}

GtkWidget* lm_ui::create_dlg_download()
{
    GtkWidget* root = lm_vbox_new();
    pack_grow(root, aligned(create_pixmap(lm_images::top)));

    GtkWidget* column = lm_vbox_new();
    pack_fixed(root, aligned(column, {130, 0, 70, 60}));
    m_lblDownload = gtk_label_new(_("状态:"));
    pack_fixed(column, hbox_with(m_lblDownload));
    m_prgDownload = gtk_progress_bar_new();
    gtk_widget_set_size_request(m_prgDownload, -1, 10);
    pack_fixed(column, m_prgDownload);
    return root;
}

GtkWidget* lm_ui::create_dlg_update()
{
    GtkWidget* root = lm_vbox_new();
    pack_fixed(root, aligned(create_pixmap(lm_images::top)));

    alg_update_con_status = aligned(nullptr, {9, 0, 0, 0});
    pack_fixed(root, alg_update_con_status);
    img_update_con_ok = create_pixmap(lm_images::link_1);
    img_update_old = img_update_con_ok;
    m_nupdate_old_connect = 0;
    img_update_con_fail = create_pixmap(lm_images::Link_2);
    if (img_update_con_ok != nullptr) {
        gtk_container_add(GTK_CONTAINER(alg_update_con_status), img_update_con_ok);
    }

    m_lblUpdate = gtk_label_new(_(kUpdateHint));
    pack_fixed(root, aligned(hbox_with(m_lblUpdate), {27, 0, 60, 60}, 0.9f));

    m_prgUpdate = gtk_progress_bar_new();
    gtk_widget_set_size_request(m_prgUpdate, -1, 10);
    pack_fixed(root, aligned(m_prgUpdate, {3, 0, 60, 60}));

    pack_fixed(root, aligned(gtk_label_new(_("警告：请确保在更新期间您的电子书设备保持与电脑连接。")),
                             {3, 0, 40, 60}));
    return root;
}

GtkWidget* lm_ui::create_dlg_finish()
{
    GtkWidget* root = lm_hbox_new();
    pack_fixed(root, aligned(create_pixmap(lm_images::Left)));

    GtkWidget* column = lm_vbox_new();
    pack_fixed(root, aligned(column, {0, 0, 15, 0}));
    pack_fixed(column, aligned(create_pixmap(lm_images::finish), {54, 0, 0, 0}));
    pack_fixed(column, aligned(gtk_label_new(_("点击重置键并重新启动您的电子书。\n"
                                             "轻松享受墨川电子书的阅读乐趣！\n\n\n"
                                             "向导已成功安装墨川电子书软件升级软件。\n"
                                             "点击“完成”退出向导。")),
                               {50, 0, 50, 0}));
    return root;
}

GdkPixbuf* lm_ui::create_pixbuf(const guint8* data)
{
    if (data == nullptr) {
        return nullptr;
    }
    // A picture with words shows them in the language of the texts.
    data = lm_images::localised(data, lm_catalogue_language());
    // The inline-pixdata loader is deprecated but is exactly the format
    // the pictures are compiled in; the pixels are not copied.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GdkPixbuf* pixbuf = gdk_pixbuf_new_from_inline(-1, data, FALSE, nullptr);
    G_GNUC_END_IGNORE_DEPRECATIONS
    return pixbuf;
}

GtkWidget* lm_ui::create_pixmap(const guint8* data)
{
    if (data == nullptr || data[0] == 0) {
        return nullptr;
    }
    // The language's own drawing, so that its twice-size drawing is found too.
    const guint8* shown = lm_images::localised(data, lm_catalogue_language());
    GdkPixbuf* pixbuf = create_pixbuf(shown);
    if (pixbuf == nullptr) {
        return nullptr;
    }
    GtkWidget* image = lm_image_new(pixbuf, shown);
    g_object_unref(pixbuf); // the image holds its own reference
    lm_describe_picture(image, data);
    return image;
}

void lm_ui::btn_set_text(const char* back, const char* next, const char* cancel)
{
    set_button_label(m_btnBack, back);
    set_button_label(m_btnNext, next);
    set_button_label(m_btnCancel, cancel);
}

void lm_ui::btn_display(int mask)
{
    show_widget(m_btnBack, mask & BTN_BACK);
    show_widget(m_btnNext, mask & BTN_NEXT);
    show_widget(m_btnCancel, mask & BTN_CANCEL);
}

void lm_ui::show_widget(GtkWidget* w, int show)
{
    if (w == nullptr || !GTK_IS_WIDGET(w)) {
        return;
    }
    if (show) {
        gtk_widget_show_all(w);
    } else {
        lm_widget_hide_all(w);
    }
}

void lm_ui::btn_sense(int mask)
{
    set_button_sensitive(m_btnBack, mask & BTN_BACK);
    set_button_sensitive(m_btnNext, mask & BTN_NEXT);
    set_button_sensitive(m_btnCancel, mask & BTN_CANCEL);
    keep_default_button();
}

int lm_ui::SetProgress(GtkWidget* w, float pos)
{
    if (!(pos >= 0.0f && pos <= 1.0f)) {
        return -1; // also refuses NaN
    }
    if (w == nullptr || !GTK_IS_PROGRESS_BAR(w)) {
        return -1;
    }
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(w), pos);
    return 0;
}

int lm_ui::SetProgressText(GtkWidget* w, char* text)
{
    if (w == nullptr || !GTK_IS_LABEL(w)) {
        return -1;
    }
    gtk_label_set_text(GTK_LABEL(w), text != nullptr ? text : "");
    return 0;
}

// The Update page as it is before "更新": its hint and an empty bar.
void lm_ui::show_update_hint()
{
    SetProgress(m_prgUpdate, 0.0f);
    SetProgressText(m_lblUpdate, const_cast<char*>(_(kUpdateHint)));
}

int lm_ui::show_dlg(DLG_TYPE page)
{
    GtkWidget* root = nullptr;
    switch (page) {
    case DLGWELCOME: root = m_dlgWelcome; break;
    case DLGWARN: root = m_dlgWarning; break;
    case DLGDOWNLOAD: root = m_dlgDownload; break;
    case DLGUPDATE: root = m_dlgUpdate; break;
    case DLGFINISH: root = m_dlgFinish; break;
    default: return -1;
    }
    m_curDlgIdx = page;

    if (m_oldWidget != nullptr && m_dlgVbox != nullptr) {
        g_object_ref(m_oldWidget); // pages outside the window stay alive
        gtk_container_remove(GTK_CONTAINER(m_dlgVbox), m_oldWidget);
    }
    m_oldWidget = root;
    if (root != nullptr && m_dlgVbox != nullptr) {
        // Added as a container child, not with gtk_box_pack_start: only the
        // "add" signal tells assistive technologies of the new page.
        gtk_container_add(GTK_CONTAINER(m_dlgVbox), root);
        gtk_box_set_child_packing(GTK_BOX(m_dlgVbox), root, FALSE, FALSE, 0, GTK_PACK_START);
    }
    if (m_dlgFather != nullptr) {
        gtk_widget_show_all(m_dlgFather);
    }
    present_page();
    return 0;
}

int lm_ui::SetBtnStatus()
{
    switch (m_curDlgIdx) {
    case DLGWELCOME:
        btn_display(BTN_NEXT | BTN_CANCEL);
        btn_set_text("", _("下一步"), _("取消"));
        btn_sense(BTN_NEXT | BTN_CANCEL);
        return 0;
    case DLGWARN:
        btn_display(BTN_BACK | BTN_NEXT | BTN_CANCEL);
        btn_set_text(_("上一步"), _("下一步"), _("取消"));
        btn_sense(BTN_BACK | BTN_CANCEL); // Next waits for the status poll
        return 0;
    case DLGDOWNLOAD:
        btn_display(BTN_BACK | BTN_NEXT | BTN_CANCEL);
        // An image file is not downloaded: the button only moves on.
        btn_set_text(_("上一步"), image_from_file() ? _("下一步") : _("下载"), _("取消"));
        btn_sense(g_atomic_int_get(&m_downloading) ? BTN_CANCEL : (BTN_BACK | BTN_NEXT | BTN_CANCEL));
        return 0;
    case DLGUPDATE:
        btn_display(BTN_NEXT | BTN_CANCEL);
        btn_set_text(_("上一步"), _("更新"), _("取消"));
        btn_sense(g_atomic_int_get(&m_updating) ? 0 : (BTN_NEXT | BTN_CANCEL));
        return 0;
    case DLGFINISH:
        btn_display(BTN_CANCEL);
        btn_set_text("", "", _("完成"));
        btn_sense(BTN_CANCEL);
        return 0;
    }
    return -1;
}
