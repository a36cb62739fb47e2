// What a screen reader is given to speak: each page's texts as the window's
// description, the warnings and status texts as they change, and dialogs
// named by the wizard's title. (tests/e2e/harness/spoken.py hears Orca.)
#include <string>
#include <vector>

#include "gtk_test_support.h"
#include "ui/dialogs.h"

namespace {

void find_label(GtkWidget* w, gpointer data)
{
    auto* want = static_cast<std::pair<AtkObject*, std::string>*>(data);
    if (GTK_IS_LABEL(w) && gtk_widget_get_accessible(w) == want->first)
        want->second = gtk_label_get_text(GTK_LABEL(w));
    else if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), find_label, data);
}

void record_description(GObject* acc, GParamSpec*, gpointer data)
{
    const char* text = atk_object_get_description(ATK_OBJECT(acc));
    if (text != nullptr && *text != '\0')
        static_cast<std::vector<std::string>*>(data)->push_back(text);
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
    // The texts of the labels that describe the window, in order; each
    // label says it describes the window.
    std::vector<std::string> description() const
    {
        AtkObject* window = gtk_widget_get_accessible(ui.m_dlgFather);
        AtkRelationSet* set = atk_object_ref_relation_set(window);
        AtkRelation* rel = atk_relation_set_get_relation_by_type(set, ATK_RELATION_DESCRIBED_BY);
        std::vector<std::string> out;
        for (guint i = 0; rel != nullptr && i < atk_relation_get_target(rel)->len; ++i) {
            auto* label = ATK_OBJECT(g_ptr_array_index(atk_relation_get_target(rel), i));
            std::pair<AtkObject*, std::string> want(label, "?");
            find_label(ui.m_dlgFather, &want);
            AtkRelationSet* back = atk_object_ref_relation_set(label);
            EXPECT_TRUE(atk_relation_set_contains_target(back, ATK_RELATION_DESCRIPTION_FOR, window));
            g_object_unref(back);
            out.push_back(want.second);
        }
        g_object_unref(set);
        return out;
    }
    void set_text(GtkWidget* label, const char* text) { gtk_label_set_text(GTK_LABEL(label), text); }

    ProbeUi ui;
    std::vector<std::string> said;
};

using Texts = std::vector<std::string>;

TEST_F(Spoken, EachPageDescribesTheWindowWithTheTextsItShowsInOrder)
{
    show(lm_ui::DLGWELCOME);
    EXPECT_EQ(description(), (Texts{"Version: 2.0.1 build 0205", "向导将会通过互联网下载最新的升级软件。",
                                    "点击：“下一步”继续"}));
    // The empty warning line is no text; the page before leaves nothing.
    show(lm_ui::DLGWARN);
    ASSERT_EQ(description().size(), 1u);
    EXPECT_EQ(description()[0].rfind("在更新之前，请确认", 0), 0u);
    show(lm_ui::DLGUPDATE);
    EXPECT_EQ(description(), (Texts{"点击“更新”开始更新。", "警告：请确保在更新期间您的电子书设备保持与电脑连接。"}));
    // A text shown since the page appeared is read with the page next time.
    ui.SetProgressText(ui.m_lblDownload, const_cast<char*>("状态: 30% 已下载"));
    show(lm_ui::DLGDOWNLOAD);
    EXPECT_EQ(description(), (Texts{"状态: 30% 已下载"}));
}

TEST_F(Spoken, WarningsAreSpokenWhenTheyAppearAndChange)
{
    show(lm_ui::DLGWARN);
    set_text(ui.m_lblWarning, "警告：A");
    set_text(ui.m_lblWarning, "警告：A"); // the poll sets the same text again
    set_text(ui.m_lblWarning, "警告：B");
    set_text(ui.m_lblWarning, "");
    set_text(ui.m_lblWarning, "警告：B"); // gone, and back
    EXPECT_EQ(said, (Texts{"警告：A", "警告：B", "警告：B"}));
    // Nobody keeps the text once it was spoken.
    for (GtkWidget* w : {ui.m_dlgFather, ui.m_btnBack, ui.m_btnNext, ui.m_btnCancel})
        EXPECT_STREQ(atk_object_get_description(gtk_widget_get_accessible(w)), "");
}

TEST_F(Spoken, StatusIsSpokenAtAListenersPaceAndOnlyOnItsPage)
{
    show(lm_ui::DLGDOWNLOAD);
    said.clear();
    ui.SetProgressText(ui.m_lblUpdate, const_cast<char*>("not shown"));
    ui.SetProgressText(ui.m_lblDownload, const_cast<char*>("状态: 1% 已下载"));
    ui.SetProgressText(ui.m_lblDownload, const_cast<char*>("状态: 2% 已下载"));
    EXPECT_EQ(said, (Texts{"状态: 1% 已下载"}));
    // A page shown again starts afresh: its first change is spoken at once.
    show(lm_ui::DLGWARN);
    show(lm_ui::DLGDOWNLOAD);
    said.clear();
    ui.SetProgressText(ui.m_lblDownload, const_cast<char*>("状态: 3% 已下载"));
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
