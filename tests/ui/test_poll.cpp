// The status poll and the worker's hand-back, driven on a real window with
// the network and device sides left out (null pointers count as absent).
#include <cmath>

#include "gtk_test_support.h"
#include "net/download.h"
#include "ui/ui_check.h"

namespace {

// lm_ui with its status timer's state in view; the poll itself runs as is.
class TimedUi : public lm_ui {
public:
    bool status_timer_armed() const
    {
        for (guint i = 0; i < m_pArray->len; ++i) {
            auto* rec = static_cast<const _ID_STRU*>(g_ptr_array_index(m_pArray, i));
            if (rec != nullptr && rec->timer_id == 200)
                return rec->sys_id != 0;
        }
        return false;
    }
};

// Runs the main loop until done() holds, for at most about 10 s.
template <typename Done> bool iterate_until(Done done)
{
    for (int i = 0; i < 1000 && !done(); ++i) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(10000);
    }
    return done();
}

class Poll : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        ui = new TimedUi();
        ui->create_dlg();
        ASSERT_EQ(ui->show_first_dlg(), 0);
    }
    void TearDown() override
    {
        if (ui == nullptr)
            return;
        ui->ClearDlgEvent(ui->m_curDlgIdx);
        while (g_idle_remove_by_data(ui)) {
        }
        if (ui->m_dlgFather != nullptr)
            gtk_widget_destroy(ui->m_dlgFather);
        delete ui;
    }

    void show(lm_ui::DLG_TYPE page)
    {
        ASSERT_EQ(ui->show_dlg(page), 0);
        ui->SetBtnStatus();
    }
    std::string warning_text() const { return gtk_label_get_text(GTK_LABEL(ui->m_lblWarning)); }
    std::string download_text() const { return gtk_label_get_text(GTK_LABEL(ui->m_lblDownload)); }
    double download_bar() const { return gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(ui->m_prgDownload)); }
    // The one child of the picture's holder (an alignment, or a box on GTK 3).
    GtkWidget* picture_shown() const
    {
        GList* children = gtk_container_get_children(GTK_CONTAINER(ui->alg_update_con_status));
        GtkWidget* child = children != nullptr && children->next == nullptr ? GTK_WIDGET(children->data) : nullptr;
        g_list_free(children);
        return child;
    }

    TimedUi* ui = nullptr;
};

struct WarningRow {
    int dev, net, variant;
    const char* text;
    int mask;
    int readers = 1;
};

TEST_F(Poll, WarningPageTextAndButtonsFollowTheLastChecks)
{
    show(lm_ui::DLGWARN);
    const WarningRow rows[] = {
        {1, 1, 64, "", 7},
        {1, 1, 32, "", 7},
        {1, 1, -1, "警告：无法找到墨川电子书设备", 5},
        {0, 0, 0, "警告：您的电子书设备未连接电脑", 5},
        {0, 1, 64, "警告：您的电子书设备未连接电脑", 5},
        // Network lost after the reader was seen: the reader flag stays 1.
        {1, 0, 64, "警告：您到电脑未连接网络", 5},
        // Two readers in update mode: whatever else the check found.
        {1, 1, 64, "警告：请只连接一台墨川电子书设备", 5, 2},
        {1, 0, -1, "警告：请只连接一台墨川电子书设备", 5, 3},
    };
    for (const WarningRow& row : rows) {
        ui->m_nReaders = row.readers;
        ui->m_ndev_con = row.dev;
        ui->m_nnet_con = row.net;
        ui->m_lumora_bufsize = row.variant;
        lm_ui::OnSetBtnCB(ui);
        EXPECT_EQ(warning_text(), row.text) << row.dev << row.net << row.variant;
        EXPECT_EQ(sensitive_mask(*ui), row.mask) << row.dev << row.net << row.variant;
    }
}

TEST_F(Poll, WarningUpdateIgnoredOnOtherPages)
{
    show(lm_ui::DLGDOWNLOAD);
    ui->m_ndev_con = 0;
    lm_ui::OnSetBtnCB(ui);
    EXPECT_EQ(warning_text(), "");
    EXPECT_EQ(sensitive_mask(*ui), 7);
}

// The check runs on its own thread; meanwhile the timer is off, and it is
// armed again only once the result has been shown.
TEST_F(Poll, WarningCheckReportsThroughTheIdleCallbackAndThenReArmsTheTimer)
{
    show(lm_ui::DLGWARN);
    ui->m_ndev_con = 1;  // seen before: the reader is looked at again anyway
    ui->m_lumora_bufsize = 64;
    ui->OnTimer(200);
    EXPECT_NE(ui->m_pCheck, nullptr);
    EXPECT_FALSE(ui->status_timer_armed());
    EXPECT_EQ(ui->start_connect_check(), -1);  // one check at a time

    ASSERT_TRUE(iterate_until([this] { return ui->status_timer_armed(); }));
    EXPECT_EQ(ui->m_pCheck, nullptr);
    EXPECT_EQ(ui->m_nEventID, 0);
    EXPECT_EQ(ui->m_nnet_con, 0);
    EXPECT_EQ(ui->m_ndev_con, 0);
    EXPECT_EQ(warning_text(), "警告：您的电子书设备未连接电脑");
    EXPECT_EQ(sensitive_mask(*ui), 5);
}

TEST_F(Poll, CheckLeftBehindNeverReachesThePage)
{
    show(lm_ui::DLGWARN);
    ASSERT_EQ(ui->start_connect_check(), 0);
    ui->ClearDlgEvent(lm_ui::DLGWARN);
    EXPECT_EQ(ui->m_pCheck, nullptr);
    gtk_label_set_text(GTK_LABEL(ui->m_lblWarning), "left");
    ASSERT_TRUE(iterate_until([] { return lm_warning_check::running() == 0; }));
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(warning_text(), "left");
    EXPECT_FALSE(ui->status_timer_armed());
    EXPECT_EQ(ui->m_nEventID, 0);
}

TEST_F(Poll, DownloadProgressShowsTruncatedPercent)
{
    lm_download download;
    ui->m_pDownload = &download;
    show(lm_ui::DLGDOWNLOAD);
    g_atomic_int_set(&ui->m_downloading, 1);

    const struct {
        float fraction;
        const char* text;
        double bar;
    } cases[] = {
        {0.5f, "状态: 50% 已下载", 0.5},
        {0.999f, "状态: 99% 已下载", 0.999},
        {1.0f, "状态: 100% 已下载", 1.0},
        {-0.25f, "状态: 0% 已下载", 0.0},
    };
    for (const auto& c : cases) {
        download.m_fprogress = c.fraction;
        ui->OnSetProgress();
        EXPECT_EQ(download_text(), c.text);
        EXPECT_NEAR(download_bar(), c.bar, 1e-6);
    }
    // Above 1 the text says 100 % and the bar stays where it was.
    download.m_fprogress = 0.3f;
    ui->OnSetProgress();
    for (float above : {1.5f, 1e30f, INFINITY}) {
        download.m_fprogress = above;
        ui->OnSetProgress();
        EXPECT_EQ(download_text(), "状态: 100% 已下载") << above;
        EXPECT_NEAR(download_bar(), 0.3, 1e-6);
    }
    // A chunked body has no length to take a fraction of: no percentage.
    download.m_bLengthUnknown = 1;
    ui->OnSetProgress();
    EXPECT_EQ(download_text(), "状态: 正在下载");
    ui->m_pDownload = nullptr;
}

TEST_F(Poll, FailedDownloadLeavesBackAndCancel)
{
    show(lm_ui::DLGDOWNLOAD);
    g_atomic_int_set(&ui->m_downloading, 0);
    g_atomic_int_set(&ui->m_downError, 1);
    ui->OnSetProgress();
    EXPECT_EQ(sensitive_mask(*ui), 5);
    // Enter and the focus go to "上一步", the way to try again.
    EXPECT_EQ(gtk_window_get_default_widget(GTK_WINDOW(ui->m_dlgFather)), ui->m_btnBack);
    EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(ui->m_dlgFather)), ui->m_btnBack);
}

TEST_F(Poll, ConnectionPictureSwapsOnlyWhenAttachmentChanges)
{
    show(lm_ui::DLGUPDATE);
    ASSERT_EQ(picture_shown(), ui->img_update_con_ok);

    ui->m_ndev_con = 0;
    ui->OnSetProgress();
    EXPECT_EQ(picture_shown(), ui->img_update_con_fail);
    EXPECT_EQ(ui->img_update_old, ui->img_update_con_fail);
    EXPECT_EQ(ui->m_nupdate_old_connect, -1);
    EXPECT_EQ(sensitive_mask(*ui) & 2, 0);

    // Same attachment again: the buttons are not touched.
    ui->btn_sense(3);
    ui->OnSetProgress();
    EXPECT_EQ(sensitive_mask(*ui), 3);

    ui->m_ndev_con = 1;
    ui->OnSetProgress();
    EXPECT_EQ(picture_shown(), ui->img_update_con_ok);
    EXPECT_EQ(ui->m_nupdate_old_connect, 0);
    EXPECT_EQ(sensitive_mask(*ui), 7);

    // Both pictures survive repeated swaps.
    for (int i = 0; i < 5; ++i) {
        ui->m_ndev_con = i % 2;
        ui->OnSetProgress();
        EXPECT_TRUE(GTK_IS_IMAGE(ui->img_update_con_ok));
        EXPECT_TRUE(GTK_IS_IMAGE(ui->img_update_con_fail));
    }
}

TEST_F(Poll, DuringAnUpdateOnlyTheReaderWaitMakesCancelSensitive)
{
    show(lm_ui::DLGUPDATE);
    g_atomic_int_set(&ui->m_updating, 1);
    ui->SetBtnStatus();
    ui->m_ndev_con = 0;
    ui->OnSetProgress();
    EXPECT_EQ(sensitive_mask(*ui), 0);

    g_atomic_int_set(&ui->m_nWaitDevice, 1);
    ui->OnSetProgress();
    EXPECT_EQ(sensitive_mask(*ui), 1);

    g_atomic_int_set(&ui->m_nWaitDevice, 0);
    ui->m_ndev_con = 1;
    ui->OnSetProgress();
    EXPECT_EQ(sensitive_mask(*ui), 0);
}

TEST_F(Poll, UpdatePageNoticesTheReaderLeavingAfterAStage)
{
    show(lm_ui::DLGUPDATE);
    // No device side: every poll sees the reader absent.
    ui->ExecuteTimerAction();
    EXPECT_EQ(g_atomic_int_get(&ui->m_nFreshBegin), 0);

    g_atomic_int_set(&ui->m_nStageEnd, 1);
    g_atomic_int_set(&ui->m_nFreshEnd, 1);
    ui->ExecuteTimerAction();
    EXPECT_EQ(ui->m_ndev_con, 0);
    EXPECT_EQ(g_atomic_int_get(&ui->m_nFreshBegin), 1);
    EXPECT_EQ(g_atomic_int_get(&ui->m_nFreshEnd), 0);
}

TEST_F(Poll, JumpMovesOnOnlyAfterCompletion)
{
    show(lm_ui::DLGDOWNLOAD);
    lm_ui::OnJumpDlgCB(ui);
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGDOWNLOAD);

    g_atomic_int_set(&ui->m_downComplete, 1);
    lm_ui::OnJumpDlgCB(ui);
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);
    EXPECT_EQ(sensitive_mask(*ui), 3);
}

TEST_F(Poll, FailedDownloadShowsTheErrorOnceAndClearsTheFlag)
{
    show(lm_ui::DLGDOWNLOAD);
    g_atomic_int_set(&ui->m_downloading, 1);
    ui->DoThreadCB();  // no network side: the download fails
    EXPECT_EQ(g_atomic_int_get(&ui->m_downError), 1);
    EXPECT_EQ(g_atomic_int_get(&ui->m_downloading), 0);
    EXPECT_EQ(g_atomic_int_get(&ui->m_downComplete), 0);

    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    // The answerer runs on a timeout; give it time to see the dialog.
    for (int i = 0; i < 100 && !seen.seen; ++i)
        g_main_context_iteration(nullptr, TRUE);
    finish_answer(&seen);
    ASSERT_TRUE(seen.seen);
    EXPECT_EQ(seen.text, "对不起，下载更新文件失败，请稍候重试。");
    EXPECT_EQ(seen.type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(seen.title, "墨川电子书升级软件");
    EXPECT_EQ(seen.texts.size(), 1u);
}

TEST_F(Poll, CancelledDownloadQueuesNoDialog)
{
    show(lm_ui::DLGDOWNLOAD);
    g_atomic_int_set(&ui->m_downloading, 1);
    g_atomic_int_set(&ui->m_nCancel, 1);
    ui->DoThreadCB();
    EXPECT_EQ(g_atomic_int_get(&ui->m_downError), 1);
    EXPECT_FALSE(g_idle_remove_by_data(ui));
}

}  // namespace
