// The 100 ms status poll: network and reader checks on the Warning page,
// progress and the connection picture on the Download and Update pages,
// and the poll's half of the reconnect handshake after a written stage.
// The Warning page's check runs on a thread of its own (ui_check.cpp), so
// the window stays live while it waits on the network or the reader.
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "net/download.h"
#include "ui/i18n.h"
#include "ui/ui.h"
#include "ui/ui_a11y.h"
#include "ui/ui_check.h"
#include "usb/update.h"

namespace {

const u_int32_t kStatusTimer = 200;
const u_int32_t kStatusPeriodMs = 100;

const char kTextNoReaderFound[] = N_("警告：无法找到墨川电子书设备");
const char kTextReaderNotAttached[] = N_("警告：您的电子书设备未连接电脑");
const char kTextNoNetwork[] = N_("警告：您到电脑未连接网络");
const char kTextTwoReaders[] = N_("警告：请只连接一台墨川电子书设备");
const char kTextPlugBack[] =
    N_("请将正在更新的电子书插回它原来所在的USB接口。另一个USB接口上的电子书不会被写入。");

// An idle callback that runs clears the id kept for it, so that leaving the
// page never removes a source that no longer exists.
void forget_current_idle(int* event_id)
{
    GSource* source = g_main_current_source();
    if (source && *event_id == (int)g_source_get_id(source))
        *event_id = 0;
}

// A fraction below 0 shows as 0; SetProgress leaves the bar alone above 1.
float clamp_low(float pos)
{
    return (isnan(pos) || pos < 0.0f) ? 0.0f : pos;
}

// Clamped before the conversion: an infinite or huge fraction has no int.
int percent_of(float pos)
{
    if (!(pos > 0.0f))
        return 0;
    if (pos > 1.0f)
        return 100;
    return (int)(pos * 100.0f);
}

}  // namespace

void lm_ui::OnTimer(u_int32_t timer_id)
{
    if (timer_id != kStatusTimer)
        return;
    KillTimer(kStatusTimer);
    ExecuteTimerAction();
    // A Warning-page check re-arms the timer once its result is shown, so
    // the next one starts 100 ms after that, as the other pages' actions do.
    if (!m_pCheck && !m_nCheckShown)
        SetTimer(kStatusTimer, kStatusPeriodMs);
}

void lm_ui::ExecuteTimerAction()
{
    switch (m_curDlgIdx) {
    case DLGWARN:
        // The result comes back through OnCheckDone and OnSetBtnCB.
        start_connect_check();
        break;
    case DLGDOWNLOAD:
        m_nEventID = (int)g_idle_add(OnSetProgressCB, this);
        break;
    case DLGUPDATE: {
        int status = m_pUpdate ? m_pUpdate->get_device_connect_status() : -1;
        // Only another reader is there: it is not the one being updated.
        m_nOtherReaders = status != 0 && m_pUpdate ? m_pUpdate->other_readers_attached() : 0;
        if (status == 0) {
            m_ndev_con = 1;
            if (g_atomic_int_get(&m_nFreshBegin) == 1 || came_back_renumbered()) {
                g_atomic_int_set(&m_nFreshBegin, 0);
                g_atomic_int_set(&m_nFreshEnd, 1);
            }
        } else {
            m_ndev_con = 0;
            if (g_atomic_int_get(&m_nStageEnd) == 1) {
                g_atomic_int_set(&m_nFreshBegin, 1);
                g_atomic_int_set(&m_nFreshEnd, 0);
            }
        }
        m_nEventID = (int)g_idle_add(OnSetProgressCB, this);
        break;
    }
    default:
        break;
    }
}

// A restart may be over before the poll looked (a loaded machine): the
// reader's new device number tells it left all the same.
bool lm_ui::came_back_renumbered()
{
    if (g_atomic_int_get(&m_nStageEnd) != 1)
        return false;
    int before = g_atomic_int_get(&m_nStageAddress);
    int now = m_pUpdate->get_device_address();
    return before >= 0 && now >= 0 && now != before;
}

int lm_ui::start_connect_check()
{
    // One check at a time, a check left behind by an earlier visit included.
    if (m_pCheck || m_nCheckShown || lm_warning_check::running() > 0)
        return -1;
    // A side the wizard runs without (a test's null pointer) counts as absent.
    // An image file needs no server: only the reader is looked at.
    m_pCheck = lm_warning_check::start(m_pDownload != nullptr && !image_from_file(),
                                       m_pUpdate != nullptr, OnCheckDone, this);
    return m_pCheck ? 0 : -1;
}

void lm_ui::abandon_connect_check()
{
    if (m_pCheck) {
        m_pCheck->let_go();
        m_pCheck = nullptr;
    }
    m_nCheckShown = 0;
}

// On the main thread, for the check of the page as it is shown now (a check
// let go of never comes here).
void lm_ui::OnCheckDone(void* owner, const lm_check_result& result)
{
    lm_ui* ui = static_cast<lm_ui*>(owner);
    if (!ui)
        return;
    ui->abandon_connect_check();
    if (ui->m_curDlgIdx != DLGWARN)
        return;
    ui->m_nnet_con = ui->image_from_file() ? 1 : result.net;
    ui->m_ndev_con = result.dev;
    ui->m_nReaders = result.readers;
    if (result.dev == 1) {
        ui->m_lumora_bufsize = result.variant;
        ui->m_checkPort = result.port;
        ui->m_checkSerial = result.serial;
    }
    ui->m_nCheckShown = 1;
    ui->m_nEventID = (int)g_idle_add(OnSetBtnCB, ui);
}

gboolean lm_ui::OnSetBtnCB(gpointer data)
{
    lm_ui* ui = static_cast<lm_ui*>(data);
    if (!ui)
        return FALSE;
    forget_current_idle(&ui->m_nEventID);
    if (ui->m_curDlgIdx != DLGWARN)
        return FALSE;
    if (ui->m_nCheckShown) {
        ui->m_nCheckShown = 0;
        ui->SetTimer(kStatusTimer, kStatusPeriodMs);
    }

    const char* text = "";
    int mask = 5;
    if (ui->m_ndev_con == 1 && ui->m_nReaders > 1) {
        // Which one would be written is anybody's guess: neither is.
        text = kTextTwoReaders;
    } else if (ui->m_ndev_con == 1 && ui->m_nnet_con == 1) {
        if (ui->m_lumora_bufsize > 0)
            mask = 7;
        else
            text = kTextNoReaderFound;
    } else if (ui->m_ndev_con == 0) {
        text = kTextReaderNotAttached;
    } else {
        text = kTextNoNetwork;
    }
    if (ui->m_lblWarning && GTK_IS_LABEL(ui->m_lblWarning))
        gtk_label_set_text(GTK_LABEL(ui->m_lblWarning), *text ? _(text) : "");
    ui->btn_sense(mask);
    return FALSE;
}

gboolean lm_ui::OnSetProgressCB(gpointer data)
{
    lm_ui* ui = static_cast<lm_ui*>(data);
    if (!ui)
        return FALSE;
    forget_current_idle(&ui->m_nEventID);
    ui->OnSetProgress();
    return FALSE;
}

namespace {

// Puts `picture` into the alignment in place of the one shown; the old one
// keeps a reference so that it can be shown again later.
void swap_picture(GtkWidget* alignment, GtkWidget** shown, GtkWidget* picture)
{
    if (!alignment || !GTK_IS_CONTAINER(alignment) || !picture)
        return;
    if (*shown) {
        g_object_ref(*shown);
        gtk_container_remove(GTK_CONTAINER(alignment), *shown);
    }
    *shown = picture;
    // A picture that was shown before is held by our own reference from its
    // removal; the alignment takes its own now, so ours is dropped.
    bool held_by_us = !g_object_is_floating(picture) && !gtk_widget_get_parent(picture);
    gtk_container_add(GTK_CONTAINER(alignment), picture);
    if (held_by_us)
        g_object_unref(picture);
    lm_show_connection_name(alignment, picture);
}

}  // namespace

void lm_ui::OnSetProgress()
{
    char text[64];
    memset(text, 0, sizeof(text));

    if (m_curDlgIdx == DLGDOWNLOAD) {
        if (image_from_file()) {
            // The page names the file; nothing is fetched.
            if (g_atomic_int_get(&m_downError))
                btn_sense(5);
        } else if (g_atomic_int_get(&m_downloading) && m_pDownload && m_pDownload->get_length_unknown()) {
            // A chunked body has no known length: the bar shows activity.
            if (m_prgDownload && GTK_IS_PROGRESS_BAR(m_prgDownload))
                gtk_progress_bar_pulse(GTK_PROGRESS_BAR(m_prgDownload));
            snprintf(text, sizeof(text), "%s", _("状态: 正在下载"));
            SetProgressText(m_lblDownload, text);
        } else if (g_atomic_int_get(&m_downloading)) {
            float pos = clamp_low(m_pDownload ? m_pDownload->get_progress() : 0.0f);
            SetProgress(m_prgDownload, pos);
            snprintf(text, sizeof(text), _("状态: %d%% 已下载"), percent_of(pos));
            SetProgressText(m_lblDownload, text);
        } else if (g_atomic_int_get(&m_downError)) {
            btn_sense(5);
        }
        return;
    }
    if (m_curDlgIdx != DLGUPDATE)
        return;

    int updating = g_atomic_int_get(&m_updating);
    int busy = updating || g_atomic_int_get(&m_upComplete);
    show_reader_elsewhere(m_ndev_con != 1 && m_nOtherReaders > 0);
    if (m_ndev_con == 1) {
        if (m_nupdate_old_connect == -1) {
            swap_picture(alg_update_con_status, &img_update_old, img_update_con_ok);
            if (!busy)
                btn_sense(7);
            show_widget(alg_update_con_status, 1);
        }
        if (updating) {
            float pos = clamp_low(m_pUpdate ? m_pUpdate->get_progress() : 0.0f);
            SetProgress(m_prgUpdate, pos);
            SetProgressText(m_lblUpdate, text);
        }
        m_nupdate_old_connect = 0;
    } else {
        if (m_nupdate_old_connect == 0) {
            swap_picture(alg_update_con_status, &img_update_old, img_update_con_fail);
            if (!busy)
                btn_sense(5);
            show_widget(alg_update_con_status, 1);
        }
        m_nupdate_old_connect = -1;
    }
    // While a stage worker only waits for the reader, the user may quit.
    if (updating && !g_atomic_int_get(&m_upComplete))
        btn_sense(g_atomic_int_get(&m_nWaitDevice) ? 1 : 0);
}

// The Update page's text asks for the reader back at its port while only
// other readers are attached, and returns to what it said before.
void lm_ui::show_reader_elsewhere(bool elsewhere)
{
    if (elsewhere == (m_nElsewhereShown == 1))
        return;
    m_nElsewhereShown = elsewhere ? 1 : 0;
    if (elsewhere)
        SetProgressText(m_lblUpdate, const_cast<char*>(_(kTextPlugBack)));
    else if (!g_atomic_int_get(&m_updating))
        show_update_hint();
    else
        SetProgressText(m_lblUpdate, const_cast<char*>(""));
}

// Leaving the Warning page forward: the reader its check found is the one
// the update writes. Once a stage went to a reader, that reader stays the
// one followed, whatever is attached now.
void lm_ui::follow_checked_reader()
{
    if (!m_pUpdate || g_atomic_int_get(&m_nWriteTried))
        return;
    m_pUpdate->follow_reader(m_checkPort, m_checkSerial);
}

gboolean lm_ui::OnJumpDlgCB(gpointer data)
{
    lm_ui* ui = static_cast<lm_ui*>(data);
    if (!ui)
        return FALSE;
    bool downloaded = ui->m_curDlgIdx == DLGDOWNLOAD && g_atomic_int_get(&ui->m_downComplete);
    bool updated = ui->m_curDlgIdx == DLGUPDATE && g_atomic_int_get(&ui->m_upComplete);
    if (downloaded || updated)
        ui->DoBtnNext();
    return FALSE;
}
