// The Warning page's check on a thread of its own; see ui_check.h.
#include "ui/ui_check.h"

#include <mutex>

#include "net/download.h"
#include "usb/update.h"

namespace {

std::atomic<int> g_running(0);

}  // namespace

lm_warning_check::lm_warning_check(bool with_network, bool with_reader, done_fn done, void* owner)
    : m_refs(2), m_abandoned(0), m_withNetwork(with_network), m_withReader(with_reader),
      m_done(done), m_owner(owner), m_net(0), m_dev(0), m_variant(-1), m_readers(0)
{
}

lm_warning_check* lm_warning_check::start(bool with_network, bool with_reader, done_fn done,
                                          void* owner)
{
    // One reference for the owner, one for the thread.
    lm_warning_check* check = new lm_warning_check(with_network, with_reader, done, owner);
    g_running.fetch_add(1);
    GError* error = nullptr;
    GThread* thread = g_thread_try_new("lumora-check", run, check, &error);
    if (!thread) {
        g_clear_error(&error);
        g_running.fetch_sub(1);
        delete check;
        return nullptr;
    }
    // Nobody joins a check: it ends on its own, after its owner if need be.
    g_thread_unref(thread);
    return check;
}

int lm_warning_check::running()
{
    return g_running.load();
}

void lm_warning_check::let_go()
{
    m_abandoned.store(1);
    m_stop.stop();
    unref();
}

void lm_warning_check::ref()
{
    m_refs.fetch_add(1);
}

void lm_warning_check::unref()
{
    if (m_refs.fetch_sub(1) == 1)
        delete this;
}

gpointer lm_warning_check::run(gpointer self)
{
    lm_warning_check* check = static_cast<lm_warning_check*>(self);
    check->check();
    if (!check->m_abandoned.load()) {
        // The result goes to the main thread; deliver drops it if the owner
        // has let go meanwhile.
        check->ref();
        g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, deliver, check, release);
    }
    check->unref();
    g_running.fetch_sub(1);
    return nullptr;
}

void lm_warning_check::check()
{
    lm_check_result result = {0, 0, -1, 0, std::string(), std::string()};
    if (m_withNetwork) {
        int status = lm_download::internet_con_status(&m_stop);
        // Probes dropped on the way (a firewall) need not mean that HTTP is.
        if (status != 0 && !m_stop.stopped())
            status = lm_download::get_tcp_con_status(m_stop.flag());
        result.net = status == 0 ? 1 : 0;
    }
    // The reader is looked at on every check, whatever the network said.
    if (m_withReader && !m_stop.stopped()) {
        // The worker may use the reader once the page has been left: never both.
        std::lock_guard<std::recursive_mutex> reader(lm_update::reader_lock());
        if (!m_stop.stopped()) {
            lm_update device;
            if (device.get_device_connect_status() == 0) {
                result.dev = 1;
                result.readers = device.readers_attached();
                // With two readers neither is the one: none is even asked.
                if (result.readers == 1)
                    result.variant = device.get_lumora_buffer_size();
                device.get_reader_identity(&result.port, &result.serial);
            }
        }
    }
    m_net.store(result.net);
    m_dev.store(result.dev);
    m_variant.store(result.variant);
    m_readers.store(result.readers);
    std::lock_guard<std::mutex> hold(m_identityLock);
    m_port = result.port;
    m_serial = result.serial;
}

gboolean lm_warning_check::deliver(gpointer self)
{
    lm_warning_check* check = static_cast<lm_warning_check*>(self);
    // let_go runs on this thread too, so the owner is there when this is 0.
    if (!check->m_abandoned.load() && check->m_done) {
        lm_check_result result = {check->m_net.load(), check->m_dev.load(), check->m_variant.load(),
                                  check->m_readers.load(), std::string(), std::string()};
        {
            std::lock_guard<std::mutex> hold(check->m_identityLock);
            result.port = check->m_port;
            result.serial = check->m_serial;
        }
        check->m_done(check->m_owner, result);
    }
    return G_SOURCE_REMOVE;
}

void lm_warning_check::release(gpointer self)
{
    static_cast<lm_warning_check*>(self)->unref();
}
