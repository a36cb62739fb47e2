// Helpers for the wizard's GUI tests: display check, a probe of lm_ui's
// timer, and answering the message dialogs the wizard runs.
#ifndef LUMORA_TESTS_UI_GTK_TEST_SUPPORT_H
#define LUMORA_TESTS_UI_GTK_TEST_SUPPORT_H

#include <gtk/gtk.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/ui.h"

// True when gtk_init_check succeeded in main().
extern bool g_have_display;

#define REQUIRE_DISPLAY() ASSERT_TRUE(g_have_display) << "no X display; run under tools/with-xvfb"

// lm_ui with its status timer observable. Ticks are counted instead of
// running the poll, so the tests see navigation alone.
class ProbeUi : public lm_ui {
public:
    void OnTimer(u_int32_t timer_id) override { ticks += timer_id == 200 ? 1 : 0; }

    // GLib source id of timer 200, 0 while disarmed or never armed.
    u_int32_t status_timer() const
    {
        for (guint i = 0; i < m_pArray->len; ++i) {
            auto* rec = static_cast<const _ID_STRU*>(g_ptr_array_index(m_pArray, i));
            if (rec != nullptr && rec->timer_id == 200) {
                return rec->sys_id;
            }
        }
        return 0;
    }
    guint timer_records() const { return m_pArray->len; }

    int ticks = 0;
};

// What the dialog answerer found: the first dialog's details, and the
// texts of all dialogs answered (a worker's dialog may show up as well).
struct DialogSeen {
    bool seen = false;
    std::string text;
    std::string title;
    std::string accessible_name; // what a screen reader announces it by
    GtkMessageType type = GTK_MESSAGE_OTHER;
    // Its OK button was the default and had the focus: Enter answers OK.
    bool ok_takes_enter = false;
    std::vector<std::string> texts;
    gint response = 0;
    guint source = 0;
};

// Answers every message dialog that shows up with `response` until
// finish_answer(). Call before the code that runs the dialog.
void answer_dialogs(DialogSeen* seen, gint response);
void finish_answer(DialogSeen* seen);

// Runs fn inside gtk_main() and reports whether fn's work quit the loop
// (a guard quits it after 10 s otherwise).
template <typename Fn> bool quits_main_loop(Fn fn);

bool run_in_main_loop(void (*fn)(void*), void* arg);
template <typename Fn> bool quits_main_loop(Fn fn)
{
    return run_in_main_loop([](void* p) { (*static_cast<Fn*>(p))(); }, &fn);
}

// Button state as a mask with the wizard's bits: 4 Back, 2 Next, 1 Cancel.
int visible_mask(const lm_ui& ui);
int sensitive_mask(const lm_ui& ui);
std::string label_of(GtkWidget* button);

// Counts descendants of w of the given type.
int count_children_of_type(GtkWidget* w, GType type);
// All label texts under w, joined with '|'.
std::string label_texts(GtkWidget* w);

#endif
