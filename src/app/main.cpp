// Process entry: GTK, GLib threads, the one-wizard-per-session lock, then
// the wizard until it ends.
#include <gtk/gtk.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "app/app.h"
#include "app/image_file.h"
#include "app/instance_lock.h"
#include "app/options.h"
#include "state/attempt.h"
#include "ui/dialogs.h"
#include "ui/i18n.h"

namespace {

const char kAlreadyRunning[] = N_("墨川电子书升级软件已在运行。");
// TRANSLATORS: %s is the file's name as the user gave it.
const char kFileCannotOpen[] = N_("无法读取更新文件“%s”。");
const char kFileNotRegular[] = N_("“%s”不是普通文件，不能作为更新文件。");
const char kFileTooLarge[] = N_("更新文件“%s”太大（最大256 MiB）。");

// The image file named on the command line, read whole; on failure the
// reason, on standard error and in a dialog, and false.
bool read_image_file(const std::string& path, char** data, size_t* len)
{
    const char* why = nullptr;
    switch (lm_read_image_file(path.c_str(), data, len)) {
    case LM_IMAGE_FILE_READ:
        return true;
    case LM_IMAGE_FILE_CANNOT_OPEN:
        why = kFileCannotOpen;
        break;
    case LM_IMAGE_FILE_NOT_REGULAR:
        why = kFileNotRegular;
        break;
    case LM_IMAGE_FILE_TOO_LARGE:
        why = kFileTooLarge;
        break;
    }
    gchar* shown = g_filename_display_name(path.c_str());
    gchar* text = g_strdup_printf(_(why), shown);
    fprintf(stderr, "lumora-updater: %s\n", text);
    lm_run_lone_message(GTK_MESSAGE_ERROR, GTK_BUTTONS_OK, text);
    g_free(text);
    g_free(shown);
    return false;
}

// True when this process may run the wizard. A second launch leaves the
// running wizard alone: it says so and touches neither reader nor network.
// A lock that cannot be had at all (no file can be made) does not stop the
// wizard: it runs unguarded, as it would without the lock.
bool first_in_session(lm_instance_lock* lock)
{
    std::string error;
    std::string path = lm_instance_lock::default_path();
    if (path.empty())
        return true;  // no session folder: the state folder's lock decides
    switch (lock->take(path, &error)) {
    case lm_lock_result::taken:
        return true;
    case lm_lock_result::held:
        lm_run_lone_message(GTK_MESSAGE_INFO, GTK_BUTTONS_OK, _(kAlreadyRunning));
        return false;
    case lm_lock_result::failed:
        fprintf(stderr, "lumora-updater: running without the single-instance lock (%s)\n",
                error.c_str());
        return true;
    }
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    // A launcher may hand down SIGCHLD ignored through exec; the kernel then
    // reaps the probe helper itself and its answer is lost. Before anything
    // is spawned, children are ours to reap again.
    signal(SIGCHLD, SIG_DFL);

    // The texts follow the user's locale (LANGUAGE, LC_ALL, LC_MESSAGES, LANG).
    lm_i18n_init();

    // The options, GTK's among them, before any display is opened: --help
    // and --version answer without one.
    lm_options options;
    if (lm_parse_options(&argc, &argv, &options) != 0)
        return 1;
    if (options.version) {
        printf("lumora-updater %s\n", LUMORA_VERSION);
        return 0;
    }
    gtk_init(&argc, &argv);

    // Kept for GLib versions that still need an explicit thread start-up.
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    if (!g_threads_got_initialized) {
        g_thread_init(nullptr);
    }
    G_GNUC_END_IGNORE_DEPRECATIONS

    // Held until the process ends; the kernel drops it even on a crash.
    lm_instance_lock lock;
    if (!first_in_session(&lock))
        return 0;

    lm_app app;
    // The session's lock may live elsewhere ($XDG_RUNTIME_DIR): the saved
    // update has its own, on the state folder, taken before anything in it
    // is looked at. A wizard of another session (su, ssh) writing the
    // reader is left alone just the same.
    int state = app.m_pAttempt->lock();
    if (state == 1) {
        lm_run_lone_message(GTK_MESSAGE_INFO, GTK_BUTTONS_OK, _(kAlreadyRunning));
        return 0;
    }
    if (state != 0 && lm_instance_lock::default_path().empty())
        fprintf(stderr, "lumora-updater: running without the single-instance lock (no "
                        "XDG_RUNTIME_DIR and no state folder)\n");
    // A file the user brought is checked before the wizard trusts it. Its
    // path is kept absolute: the history names it as the image's source.
    if (!options.image.empty()) {
        gchar* absolute = g_canonicalize_filename(options.image.c_str(), nullptr);
        app.m_imagePath = absolute;
        g_free(absolute);
        if (!read_image_file(app.m_imagePath, &app.m_pImageData, &app.m_nImageLen))
            return 1;
    }
    if (app.init() == 0) {
        app.run();
        app.uninit();
    }
    return 0;
}
