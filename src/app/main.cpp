// Process entry: GTK, GLib threads, the one-wizard-per-session lock, then
// the wizard until it ends.
#include <gtk/gtk.h>
#include <signal.h>

#include <cstdio>
#include <string>

#include "app/app.h"
#include "app/instance_lock.h"
#include "state/attempt.h"
#include "ui/dialogs.h"

namespace {

const char kAlreadyRunning[] = "墨川电子书升级软件已在运行。";

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
        lm_run_lone_message(GTK_MESSAGE_INFO, GTK_BUTTONS_OK, kAlreadyRunning);
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

    // GTK takes its own options out of argv; nothing else is looked at.
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
        lm_run_lone_message(GTK_MESSAGE_INFO, GTK_BUTTONS_OK, kAlreadyRunning);
        return 0;
    }
    if (state != 0 && lm_instance_lock::default_path().empty())
        fprintf(stderr, "lumora-updater: running without the single-instance lock (no "
                        "XDG_RUNTIME_DIR and no state folder)\n");
    if (app.init() == 0) {
        app.run();
        app.uninit();
    }
    return 0;
}
