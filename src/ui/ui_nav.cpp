// Page navigation: what Back, Next and Cancel do on each page, what runs
// while a page is shown, and how the wizard ends.
#include "ui/dialogs.h"
#include "ui/i18n.h"
#include "ui/ui.h"

namespace {

const u_int32_t kStatusTimer = 200;
const u_int32_t kStatusPeriodMs = 100;

const char* const kQuitQuestion = N_("您确定要退出墨川电子书升级软件吗？");
const char* const kWorkerFailed = N_("对不起，无法启动后台任务，请稍候重试。");

} // namespace

void lm_ui::OnBtnBack(GtkButton*, gpointer data)
{
    if (data == nullptr) {
        return;
    }
    static_cast<lm_ui*>(data)->DoBtnPrev();
}

void lm_ui::OnBtnNext(GtkButton*, gpointer data)
{
    if (data == nullptr) {
        return;
    }
    static_cast<lm_ui*>(data)->DoBtnNext();
}

void lm_ui::OnBtnCancel(GtkButton*, gpointer data)
{
    if (data == nullptr) {
        return;
    }
    static_cast<lm_ui*>(data)->DoBtnCancel();
}

gboolean lm_ui::OnDeleteEvent(GtkWidget*, GdkEvent*, gpointer data)
{
    auto* ui = static_cast<lm_ui*>(data);
    if (ui == nullptr) {
        return TRUE;
    }
    // Closing the window is Cancel, and like Cancel it is refused while
    // the flash is being written (the button is insensitive then).
    GtkWidget* cancel = ui->m_btnCancel;
    if (cancel != nullptr && GTK_IS_WIDGET(cancel) && !gtk_widget_get_sensitive(cancel)) {
        return TRUE;
    }
    ui->DoBtnCancel();
    return TRUE;
}

int lm_ui::show_next_dlg()
{
    m_oldDlgIdx = m_curDlgIdx;
    int next = m_curDlgIdx + 1;
    if (next > DLGFINISH) {
        next = DLGFINISH;
    }
    return show_dlg(DLG_TYPE(next));
}

int lm_ui::show_prev_dlg()
{
    m_oldDlgIdx = m_curDlgIdx;
    int prev = m_curDlgIdx - 1;
    if (prev < 0) {
        prev = 0;
    }
    return show_dlg(DLG_TYPE(prev));
}

int lm_ui::redirect_to_dlg()
{
    switch (m_curDlgIdx) {
    case DLGWELCOME:
        show_next_dlg();
        break;
    case DLGWARN:
        follow_checked_reader();
        show_next_dlg();
        break;
    case DLGDOWNLOAD:
        if (g_atomic_int_get(&m_downComplete) == 1) {
            show_next_dlg();
        } else {
            g_atomic_int_set(&m_downloading, 1);
            begin_attempt();
        }
        break;
    case DLGUPDATE:
        if (g_atomic_int_get(&m_upComplete) == 1) {
            show_next_dlg();
        } else {
            g_atomic_int_set(&m_updating, 1);
        }
        break;
    default:
        m_oldDlgIdx = m_curDlgIdx;
        break;
    }
    return SetBtnStatus();
}

int lm_ui::redirect_to_prev_dlg()
{
    switch (m_curDlgIdx) {
    case DLGWARN:
        show_prev_dlg();
        break;
    case DLGDOWNLOAD:
        if (g_atomic_int_get(&m_downComplete) == 0 && g_atomic_int_get(&m_downloading) == 0) {
            show_prev_dlg();
        }
        break;
    case DLGUPDATE:
        if (g_atomic_int_get(&m_upComplete) == 0 && g_atomic_int_get(&m_updating) == 0) {
            // The image has to be downloaded again.
            g_atomic_int_set(&m_downComplete, 0);
            g_atomic_int_set(&m_downloading, 0);
            g_atomic_int_set(&m_upComplete, 0);
            g_atomic_int_set(&m_updating, 0);
            show_prev_dlg();
        }
        break;
    default:
        m_oldDlgIdx = m_curDlgIdx;
        break;
    }
    return SetBtnStatus();
}

void lm_ui::ClearDlgEvent(DLG_TYPE page)
{
    if (page != DLGWARN && page != DLGDOWNLOAD && page != DLGUPDATE) {
        return;
    }
    if (page == DLGWARN) {
        // Never waited for: a helper is killed, nothing late reaches a page.
        abandon_connect_check();
    }
    if (m_nEventID != 0) {
        // The callback may already have run; its id is then gone.
        GSource* pending = g_main_context_find_source_by_id(nullptr, m_nEventID);
        if (pending != nullptr && !g_source_is_destroyed(pending)) {
            g_source_remove(m_nEventID);
        }
        m_nEventID = 0;
    }
    KillTimer(kStatusTimer);
    if (page == DLGWARN || m_pThread == nullptr) {
        return;
    }
    g_thread_join(m_pThread);
    m_pThread = nullptr;
}

// Arms the status poll of the page now shown and, when the page's job has
// been started, its worker. Next leaves the Download page's poll off until
// "下载" is pressed; Back arms it at once.
void lm_ui::start_page_events(bool poll_idle_download)
{
    switch (m_curDlgIdx) {
    case DLGWARN:
        SetTimer(kStatusTimer, kStatusPeriodMs);
        break;
    case DLGDOWNLOAD: {
        bool downloading = g_atomic_int_get(&m_downloading) == 1;
        if (downloading || poll_idle_download) {
            SetTimer(kStatusTimer, kStatusPeriodMs);
        }
        if (downloading) {
            StartWorker();
        }
        break;
    }
    case DLGUPDATE:
        SetTimer(kStatusTimer, kStatusPeriodMs);
        if (g_atomic_int_get(&m_updating) == 1) {
            StartWorker();
        }
        break;
    default:
        break;
    }
}

void lm_ui::DoBtnNext()
{
    redirect_to_dlg();
    ClearDlgEvent(m_oldDlgIdx);
    after_page_move();
    start_page_events(false);
}

void lm_ui::DoBtnPrev()
{
    redirect_to_prev_dlg();
    ClearDlgEvent(m_oldDlgIdx);
    after_page_move();
    start_page_events(true);
}

void lm_ui::DoBtnCancel()
{
    if (m_curDlgIdx != DLGFINISH && FinalCancelConfirm() == 0) {
        run_deferred_dialog();
        return;
    }
    // Once this succeeds no write may begin. The reader may have come back
    // while the question was open and a stage be under way: a write is
    // never cut short, so the worker quits as soon as it has ended (the
    // stage is whole then and can be finished at the next start).
    if (!g_atomic_int_compare_and_exchange(&m_nWriteState, WRITE_IDLE, WRITE_QUIT)) {
        if (g_atomic_int_compare_and_exchange(&m_nWriteState, WRITE_RUNNING, WRITE_QUIT_AFTER)) {
            m_pDeferredDlg = nullptr;
            return;
        }
        run_deferred_dialog();
        return;
    }
    quit_now();
}

gboolean lm_ui::OnQuitAfterWriteCB(gpointer data)
{
    if (data != nullptr) {
        static_cast<lm_ui*>(data)->quit_now();
    }
    return FALSE;
}

// The confirmed quit itself; no write runs or begins from here on.
void lm_ui::quit_now()
{
    m_pDeferredDlg = nullptr;
    // Set before the join below, so that a running download stops.
    g_atomic_int_set(&m_nCancel, 1);
    ClearDlgEvent(m_curDlgIdx);
    end_attempt();
    if (m_dlgFather != nullptr && GTK_IS_WIDGET(m_dlgFather)) {
        gtk_widget_destroy(m_dlgFather);
    }
    // The window took its content box and buttons with it.
    m_dlgFather = nullptr;
    m_dlgVbox = nullptr;
    m_oldWidget = nullptr;
    m_btnBack = nullptr;
    m_btnNext = nullptr;
    m_btnCancel = nullptr;
    if (gtk_main_level() > 0) {
        gtk_main_quit();
    }
}

int lm_ui::FinalCancelConfirm()
{
    if (m_dlgFather == nullptr || !GTK_IS_WIDGET(m_dlgFather)) {
        return 0;
    }
    int was_asking = m_bAsking;
    m_bAsking = 1;
    int response = lm_run_message(m_dlgFather, GTK_MESSAGE_INFO, GTK_BUTTONS_OK_CANCEL,
                                  _(kQuitQuestion), false);
    m_bAsking = was_asking;
    return response == GTK_RESPONSE_OK ? 1 : 0;
}

// A worker's dialog never opens on top of the quit question: it is kept
// for when the question has been answered. One worker queues at most one
// dialog, and the next worker starts only from it, so one slot is enough.
bool lm_ui::defer_while_asking(GSourceFunc dialog_cb)
{
    if (!m_bAsking) {
        return false;
    }
    m_pDeferredDlg = dialog_cb;
    return true;
}

void lm_ui::run_deferred_dialog()
{
    if (m_bAsking || m_pDeferredDlg == nullptr) {
        return;
    }
    GSourceFunc dialog_cb = m_pDeferredDlg;
    m_pDeferredDlg = nullptr;
    dialog_cb(this);
}

int lm_ui::StartWorker()
{
    if (m_pThread != nullptr) {
        // At most one worker: a finished one is collected before the next.
        g_thread_join(m_pThread);
        m_pThread = nullptr;
    }
    GError* error = nullptr;
    m_pThread = g_thread_try_new("lumora-worker", OnThreadCB, this, &error);
    if (m_pThread != nullptr) {
        return 0;
    }
    g_clear_error(&error);
    OnStartWorkerFailed();
    return -1;
}

void lm_ui::OnStartWorkerFailed()
{
    // Nothing runs: give the page back the buttons of an idle page.
    g_atomic_int_set(&m_downloading, 0);
    g_atomic_int_set(&m_updating, 0);
    keep_awake(false);
    SetBtnStatus();
    show_update_hint();
    note_error(_(kWorkerFailed));
    lm_run_message(m_dlgFather, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, _(kWorkerFailed), false);
}
