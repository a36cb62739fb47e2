// What a screen reader is given to speak besides each page (which
// tests/e2e/harness/spoken.py hears Orca read): the warnings and status
// texts as they change, and dialogs named by the wizard's title.
#include <string>
#include <vector>

#include "gtk_test_support.h"
#include "ui/dialogs.h"

namespace {

using Texts = std::vector<std::string>;

void record_description(GObject* acc, GParamSpec*, gpointer data)
{
    const char* text = atk_object_get_description(ATK_OBJECT(acc));
    if (text != nullptr && *text != '\0')
        static_cast<Texts*>(data)->push_back(text);
}

class Spoken : public ::testing::Test {
protected:
    void SetUp() override
    {
        REQUIRE_DISPLAY();
        ui.create_dlg();
        g_signal_connect(gtk_widget_get_accessible(ui.m_dlgFather), "notify::accessible-description",
                         G_CALLBACK(record_description), &said);
    }
    void TearDown() override
    {
        if (ui.m_dlgFather != nullptr)
            gtk_widget_destroy(ui.m_dlgFather);
    }
    void show(lm_ui::DLG_TYPE page)
    {
        ASSERT_EQ(ui.show_dlg(page), 0);
        ASSERT_EQ(ui.SetBtnStatus(), 0);
    }
    void progress(GtkWidget* label, const char* text) { ui.SetProgressText(label, const_cast<char*>(text)); }

    ProbeUi ui;
    Texts said;
};

TEST_F(Spoken, WarningsAreSpokenWhenTheyAppearAndChange)
{
    show(lm_ui::DLGWARN);
    // The poll sets the same text again; then the warning goes and comes back.
    for (const char* text : {"警告：A", "警告：A", "警告：B", "", "警告：B"})
        gtk_label_set_text(GTK_LABEL(ui.m_lblWarning), text);
    EXPECT_EQ(said, (Texts{"警告：A", "警告：B", "警告：B"}));
    // Nobody keeps the text once it was spoken.
    for (GtkWidget* w : {ui.m_dlgFather, ui.m_btnBack, ui.m_btnNext, ui.m_btnCancel})
        EXPECT_STREQ(atk_object_get_description(gtk_widget_get_accessible(w)), "");
}

TEST_F(Spoken, StatusIsSpokenAtAListenersPaceAndOnlyOnItsPage)
{
    show(lm_ui::DLGDOWNLOAD);
    said.clear();
    progress(ui.m_lblUpdate, "not shown");
    progress(ui.m_lblDownload, "状态: 1% 已下载");
    progress(ui.m_lblDownload, "状态: 2% 已下载");
    EXPECT_EQ(said, (Texts{"状态: 1% 已下载"}));
    // A page shown again starts afresh: its first change is spoken at once.
    show(lm_ui::DLGWARN);
    show(lm_ui::DLGDOWNLOAD);
    said.clear();
    progress(ui.m_lblDownload, "状态: 3% 已下载");
    EXPECT_EQ(said, (Texts{"状态: 3% 已下载"}));
}

TEST_F(Spoken, DialogsAreNamedByTheWizardsTitle)
{
    DialogSeen seen;
    answer_dialogs(&seen, GTK_RESPONSE_OK);
    lm_run_message(ui.m_dlgFather, GTK_MESSAGE_INFO, GTK_BUTTONS_OK, "text", false);
    finish_answer(&seen);
    EXPECT_EQ(seen.accessible_name, "墨川电子书升级软件");
}

} // namespace
