// An emulated reader for the benchmarks: a umockdev testbed with the reader's
// sysfs entry and usbfs node, plus as many other USB entries as a
// measurement asks for. It completes every URB as soon as it is submitted
// and keeps count of what is in flight, so a measurement sees the cost of
// the host side alone. The process must be started under umockdev-wrapper.
//
// start() forks. The parent keeps the testbed and answers the node's ioctls
// until the child exits, then exits with the child's status; the child
// returns from start() and measures. (umockdev's preload library is not safe
// when the emulation and a client open and close descriptors on two threads
// of one process.) The counters live in shared memory; the child asks the
// parent to change the sysfs tree through a pipe.
#ifndef LUMORA_BENCH_BENCH_READER_H
#define LUMORA_BENCH_BENCH_READER_H

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace bench {

// What the reader saw since the last reset_counters().
struct ReaderCounters {
    int max_urbs_in_flight = 0;      // submitted and not yet reaped
    long max_bytes_in_flight = 0;
    long bytes_received = 0;
    int frames_ok = 0;               // whole frames whose length and checksum match
    int frames_bad = 0;
    int urbs_submitted = 0;
};

class BenchReader {
public:
    static constexpr int kBus = 1;
    static constexpr int kDevnum = 2;

    BenchReader();
    ~BenchReader();
    BenchReader(const BenchReader&) = delete;
    BenchReader& operator=(const BenchReader&) = delete;

    // Builds the testbed with the reader alone and forks (see above); returns
    // only in the child. False (with a message on standard error) when the
    // process runs without the umockdev preload or the testbed fails.
    bool start();
    // Adds or removes other USB devices so sysfs lists `total` entries, the
    // reader included (at least 1).
    bool set_usb_entries(int total);
    int usb_entries() const;

    // The usbfs node of the reader, e.g. /dev/bus/usb/001/002.
    std::string node_path() const;

    void reset_counters();
    ReaderCounters counters() const;

    // Called from umockdev's handler thread; public only for the C callback.
    bool handle_ioctl(void* client);

private:
    struct State;
    struct Shared;
    bool add_other_device(int index);
    bool change_usb_entries(int total);
    bool split();
    void apply_reset();
    [[noreturn]] void serve(int commands, int replies, int child);
    UMockdevTestbed* m_testbed;
    UMockdevIoctlBase* m_handler;
    State* m_state;
    Shared* m_shared;
    int m_commands;  // child: write end of the command pipe
    int m_replies;   // child: read end of the reply pipe
    int m_entries;
};

// True when the umockdev preload library is in this process's LD_PRELOAD.
bool under_umockdev();

}  // namespace bench

#endif
