#include "fake_reader.h"

#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace lumora_fake {

namespace {

typedef std::chrono::steady_clock clock_type;

const uint16_t kReaderVid = 0x5345;
const uint16_t kReaderPid = 0x1234;
const int kBulkEndpoint = 3;
const unsigned kForeverStandInMs = 3000;  // stands in for a control request without a limit
const int kHoldStepMs = 20;
const int kHoldGiveUpMs = 30000;
const int kListenWaitMs = 5000;
const int kOthersPerBus = 100;

void make_parent_dirs(const std::string& path)
{
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        mkdir(path.substr(0, pos).c_str(), 0755);
}

std::string node_name(bool proc_root, int bus, int devnum)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%s/%03d/%03d", proc_root ? "/proc/bus/usb" : "/dev/bus/usb", bus,
             devnum);
    return buf;
}

// A string descriptor: bLength, type 3, then UTF-16LE text. A forced length
// pads the text with '#' and cuts it there, odd byte included.
std::vector<unsigned char> string_descriptor(const std::string& text, int forced_len)
{
    std::vector<unsigned char> out;
    size_t len = forced_len >= 0 ? size_t(forced_len) : 2 + 2 * text.size();
    if (len > 255)
        len = 255;
    out.push_back(static_cast<unsigned char>(len));
    out.push_back(3);
    for (size_t i = 0; out.size() < len; ++i) {
        out.push_back(i < text.size() ? static_cast<unsigned char>(text[i]) : '#');
        if (out.size() < len)
            out.push_back(0);
    }
    if (len < 2)
        out.resize(len);
    return out;
}

struct pending_urb {
    UMockdevIoctlData* data = nullptr;  // the URB record in the client, referenced
    unsigned long addr = 0;             // its address there
    int length = 0;                     // its buffer_length
    std::vector<unsigned char> bytes;   // kept until it completes, unless complete_at_once
    bool discarded = false;
    bool stuck = false;  // never completes
    bool epipe = false;  // completes with -EPIPE
    bool half = false;   // completes short
    bool taken = false;  // completed before the reader left; reaps whole
};

// The ioctl argument is the pointer the client passed; this reaches the
// record it points to. The caller owns the reference it returns.
UMockdevIoctlData* pointee(UMockdevIoctlData* arg, size_t len)
{
    GError* error = nullptr;
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, len, &error);
    g_clear_error(&error);
    return d;
}

unsigned long pointer_value(UMockdevIoctlData* arg)
{
    unsigned long v = 0;
    if (arg && arg->data_len >= int(sizeof v))
        memcpy(&v, arg->data, sizeof v);
    return v;
}

gboolean time_out_request(gpointer client)
{
    umockdev_ioctl_client_complete(static_cast<UMockdevIoctlClient*>(client), -1, ETIMEDOUT);
    return G_SOURCE_REMOVE;
}

// Fails a control request with ETIMEDOUT after ms, as usbfs does when the
// device never answers; the handler itself must not block.
void time_out_later(UMockdevIoctlClient* client, unsigned ms)
{
    GSource* src = g_timeout_source_new(ms);
    g_source_set_callback(src, time_out_request, g_object_ref(client), g_object_unref);
    g_source_attach(src, g_main_context_get_thread_default());
    g_source_unref(src);
}

} // namespace

std::vector<unsigned char> device_descriptor(uint16_t vid, uint16_t pid, uint8_t iproduct)
{
    return {18,   1,    0x00, 0x02, 0, 0, 0, 64, static_cast<unsigned char>(vid & 0xff),
            static_cast<unsigned char>(vid >> 8), static_cast<unsigned char>(pid & 0xff),
            static_cast<unsigned char>(pid >> 8), 0x00, 0x01, 1, iproduct, 0, 1};
}

class reader_impl;

// A held product string request: answered once the release file is there.
struct held_request {
    reader_impl* impl;
    UMockdevIoctlClient* client;
    UMockdevIoctlData* rec;
    usbdevfs_ctrltransfer ctrl;
    int waited_ms;
};

// What umockdev's handler signals carry. Its worker thread may still
// deliver a connection or a request queued before the reader ended: the
// reader then clears impl under `alive` and leaves the binding allocated.
struct node_binding {
    reader_impl* impl;
    int bus;
    int devnum;
    int probes;  // connections of the reader's own listening check, not logged
    std::mutex alive;
};

class reader_impl {
public:
    // beside: the reader whose testbed this one shares, or null for a testbed of its own.
    reader_impl(const reader_options& o, reader_impl* beside);
    ~reader_impl();

    void plug(int devnum, bool first = false);
    void leave();
    void add_sysfs_entry(const std::string& name, const char* busnum, const char* devnum,
                         const std::vector<unsigned char>& descriptor);
    void add_node_file(const std::string& path, const std::vector<unsigned char>& bytes);
    bool set_other_devices(int count);
    void reset_counters();

    gboolean handle_ioctl(const node_binding& b, UMockdevIoctlClient* client);
    gboolean handle_read(const node_binding& b, UMockdevIoctlClient* client);
    void note_open(node_binding& b);

    reader_options opt;
    std::string err;
    UMockdevTestbed* tb = nullptr;
    std::string root;

    // Testbed calls, shared by the readers of one testbed; taken before mu,
    // never inside a handler.
    std::shared_ptr<std::mutex> tb_lock;
    std::mutex& tb_mu;
    mutable std::mutex mu;     // device and stream state
    bool present = false;
    int devnum = 0;
    std::string syspath;
    int pty_master = -1;
    int pty_slave = -1;
    bool gate_open = false;
    bool leave_pending = false;
    bool holding = false;  // completions wait for a leave that is on its way
    std::map<std::string, node_binding*> attached;  // node path -> its binding
    std::vector<node_binding*> bindings;            // all, kept for late callbacks
    std::vector<UMockdevIoctlBase*> handlers;

    std::deque<pending_urb> queue;
    frame_checker checker;
    bool attempt_open = false;
    int frame_attempts = 0;
    int frames_seen = 0;
    std::vector<received_frame> frames;
    std::vector<unsigned char> wire;
    reader_stats st;
    reader_counters cnt;
    long bytes_in_flight = 0;
    std::vector<std::string> others;  // sysfs paths of the other USB devices
    FILE* log = nullptr;

private:
    void logf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool node_present(const node_binding& b) const;
    void set_gate();
    void reset_stream();
    void drop_queue();
    void take_completed();
    void complete_urb_bytes(const pending_urb& u, int actual);
    void take_bytes(const unsigned char* data, size_t n);
    void frame_done();
    void schedule(int delay_ms, std::function<void()> fn);
    void run_scheduler();
    void start_reader();
    void watch_swap_signal();
    void when_file_exists(const std::string& path, std::function<void()> fn);
    void attach_node(const std::string& path, int devnum);
    bool answers(node_binding* b, const std::string& path);
    bool make_node(const std::string& path);

    gboolean do_claim(bool here, UMockdevIoctlClient* client);
    gboolean do_control(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    gboolean answer_control(UMockdevIoctlClient* client, UMockdevIoctlData* rec,
                            const usbdevfs_ctrltransfer& ctrl);
    void complete_control(UMockdevIoctlClient* client, UMockdevIoctlData* rec,
                          const usbdevfs_ctrltransfer& ctrl, const std::vector<unsigned char>& reply);
    static gboolean answer_when_released(gpointer data);
    bool string_held = false;
    gboolean do_submit(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    gboolean do_reap(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    gboolean do_discard(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg);

    std::mutex ev_mu;
    std::condition_variable ev_cv;
    std::multimap<clock_type::time_point, std::function<void()>> events;
    bool stopping = false;
    std::thread scheduler;
};

namespace {

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    node_binding* b = static_cast<node_binding*>(user);
    std::lock_guard<std::mutex> guard(b->alive);
    if (!b->impl) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return b->impl->handle_ioctl(*b, client);
}

gboolean on_read(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer user)
{
    node_binding* b = static_cast<node_binding*>(user);
    std::lock_guard<std::mutex> guard(b->alive);
    if (!b->impl) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    return b->impl->handle_read(*b, client);
}

void on_connect(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer user)
{
    node_binding* b = static_cast<node_binding*>(user);
    std::lock_guard<std::mutex> guard(b->alive);
    if (b->impl)
        b->impl->note_open(*b);
}

// Cuts the bindings off their reader and keeps them, reachable, for the rest
// of the process: umockdev's worker may still hold them (see node_binding).
void retire(std::vector<node_binding*>& bindings)
{
    static std::mutex retired_mu;
    static auto* retired = new std::vector<node_binding*>;
    for (node_binding* b : bindings) {
        std::lock_guard<std::mutex> guard(b->alive);
        b->impl = nullptr;
    }
    std::lock_guard<std::mutex> lock(retired_mu);
    retired->insert(retired->end(), bindings.begin(), bindings.end());
    bindings.clear();
}

} // namespace

reader_impl::reader_impl(const reader_options& o, reader_impl* beside)
    : opt(o), tb_lock(beside ? beside->tb_lock : std::make_shared<std::mutex>()), tb_mu(*tb_lock),
      devnum(o.devnum), checker(o.keep_payloads || !o.frames_dir.empty())
{
    const char* preload = getenv("LD_PRELOAD");
    if (!preload || !strstr(preload, "umockdev")) {
        err = "not running under umockdev-wrapper";
        return;
    }
    // The pty behind the node may become a controlling terminal; its hangup
    // on unplug must not end the process.
    signal(SIGHUP, SIG_IGN);
    if (!opt.log_path.empty())
        log = fopen(opt.log_path.c_str(), "a");
    if (!opt.frames_dir.empty())
        mkdir(opt.frames_dir.c_str(), 0755);

    if (beside) {
        tb = UMOCKDEV_TESTBED(g_object_ref(beside->tb));
        root = beside->root;
        scheduler = std::thread([this] { run_scheduler(); });
        start_reader();
        return;
    }
    tb = umockdev_testbed_new();
    gchar* r = umockdev_testbed_get_root_dir(tb);
    root = r;
    g_free(r);
    if (opt.proc_root)
        make_parent_dirs(root + "/proc/bus/usb/");

    std::string hub_node = node_name(opt.proc_root, opt.bus, 1);
    if (opt.extra_devices || !opt.reader) {
        std::vector<unsigned char> hub = device_descriptor(0x1d6b, 0x0002, 2);
        std::string busnum = std::to_string(opt.bus);
        add_sysfs_entry("usb" + busnum, busnum.c_str(), "1", hub);
        add_node_file(hub_node, hub);
    }
    if (opt.extra_devices) {
        add_sysfs_entry("1-0:1.0", nullptr, nullptr, {});
        add_sysfs_entry("1-1:1.0", nullptr, nullptr, {});
        std::string busnum = std::to_string(opt.bus);
        add_sysfs_entry("1-2", busnum.c_str(), "3", device_descriptor(0x046d, 0xc52b, 2));
    }
    scheduler = std::thread([this] { run_scheduler(); });
    if (opt.reader)
        start_reader();
}

void reader_impl::start_reader()
{
    if (!opt.swap_signal.empty())
        watch_swap_signal();
    if (!opt.leave_signal.empty())
        when_file_exists(opt.leave_signal, [this] { leave(); });
    if (!opt.attach_signal.empty())
        when_file_exists(opt.attach_signal, [this] { plug(opt.devnum, true); });
    else if (opt.attach_after_ms > 0)
        schedule(opt.attach_after_ms, [this] { plug(opt.devnum, true); });
    else
        plug(opt.devnum, true);
}

// Looks for the file every 50 ms and runs fn once it is there.
void reader_impl::when_file_exists(const std::string& path, std::function<void()> fn)
{
    if (access(path.c_str(), F_OK) == 0) {
        fn();
        return;
    }
    schedule(50, [this, path, fn] { when_file_exists(path, fn); });
}

reader_impl::~reader_impl()
{
    {
        std::lock_guard<std::mutex> lock(ev_mu);
        stopping = true;
    }
    ev_cv.notify_all();
    if (scheduler.joinable())
        scheduler.join();
    retire(bindings);
    if (!tb)
        return;
    std::lock_guard<std::mutex> tblock(tb_mu);
    for (auto& kv : attached)
        umockdev_testbed_detach_ioctl(tb, kv.first.c_str(), nullptr);
    {
        std::lock_guard<std::mutex> lock(mu);
        reset_stream();
        if (opt.log_max_inflight)
            logf("max-inflight %d", st.max_in_flight);
        if (pty_master >= 0)
            close(pty_master);
        if (pty_slave >= 0)
            close(pty_slave);
        pty_master = pty_slave = -1;
    }
    g_object_unref(tb);
    for (UMockdevIoctlBase* h : handlers)
        g_object_unref(h);
    if (log)
        fclose(log);
}

void reader_impl::logf(const char* fmt, ...)
{
    if (!log)
        return;
    va_list ap;
    va_start(ap, fmt);
    vfprintf(log, fmt, ap);
    va_end(ap);
    fputc('\n', log);
    fflush(log);
}

void reader_impl::schedule(int delay_ms, std::function<void()> fn)
{
    {
        std::lock_guard<std::mutex> lock(ev_mu);
        events.emplace(clock_type::now() + std::chrono::milliseconds(delay_ms), std::move(fn));
    }
    ev_cv.notify_all();
}

void reader_impl::run_scheduler()
{
    std::unique_lock<std::mutex> lock(ev_mu);
    while (!stopping) {
        if (events.empty()) {
            ev_cv.wait(lock);
            continue;
        }
        auto first = events.begin();
        if (ev_cv.wait_until(lock, first->first) != std::cv_status::timeout)
            continue;  // woken: the earliest event may have changed
        first = events.begin();
        if (first == events.end() || first->first > clock_type::now())
            continue;
        std::function<void()> fn = std::move(first->second);
        events.erase(first);
        lock.unlock();
        fn();
        lock.lock();
    }
}

// Looks for the swap signal every 50 ms; when it is there, the reader is
// unplugged and another one, of the other product string, plugged in.
void reader_impl::watch_swap_signal()
{
    if (access(opt.swap_signal.c_str(), F_OK) != 0) {
        schedule(50, [this] { watch_swap_signal(); });
        return;
    }
    schedule(opt.leave_after_ms, [this] {
        leave();
        std::lock_guard<std::mutex> lock(mu);
        opt.product = opt.swap_product;
        logf("swap product=%s", opt.product.c_str());
    });
    schedule(opt.leave_after_ms + opt.return_after_ms, [this] {
        int back;
        {
            std::lock_guard<std::mutex> lock(mu);
            back = devnum + 1 > 127 ? 2 : devnum + 1;
        }
        plug(back);
    });
}

void reader_impl::attach_node(const std::string& path, int dev)
{
    if (attached.count(path))
        return;
    node_binding* b = new node_binding{this, opt.bus, dev, 0, {}};
    bindings.push_back(b);
    UMockdevIoctlBase* h = umockdev_ioctl_base_new();
    g_signal_connect(h, "handle-ioctl", G_CALLBACK(on_ioctl), b);
    g_signal_connect(h, "handle-read", G_CALLBACK(on_read), b);
    g_signal_connect(h, "client-connected", G_CALLBACK(on_connect), b);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(tb, path.c_str(), h, &error)) {
        fprintf(stderr, "fake reader: cannot attach %s: %s\n", path.c_str(),
                error ? error->message : "?");
        g_clear_error(&error);
    } else if (!answers(b, path)) {
        fprintf(stderr, "fake reader: no ioctl socket for %s\n", path.c_str());
    }
    attached[path] = b;
    handlers.push_back(h);
}

// The client's open of the node connects to the node's ioctl socket and
// fails hard when nothing listens there yet (umockdev 0.19 may set it up a
// moment after the attach returns). So the reader connects itself, as that
// open would, until the connection is taken; raw system calls keep the
// preload library out of it.
bool reader_impl::answers(node_binding* b, const std::string& path)
{
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::string sock = root + "/ioctl" + path;
    if (sock.size() >= sizeof addr.sun_path)
        return false;
    memcpy(addr.sun_path, sock.c_str(), sock.size() + 1);
    for (int waited = 0; waited < kListenWaitMs; ++waited) {
        int fd = int(syscall(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (fd < 0)
            return false;
        {
            std::lock_guard<std::mutex> lock(mu);
            ++b->probes;
        }
        bool taken = syscall(SYS_connect, fd, &addr, sizeof addr) == 0;
        syscall(SYS_close, fd);
        if (taken)
            return true;
        {
            std::lock_guard<std::mutex> lock(mu);
            --b->probes;
        }
        usleep(1000);
    }
    return false;
}

// The node as the client opens it: a pty, whose output is stopped while no
// URB can be reaped (see set_gate), or a plain file, always ready, when
// every URB completes at once.
bool reader_impl::make_node(const std::string& path)
{
    std::string host_path = root + path;
    make_parent_dirs(host_path);
    unlink(host_path.c_str());
    if (opt.complete_at_once) {
        FILE* f = fopen(host_path.c_str(), "wb");
        if (!f)
            return false;
        fclose(f);
        return true;
    }
    int master = -1, slave = -1;
    char slave_name[128];
    if (openpty(&master, &slave, slave_name, nullptr, nullptr) != 0) {
        fprintf(stderr, "fake reader: openpty failed: %s\n", strerror(errno));
        return false;
    }
    if (symlink(slave_name, host_path.c_str()) != 0)
        fprintf(stderr, "fake reader: symlink %s: %s\n", host_path.c_str(), strerror(errno));
    std::lock_guard<std::mutex> lock(mu);
    pty_master = master;
    pty_slave = slave;
    gate_open = true;
    set_gate();
    return true;
}

// The reader appears: the node's ioctl handling first (answering before
// anyone can open the node), then the node, then the sysfs entry through
// which it is found.
void reader_impl::plug(int dev, bool first)
{
    std::lock_guard<std::mutex> tblock(tb_mu);
    {
        std::lock_guard<std::mutex> lock(mu);
        if (present)
            return;
    }
    std::string path = node_name(opt.proc_root, opt.bus, dev);
    attach_node(path, dev);
    {
        std::lock_guard<std::mutex> lock(mu);
        devnum = dev;
        present = true;
    }
    if (!make_node(path)) {
        std::lock_guard<std::mutex> lock(mu);
        present = false;
        return;
    }

    std::string busnum = std::to_string(opt.bus), devstr = std::to_string(dev);
    gchar* sp = umockdev_testbed_add_device(tb, "usb", opt.sys_name.c_str(), nullptr, "busnum",
                                            busnum.c_str(), "devnum", devstr.c_str(), nullptr,
                                            nullptr);
    if (sp && opt.descriptors_file) {
        std::vector<unsigned char> d = device_descriptor(kReaderVid, kReaderPid, opt.iproduct);
        umockdev_testbed_set_attribute_binary(tb, sp, "descriptors", d.data(), d.size());
    }
    if (sp && !opt.serial.empty())
        umockdev_testbed_set_attribute(tb, sp, "serial", opt.serial.c_str());
    std::lock_guard<std::mutex> lock(mu);
    syspath = sp ? sp : "";
    g_free(sp);
    logf(first ? "attach devnum=%d" : "return devnum=%d", dev);
}

// Unplug: sysfs entry and node vanish, open descriptors hang up, URBs still
// pending end with -ESHUTDOWN.
void reader_impl::leave()
{
    std::lock_guard<std::mutex> tblock(tb_mu);
    std::string sp, path;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (present && holding)
            take_completed();
        leave_pending = false;
        if (!present)
            return;
        present = false;
        if (checker.pending()) {
            ++st.aborted_frames;
            logf("abort addr=0x%08x len=%u received=%zu", checker.pending_addr(),
                 checker.pending_length(), checker.pending());
        }
        checker.reset();
        attempt_open = false;
        logf("leave devnum=%d", devnum);
        if (pty_master >= 0)
            close(pty_master);
        if (pty_slave >= 0)
            close(pty_slave);
        pty_master = pty_slave = -1;
        sp = syspath;
        syspath.clear();
        path = node_name(opt.proc_root, opt.bus, devnum);
    }
    // sysfs first: a discovery that still finds the entry could only fail
    // on the node.
    if (!sp.empty())
        umockdev_testbed_remove_device(tb, sp.c_str());
    unlink((root + path).c_str());
    // The node's ioctl socket stays until the reader ends: an open that
    // passed just before the unlink still connects to it (umockdev's preload
    // aborts the client when nothing listens), and detaching while the
    // handler thread serves a close crashes umockdev 0.19. Its ioctls now
    // answer ENODEV, as the kernel's do for a departed device; a return
    // under the same number takes the socket up again.
}

void reader_impl::add_sysfs_entry(const std::string& name, const char* busnum, const char* dev,
                                  const std::vector<unsigned char>& descriptor)
{
    std::lock_guard<std::mutex> tblock(tb_mu);
    gchar* sp = umockdev_testbed_add_device(tb, "usb", name.c_str(), nullptr, nullptr, nullptr);
    if (!sp)
        return;
    if (busnum)
        umockdev_testbed_set_attribute(tb, sp, "busnum", busnum);
    if (dev)
        umockdev_testbed_set_attribute(tb, sp, "devnum", dev);
    if (!descriptor.empty()) {
        std::vector<unsigned char> bytes(descriptor);
        umockdev_testbed_set_attribute_binary(tb, sp, "descriptors", bytes.data(), bytes.size());
    }
    g_free(sp);
}

void reader_impl::add_node_file(const std::string& path, const std::vector<unsigned char>& bytes)
{
    std::string host_path = root + path;
    make_parent_dirs(host_path);
    FILE* f = fopen(host_path.c_str(), "wb");
    if (!f)
        return;
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

// Other devices go on buses 2 and up, kOthersPerBus to a bus, so that they
// never take the reader's numbers.
bool reader_impl::set_other_devices(int count)
{
    if (count < 0)
        return false;
    std::lock_guard<std::mutex> tblock(tb_mu);
    while (int(others.size()) < count) {
        int index = int(others.size());
        int bus = 2 + index / kOthersPerBus, port = 1 + index % kOthersPerBus;
        std::string name = std::to_string(bus) + "-" + std::to_string(port);
        std::string busnum = std::to_string(bus), dev = std::to_string(port + 1);
        gchar* sp = umockdev_testbed_add_device(tb, "usb", name.c_str(), nullptr, "busnum",
                                                busnum.c_str(), "devnum", dev.c_str(), nullptr,
                                                nullptr);
        if (!sp)
            return false;
        std::vector<unsigned char> d = device_descriptor(0x1d6b, uint16_t(0x0100 + index), 2);
        umockdev_testbed_set_attribute_binary(tb, sp, "descriptors", d.data(), d.size());
        others.push_back(sp);
        g_free(sp);
    }
    while (int(others.size()) > count) {
        umockdev_testbed_remove_device(tb, others.back().c_str());
        others.pop_back();
    }
    return true;
}

void reader_impl::reset_counters()
{
    std::lock_guard<std::mutex> lock(mu);
    reset_stream();
    cnt = reader_counters();
}

bool reader_impl::node_present(const node_binding& b) const
{
    return present && b.devnum == devnum;
}

// POLLOUT on the node means "a completed URB is waiting", as with usbfs: the
// pty's output is stopped while nothing can be reaped.
void reader_impl::set_gate()
{
    if (pty_slave < 0)
        return;
    bool reapable = !holding && !queue.empty() &&
                    (queue.front().discarded || !queue.front().stuck);
    if (reapable == gate_open)
        return;
    tcflow(pty_slave, reapable ? TCOON : TCOOFF);
    gate_open = reapable;
}

// The URBs the reader completed before leaving: usbfs hands them back
// whole after the disconnect, and their bytes have reached the reader.
void reader_impl::take_completed()
{
    holding = false;
    for (pending_urb& u : queue) {
        if (u.discarded || u.stuck || u.taken)
            continue;
        u.taken = true;
        complete_urb_bytes(u, u.length);
    }
}

void reader_impl::drop_queue()
{
    for (pending_urb& u : queue)
        umockdev_ioctl_data_unref(u.data);
    queue.clear();
    bytes_in_flight = 0;
}

// A new claim starts a new operation on a fresh descriptor: whatever the
// last one left behind is gone, as when usbfs releases a closed file.
void reader_impl::reset_stream()
{
    holding = false;
    drop_queue();
    if (checker.pending()) {
        ++st.aborted_frames;
        logf("abort addr=0x%08x len=%u received=%zu", checker.pending_addr(),
             checker.pending_length(), checker.pending());
    }
    checker.reset();
    attempt_open = false;
    set_gate();
}

// Every open of a node is logged, so a test can tell that a process never
// touched the reader.
void reader_impl::note_open(node_binding& b)
{
    std::lock_guard<std::mutex> lock(mu);
    if (b.probes > 0) {
        --b.probes;
        return;
    }
    logf("open devnum=%d", b.devnum);
}

gboolean reader_impl::handle_read(const node_binding& b, UMockdevIoctlClient* client)
{
    std::lock_guard<std::mutex> lock(mu);
    if (!node_present(b)) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::vector<unsigned char> d = device_descriptor(kReaderVid, kReaderPid, opt.iproduct);
    size_t n = std::min<size_t>(d.size(), arg->data_len > 0 ? size_t(arg->data_len) : 0);
    memcpy(arg->data, d.data(), n);
    umockdev_ioctl_client_complete(client, long(n), 0);
    return TRUE;
}

gboolean reader_impl::handle_ioctl(const node_binding& b, UMockdevIoctlClient* client)
{
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::lock_guard<std::mutex> lock(mu);
    bool here = node_present(b);
    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
        return do_claim(here, client);
    case USBDEVFS_CONTROL:
        return do_control(here, client, arg);
    case USBDEVFS_SUBMITURB:
        return do_submit(here, client, arg);
    case USBDEVFS_REAPURBNDELAY:
        return do_reap(here, client, arg);
    case USBDEVFS_DISCARDURB:
        return do_discard(here, client, arg);
    default:
        umockdev_ioctl_client_complete(client, -1, here ? ENOTTY : ENODEV);
        return TRUE;
    }
}

gboolean reader_impl::do_claim(bool here, UMockdevIoctlClient* client)
{
    if (!here) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    ++st.claims;
    logf("claim");
    reset_stream();
    if (opt.refuse_claim) {
        umockdev_ioctl_client_complete(client, -1, EBUSY);
        return TRUE;
    }
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean reader_impl::do_control(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    if (!here) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    UMockdevIoctlData* rec = pointee(arg, sizeof(usbdevfs_ctrltransfer));
    if (!rec) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    usbdevfs_ctrltransfer ctrl;
    memcpy(&ctrl, rec->data, sizeof ctrl);
    gboolean handled = answer_control(client, rec, ctrl);
    umockdev_ioctl_data_unref(rec);
    return handled;
}

gboolean reader_impl::answer_control(UMockdevIoctlClient* client, UMockdevIoctlData* rec,
                                     const usbdevfs_ctrltransfer& ctrl)
{
    std::vector<unsigned char> reply;
    bool get_descriptor = ctrl.bRequestType == 0x80 && ctrl.bRequest == 6;
    int type = ctrl.wValue >> 8, index = ctrl.wValue & 0xff;
    if (get_descriptor && type == 1) {
        reply = device_descriptor(kReaderVid, kReaderPid, opt.iproduct);
    } else if (get_descriptor && type == 3 && index == 0) {
        reply = {4, 3, 0x09, 0x04};  // languages: en-US
    } else if (get_descriptor && type == 3 && index == opt.iproduct) {
        ++st.string_requests;
        st.string_timeout_ms = ctrl.timeout;
        logf("string-request timeout=%u", ctrl.timeout);
        if (opt.product_unanswered) {
            time_out_later(client, ctrl.timeout ? ctrl.timeout : kForeverStandInMs);
            return TRUE;
        }
        if (!opt.hold_string_dir.empty() && !string_held) {
            string_held = true;
            logf("string-held");
            FILE* f = fopen((opt.hold_string_dir + "/string-held").c_str(), "w");
            if (f)
                fclose(f);
            held_request* h = new held_request{this, client, umockdev_ioctl_data_ref(rec), ctrl, 0};
            g_object_ref(client);
            GSource* src = g_timeout_source_new(kHoldStepMs);
            g_source_set_callback(src, answer_when_released, h, nullptr);
            g_source_attach(src, g_main_context_get_thread_default());
            g_source_unref(src);
            return TRUE;
        }
        reply = string_descriptor(opt.product, opt.product_reply_bytes);
    } else if (get_descriptor && type == 3) {
        reply = string_descriptor("ORVEX", -1);
    } else {
        umockdev_ioctl_client_complete(client, -1, EPIPE);  // stall
        return TRUE;
    }
    complete_control(client, rec, ctrl, reply);
    return TRUE;
}

void reader_impl::complete_control(UMockdevIoctlClient* client, UMockdevIoctlData* rec,
                                   const usbdevfs_ctrltransfer& ctrl,
                                   const std::vector<unsigned char>& reply)
{
    size_t n = std::min<size_t>(reply.size(), ctrl.wLength);
    if (n > 0) {
        GError* error = nullptr;
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(
            rec, offsetof(usbdevfs_ctrltransfer, data), ctrl.wLength, &error);
        if (!data) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return;
        }
        memcpy(data->data, reply.data(), n);
        umockdev_ioctl_data_unref(data);
    }
    umockdev_ioctl_client_complete(client, long(n), 0);
}

gboolean reader_impl::answer_when_released(gpointer data)
{
    held_request* h = static_cast<held_request*>(data);
    reader_impl* impl = h->impl;
    bool released = access((impl->opt.hold_string_dir + "/string-release").c_str(), F_OK) == 0;
    if (!released && h->waited_ms < kHoldGiveUpMs) {
        h->waited_ms += kHoldStepMs;
        return G_SOURCE_CONTINUE;
    }
    std::lock_guard<std::mutex> lock(impl->mu);
    impl->logf(released ? "string-released" : "string-hold-gave-up");
    impl->complete_control(h->client, h->rec, h->ctrl,
                           string_descriptor(impl->opt.product, impl->opt.product_reply_bytes));
    umockdev_ioctl_data_unref(h->rec);
    g_object_unref(h->client);
    delete h;
    return G_SOURCE_REMOVE;
}

gboolean reader_impl::do_submit(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    if (!here) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    ++st.submits;
    if (st.submits == opt.fail_submit) {
        logf("submit-failed n=%d", st.submits);
        umockdev_ioctl_client_complete(client, -1, ENOMEM);
        return TRUE;
    }
    usbdevfs_urb urb;
    UMockdevIoctlData* rec = pointee(arg, sizeof urb);
    if (!rec) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    memcpy(&urb, rec->data, sizeof urb);
    int refused = 0;
    if (urb.type != USBDEVFS_URB_TYPE_BULK || urb.endpoint != kBulkEndpoint ||
        urb.buffer_length < 0)
        refused = EINVAL;
    // A record still pending cannot be handed in again: the client would
    // reuse a URB before the kernel gave it back.
    for (const pending_urb& p : queue) {
        if (!refused && p.addr == rec->client_addr) {
            logf("submit-pending-record");
            refused = EBUSY;
        }
    }
    UMockdevIoctlData* payload = nullptr;
    if (!refused && urb.buffer_length > 0) {
        GError* error = nullptr;
        payload = umockdev_ioctl_data_resolve(rec, offsetof(usbdevfs_urb, buffer),
                                              urb.buffer_length, &error);
        g_clear_error(&error);
        if (!payload)
            refused = EFAULT;
    }
    if (refused) {
        umockdev_ioctl_data_unref(rec);
        umockdev_ioctl_client_complete(client, -1, refused);
        return TRUE;
    }
    pending_urb u;
    u.length = urb.buffer_length;
    if (payload && !opt.complete_at_once)
        u.bytes.assign(payload->data, payload->data + urb.buffer_length);
    st.urb_lengths.push_back(urb.buffer_length);
    int serial = int(st.urb_lengths.size());
    u.data = rec;
    u.addr = rec->client_addr;
    u.stuck = serial == opt.never_complete;
    u.half = serial == opt.short_urb;
    u.epipe = serial == opt.fail_urb;
    st.urb_buffers.push_back(reinterpret_cast<unsigned long>(urb.buffer));
    if (!attempt_open) {
        attempt_open = true;
        ++frame_attempts;
        u.epipe = u.epipe || frame_attempts == opt.fail_frame;
    }
    u.taken = opt.complete_at_once;
    queue.push_back(std::move(u));
    if (int(queue.size()) > st.max_in_flight)
        st.max_in_flight = int(queue.size());
    ++cnt.urbs_submitted;
    bytes_in_flight += urb.buffer_length;
    cnt.max_urbs_in_flight = std::max(cnt.max_urbs_in_flight, int(queue.size()));
    cnt.max_bytes_in_flight = std::max(cnt.max_bytes_in_flight, bytes_in_flight);
    if (payload) {
        if (opt.complete_at_once)
            take_bytes(payload->data, size_t(urb.buffer_length));
        umockdev_ioctl_data_unref(payload);
    }
    if (serial == opt.kill_at_urb && opt.kill_pid && opt.kill_pid->load() > 0) {
        logf("kill-at-urb n=%d", serial);
        kill(opt.kill_pid->load(), SIGKILL);
    }
    if (serial == opt.leave_at_urb && !leave_pending) {
        // Nothing is reaped before the reader has gone.
        holding = true;
        leave_pending = true;
        logf("leave-at-urb n=%d", serial);
        schedule(0, [this] { leave(); });
    }
    set_gate();
    umockdev_ioctl_client_complete(client, 0, 0);
    return TRUE;
}

gboolean reader_impl::do_reap(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    bool reapable = !queue.empty() &&
                    (!here || (!holding && (queue.front().discarded || !queue.front().stuck)));
    UMockdevIoctlData* slot = pointee(arg, sizeof(void*));
    if (!slot) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return TRUE;
    }
    if (!reapable) {
        umockdev_ioctl_data_unref(slot);
        umockdev_ioctl_client_complete(client, -1, here ? EAGAIN : ENODEV);
        return TRUE;
    }
    pending_urb u = std::move(queue.front());
    queue.pop_front();
    bytes_in_flight -= u.length;
    int status = 0, actual = u.length;
    if (u.discarded) {
        status = -ENOENT, actual = 0;
    } else if (u.taken) {
        // counted when the reader left, or as it was submitted
    } else if (!here) {
        status = -ESHUTDOWN, actual = 0;
    } else if (u.epipe) {
        status = -EPIPE, actual = 0;
        logf("urb-failed status=%d", status);
    } else if (u.half) {
        actual /= 2;
        logf("urb-short actual=%d of %d", actual, u.length);
    }
    usbdevfs_urb* rec = reinterpret_cast<usbdevfs_urb*>(u.data->data);
    rec->status = status;
    rec->actual_length = actual;
    ++st.reaps;
    if (status == 0 && !u.taken)
        complete_urb_bytes(u, actual);
    else if (status == -EPIPE)
        checker.reset();  // the reader gave up on this frame
    umockdev_ioctl_data_set_ptr(slot, 0, u.data);
    umockdev_ioctl_client_complete(client, 0, 0);
    umockdev_ioctl_data_unref(u.data);
    umockdev_ioctl_data_unref(slot);
    set_gate();
    return TRUE;
}

gboolean reader_impl::do_discard(bool here, UMockdevIoctlClient* client, UMockdevIoctlData* arg)
{
    if (!here) {
        umockdev_ioctl_client_complete(client, -1, ENODEV);
        return TRUE;
    }
    unsigned long target = pointer_value(arg);
    for (pending_urb& u : queue) {
        if (u.addr == target && !u.discarded) {
            u.discarded = true;
            ++st.discards;
            set_gate();
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
    return TRUE;
}

void reader_impl::complete_urb_bytes(const pending_urb& u, int actual)
{
    take_bytes(u.bytes.data(), size_t(actual));
}

// Bytes that reached the reader, in order.
void reader_impl::take_bytes(const unsigned char* data, size_t n)
{
    if (opt.capture_wire)
        wire.insert(wire.end(), data, data + n);
    cnt.bytes_received += long(n);
    if (checker.feed(data, n))
        frame_done();
}

void reader_impl::frame_done()
{
    received_frame f = checker.last();
    attempt_open = false;
    ++frames_seen;
    logf("frame %d addr=0x%08x len=%u payload=%u sum=0x%04x ok=%d", frames_seen, f.addr, f.length,
         f.payload_len, f.sum, f.ok ? 1 : 0);
    if (f.ok && !opt.frames_dir.empty()) {
        char name[64];
        snprintf(name, sizeof name, "/frame-%02d.bin", frames_seen);
        FILE* out = fopen((opt.frames_dir + name).c_str(), "wb");
        if (out) {
            fwrite(f.payload.data(), 1, f.payload.size(), out);
            fclose(out);
        }
    }
    if (!opt.keep_payloads)
        f.payload.clear();
    ++(f.ok ? cnt.frames_ok : cnt.frames_bad);
    frames.push_back(std::move(f));
    if (!frames.back().ok || opt.reconnect == reconnect_mode::none || leave_pending)
        return;
    leave_pending = true;
    schedule(opt.leave_after_ms, [this] { leave(); });
    if (opt.reconnect == reconnect_mode::stay_away)
        return;
    int back = opt.reconnect == reconnect_mode::renumber ? devnum + 1 : devnum;
    if (back > 127)
        back = 2;
    schedule(opt.leave_after_ms + opt.return_after_ms, [this, back] { plug(back); });
}

fake_reader::fake_reader(const reader_options& options) : m_impl(new reader_impl(options, nullptr)) {}

fake_reader::fake_reader(const reader_options& options, fake_reader& beside)
    : m_impl(new reader_impl(options, beside.m_impl.get()))
{
}

fake_reader::~fake_reader() = default;

bool fake_reader::ok() const
{
    return m_impl->tb != nullptr;
}

const std::string& fake_reader::error() const
{
    return m_impl->err;
}

std::string fake_reader::root_dir() const
{
    return m_impl->root;
}

void fake_reader::leave()
{
    m_impl->leave();
}

void fake_reader::come_back(int devnum)
{
    int dev = devnum;
    if (dev == 0) {
        std::lock_guard<std::mutex> lock(m_impl->mu);
        dev = m_impl->devnum + 1;
    }
    m_impl->plug(dev);
}

bool fake_reader::present() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->present;
}

int fake_reader::devnum() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->devnum;
}

std::string fake_reader::node_path() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return node_name(m_impl->opt.proc_root, m_impl->opt.bus, m_impl->devnum);
}

void fake_reader::add_sysfs_entry(const std::string& name, const char* busnum, const char* devnum,
                                  const std::vector<unsigned char>& descriptor)
{
    m_impl->add_sysfs_entry(name, busnum, devnum, descriptor);
}

void fake_reader::add_node_file(const std::string& path, const std::vector<unsigned char>& bytes)
{
    m_impl->add_node_file(path, bytes);
}

std::vector<received_frame> fake_reader::frames() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->frames;
}

std::vector<unsigned char> fake_reader::wire() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->wire;
}

reader_stats fake_reader::stats() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->st;
}

reader_counters fake_reader::counters() const
{
    std::lock_guard<std::mutex> lock(m_impl->mu);
    return m_impl->cnt;
}

void fake_reader::reset_counters()
{
    m_impl->reset_counters();
}

bool fake_reader::set_other_devices(int count)
{
    return m_impl->set_other_devices(count);
}

} // namespace lumora_fake
