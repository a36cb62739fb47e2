// The background worker: the whole download, or one flash stage per run,
// and the dialogs it hands back to the main thread.
#include <stdio.h>
#include <string.h>

#include "net/download.h"
#include "state/attempt.h"
#include "ui/dialogs.h"
#include "ui/i18n.h"
#include "ui/ui.h"
#include "usb/image.h"
#include "usb/update.h"

namespace {

const char kTextDownloadFailed[] = N_("对不起，下载更新文件失败，请稍候重试。");
const char kTextImageDamaged[] = N_("对不起，下载的更新文件已损坏，无法写入电子书。请点击确定返回并重新下载。");
const char kTextWrongReader[] = N_("对不起，连接的电子书与下载的更新文件不匹配，请连接原来的电子书后重试。");
// TRANSLATORS: in the stage texts %d is the step (1 to 6), each %s one of
// the numbered lines below, and 确定 the dialog's OK button.
const char kFormatStageFailed[] = N_("对不起，第%d步更新失败，请重启电子书设备并点击确定重新升级。");
const char kFormatFirstStageDone[] = N_("第%d步更新成功，请继续,\n\n%s\n%s\n%s\n%s\n%s");
const char kFormatStageDone[] = N_("第%d步已成功更新，请继续,\n\n%s\n%s\n%s");
const char kLinePressReset[] = N_("1. 首先，请按下电子书的重置键");
const char kLinePressKeys[] = N_("2. 请同时按下电源及菜单键，直至屏幕显示更新界面");
const char kLineBlankPage[] = N_("   如果屏幕出现空白页面，且Lumora设备更新对话框");
const char kLineGreenButton[] = N_("   中的红色按钮变成绿色，请跳至步骤3");
const char kLinePressOk[] = N_("3. 点击确定继续更新");

const int kReaderCheckMs = 2000;     // between checks for an attached reader
const int kReconnectStepMs = 3000;   // between looks for the reader's return
const int kReconnectSteps = 30;      // gives up after 90 s
const int kAfterStageMs = 1000;
const int kCancelSliceMs = 100;

bool window_alive(GtkWidget* window)
{
    return window && GTK_IS_WIDGET(window);
}

int first_unwritten_stage(const lm_stage_plan& plan, int written)
{
    for (int k = 0; k < LM_STAGE_COUNT; ++k) {
        if (plan.stages[k].present && !(written & (1 << k)))
            return k;
    }
    return -1;
}

}  // namespace

gpointer lm_ui::OnThreadCB(gpointer arg)
{
    if (arg)
        static_cast<lm_ui*>(arg)->DoThreadCB();
    return nullptr;
}

// Sleeps `ms`, looking at the quit flag every 100 ms; true when quitting.
static bool sleep_unless_cancelled(int* cancel, int ms)
{
    for (int slept = 0; slept < ms; slept += kCancelSliceMs) {
        if (g_atomic_int_get(cancel))
            return true;
        g_usleep(kCancelSliceMs * 1000);
    }
    return g_atomic_int_get(cancel) != 0;
}

void lm_ui::DoThreadCB()
{
    if (m_curDlgIdx == DLGDOWNLOAD && !g_atomic_int_get(&m_downComplete)) {
        bool from_file = image_from_file();
        int ret = -1;
        if (from_file)
            ret = take_image_file();
        else if (m_pDownload)
            ret = m_pDownload->DownloadImage(&m_pdata, &m_nCancel);
        if (ret == 0) {
            g_atomic_int_set(&m_nBufLen, from_file ? m_nFileLen : m_pDownload->getcurdatalen());
            // A file's source is its path, with no server.
            if (m_pAttempt)
                m_pAttempt->image_ready(m_pdata, m_nBufLen, m_pDownload->get_cur_dev_version(),
                                        from_file ? "" : m_pDownload->m_imgHost,
                                        from_file ? m_imagePath.c_str() : m_pDownload->m_imgFile,
                                        &m_nCancel);
            // A quit during the save: the main thread waits for this worker.
            if (g_atomic_int_get(&m_nCancel))
                return;
            // A new image starts a new sequence of stages.
            m_nstage_idx = 0;
            g_atomic_int_set(&m_nstage_idx_view, 0);
            g_atomic_int_set(&m_nWrittenStages, 0);
            g_atomic_int_set(&m_nWriteTried, 0);
            g_atomic_int_set(&m_downError, 0);
            g_atomic_int_set(&m_downComplete, 1);
            g_idle_add(OnJumpDlgCB, this);
            return;
        }
        if (m_pAttempt && m_pDownload)
            m_pAttempt->set_variant(m_pDownload->get_cur_dev_version());
        g_atomic_int_set(&m_downError, 1);
        g_atomic_int_set(&m_downloading, 0);
        // After a confirmed quit nobody is left to read the dialog. A file
        // that fails the checks gets the dialog a downloaded image would.
        if (!g_atomic_int_get(&m_nCancel))
            g_idle_add(ret == LM_FILE_DAMAGED ? OnPopupBadImageDlgCB
                       : from_file            ? OnPopupWrongReaderDlgCB
                                              : OnPopupTipErrDlgCB,
                       this);
        return;
    }
    if (m_curDlgIdx == DLGUPDATE && !g_atomic_int_get(&m_upComplete)) {
        WriteImage();
        if (g_atomic_int_get(&m_upComplete))
            g_idle_add(OnJumpDlgCB, this);
    }
}

// Waits, without limit, until the reader is attached; the user may quit
// meanwhile. 0 when attached, -1 when quitting.
int lm_ui::wait_for_reader()
{
    int ret = 0;
    while (m_pUpdate->get_device_connect_status() < 0) {
        g_atomic_int_set(&m_nWaitDevice, 1);
        if (sleep_unless_cancelled(&m_nCancel, kReaderCheckMs)) {
            ret = -1;
            break;
        }
    }
    g_atomic_int_set(&m_nWaitDevice, 0);
    if (g_atomic_int_get(&m_nCancel))
        return -1;
    return ret;
}

// After a written stage the reader leaves the bus and comes back; the
// status poll sees both and raises m_nFreshEnd. True when it came back.
static bool wait_for_reconnect(int* fresh_end, int* cancel)
{
    for (int steps = 0; steps < kReconnectSteps; ++steps) {
        if (g_atomic_int_get(fresh_end))
            return true;
        if (sleep_unless_cancelled(cancel, kReconnectStepMs))
            return false;
    }
    return false;
}

int lm_ui::WriteImage()
{
    if (!m_pUpdate || !m_pDownload)
        return -1;
    if (wait_for_reader() < 0)
        return -1;

    lm_stage_plan plan;
    int variant = m_pDownload->get_cur_dev_version();
    if (lm_read_stage_plan(m_pdata, g_atomic_int_get(&m_nBufLen), variant, &plan) != 0 ||
        plan.stagenum == 0) {
        g_idle_add(OnPopupBadImageDlgCB, this);
        return -1;
    }

    int stage = first_unwritten_stage(plan, g_atomic_int_get(&m_nWrittenStages));
    if (stage < 0) {
        g_atomic_int_set(&m_upComplete, 1);
        return 0;
    }
    m_nstage_idx = stage;

    if (wait_for_reader() < 0)
        return -1;
    // The image was chosen for the reader seen when it was downloaded;
    // another reader may have been attached since. Once bytes of a stage
    // went to the reader it may restart into what it got and name itself
    // differently, so only the writes before that are guarded.
    if (!g_atomic_int_get(&m_nWriteTried) && m_pUpdate->get_lumora_buffer_size() != variant) {
        g_idle_add(OnPopupWrongReaderDlgCB, this);
        return -1;
    }
    // A quit confirmed meanwhile has taken the state: nothing is written.
    if (!g_atomic_int_compare_and_exchange(&m_nWriteState, WRITE_IDLE, WRITE_RUNNING))
        return -1;
    if (m_pAttempt) {
        // The journal names the reader, so that a resume can tell another one.
        std::string port, serial;
        if (m_pUpdate->get_reader_identity(&port, &serial) == 0)
            m_pAttempt->set_reader(port, serial);
        m_pAttempt->stage_started(stage);
    }
    // The poll watches for the reader's restart from before the write: the
    // reader leaves soon after the last byte, and this thread may be slow
    // to return from the write (a loaded machine, the journal's fsync).
    g_atomic_int_set(&m_nFreshBegin, 0);
    g_atomic_int_set(&m_nFreshEnd, 0);
    g_atomic_int_set(&m_nStageAddress, m_pUpdate->get_device_address());
    g_atomic_int_set(&m_nStageEnd, 1);
    const lm_stage& block = plan.stages[stage];
    int ret = m_pUpdate->write_flash(block.addrs, const_cast<u_char*>(block.data), block.len);
    if (m_pUpdate->last_write_sent())
        g_atomic_int_set(&m_nWriteTried, 1);
    if (ret != 0) {
        g_atomic_int_set(&m_nStageEnd, 0);
        g_atomic_int_set(&m_nFreshBegin, 0);
        g_atomic_int_set(&m_nFreshEnd, 0);
    } else if (m_pAttempt) {
        // Sent, not yet written: the reader may still lose it (the cable,
        // the power) until it has restarted and come back.
        m_pAttempt->stage_sent(stage);
    }
    if (!g_atomic_int_compare_and_exchange(&m_nWriteState, WRITE_RUNNING, WRITE_IDLE)) {
        // A quit was confirmed during the write: carry it out now.
        g_atomic_int_set(&m_nStageEnd, 0);
        g_atomic_int_set(&m_nWriteState, WRITE_QUIT);
        g_idle_add(OnQuitAfterWriteCB, this);
        return ret;
    }
    g_atomic_int_set(&m_stageRetval, ret);
    if (ret != 0) {
        g_idle_add(OnPopupTipDlgCB, this);
        return ret;
    }
    if (g_atomic_int_get(&m_nCancel)) {
        g_atomic_int_set(&m_nStageEnd, 0);
        return 0;
    }

    // Nothing is being written while the reader restarts: the user may quit.
    g_atomic_int_set(&m_nWaitDevice, 1);
    bool came_back = wait_for_reconnect(&m_nFreshEnd, &m_nCancel);
    g_atomic_int_set(&m_nWaitDevice, 0);
    if (g_atomic_int_get(&m_nCancel))
        return 0;
    if (came_back) {
        if (m_pAttempt)
            m_pAttempt->stage_confirmed(stage);
        int written = g_atomic_int_get(&m_nWrittenStages) | (1 << stage);
        g_atomic_int_set(&m_nWrittenStages, written);
        g_atomic_int_set(&m_nstage_idx_view, g_atomic_int_get(&m_nstage_idx_view) + 1);
        if (first_unwritten_stage(plan, written) < 0)
            g_atomic_int_set(&m_upComplete, 1);
    } else {
        // The reader never came back: the stage is written again on OK.
        g_atomic_int_set(&m_stageRetval, -1);
    }
    g_idle_add(OnPopupTipDlgCB, this);
    g_atomic_int_set(&m_nStageEnd, 0);
    g_atomic_int_set(&m_nFreshBegin, 0);
    g_atomic_int_set(&m_nFreshEnd, 0);
    sleep_unless_cancelled(&m_nCancel, kAfterStageMs);
    return 0;
}

gboolean lm_ui::OnPopupTipDlgCB(gpointer pArg)
{
    lm_ui* ui = static_cast<lm_ui*>(pArg);
    if (ui && !ui->defer_while_asking(OnPopupTipDlgCB))
        ui->DoPopupTipDlgCB();
    return FALSE;
}

void lm_ui::DoPopupTipDlgCB()
{
    if (!window_alive(m_dlgFather) || g_atomic_int_get(&m_nCancel))
        return;
    int retval = g_atomic_int_get(&m_stageRetval);
    // The last block was written: the Finish page follows by itself.
    if (retval == 0 && g_atomic_int_get(&m_upComplete))
        return;

    char text[1024];
    memset(text, 0, sizeof(text));
    int step = m_nstage_idx + 1;
    GtkMessageType type = GTK_MESSAGE_INFO;
    if (retval != 0) {
        type = GTK_MESSAGE_ERROR;
        snprintf(text, sizeof(text), _(kFormatStageFailed), step);
        note_error(text);
        // A second failure in a row stops the chain: the dialog and the
        // page after it wait for the user with nothing running.
        if (++m_nStageFailures >= 2)
            keep_awake(false);
    } else if (g_atomic_int_get(&m_nstage_idx_view) == 1) {
        snprintf(text, sizeof(text), _(kFormatFirstStageDone), step, _(kLinePressReset), _(kLinePressKeys),
                 _(kLineBlankPage), _(kLineGreenButton), _(kLinePressOk));
    } else {
        snprintf(text, sizeof(text), _(kFormatStageDone), step, _(kLinePressReset), _(kLinePressKeys),
                 _(kLinePressOk));
    }
    if (lm_run_message(m_dlgFather, type, GTK_BUTTONS_OK, text, true) == LM_NO_DIALOG) {
        DoStageChainEnd();
        return;
    }
    if (g_atomic_int_get(&m_nCancel))
        return;
    if (retval == 0) {
        m_nStageFailures = 0;
    } else if (m_nStageFailures >= 2) {
        // The stage failed again after the retry its dialog promised: the
        // page waits for the user ("更新" tries again, "取消" quits)
        // instead of a dialog that comes back by itself.
        DoStageChainEnd();
        return;
    }
    // The next worker writes the first block not yet written: after a
    // failed stage that is the same one again. StartWorker joins this one.
    StartWorker();
}

gboolean lm_ui::OnPopupTipErrDlgCB(gpointer parg)
{
    lm_ui* ui = static_cast<lm_ui*>(parg);
    if (!ui)
        return FALSE;
    ui->keep_awake(false);  // the download ended
    if (!ui->defer_while_asking(OnPopupTipErrDlgCB))
        ui->DoPopupTipErrDlgCB();
    return FALSE;
}

void lm_ui::DoPopupTipErrDlgCB()
{
    if (!window_alive(m_dlgFather) || g_atomic_int_get(&m_nCancel))
        return;
    note_error(_(kTextDownloadFailed));
    lm_run_message(m_dlgFather, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, _(kTextDownloadFailed), false);
}

gboolean lm_ui::OnPopupBadImageDlgCB(gpointer parg)
{
    lm_ui* ui = static_cast<lm_ui*>(parg);
    if (!ui)
        return FALSE;
    ui->keep_awake(false);  // nothing is written from a damaged image
    if (!ui->defer_while_asking(OnPopupBadImageDlgCB))
        ui->DoPopupBadImageDlgCB();
    return FALSE;
}

// A damaged image is never written: after the dialog the wizard goes back
// to the Download page, where "下载" fetches the image again.
void lm_ui::DoPopupBadImageDlgCB()
{
    if (!window_alive(m_dlgFather) || g_atomic_int_get(&m_nCancel))
        return;
    note_error(_(kTextImageDamaged));
    lm_run_message(m_dlgFather, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, _(kTextImageDamaged), false);
    if (g_atomic_int_get(&m_nCancel) || m_curDlgIdx != DLGUPDATE)
        return;
    if (m_pThread) {
        g_thread_join(m_pThread);
        m_pThread = nullptr;
    }
    release_data_buf();
    g_atomic_int_set(&m_nBufLen, 0);
    g_atomic_int_set(&m_updating, 0);
    show_update_hint();
    SetProgress(m_prgDownload, 0.0f);
    SetProgressText(m_lblDownload, _("状态:"));
    DoBtnPrev();
}

gboolean lm_ui::OnPopupWrongReaderDlgCB(gpointer parg)
{
    lm_ui* ui = static_cast<lm_ui*>(parg);
    if (!ui)
        return FALSE;
    ui->keep_awake(false);  // the chain of stages stops
    if (!ui->defer_while_asking(OnPopupWrongReaderDlgCB))
        ui->DoPopupWrongReaderDlgCB();
    return FALSE;
}

// Nothing was written to a reader of another variant: the Update page
// waits for "更新" again, with the original reader attached.
void lm_ui::DoPopupWrongReaderDlgCB()
{
    if (!window_alive(m_dlgFather) || g_atomic_int_get(&m_nCancel))
        return;
    note_error(_(kTextWrongReader));
    lm_run_message(m_dlgFather, GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, _(kTextWrongReader), false);
    if (g_atomic_int_get(&m_nCancel))
        return;
    DoStageChainEnd();
}

// The stages stopped without completing the update: the Update page offers
// "更新" again (it goes on with the first block not yet written) and Cancel.
void lm_ui::DoStageChainEnd()
{
    if (m_pThread) {
        g_thread_join(m_pThread);
        m_pThread = nullptr;
    }
    m_nStageFailures = 0;
    g_atomic_int_set(&m_updating, 0);
    keep_awake(false);
    show_update_hint();
    if (m_curDlgIdx == DLGUPDATE)
        SetBtnStatus();
}
