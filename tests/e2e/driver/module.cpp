// A GTK module that drives the unmodified wizard through a scenario script.
// Loaded with GTK_MODULES; reads the script named by LUMORA_E2E_SCRIPT and
// writes its transcript to LUMORA_E2E_LOG, screenshots to LUMORA_E2E_SHOTS
// and signal files to LUMORA_E2E_SIGNALS. A step that times out ends the
// program with status 97 after a "FAIL" line.
#include <gtk/gtk.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>

#include "finder.h"
#include "keys.h"
#include "screenshot.h"
#include "script.h"
#include "transcript.h"

namespace e2e {

namespace {

const int kTickMs = 50;
const int kScreenshotSettleMs = 300;
const int kFailStatus = 97;
// The Update page's connection picture, watched for the transcript.
const int kPictureWidth = 402, kPictureHeight = 128;

enum class action_kind { click, answer, screenshot };

struct driver {
    std::vector<step> steps;
    size_t current = 0;
    gint64 step_started = 0;
    gint64 steady_since = 0;
    std::string picture_at_start;
    bool action_pending = false;
    bool done = false;
    double pace = 0;
    std::string shots_dir;
    std::string signal_dir;
    // What was last written to the transcript, to log changes only.
    std::string page, buttons, picture;
};

driver g_driver;

GQuark dialog_quark()
{
    return g_quark_from_static_string("lumora-e2e-dialog");
}
enum { kDialogLogged = 1, kDialogAnswered = 2 };

gint64 now_us()
{
    return g_get_monotonic_time();
}

const step& current_step()
{
    return g_driver.steps[g_driver.current];
}

std::string step_prefix(const step& st)
{
    return "line " + std::to_string(st.line) + ": " + st.source;
}

// The wizard with the message dialogs over it, or the whole screen.
void take_screenshot(bool whole_screen, const std::string& name)
{
    std::vector<GtkWidget*> windows;
    if (!whole_screen) {
        if (GtkWidget* wizard = find_wizard())
            windows.push_back(wizard);
        for (GtkWidget* dialog : shown_message_dialogs())
            windows.push_back(dialog);
    }
    std::string path = g_driver.shots_dir + "/" + name + ".png";
    std::string error;
    std::string size = save_screenshot(windows, path, &error);
    if (size.empty())
        transcript_line("screenshot-failed " + name + " " + error);
    else
        transcript_line("screenshot " + name + " " + size + " " + path);
}

[[noreturn]] void fail(const std::string& reason)
{
    const step& st = current_step();
    transcript_line("FAIL " + step_prefix(st) + ": " + reason);
    GtkWidget* wizard = find_wizard();
    transcript_line("state page=" + current_page(wizard) + " buttons=" + button_states(wizard));
    for (const std::string& label : shown_labels())
        transcript_line("state label=" + escape(label));
    take_screenshot(true, "fail");
    _exit(kFailStatus);
}

void begin_step()
{
    g_driver.step_started = now_us();
    g_driver.steady_since = 0;
    if (g_driver.current >= g_driver.steps.size()) {
        g_driver.done = true;
        transcript_line("script complete");
        return;
    }
    const step& st = current_step();
    if (st.kind == step_kind::picture_change)
        g_driver.picture_at_start = shown_picture(find_wizard(), st.width, st.height);
}

void advance()
{
    ++g_driver.current;
    begin_step();
}

// Logs page changes, button states, the connection picture and every
// message dialog the first time it is shown.
void observe()
{
    GtkWidget* wizard = find_wizard();
    std::string page = current_page(wizard);
    if (!page.empty() && page != g_driver.page) {
        g_driver.page = page;
        transcript_line("page " + page);
    }
    std::string buttons = button_states(wizard);
    if (wizard && buttons != g_driver.buttons) {
        g_driver.buttons = buttons;
        transcript_line("buttons " + buttons);
    }
    std::string picture = shown_picture(wizard, kPictureWidth, kPictureHeight);
    if (picture != g_driver.picture) {
        g_driver.picture = picture;
        transcript_line("picture " + std::to_string(kPictureWidth) + "x" +
                        std::to_string(kPictureHeight) + " " + picture);
    }
    for (GtkWidget* dialog : shown_message_dialogs()) {
        if (g_object_get_qdata(G_OBJECT(dialog), dialog_quark()))
            continue;
        g_object_set_qdata(G_OBJECT(dialog), dialog_quark(), GINT_TO_POINTER(kDialogLogged));
        GtkMessageType type = GTK_MESSAGE_OTHER;
        gchar* text = nullptr;
        g_object_get(dialog, "message-type", &type, "text", &text, NULL);
        gpointer enum_class = g_type_class_ref(GTK_TYPE_MESSAGE_TYPE);
        GEnumValue* name = g_enum_get_value(G_ENUM_CLASS(enum_class), type);
        std::string buttons_of;
        if (gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK))
            buttons_of += "ok";
        if (gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_CANCEL))
            buttons_of += buttons_of.empty() ? "cancel" : ",cancel";
        const char* title = gtk_window_get_title(GTK_WINDOW(dialog));
        transcript_line(std::string("dialog type=") + (name ? name->value_nick : "?") +
                        " buttons=" + (buttons_of.empty() ? "none" : buttons_of) +
                        " title=" + escape(title ? title : "") + " text=" +
                        escape(text ? text : ""));
        g_free(text);
        g_type_class_unref(enum_class);
    }
}

// Where a key press goes: the newest message dialog, else the wizard.
GtkWidget* key_window()
{
    std::vector<GtkWidget*> dialogs = shown_message_dialogs();
    return dialogs.empty() ? find_wizard() : dialogs.back();
}

bool button_ready(const std::string& label, GtkWidget** button)
{
    *button = find_button(label);
    return *button && gtk_widget_is_sensitive(*button);
}

GtkWidget* find_unanswered_dialog(const std::string& contains)
{
    for (GtkWidget* dialog : shown_message_dialogs()) {
        if (GPOINTER_TO_INT(g_object_get_qdata(G_OBJECT(dialog), dialog_quark())) ==
            kDialogAnswered)
            continue;
        gchar* text = nullptr;
        g_object_get(dialog, "text", &text, NULL);
        bool match = text && strstr(text, contains.c_str());
        g_free(text);
        if (match)
            return dialog;
    }
    return nullptr;
}

// Presses the dialog's button for the response, as a user would.
void answer_dialog(GtkWidget* dialog, const std::string& reply)
{
    int response = reply == "ok" ? GTK_RESPONSE_OK : GTK_RESPONSE_CANCEL;
    GtkWidget* button = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), response);
    if (button)
        gtk_button_clicked(GTK_BUTTON(button));
    else
        gtk_dialog_response(GTK_DIALOG(dialog), response);
}

// Clicks and answers run from their own one-shot source: the handler they
// trigger may run a nested main loop (a dialog), in which the tick must
// go on driving. The step is checked again when the action runs.
gboolean run_action(gpointer data)
{
    action_kind kind = static_cast<action_kind>(GPOINTER_TO_INT(data));
    g_driver.action_pending = false;
    if (g_driver.done)
        return FALSE;
    const step st = current_step();
    if (kind == action_kind::screenshot) {
        take_screenshot(st.kind == step_kind::screenshot_screen, st.text);
        advance();
        return FALSE;
    }
    if (kind == action_kind::click) {
        GtkWidget* button = nullptr;
        if (!button_ready(st.text, &button))
            return FALSE;  // gone meanwhile: the tick tries again
        transcript_line("click " + st.text);
        advance();
        gtk_button_clicked(GTK_BUTTON(button));
        return FALSE;
    }
    GtkWidget* dialog = find_unanswered_dialog(st.text);
    if (!dialog)
        return FALSE;
    g_object_set_qdata(G_OBJECT(dialog), dialog_quark(), GINT_TO_POINTER(kDialogAnswered));
    transcript_line("answer " + st.reply + " to " + escape(st.text));
    advance();
    answer_dialog(dialog, st.reply);
    return FALSE;
}

void schedule(action_kind kind, int delay_ms)
{
    g_driver.action_pending = true;
    g_timeout_add(delay_ms, run_action, GINT_TO_POINTER(static_cast<int>(kind)));
}

bool any_label(const std::function<bool(const std::string&)>& match, std::string* seen)
{
    for (const std::string& text : shown_labels()) {
        if (match(text)) {
            *seen = text;
            return true;
        }
    }
    return false;
}

void write_signal(const std::string& name)
{
    std::string path = g_driver.signal_dir + "/" + name;
    std::ofstream out(path);
    transcript_line((out ? "signal " : "signal-failed ") + name);
}

bool signal_present(const std::string& name)
{
    return access((g_driver.signal_dir + "/" + name).c_str(), F_OK) == 0;
}

// Tries the current step once; true when it is finished.
bool try_step(const step& st, double elapsed)
{
    int pace_ms = static_cast<int>(g_driver.pace * 1000);
    std::string seen;
    GtkWidget* button = nullptr;
    switch (st.kind) {
    case step_kind::click:
        if (button_ready(st.text, &button))
            schedule(action_kind::click, pace_ms > 0 ? pace_ms : 1);
        return false;
    case step_kind::dialog:
        if (!find_unanswered_dialog(st.text))
            return false;
        if (st.reply == "none") {
            transcript_line("seen dialog " + escape(st.text));
            return true;
        }
        schedule(action_kind::answer, pace_ms > 0 ? pace_ms : 1);
        return false;
    case step_kind::screenshot:
    case step_kind::screenshot_screen:
        schedule(action_kind::screenshot, kScreenshotSettleMs);
        return false;
    case step_kind::key:
        if (!press_key(key_window(), st.text))
            fail("cannot press " + st.text);
        transcript_line("key " + st.text);
        return true;
    case step_kind::expect_focus:
        if (focused_button(key_window()) != st.text)
            return false;
        transcript_line("focus " + st.text);
        return true;
    case step_kind::expect_label:
        if (!any_label([&](const std::string& t) { return t == st.text; }, &seen))
            return false;
        transcript_line("seen label " + escape(seen));
        return true;
    case step_kind::expect_label_match: {
        GRegex* re = g_regex_new(st.text.c_str(), G_REGEX_OPTIMIZE, GRegexMatchFlags(0), nullptr);
        if (!re)
            fail("bad regular expression");
        bool found = any_label(
            [&](const std::string& t) { return g_regex_match(re, t.c_str(), GRegexMatchFlags(0), nullptr); },
            &seen);
        g_regex_unref(re);
        if (found)
            transcript_line("seen label " + escape(seen));
        return found;
    }
    case step_kind::steady_label:
        if (!any_label([&](const std::string& t) { return t == st.text; }, &seen)) {
            g_driver.steady_since = 0;
            return false;
        }
        if (g_driver.steady_since == 0)
            g_driver.steady_since = now_us();
        if ((now_us() - g_driver.steady_since) / 1e6 < st.seconds)
            return false;
        transcript_line("steady label " + escape(seen));
        return true;
    case step_kind::expect_sensitive:
    case step_kind::expect_insensitive: {
        button = find_button(st.text);
        bool want = st.kind == step_kind::expect_sensitive;
        if (!button || (gtk_widget_is_sensitive(button) != 0) != want)
            return false;
        transcript_line(std::string(want ? "sensitive " : "insensitive ") + st.text);
        return true;
    }
    case step_kind::expect_page:
        return current_page(find_wizard()) == st.text;
    case step_kind::picture_change: {
        std::string now = shown_picture(find_wizard(), st.width, st.height);
        return now != "none" && now != g_driver.picture_at_start;
    }
    case step_kind::sleep:
        return elapsed >= st.seconds;
    case step_kind::signal:
        write_signal(st.text);
        return true;
    case step_kind::wait_signal:
        if (!signal_present(st.text))
            return false;
        transcript_line("seen signal " + st.text);
        return true;
    case step_kind::pace:
        g_driver.pace = st.seconds;
        return true;
    case step_kind::terminate:
        transcript_line("terminate " + std::to_string(static_cast<int>(st.seconds)));
        _exit(static_cast<int>(st.seconds));
    case step_kind::expect_exit:
        return false;
    }
    return false;
}

gboolean tick(gpointer)
{
    observe();
    if (g_driver.done || g_driver.action_pending)
        return TRUE;
    const step& st = current_step();
    double elapsed = (now_us() - g_driver.step_started) / 1e6;
    if (try_step(st, elapsed)) {
        advance();
        return TRUE;
    }
    double limit = st.kind == step_kind::sleep ? st.seconds + st.timeout : st.timeout;
    if (!g_driver.action_pending && elapsed > limit)
        fail("timed out after " + std::to_string(static_cast<int>(limit)) + " s");
    return TRUE;
}

void at_exit()
{
    if (g_driver.done) {
        transcript_line("exit");
        return;
    }
    if (current_step().kind == step_kind::expect_exit) {
        transcript_line("exit");
        g_driver.done = true;
        transcript_line("script complete");
        return;
    }
    transcript_line("FAIL " + step_prefix(current_step()) + ": the program ended before this step");
}

std::string env_or(const char* name, const std::string& fallback)
{
    const char* v = getenv(name);
    return v && *v ? v : fallback;
}

std::string read_file(const std::string& path, bool* ok)
{
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    *ok = static_cast<bool>(in);
    return all.str();
}

} // namespace

void start(const char* script_path)
{
    transcript_open(getenv("LUMORA_E2E_LOG"));
    g_driver.shots_dir = env_or("LUMORA_E2E_SHOTS", ".");
    g_driver.signal_dir = env_or("LUMORA_E2E_SIGNALS", ".");
    bool ok = false;
    std::string text = read_file(script_path, &ok);
    std::string error;
    if (!ok || !parse_script(text, &g_driver.steps, &error)) {
        transcript_line("FAIL script " + std::string(script_path) + ": " +
                        (ok ? error : "cannot be read"));
        _exit(kFailStatus);
    }
    transcript_line("driver started pid=" + std::to_string(getpid()) + " steps=" +
                    std::to_string(g_driver.steps.size()));
    atexit(at_exit);
    begin_step();
    g_timeout_add(kTickMs, tick, nullptr);
}

} // namespace e2e

extern "C" G_MODULE_EXPORT void gtk_module_init(gint*, gchar***)
{
    const char* script = getenv("LUMORA_E2E_SCRIPT");
    if (!script || !*script)
        return;
    e2e::start(script);
}
