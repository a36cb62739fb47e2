// Page navigation: the page flow driven through DoBtnNext / DoBtnPrev /
// DoBtnCancel, the status timer on the polling pages, quitting, and the
// window manager's close request.
#include <gdk/gdkkeysyms.h>

#include <algorithm>
#include <functional>

#include "gtk_test_support.h"

namespace {

const char kQuitQuestion[] = "您确定要退出墨川电子书升级软件吗？";

// The user's part in the quit question while the worker goes on: at the
// first look at the open question `meanwhile` runs (what the worker does
// then), at a later look, once nothing holds it back, every open dialog is
// answered, the question with `response` and any other with OK. Counts the
// dialogs open at one time.
struct QuestionPlay {
    std::function<void()> meanwhile;
    bool hold = false;
    gint response = GTK_RESPONSE_CANCEL;
    int looks = 0;
    size_t most_open = 0;
    std::vector<std::string> texts;
};

std::string dialog_text(GtkWidget* dialog)
{
    gchar* text = nullptr;
    g_object_get(dialog, "text", &text, nullptr);
    std::string out = text != nullptr ? text : "";
    g_free(text);
    return out;
}

gboolean play_question(gpointer data)
{
    auto* play = static_cast<QuestionPlay*>(data);
    std::vector<GtkWidget*> open;
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l != nullptr; l = l->next) {
        auto* w = GTK_WIDGET(l->data);
        if (GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w) &&
            g_object_get_data(G_OBJECT(w), "answered") == nullptr) {
            open.push_back(w);
        }
    }
    g_list_free(windows);
    play->most_open = std::max(play->most_open, open.size());
    if (open.empty()) {
        return TRUE;
    }
    if (play->looks++ == 0) {
        play->meanwhile();
        return TRUE;
    }
    if (play->hold) {
        return TRUE;
    }
    for (GtkWidget* w : open) {
        std::string text = dialog_text(w);
        play->texts.push_back(text);
        g_object_set_data(G_OBJECT(w), "answered", GINT_TO_POINTER(1));
        gtk_dialog_response(GTK_DIALOG(w), text == kQuitQuestion ? play->response : GTK_RESPONSE_OK);
    }
    return TRUE;
}

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
        ev->any.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(ui->m_dlgFather)));
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
        EXPECT_TRUE(seen.ok_takes_enter);
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
        EXPECT_EQ(gtk_widget_get_window(GTK_WIDGET(window)), nullptr);
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
#if GTK_CHECK_VERSION(3, 0, 0)
    gtk_bindings_activate(G_OBJECT(ui->m_dlgFather), GDK_KEY_Escape, GdkModifierType(0));
#else
    gtk_bindings_activate(GTK_OBJECT(ui->m_dlgFather), GDK_KEY_Escape, GdkModifierType(0));
#endif
    // GTK 3 sends the close request from an idle callback.
    for (int i = 0; i < 100 && !seen.seen; ++i) {
        g_main_context_iteration(nullptr, TRUE); // the answerer ticks every 20 ms
    }
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

TEST_F(Nav, QuitConfirmedAfterAWriteBeganIsCarriedOutWhenTheWriteEnds)
{
    go_to_update();
    g_atomic_int_set(&ui->m_updating, 1);
    g_atomic_int_set(&ui->m_nWaitDevice, 1); // Cancel sensitive: waiting for the reader
    QuestionPlay play;
    play.response = GTK_RESPONSE_OK;
    // The reader attaches while the question is open and the stage begins.
    play.meanwhile = [this] {
        g_atomic_int_set(&ui->m_nWaitDevice, 0);
        g_atomic_int_set(&ui->m_nWriteState, lm_ui::WRITE_RUNNING);
    };
    guint source = g_timeout_add(20, play_question, &play);
    ui->DoBtnCancel();
    g_source_remove(source);
    EXPECT_EQ(play.texts, std::vector<std::string>{kQuitQuestion});
    // The write is never cut short: the quit waits for its end.
    EXPECT_EQ(ui->m_nCancel, 0);
    EXPECT_TRUE(window_alive());
    EXPECT_EQ(g_atomic_int_get(&ui->m_nWriteState), lm_ui::WRITE_QUIT_AFTER);
    // What the worker does when the write has ended.
    EXPECT_TRUE(quits_main_loop([this] {
        g_atomic_int_set(&ui->m_nWriteState, lm_ui::WRITE_QUIT);
        g_idle_add(lm_ui::OnQuitAfterWriteCB, ui);
    }));
    EXPECT_EQ(ui->m_nCancel, 1);
    EXPECT_FALSE(window_alive());
}

// A stage whose write always fails: its dialog's OK tries once more, and
// when that fails too the page waits for the user with "更新" and "取消".
TEST_F(Nav, StageFailingTwiceLeavesTheUpdatePageIdle)
{
    go_to_update();
    g_atomic_int_set(&ui->m_updating, 1);
    g_atomic_int_set(&ui->m_stageRetval, -1);
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    ui->DoPopupTipDlgCB();
    EXPECT_NE(ui->m_pThread, nullptr) << "the first failure's OK writes the stage again";
    ui->DoPopupTipDlgCB();
    finish_answer(&seen);
    EXPECT_EQ(seen.texts.size(), 2u);
    EXPECT_EQ(ui->m_pThread, nullptr);
    EXPECT_EQ(ui->m_updating, 0);
    EXPECT_EQ(sensitive_mask(*ui), 3);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ui->m_lblUpdate)), "点击“更新”开始更新。");
}

TEST_F(Nav, StageDialogWaitsUntilTheQuitQuestionIsAnswered)
{
    const char* stage_done = "第1步更新成功，请继续,\n\n1. 首先，请按下电子书的重置键\n"
                             "2. 请同时按下电源及菜单键，直至屏幕显示更新界面\n"
                             "   如果屏幕出现空白页面，且Lumora设备更新对话框\n"
                             "   中的红色按钮变成绿色，请跳至步骤3\n3. 点击确定继续更新";
    const struct {
        gint response;
        std::vector<std::string> texts;
    } cases[] = {
        {GTK_RESPONSE_CANCEL, {kQuitQuestion, stage_done}}, // stays: the dialog follows
        {GTK_RESPONSE_OK, {kQuitQuestion}},                 // quits: it never shows
    };
    for (const auto& c : cases) {
        TearDown();
        SetUp();
        go_to_update();
        g_atomic_int_set(&ui->m_updating, 1);
        g_atomic_int_set(&ui->m_nstage_idx_view, 1);
        QuestionPlay play;
        play.response = c.response;
        // The reader came back after stage 1: the worker queues its dialog.
        // The question is answered only after that has been dispatched.
        struct Delivery {
            QuestionPlay* play;
            lm_ui* ui;
        } delivery = {&play, ui};
        play.meanwhile = [&delivery] {
            delivery.play->hold = true;
            g_idle_add(
                [](gpointer p) {
                    auto* d = static_cast<Delivery*>(p);
                    d->play->hold = false;
                    return lm_ui::OnPopupTipDlgCB(d->ui);
                },
                &delivery);
        };
        guint source = g_timeout_add(20, play_question, &play);
        ui->DoBtnCancel();
        g_source_remove(source);
        EXPECT_EQ(play.most_open, 1u) << c.response;
        EXPECT_EQ(play.texts, c.texts) << c.response;
    }
}

TEST_F(Nav, UpdatePageTurnsIdleWithItsHintAndAnEmptyBar)
{
    const struct {
        const char* way;
        void (*run)(lm_ui*);
        const char* dialog;
        lm_ui::DLG_TYPE page;
        int mask;
    } ways[] = {
        {"worker start failed", [](lm_ui* u) { u->OnStartWorkerFailed(); }, nullptr, lm_ui::DLGUPDATE, 3},
        {"stage chain ended", [](lm_ui* u) { u->DoStageChainEnd(); }, nullptr, lm_ui::DLGUPDATE, 3},
        {"reader of the other variant", [](lm_ui* u) { u->DoPopupWrongReaderDlgCB(); },
         "对不起，连接的电子书与下载的更新文件不匹配，请连接原来的电子书后重试。", lm_ui::DLGUPDATE, 3},
        {"damaged image", [](lm_ui* u) { u->DoPopupBadImageDlgCB(); }, nullptr, lm_ui::DLGDOWNLOAD, 7},
    };
    for (const auto& w : ways) {
        TearDown();
        SetUp();
        go_to_update();
        g_atomic_int_set(&ui->m_updating, 1);
        ui->SetBtnStatus();
        // What a stage in progress leaves on the page.
        ui->SetProgress(ui->m_prgUpdate, 0.6f);
        ui->SetProgressText(ui->m_lblUpdate, const_cast<char*>(""));
        DialogSeen seen;
        answer_dialogs(&seen, GTK_RESPONSE_OK);
        w.run(ui);
        finish_answer(&seen);
        EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(ui->m_lblUpdate)), "点击“更新”开始更新。") << w.way;
        EXPECT_EQ(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(ui->m_prgUpdate)), 0.0) << w.way;
        EXPECT_EQ(ui->m_updating, 0) << w.way;
        EXPECT_EQ(ui->m_curDlgIdx, w.page) << w.way;
        EXPECT_EQ(sensitive_mask(*ui), w.mask) << w.way;
        if (w.dialog != nullptr) {
            EXPECT_EQ(seen.text, w.dialog);
            EXPECT_EQ(seen.type, GTK_MESSAGE_ERROR);
            EXPECT_EQ(seen.title, "墨川电子书升级软件");
        }
    }
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
