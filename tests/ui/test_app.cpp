// The application object: wiring, the first page, and a run that ends.
#include "app/app.h"
#include "app/instance_lock.h"
#include "gtk_test_support.h"
#include "net/download.h"
#include "state/attempt.h"
#include "state/state_dir.h"
#include "usb/update.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

// The lock may sit in /tmp, where anyone can put something at its name
// first: only a regular file of this user is taken, and a second holder
// finds it held until the first lets go.
TEST(InstanceLock, HeldUntilReleasedAndOnlyOnAPlainFileOfOurs)
{
    char dir[] = "/tmp/lumora-lock-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string path = std::string(dir) + "/lock";
    {
        lm_instance_lock first;
        ASSERT_EQ(first.take(path), lm_lock_result::taken);
        lm_instance_lock second;
        EXPECT_EQ(second.take(path), lm_lock_result::held);
    }
    lm_instance_lock again;
    EXPECT_EQ(again.take(path), lm_lock_result::taken);

    const std::string target = std::string(dir) + "/target";
    const std::string link = std::string(dir) + "/link";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    std::string why;
    lm_instance_lock through_link;
    EXPECT_EQ(through_link.take(link, &why), lm_lock_result::failed);
    EXPECT_FALSE(why.empty());
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link was followed";

    const std::string fifo = std::string(dir) + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    lm_instance_lock on_fifo;
    EXPECT_EQ(on_fifo.take(fifo), lm_lock_result::failed);

    unlink(fifo.c_str());
    unlink(link.c_str());
    unlink(path.c_str());
    rmdir(dir);
}

// Without XDG_RUNTIME_DIR no lock file is made anywhere (never in /tmp,
// where others can plant files): the lock on the private state folder,
// which every wizard takes, keeps a second one out.
TEST(InstanceLock, WithoutRuntimeFolderTheStateFolderIsTheLock)
{
    char dir[] = "/tmp/lumora-lock-state.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    const std::string saved_runtime = runtime ? runtime : "";
    const std::string saved_state = getenv("XDG_STATE_HOME") ? getenv("XDG_STATE_HOME") : "";
    unsetenv("XDG_RUNTIME_DIR");
    setenv("XDG_STATE_HOME", dir, 1);
    EXPECT_EQ(lm_instance_lock::default_path(), "");
    {
        lm_attempt first(lm_state_dir_open());
        lm_attempt second(lm_state_dir_open());
        EXPECT_EQ(first.lock(), 0);
        EXPECT_EQ(second.lock(), 1);
    }
    struct stat st;
    ASSERT_EQ(stat((std::string(dir) + "/lumora-updater").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    if (runtime)
        setenv("XDG_RUNTIME_DIR", saved_runtime.c_str(), 1);
    setenv("XDG_STATE_HOME", saved_state.c_str(), 1);
    rmdir((std::string(dir) + "/lumora-updater").c_str());
    rmdir(dir);
}

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
