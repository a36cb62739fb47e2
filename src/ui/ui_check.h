// The Warning page's check on a thread of its own: the network (name lookup,
// probes in-process or through the helper, then the TCP check) and the
// reader (attached, and its variant from the product string). The window
// stays live meanwhile; the result comes back on the main thread.
#ifndef LUMORA_UI_UI_CHECK_H
#define LUMORA_UI_UI_CHECK_H

#include <glib.h>

#include <atomic>
#include <mutex>
#include <string>

#include "net/probe_helper.h"

// What one check found, in the terms of lm_ui's m_nnet_con, m_ndev_con and
// m_lumora_bufsize.
struct lm_check_result {
    int net;      // 1 the update server is reachable, 0 not
    int dev;      // 1 the reader is attached in update mode, 0 not
    int variant;  // with dev 1: 64, 32, or -1 (refused, not openable, silent)
    int readers;  // readers in update mode on the bus; more than one is refused
    std::string port;    // with dev 1: where the reader found is plugged in
    std::string serial;  // and its serial number, empty when it has none
};

// One check, shared by its owner (the page) and its thread; whoever lets go
// last frees it. The thread touches nothing of the owner's: it finds the
// network through static probes and the reader through device objects of
// its own on its stack, so a check left behind by a page change or a quit
// holds nothing that the application frees.
class lm_warning_check {
public:
    // Called on the main thread with the result, unless the owner let go first.
    typedef void (*done_fn)(void* owner, const lm_check_result& result);

    // Starts a check; null when its thread cannot be started. A side that is
    // left out (with_network, with_reader false) counts as absent.
    static lm_warning_check* start(bool with_network, bool with_reader, done_fn done, void* owner);

    // Checks whose thread has not ended, those let go of included; the page
    // starts no check while one runs.
    static int running();

    // Main thread, once per check: the owner lets go. From here on no result
    // reaches the owner; a helper being run is killed (and reaped by the
    // thread), the probe's and the TCP check's waits end, and the reader is
    // not looked at any more. Never waits for the thread.
    void let_go();

private:
    lm_warning_check(bool with_network, bool with_reader, done_fn done, void* owner);
    ~lm_warning_check() = default;
    void ref();
    void unref();
    static gpointer run(gpointer self);
    void check();
    static gboolean deliver(gpointer self);
    static void release(gpointer self);

    std::atomic<int> m_refs;
    std::atomic<int> m_abandoned;
    lm_probe::probe_stop m_stop;
    const bool m_withNetwork;
    const bool m_withReader;
    done_fn m_done;
    void* m_owner;
    // The result, written by the thread before it queues deliver.
    std::atomic<int> m_net;
    std::atomic<int> m_dev;
    std::atomic<int> m_variant;
    std::atomic<int> m_readers;
    std::mutex m_identityLock;  // the reader's port and serial, written by the thread
    std::string m_port;
    std::string m_serial;
};

#endif
