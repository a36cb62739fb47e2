// Page navigation: the page flow driven through DoBtnNext / DoBtnPrev /
// DoBtnCancel, the status timer on the polling pages, quitting, and the
// window manager's close request.
#include <gdk/gdkkeysyms.h>

#include <algorithm>

#include "gtk_test_support.h"

namespace {

class Nav : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        ui = new ProbeUi();
        ui->create_dlg();
        ASSERT_EQ(ui->show_first_dlg(), 0);
    }
    void TearDown() override
    {
        if (ui == nullptr) {
            return;
        }
        ui->ClearDlgEvent(ui->m_curDlgIdx); // joins a worker still running
        while (g_idle_remove_by_data(ui)) {
        }
        if (ui->m_dlgFather != nullptr) {
            gtk_widget_destroy(ui->m_dlgFather);
        }
        delete ui;
    }

    // Walks Welcome -> Warning -> Download (the Warning page's Next is
    // pressed as if the poll had enabled it).
    void go_to_download()
    {
        ui->DoBtnNext();
        ui->DoBtnNext();
        ASSERT_EQ(ui->m_curDlgIdx, lm_ui::DLGDOWNLOAD);
    }
    // Download finished: the worker's jump calls DoBtnNext.
    void go_to_update()
    {
        go_to_download();
        g_atomic_int_set(&ui->m_downComplete, 1);
        ui->DoBtnNext();
        ASSERT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);
    }
    bool timer_armed() const { return ui->status_timer() != 0; }
    bool window_alive() const { return ui->m_dlgFather != nullptr && GTK_IS_WIDGET(ui->m_dlgFather); }

    // A close request for the wizard window, as the window manager sends it.
    void send_delete_event()
    {
        GdkEvent* ev = gdk_event_new(GDK_DELETE);
        ev->any.window = GDK_WINDOW(g_object_ref(ui->m_dlgFather->window));
        ev->any.send_event = TRUE;
        gtk_main_do_event(ev);
        gdk_event_free(ev);
    }

    ProbeUi* ui = nullptr;
};

TEST_F(Nav, WelcomeAndWarningArmTheTimerOnlyOnTheWarningPage)
{
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_FALSE(timer_armed());

    ui->DoBtnNext();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWARN);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWELCOME);
    u_int32_t first = ui->status_timer();
    EXPECT_NE(first, 0u);
    EXPECT_EQ(sensitive_mask(*ui), 5);

    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWARN);
    EXPECT_FALSE(timer_armed());
    EXPECT_EQ(g_main_context_find_source_by_id(nullptr, first), nullptr);

    ui->DoBtnNext();
    EXPECT_TRUE(timer_armed());
    EXPECT_EQ(ui->timer_records(), 1u);

    // Back on Welcome moves nothing and runs nothing.
    ui->DoBtnPrev();
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_EQ(ui->show_prev_dlg(), -1);
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_FALSE(timer_armed());
}

TEST_F(Nav, PollIdleCallbackIsRemovedWhenThePageIsLeft)
{
    ui->DoBtnNext();
    bool ran = false;
    ui->m_nEventID = g_idle_add([](gpointer p) { *static_cast<bool*>(p) = true; return gboolean(FALSE); }, &ran);
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_nEventID, 0);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_FALSE(ran);

    // An id whose callback already ran is ignored.
    ui->DoBtnNext();
    ui->m_nEventID = g_idle_add([](gpointer p) { *static_cast<bool*>(p) = true; return gboolean(FALSE); }, &ran);
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_TRUE(ran);
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
}

TEST_F(Nav, DownloadPageWaitsForDownloadButtonThenStartsWorker)
{
    go_to_download();
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWARN);
    EXPECT_FALSE(timer_armed()); // nothing runs until "下载"
    EXPECT_EQ(label_of(ui->m_btnNext), "下载");
    EXPECT_EQ(sensitive_mask(*ui), 7);

    ui->DoBtnNext();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGDOWNLOAD);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGWARN);
    EXPECT_TRUE(timer_armed());
    ASSERT_NE(ui->m_pThread, nullptr);
    EXPECT_EQ(sensitive_mask(*ui), 1);

    // Without a network side the download fails at once; let it end.
    g_thread_join(ui->m_pThread);
    ui->m_pThread = nullptr;
    while (g_idle_remove_by_data(ui)) {
    }

    // Back is refused while a download runs.
    g_atomic_int_set(&ui->m_downloading, 1);
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGDOWNLOAD);
}

TEST_F(Nav, BackFromIdleDownloadPageReturnsToWarning)
{
    go_to_download();
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWARN);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGDOWNLOAD);
    EXPECT_TRUE(timer_armed());
    EXPECT_EQ(ui->m_pThread, nullptr);
}

TEST_F(Nav, CompletedDownloadMovesToUpdateAndJoinsWorker)
{
    go_to_download();
    ui->DoBtnNext(); // "下载"
    ASSERT_NE(ui->m_pThread, nullptr);
    g_atomic_int_set(&ui->m_downComplete, 1);
    ui->DoBtnNext(); // the worker's jump
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGDOWNLOAD);
    EXPECT_EQ(ui->m_pThread, nullptr);
    EXPECT_TRUE(timer_armed()); // connection display
    EXPECT_EQ(visible_mask(*ui), 3);
    EXPECT_EQ(sensitive_mask(*ui), 3);
    EXPECT_EQ(label_of(ui->m_btnNext), "更新");
}

TEST_F(Nav, UpdateButtonStartsWritingThenCompletionReachesFinish)
{
    go_to_update();
    u_int32_t before = ui->status_timer();
    ui->DoBtnNext(); // "更新"
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);
    EXPECT_EQ(g_atomic_int_get(&ui->m_updating), 1);
    EXPECT_EQ(sensitive_mask(*ui), 0);
    EXPECT_NE(ui->m_pThread, nullptr);
    EXPECT_TRUE(timer_armed());
    EXPECT_NE(ui->status_timer(), before); // a fresh period

    ui->DoBtnPrev(); // refused while writing
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);

    g_atomic_int_set(&ui->m_upComplete, 1);
    ui->DoBtnNext();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGFINISH);
    EXPECT_EQ(ui->m_pThread, nullptr);
    EXPECT_FALSE(timer_armed());
    EXPECT_EQ(visible_mask(*ui), 1);
    EXPECT_EQ(label_of(ui->m_btnCancel), "完成");

    // Next and Back on Finish move nothing.
    ui->DoBtnNext();
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGFINISH);
    EXPECT_EQ(ui->m_oldDlgIdx, lm_ui::DLGFINISH);
}

TEST_F(Nav, BackFromUpdatePageForgetsTheDownload)
{
    go_to_update();
    ui->DoBtnPrev();
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGDOWNLOAD);
    EXPECT_EQ(ui->m_downComplete, 0);
    EXPECT_EQ(ui->m_downloading, 0);
    EXPECT_EQ(ui->m_upComplete, 0);
    EXPECT_EQ(ui->m_updating, 0);
    EXPECT_TRUE(timer_armed());
    EXPECT_EQ(ui->m_pThread, nullptr); // no download until "下载"
    EXPECT_EQ(sensitive_mask(*ui), 7);
}

TEST_F(Nav, CancelNotConfirmedLeavesEverythingAsItWas)
{
    ui->DoBtnNext();
    u_int32_t timer = ui->status_timer();
    for (gint answer : {GTK_RESPONSE_CANCEL, GTK_RESPONSE_DELETE_EVENT}) {
        DialogSeen seen;
        answer_dialogs(&seen, answer);
        ui->DoBtnCancel();
        finish_answer(&seen);
        EXPECT_TRUE(seen.seen);
        EXPECT_EQ(seen.text, "您确定要退出墨川电子书升级软件吗？");
        EXPECT_EQ(seen.title, "墨川电子书升级软件");
        EXPECT_EQ(seen.type, GTK_MESSAGE_INFO);
        EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWARN);
        EXPECT_EQ(ui->m_nCancel, 0);
        EXPECT_TRUE(window_alive());
        EXPECT_TRUE(gtk_widget_get_visible(ui->m_dlgFather));
        EXPECT_EQ(ui->status_timer(), timer);
    }
}

TEST_F(Nav, ConfirmedCancelDuringDownloadJoinsWorkerAndQuits)
{
    go_to_download();
    ui->DoBtnNext(); // "下载"
    ASSERT_NE(ui->m_pThread, nullptr);
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    EXPECT_TRUE(quits_main_loop([&] { ui->DoBtnCancel(); }));
    finish_answer(&seen);
    // The failed download may have shown its error too; the question came.
    EXPECT_NE(std::find(seen.texts.begin(), seen.texts.end(), "您确定要退出墨川电子书升级软件吗？"),
              seen.texts.end());
    EXPECT_EQ(ui->m_nCancel, 1);
    EXPECT_EQ(ui->m_pThread, nullptr);
    EXPECT_FALSE(timer_armed());
    EXPECT_EQ(ui->m_dlgFather, nullptr);
}

TEST_F(Nav, ConfirmedCancelOnEachEarlyPageQuits)
{
    for (int page = lm_ui::DLGWELCOME; page <= lm_ui::DLGUPDATE; ++page) {
        TearDown();
        SetUp();
        if (page == lm_ui::DLGWARN) {
            ui->DoBtnNext();
        } else if (page == lm_ui::DLGDOWNLOAD) {
            go_to_download();
        } else if (page == lm_ui::DLGUPDATE) {
            go_to_update();
        }
        ASSERT_EQ(ui->m_curDlgIdx, page);
        GtkWidget* window = ui->m_dlgFather;
        g_object_ref(window);
        DialogSeen seen;
        answer_dialogs(&seen, GTK_RESPONSE_OK);
        EXPECT_TRUE(quits_main_loop([&] { ui->DoBtnCancel(); })) << "page " << page;
        finish_answer(&seen);
        EXPECT_TRUE(seen.seen);
        EXPECT_FALSE(timer_armed());
        // The window was destroyed before the loop ended.
        EXPECT_FALSE(gtk_widget_get_visible(window));
        EXPECT_EQ(GTK_WIDGET(window)->window, nullptr);
        g_object_unref(window);
    }
}

TEST_F(Nav, FinishButtonQuitsWithoutAsking)
{
    ui->show_dlg(lm_ui::DLGFINISH);
    ui->SetBtnStatus();
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_CANCEL);
    EXPECT_TRUE(quits_main_loop([&] { gtk_button_clicked(GTK_BUTTON(ui->m_btnCancel)); }));
    finish_answer(&seen);
    EXPECT_FALSE(seen.seen);
    EXPECT_EQ(ui->m_nCancel, 1);
    EXPECT_EQ(ui->m_dlgFather, nullptr);
}

TEST_F(Nav, ButtonsDriveTheirHandlers)
{
    gtk_button_clicked(GTK_BUTTON(ui->m_btnNext));
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWARN);
    gtk_button_clicked(GTK_BUTTON(ui->m_btnBack));
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
    lm_ui::OnBtnNext(nullptr, nullptr); // no object: nothing happens
    lm_ui::OnBtnBack(nullptr, nullptr);
    lm_ui::OnBtnCancel(nullptr, nullptr);
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWELCOME);
}

TEST_F(Nav, CloseRequestAsksLikeCancelAndKeepsTheWindow)
{
    ui->DoBtnNext();
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_CANCEL);
    send_delete_event();
    finish_answer(&seen);
    EXPECT_TRUE(seen.seen);
    EXPECT_EQ(seen.text, "您确定要退出墨川电子书升级软件吗？");
    EXPECT_TRUE(window_alive());
    EXPECT_TRUE(gtk_widget_get_visible(ui->m_dlgFather));
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGWARN);

    // Escape on the wizard window is a close request too.
    answer_dialogs(&seen, GTK_RESPONSE_CANCEL);
    gtk_bindings_activate(GTK_OBJECT(ui->m_dlgFather), GDK_Escape, GdkModifierType(0));
    finish_answer(&seen);
    EXPECT_TRUE(seen.seen);
    EXPECT_TRUE(window_alive());

    answer_dialogs(&seen, GTK_RESPONSE_OK);
    EXPECT_TRUE(quits_main_loop([&] { send_delete_event(); }));
    finish_answer(&seen);
    EXPECT_TRUE(seen.seen);
    EXPECT_EQ(ui->m_nCancel, 1);
    EXPECT_EQ(ui->m_dlgFather, nullptr);
}

TEST_F(Nav, CloseRequestIsRefusedWhileTheFlashIsWritten)
{
    go_to_update();
    ui->DoBtnNext(); // "更新": Cancel insensitive
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    send_delete_event();
    // Give a wrongly shown question time to appear before looking.
    for (int i = 0; i < 10; ++i) {
        g_usleep(20 * 1000);
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
    finish_answer(&seen);
    EXPECT_FALSE(seen.seen);
    EXPECT_TRUE(window_alive());
    EXPECT_EQ(ui->m_nCancel, 0);
    EXPECT_EQ(ui->m_curDlgIdx, lm_ui::DLGUPDATE);
}

TEST_F(Nav, FailedWorkerStartReportsAndRestoresIdleButtons)
{
    go_to_download();
    g_atomic_int_set(&ui->m_downloading, 1);
    ui->SetBtnStatus();
    ASSERT_EQ(sensitive_mask(*ui), 1);
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    ui->OnStartWorkerFailed();
    finish_answer(&seen);
    EXPECT_TRUE(seen.seen);
    EXPECT_EQ(seen.type, GTK_MESSAGE_ERROR);
    EXPECT_EQ(seen.title, "墨川电子书升级软件");
    EXPECT_EQ(ui->m_downloading, 0);
    EXPECT_EQ(sensitive_mask(*ui), 7);

    TearDown();
    SetUp();
    go_to_update();
    g_atomic_int_set(&ui->m_updating, 1);
    ui->SetBtnStatus();
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    ui->OnStartWorkerFailed();
    finish_answer(&seen);
    EXPECT_EQ(ui->m_updating, 0);
    EXPECT_EQ(sensitive_mask(*ui), 3);
}

} // namespace
