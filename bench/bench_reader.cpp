#include "bench_reader.h"

#include <linux/usbdevice_fs.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace bench {

namespace {

const char kReaderProduct[] = "ORVEX LUMORA64 UPDate";
const int kOthersPerBus = 100;

void fill_device_descriptor(unsigned char* d, uint16_t vendor, uint16_t product)
{
    memset(d, 0, 18);
    d[0] = 18;    // bLength
    d[1] = 1;     // DEVICE
    d[2] = 0x00;  // bcdUSB 2.00
    d[3] = 0x02;
    d[7] = 64;    // bMaxPacketSize0
    d[8] = vendor & 0xff;
    d[9] = vendor >> 8;
    d[10] = product & 0xff;
    d[11] = product >> 8;
    d[14] = 1;    // iManufacturer
    d[15] = 2;    // iProduct
    d[17] = 1;    // bNumConfigurations
}

uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Follows the flash frames in the byte stream: address, length, payload,
// 16-bit sum of the payload.
struct FrameTracker {
    unsigned char head[8];
    unsigned char check[2];
    long pos = 0;
    long length = 0;
    uint32_t sum = 0;

    // Returns +1 for each good frame completed, -1 for a bad one, 0 otherwise
    // (only the last frame completed in this piece is reported).
    int feed(const unsigned char* data, long n)
    {
        int verdict = 0;
        long i = 0;
        while (i < n) {
            if (pos < 8) {
                head[pos++] = data[i++];
                if (pos == 8) {
                    length = le32(head + 4);
                    if (length < 10) {
                        pos = 0;
                        verdict = -1;
                    }
                }
                continue;
            }
            long payload_end = length - 2;
            if (pos < payload_end) {
                long take = std::min(n - i, payload_end - pos);
                for (long k = 0; k < take; ++k)
                    sum += data[i + k];
                pos += take;
                i += take;
                continue;
            }
            check[pos - payload_end] = data[i++];
            if (++pos == length) {
                uint16_t sent = static_cast<uint16_t>(check[0] | (check[1] << 8));
                verdict = sent == static_cast<uint16_t>(sum) ? 1 : -1;
                pos = 0;
                sum = 0;
            }
        }
        return verdict;
    }
};

struct PendingUrb {
    UMockdevIoctlData* urb;  // our reference to the client's record
    long length;
    int status;
};

gboolean on_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self)
{
    return static_cast<BenchReader*>(self)->handle_ioctl(client) ? TRUE : FALSE;
}

// The node as a file in the testbed, so that open() finds it; the attached
// handler answers its ioctls. poll() on it is always ready, which matches a
// reader that completes every URB at once.
bool create_node_file(UMockdevTestbed* testbed, const std::string& node)
{
    gchar* dir = umockdev_testbed_get_root_dir(testbed);
    gchar* root = g_build_filename(dir, node.c_str(), nullptr);
    g_free(dir);
    gchar* parent = g_path_get_dirname(root);
    bool made = g_mkdir_with_parents(parent, 0755) == 0 &&
                g_file_set_contents(root, "", 0, nullptr);
    if (!made)
        fprintf(stderr, "cannot create %s\n", root);
    g_free(parent);
    g_free(root);
    return made;
}

}  // namespace

// Parent side: what the handler thread keeps.
struct BenchReader::State {
    std::deque<PendingUrb> completed;  // submitted, completed, not yet reaped
    long bytes_in_flight = 0;
    FrameTracker frames;
    std::vector<std::string> others;  // sysfs paths of the other devices
};

// Shared by both processes (an anonymous shared mapping made before the fork).
struct BenchReader::Shared {
    pthread_mutex_t lock;
    ReaderCounters counters;
    int reset_requested;  // the child asks; the handler clears its queue and frame state
};

namespace {

class SharedLock {
public:
    explicit SharedLock(pthread_mutex_t* m) : m_mutex(m) { pthread_mutex_lock(m_mutex); }
    ~SharedLock() { pthread_mutex_unlock(m_mutex); }
    SharedLock(const SharedLock&) = delete;
    SharedLock& operator=(const SharedLock&) = delete;

private:
    pthread_mutex_t* m_mutex;
};

bool write_all(int fd, const void* data, size_t len)
{
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool read_all(int fd, void* data, size_t len)
{
    char* p = static_cast<char*>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool under_umockdev()
{
    const char* preload = getenv("LD_PRELOAD");
    return preload && strstr(preload, "libumockdev-preload");
}

BenchReader::BenchReader()
    : m_testbed(nullptr), m_handler(nullptr), m_state(new State), m_shared(nullptr), m_commands(-1),
      m_replies(-1), m_entries(1)
{
}

// After a successful start() this runs in the child only: the parent never
// returns from start(), and removes the testbed itself when the child has
// gone. A testbed still held here is one whose start() failed before the fork.
BenchReader::~BenchReader()
{
    if (m_testbed && m_handler)
        umockdev_testbed_detach_ioctl(m_testbed, node_path().c_str(), nullptr);
    if (m_handler)
        g_object_unref(m_handler);
    if (m_testbed)
        g_object_unref(m_testbed);
    if (m_commands >= 0)
        close(m_commands);
    if (m_replies >= 0)
        close(m_replies);
    if (m_shared)
        munmap(m_shared, sizeof(Shared));
    delete m_state;
}

std::string BenchReader::node_path() const
{
    char path[64];
    snprintf(path, sizeof path, "/dev/bus/usb/%03d/%03d", kBus, kDevnum);
    return path;
}

bool BenchReader::start()
{
    if (!under_umockdev()) {
        fprintf(stderr, "run this under umockdev-wrapper\n");
        return false;
    }
    m_testbed = umockdev_testbed_new();
    std::string node = node_path();
    gchar* syspath = umockdev_testbed_add_device(m_testbed, "usb", "1-1", nullptr,
                                                 "busnum", "1", "devnum", "2",
                                                 "idVendor", "5345", "idProduct", "1234", nullptr,
                                                 "DEVNAME", node.c_str(), "DEVTYPE", "usb_device",
                                                 nullptr);
    if (!syspath)
        return false;
    unsigned char desc[18];
    fill_device_descriptor(desc, 0x5345, 0x1234);
    umockdev_testbed_set_attribute_binary(m_testbed, syspath, "descriptors", desc, sizeof desc);
    g_free(syspath);
    if (!create_node_file(m_testbed, node))
        return false;

    m_handler = umockdev_ioctl_base_new();
    g_signal_connect(m_handler, "handle-ioctl", G_CALLBACK(on_ioctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_testbed, node.c_str(), m_handler, &error)) {
        fprintf(stderr, "attaching the reader's node failed: %s\n", error ? error->message : "?");
        g_clear_error(&error);
        return false;
    }
    return split();
}

bool BenchReader::split()
{
    void* shared = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED)
        return false;
    m_shared = new (shared) Shared();
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutex_init(&m_shared->lock, &attr);
    pthread_mutexattr_destroy(&attr);

    int commands[2], replies[2];
    if (pipe(commands) != 0)
        return false;
    if (pipe(replies) != 0) {
        close(commands[0]);
        close(commands[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        perror("fork");
        for (int fd : {commands[0], commands[1], replies[0], replies[1]})
            close(fd);
        return false;
    }
    if (child > 0) {
        close(commands[1]);
        close(replies[0]);
        serve(commands[0], replies[1], child);
    }
    close(commands[0]);
    close(replies[1]);
    m_commands = commands[1];
    m_replies = replies[0];
    // The testbed and the handler are the parent's; never touch them here.
    m_testbed = nullptr;
    m_handler = nullptr;
    return true;
}

void BenchReader::serve(int commands, int replies, int child)
{
    int total = 0;
    while (read_all(commands, &total, sizeof total)) {
        unsigned char ok = change_usb_entries(total) ? 1 : 0;
        if (!write_all(replies, &ok, 1))
            break;
    }
    close(commands);
    close(replies);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    {
        SharedLock hold(&m_shared->lock);
        for (PendingUrb& p : m_state->completed)
            g_object_unref(p.urb);
        m_state->completed.clear();
    }
    umockdev_testbed_detach_ioctl(m_testbed, node_path().c_str(), nullptr);
    g_object_unref(m_handler);
    g_object_unref(m_testbed);  // removes the testbed's directory
    fflush(stdout);
    fflush(stderr);
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    _exit(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}

bool BenchReader::add_other_device(int index)
{
    int bus = 2 + index / kOthersPerBus;
    int port = 1 + index % kOthersPerBus;
    char name[32], busnum[16], devnum[16];
    snprintf(name, sizeof name, "%d-%d", bus, port);
    snprintf(busnum, sizeof busnum, "%d", bus);
    snprintf(devnum, sizeof devnum, "%d", port + 1);
    gchar* syspath = umockdev_testbed_add_device(m_testbed, "usb", name, nullptr,
                                                 "busnum", busnum, "devnum", devnum, nullptr,
                                                 "DEVTYPE", "usb_device", nullptr);
    if (!syspath)
        return false;
    unsigned char desc[18];
    fill_device_descriptor(desc, 0x1d6b, static_cast<uint16_t>(0x0100 + index));
    umockdev_testbed_set_attribute_binary(m_testbed, syspath, "descriptors", desc, sizeof desc);
    m_state->others.push_back(syspath);
    g_free(syspath);
    return true;
}

bool BenchReader::set_usb_entries(int total)
{
    if (m_commands < 0 || total < 1)
        return false;
    unsigned char ok = 0;
    if (!write_all(m_commands, &total, sizeof total) || !read_all(m_replies, &ok, 1) || !ok)
        return false;
    m_entries = total;
    return true;
}

bool BenchReader::change_usb_entries(int total)
{
    if (!m_testbed || total < 1)
        return false;
    int others = total - 1;
    while (static_cast<int>(m_state->others.size()) < others) {
        if (!add_other_device(static_cast<int>(m_state->others.size())))
            return false;
    }
    while (static_cast<int>(m_state->others.size()) > others) {
        umockdev_testbed_remove_device(m_testbed, m_state->others.back().c_str());
        m_state->others.pop_back();
    }
    return true;
}

int BenchReader::usb_entries() const
{
    return m_entries;
}

void BenchReader::reset_counters()
{
    if (!m_shared)
        return;
    SharedLock hold(&m_shared->lock);
    m_shared->counters = ReaderCounters();
    m_shared->reset_requested = 1;
}

ReaderCounters BenchReader::counters() const
{
    if (!m_shared)
        return ReaderCounters();
    SharedLock hold(&m_shared->lock);
    return m_shared->counters;
}

// Handler thread, with the shared lock held: honours a reset the child asked for.
void BenchReader::apply_reset()
{
    if (!m_shared->reset_requested)
        return;
    for (PendingUrb& p : m_state->completed)
        g_object_unref(p.urb);
    m_state->completed.clear();
    m_state->bytes_in_flight = 0;
    m_state->frames = FrameTracker();
    m_shared->reset_requested = 0;
}

namespace {

// The string descriptor of `text` as the reader answers it (UTF-16LE).
int string_descriptor(unsigned char* out, int room, const char* text)
{
    int n = static_cast<int>(strlen(text));
    int length = std::min(2 + 2 * n, std::min(room, 255));
    out[0] = static_cast<unsigned char>(length);
    out[1] = 3;  // STRING
    for (int i = 2; i + 1 < length; i += 2) {
        out[i] = static_cast<unsigned char>(text[(i - 2) / 2]);
        out[i + 1] = 0;
    }
    return length;
}

}  // namespace

bool BenchReader::handle_ioctl(void* opaque)
{
    UMockdevIoctlClient* client = static_cast<UMockdevIoctlClient*>(opaque);
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    GError* error = nullptr;
    State& s = *m_state;
    ReaderCounters& seen = m_shared->counters;
    {
        SharedLock hold(&m_shared->lock);
        apply_reset();
    }

    switch (request) {
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;

    case USBDEVFS_SUBMITURB: {
        UMockdevIoctlData* urb_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
        if (!urb_data) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const usbdevfs_urb* urb = reinterpret_cast<const usbdevfs_urb*>(urb_data->data);
        long length = urb->buffer_length;
        UMockdevIoctlData* payload = umockdev_ioctl_data_resolve(
            urb_data, offsetof(usbdevfs_urb, buffer), static_cast<gsize>(length), &error);
        if (!payload) {
            g_clear_error(&error);
            g_object_unref(urb_data);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        {
            SharedLock hold(&m_shared->lock);
            int verdict = s.frames.feed(payload->data, length);
            if (verdict > 0)
                ++seen.frames_ok;
            else if (verdict < 0)
                ++seen.frames_bad;
            s.completed.push_back(PendingUrb{urb_data, length, 0});
            s.bytes_in_flight += length;
            seen.bytes_received += length;
            ++seen.urbs_submitted;
            seen.max_urbs_in_flight =
                std::max(seen.max_urbs_in_flight, static_cast<int>(s.completed.size()));
            seen.max_bytes_in_flight = std::max(seen.max_bytes_in_flight, s.bytes_in_flight);
        }
        g_object_unref(payload);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }

    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        PendingUrb done;
        {
            SharedLock hold(&m_shared->lock);
            if (s.completed.empty()) {
                umockdev_ioctl_client_complete(client, -1, EAGAIN);
                return true;
            }
            done = s.completed.front();
            s.completed.pop_front();
            s.bytes_in_flight -= done.length;
        }
        usbdevfs_urb* urb = reinterpret_cast<usbdevfs_urb*>(done.urb->data);
        urb->status = done.status;
        urb->actual_length = done.status == 0 ? static_cast<int>(done.length) : 0;
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void*), &error);
        if (!slot) {
            g_clear_error(&error);
            g_object_unref(done.urb);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        umockdev_ioctl_data_set_ptr(slot, 0, done.urb);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        g_object_unref(done.urb);
        return true;
    }

    case USBDEVFS_DISCARDURB: {
        gulong target = *reinterpret_cast<const gulong*>(arg->data);
        SharedLock hold(&m_shared->lock);
        for (PendingUrb& p : s.completed) {
            if (p.urb->client_addr == target) {
                p.status = -ENOENT;
                umockdev_ioctl_client_complete(client, 0, 0);
                return true;
            }
        }
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return true;
    }

    case USBDEVFS_CONTROL: {
        UMockdevIoctlData* ctrl_data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_ctrltransfer), &error);
        if (!ctrl_data) {
            g_clear_error(&error);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        const usbdevfs_ctrltransfer* ctrl = reinterpret_cast<const usbdevfs_ctrltransfer*>(ctrl_data->data);
        bool product_string = ctrl->bRequestType == 0x80 && ctrl->bRequest == 6 &&
                              (ctrl->wValue >> 8) == 3 && (ctrl->wValue & 0xff) == 2;
        if (!product_string || ctrl->wLength == 0) {
            g_object_unref(ctrl_data);
            umockdev_ioctl_client_complete(client, -1, EPIPE);
            return true;
        }
        UMockdevIoctlData* reply = umockdev_ioctl_data_resolve(
            ctrl_data, offsetof(usbdevfs_ctrltransfer, data), ctrl->wLength, &error);
        if (!reply) {
            g_clear_error(&error);
            g_object_unref(ctrl_data);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return true;
        }
        int length = string_descriptor(reply->data, reply->data_len, kReaderProduct);
        umockdev_ioctl_client_complete(client, length, 0);
        g_object_unref(reply);
        g_object_unref(ctrl_data);
        return true;
    }

    default:
        umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return true;
    }
}

}  // namespace bench
