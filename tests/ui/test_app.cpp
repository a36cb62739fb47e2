// The application object: wiring, the first page, and a run that ends.
#include "app/app.h"
#include "gtk_test_support.h"
#include "net/download.h"
#include "usb/update.h"

namespace {

TEST(App, InitWiresObjectsAndShowsWelcome)
{
    REQUIRE_DISPLAY();
    lm_app app;
    ASSERT_NE(app.m_pUI, nullptr);
    ASSERT_NE(app.m_pDownload, nullptr);
    ASSERT_NE(app.m_pUpdate, nullptr);
    ASSERT_EQ(app.init(), 0);
    EXPECT_EQ(app.m_pUI->m_pUpdate, app.m_pUpdate);
    EXPECT_EQ(app.m_pUI->m_pDownload, app.m_pDownload);
    EXPECT_EQ(app.m_pDownload->m_pUpdate, app.m_pUpdate);
    EXPECT_EQ(app.m_pUI->m_curDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_EQ(app.m_pUI->m_oldDlgIdx, lm_ui::DLGWELCOME);
    EXPECT_TRUE(gtk_widget_get_visible(app.m_pUI->m_dlgFather));
    EXPECT_EQ(visible_mask(*app.m_pUI), 3);
    gtk_widget_destroy(app.m_pUI->m_dlgFather);
    app.m_pUI->m_dlgFather = nullptr;
}

TEST(App, RunReturnsOnceTheWizardIsFinished)
{
    REQUIRE_DISPLAY();
    lm_app app;
    ASSERT_EQ(app.init(), 0);
    lm_ui* ui = app.m_pUI;
    ui->show_dlg(lm_ui::DLGFINISH);
    ui->SetBtnStatus();
    g_idle_add([](gpointer p) {
        gtk_button_clicked(GTK_BUTTON(static_cast<lm_ui*>(p)->m_btnCancel));
        return gboolean(FALSE);
    }, ui);
    EXPECT_EQ(app.run(), 0);
    EXPECT_EQ(ui->m_dlgFather, nullptr);
    EXPECT_EQ(app.uninit(), 0);
}

} // namespace
