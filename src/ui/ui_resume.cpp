// The update as something that outlives the program: finishing one cut
// short, recording each attempt, and keeping the computer awake while the
// image is fetched and written.
#include <stdlib.h>

#include "sys/sleep_inhibitor.h"
#include "net/download.h"
#include "state/attempt.h"
#include "ui/dialogs.h"
#include "ui/i18n.h"
#include "ui/ui.h"
#include "usb/update.h"

namespace {

const char kResumeQuestion[] =
    N_("上次的更新没有完成。点击“确定”使用已下载的更新文件继续更新，点击“取消”重新开始。");
const char kResumeOtherReader[] =
    N_("注意：连接的电子书不在上次更新时所用的USB接口上，可能不是上次没有完成更新的那一台。"
       "请只连接上次更新的电子书，并插回原来的USB接口；只有它会被写入。");

int count_stages(int mask)
{
    int n = 0;
    for (int k = 0; k < 6; ++k)
        n += (mask >> k) & 1;
    return n;
}

} // namespace

int lm_ui::OfferResume()
{
    if (!m_pAttempt || !m_pDownload)
        return -1;
    char* image = nullptr;
    int len = 0;
    lm_journal_record rec;
    if (m_pAttempt->recover(&image, &len, &rec) != 0)
        return -1;
    // Only the reader the update was written into is written again; one
    // attached elsewhere is named in the question.
    bool elsewhere = false;
    if (m_pUpdate) {
        m_pUpdate->follow_reader(rec.port, rec.serial);
        elsewhere = m_pUpdate->get_device_connect_status() != 0 &&
                    m_pUpdate->other_readers_attached() > 0;
    }
    std::string question = _(kResumeQuestion);
    if (elsewhere)
        question = question + "\n\n" + _(kResumeOtherReader);
    // The window is not shown yet: the question stands alone on the screen.
    if (lm_run_lone_message(GTK_MESSAGE_INFO, GTK_BUTTONS_OK_CANCEL, question.c_str()) !=
        GTK_RESPONSE_OK) {
        free(image);  // kept on disk until a new image has arrived whole
        return -1;
    }
    release_data_buf();
    m_pdata = image;
    g_atomic_int_set(&m_nBufLen, len);
    // The saved variant chooses the flash addresses and is what the reader
    // is checked against before the first write.
    m_pDownload->m_dev_ver = rec.variant;
    m_nstage_idx = 0;
    g_atomic_int_set(&m_nWrittenStages, rec.done);
    g_atomic_int_set(&m_nstage_idx_view, count_stages(rec.done));
    g_atomic_int_set(&m_nWriteTried, 0);
    g_atomic_int_set(&m_downComplete, 1);
    // The page waits for "更新": nothing runs yet that needs the computer awake.
    m_pAttempt->resume(rec);

    m_oldDlgIdx = DLGUPDATE;
    show_dlg(DLGUPDATE);
    SetBtnStatus();
    show_update_hint();
    start_page_events(false);
    return 0;
}

void lm_ui::begin_attempt()
{
    if (m_pAttempt)
        m_pAttempt->begin();
    if (m_pInhibitor)
        m_pInhibitor->hold();
}

// Called once the worker has been joined: nothing reports to the attempt
// any more.
void lm_ui::end_attempt()
{
    if (m_pAttempt)
        m_pAttempt->end(g_atomic_int_get(&m_upComplete) == 1);
    if (m_pInhibitor)
        m_pInhibitor->release();
}

void lm_ui::note_error(const char* text)
{
    if (m_pAttempt)
        m_pAttempt->set_error(text);
}

// The computer is kept awake while work runs: the download, and the update
// from "更新" until its stages end, the dialogs and the waits for the reader
// between them included (a shutdown then would leave a half-written reader).
// Before "下载" or "更新", and once the stages stopped, nothing is held; the
// Finish page ends the attempt.
void lm_ui::after_page_move()
{
    if (m_curDlgIdx == DLGFINISH) {
        end_attempt();
        return;
    }
    bool working = (m_curDlgIdx == DLGDOWNLOAD && g_atomic_int_get(&m_downloading)) ||
                   (m_curDlgIdx == DLGUPDATE && g_atomic_int_get(&m_updating));
    keep_awake(working);
}

void lm_ui::keep_awake(bool on)
{
    if (!m_pInhibitor)
        return;
    if (on)
        m_pInhibitor->hold();
    else
        m_pInhibitor->release();
}
