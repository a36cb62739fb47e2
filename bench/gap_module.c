/* lumora-bench-gap: a GTK module (GTK_MODULES) that measures, from inside
 * the real program, how live the window stays on the Warning page: a 10 ms
 * timeout records the longest gap between two of its calls while the page is
 * shown, and the time from the page's first appearance to its verdict (Next
 * sensitive: all present; or the network's warning text). The figures go, as
 * one JSON line rewritten on every change, to the file named by
 * LUMORA_GAP_OUT. */
#include <gtk/gtk.h>
#include <stdio.h>
#include <string.h>

static const char kWarningPage[] = "在更新之前，请确认";
static const char kNoNetwork[] = "警告：您到电脑未连接网络";

static const char* g_out;
static gint64 g_last;        /* previous tick, µs */
static gint64 g_page_since;  /* first tick on the Warning page, 0 before */
static gint64 g_max_gap;
static gint64 g_max_gap_at;  /* end of the longest gap, µs */
static gint64 g_verdict_at;
static const char* g_verdict = "";
static int g_ticks;

typedef struct {
    int warning_page;
    int no_network;
    int next_sensitive;
} page_state;

static int shown(GtkWidget* w)
{
    for (; w; w = gtk_widget_get_parent(w))
        if (!gtk_widget_get_visible(w))
            return 0;
    return 1;
}

static void look(GtkWidget* w, gpointer data)
{
    page_state* st = (page_state*)data;
    if (GTK_IS_LABEL(w) && shown(w)) {
        const char* text = gtk_label_get_text(GTK_LABEL(w));
        if (strncmp(text, kWarningPage, strlen(kWarningPage)) == 0)
            st->warning_page = 1;
        if (strcmp(text, kNoNetwork) == 0)
            st->no_network = 1;
    }
    if (GTK_IS_BUTTON(w) && shown(w) && gtk_widget_is_sensitive(w)) {
        const char* label = gtk_button_get_label(GTK_BUTTON(w));
        if (label && strcmp(label, "下一步") == 0)
            st->next_sensitive = 1;
    }
    if (GTK_IS_CONTAINER(w))
        gtk_container_forall(GTK_CONTAINER(w), look, data);
}

static void write_figures(void)
{
    FILE* f = fopen(g_out, "w");
    if (!f)
        return;
    fprintf(f,
            "{\"max_gap_ms\": %.1f, \"max_gap_at_ms\": %.1f, \"ticks\": %d, \"verdict\": \"%s\", "
            "\"verdict_ms\": %.1f}\n",
            g_max_gap / 1000.0, g_max_gap_at ? (g_max_gap_at - g_page_since) / 1000.0 : -1.0, g_ticks,
            g_verdict, g_verdict_at ? (g_verdict_at - g_page_since) / 1000.0 : -1.0);
    fclose(f);
}

static gboolean tick(gpointer unused)
{
    (void)unused;
    gint64 now = g_get_monotonic_time();
    page_state st = {0, 0, 0};
    GList* windows = gtk_window_list_toplevels();
    for (GList* l = windows; l; l = l->next)
        look(GTK_WIDGET(l->data), &st);
    g_list_free(windows);

    int changed = 0;
    if (st.warning_page) {
        if (!g_page_since) {
            g_page_since = now;
            changed = 1;
        } else if (now - g_last > g_max_gap) {
            g_max_gap = now - g_last;
            g_max_gap_at = now;
            changed = 1;
        }
        ++g_ticks;
        if (!g_verdict_at && (st.next_sensitive || st.no_network)) {
            g_verdict_at = now;
            g_verdict = st.next_sensitive ? "all-present" : "no-network";
            changed = 1;
        }
    }
    g_last = now;
    if (changed)
        write_figures();
    return TRUE;
}

G_MODULE_EXPORT void gtk_module_init(gint* argc, gchar*** argv)
{
    (void)argc;
    (void)argv;
    g_out = g_getenv("LUMORA_GAP_OUT");
    if (!g_out || !*g_out)
        return;
    g_last = g_get_monotonic_time();
    g_timeout_add(10, tick, NULL);
}
