#include "sys/sleep_inhibitor.h"

#include <gio/gio.h>
#include <gio/gunixfdlist.h>
#include <unistd.h>

#include <cstdio>

// One request on its way. It outlives a release: the inhibitor forgets it
// (owner = null) and the callback closes whatever descriptor still comes.
struct lm_inhibit_request {
    lm_sleep_inhibitor* owner;
    GCancellable* cancel;
};

namespace {

const char kWhat[] = "sleep:shutdown:idle";
const char kWho[] = "墨川电子书升级软件";
const char kWhy[] = "正在更新电子书固件，请勿休眠或关机";
const int kCallTimeoutMs = 5000;

void say_without(const GError* error)
{
    fprintf(stderr, "lumora-updater: going on without keeping the computer awake (%s)\n",
            error ? error->message : "no answer");
}

void finish(lm_inhibit_request* req)
{
    g_object_unref(req->cancel);
    g_free(req);
}

void on_reply(GObject* source, GAsyncResult* result, gpointer data);

void on_bus(GObject*, GAsyncResult* result, gpointer data)
{
    auto* req = static_cast<lm_inhibit_request*>(data);
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_finish(result, &error);
    if (!bus) {
        if (req->owner) {
            say_without(error);
            req->owner->answered(-1);
        }
        g_clear_error(&error);
        finish(req);
        return;
    }
    g_dbus_connection_call_with_unix_fd_list(
        bus, "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        "Inhibit", g_variant_new("(ssss)", kWhat, kWho, kWhy, "block"), G_VARIANT_TYPE("(h)"),
        G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, req->cancel, on_reply, req);
    g_object_unref(bus);
}

void on_reply(GObject* source, GAsyncResult* result, gpointer data)
{
    auto* req = static_cast<lm_inhibit_request*>(data);
    GError* error = nullptr;
    GUnixFDList* fds = nullptr;
    GVariant* reply = g_dbus_connection_call_with_unix_fd_list_finish(G_DBUS_CONNECTION(source),
                                                                      &fds, result, &error);
    int fd = -1;
    if (reply) {
        gint32 index = -1;
        g_variant_get(reply, "(h)", &index);
        if (fds)
            fd = g_unix_fd_list_get(fds, index, &error);  // a duplicate of it
        g_variant_unref(reply);
    }
    if (fds)
        g_object_unref(fds);
    if (!req->owner) {
        if (fd >= 0)
            close(fd);  // released meanwhile
    } else {
        if (fd < 0)
            say_without(error);
        req->owner->answered(fd);
    }
    g_clear_error(&error);
    finish(req);
}

} // namespace

lm_sleep_inhibitor::lm_sleep_inhibitor() : m_fd(-1), m_pending(nullptr)
{
}

lm_sleep_inhibitor::~lm_sleep_inhibitor()
{
    release();
}

void lm_sleep_inhibitor::hold()
{
    if (m_fd >= 0 || m_pending)
        return;
    m_pending = g_new0(lm_inhibit_request, 1);
    m_pending->owner = this;
    m_pending->cancel = g_cancellable_new();
    g_bus_get(G_BUS_TYPE_SYSTEM, m_pending->cancel, on_bus, m_pending);
}

void lm_sleep_inhibitor::release()
{
    if (m_pending) {
        m_pending->owner = nullptr;
        g_cancellable_cancel(m_pending->cancel);
        m_pending = nullptr;
    }
    if (m_fd >= 0) {
        close(m_fd);
        m_fd = -1;
    }
}

void lm_sleep_inhibitor::answered(int fd)
{
    m_pending = nullptr;
    m_fd = fd;
}
