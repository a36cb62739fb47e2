// Entry of the GUI suite: GTK is initialised once; listing the tests works
// without a display, running them needs one.
#include "gtk_test_support.h"

#include <stdlib.h>

#include <cstdio>

bool g_have_display = false;

namespace {

gboolean answer_dialog(gpointer data)
{
    auto* seen = static_cast<DialogSeen*>(data);
    GList* windows = gtk_window_list_toplevels();
    GtkWidget* dialog = nullptr;
    for (GList* l = windows; l != nullptr; l = l->next) {
        auto* w = GTK_WIDGET(l->data);
        if (GTK_IS_MESSAGE_DIALOG(w) && gtk_widget_get_visible(w) &&
            g_object_get_data(G_OBJECT(w), "answered") == nullptr) {
            dialog = w;
        }
    }
    g_list_free(windows);
    if (dialog == nullptr) {
        return TRUE;
    }
    gchar* text = nullptr;
    GtkMessageType type = GTK_MESSAGE_OTHER;
    g_object_get(dialog, "text", &text, "message-type", &type, nullptr);
    std::string content = text != nullptr ? text : "";
    g_free(text);
    if (!seen->seen) {
        seen->seen = true;
        seen->text = content;
        seen->type = type;
        const gchar* title = gtk_window_get_title(GTK_WINDOW(dialog));
        seen->title = title != nullptr ? title : "";
        const gchar* name = atk_object_get_name(gtk_widget_get_accessible(dialog));
        seen->accessible_name = name != nullptr ? name : "";
        GtkWidget* ok = gtk_dialog_get_widget_for_response(GTK_DIALOG(dialog), GTK_RESPONSE_OK);
        seen->ok_takes_enter = ok != nullptr && gtk_window_get_default_widget(GTK_WINDOW(dialog)) == ok &&
                               gtk_window_get_focus(GTK_WINDOW(dialog)) == ok;
    }
    seen->texts.push_back(content);
    g_object_set_data(G_OBJECT(dialog), "answered", GINT_TO_POINTER(1));
    gtk_dialog_response(GTK_DIALOG(dialog), seen->response);
    return TRUE;
}

struct LoopRun {
    void (*fn)(void*);
    void* arg;
    bool guard_fired;
};

gboolean run_fn(gpointer data)
{
    auto* run = static_cast<LoopRun*>(data);
    run->fn(run->arg);
    return FALSE;
}

gboolean guard(gpointer data)
{
    static_cast<LoopRun*>(data)->guard_fired = true;
    gtk_main_quit();
    return FALSE;
}

void collect_labels(GtkWidget* w, gpointer data)
{
    auto* out = static_cast<std::string*>(data);
    if (GTK_IS_LABEL(w)) {
        *out += gtk_label_get_text(GTK_LABEL(w));
        *out += "|";
    }
    if (GTK_IS_CONTAINER(w)) {
        gtk_container_forall(GTK_CONTAINER(w), collect_labels, data);
    }
}

struct TypeCount {
    GType type;
    int count;
};

void count_type(GtkWidget* w, gpointer data)
{
    auto* tc = static_cast<TypeCount*>(data);
    if (G_TYPE_CHECK_INSTANCE_TYPE(w, tc->type)) {
        ++tc->count;
    }
    if (GTK_IS_CONTAINER(w)) {
        gtk_container_forall(GTK_CONTAINER(w), count_type, data);
    }
}

} // namespace

void answer_dialogs(DialogSeen* seen, gint response)
{
    finish_answer(seen);
    *seen = DialogSeen();
    seen->response = response;
    seen->source = g_timeout_add(20, answer_dialog, seen);
}

void finish_answer(DialogSeen* seen)
{
    if (seen->source != 0) {
        g_source_remove(seen->source);
        seen->source = 0;
    }
}

bool run_in_main_loop(void (*fn)(void*), void* arg)
{
    LoopRun run = {fn, arg, false};
    g_idle_add(run_fn, &run);
    guint guard_id = g_timeout_add_seconds(10, guard, &run);
    gtk_main();
    if (!run.guard_fired) {
        g_source_remove(guard_id);
    }
    return !run.guard_fired;
}

int visible_mask(const lm_ui& ui)
{
    return (gtk_widget_get_visible(ui.m_btnBack) ? 4 : 0) | (gtk_widget_get_visible(ui.m_btnNext) ? 2 : 0) |
           (gtk_widget_get_visible(ui.m_btnCancel) ? 1 : 0);
}

int sensitive_mask(const lm_ui& ui)
{
    return (gtk_widget_get_sensitive(ui.m_btnBack) ? 4 : 0) | (gtk_widget_get_sensitive(ui.m_btnNext) ? 2 : 0) |
           (gtk_widget_get_sensitive(ui.m_btnCancel) ? 1 : 0);
}

std::string label_of(GtkWidget* button)
{
    const gchar* text = gtk_button_get_label(GTK_BUTTON(button));
    return text != nullptr ? text : "";
}

int count_children_of_type(GtkWidget* w, GType type)
{
    TypeCount tc = {type, 0};
    count_type(w, &tc);
    return tc.count;
}

std::string label_texts(GtkWidget* w)
{
    std::string out;
    collect_labels(w, &out);
    return out;
}

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    g_have_display = gtk_init_check(&argc, &argv);
    // The wizard keeps files between runs: never in the tester's own folder.
    char state[] = "/tmp/lumora-ui-test-state.XXXXXX";
    if (mkdtemp(state) == nullptr)
        return 1;
    setenv("XDG_STATE_HOME", state, 1);
    int rc = RUN_ALL_TESTS();
    std::string cleanup = std::string("rm -rf '") + state + "'";
    if (system(cleanup.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", state);
    return rc;
}
