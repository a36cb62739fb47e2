// The emulated e-book reader in its USB update mode, on a umockdev testbed.
// The process must run under umockdev-wrapper (LD_PRELOAD of the umockdev
// preload library); everything the process, and children it starts, does
// under /sys and /dev/bus/usb then meets the emulation.
//
// Limit of the preload library (umockdev 0.17.16): every open() of a /dev
// path that fails costs one of its 50 fd slots for the rest of the process,
// which aborts with "fd_map_add(): overflow" once they are gone. The updater
// fails such an open about once per thread each time the reader leaves, so
// one process can follow some twenty departures.
#ifndef LUMORA_FAKE_READER_H
#define LUMORA_FAKE_READER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "frame_checker.h"

namespace lumora_fake {

enum class reconnect_mode {
    none,       // never leaves the bus
    renumber,   // leaves after each valid frame, returns under devnum + 1
    same,       // leaves and returns under the same numbers
    stay_away,  // leaves after the first valid frame and never returns
};

struct reader_options {
    std::string product = "ORVEX LUMORA64 UPDate";
    int product_reply_bytes = -1;  // force the string descriptor's reply length
    uint8_t iproduct = 2;          // index of the product string
    // The product string request gets no answer: it fails with ETIMEDOUT when
    // the time limit it carries runs out (one without a limit after 3 s, so
    // that a test is not stuck for good).
    bool product_unanswered = false;
    // The first product string request is held: the file string-held is
    // made in this folder, and the answer goes out once string-release
    // appears there (or, so that no test is stuck for good, after 30 s,
    // logged as string-hold-gave-up).
    std::string hold_string_dir;
    int bus = 1;
    int devnum = 2;
    std::string sys_name = "1-1";  // the reader's sysfs entry
    bool descriptors_file = true;  // false: the descriptor comes from the node
    bool reader = true;            // false: no reader at all
    bool proc_root = false;        // node under /proc/bus/usb instead of /dev/bus/usb
    int attach_after_ms = 0;
    reconnect_mode reconnect = reconnect_mode::none;
    int leave_after_ms = 300;      // after the frame
    int return_after_ms = 1500;    // after leaving
    bool refuse_claim = false;
    int fail_submit = 0;           // the Nth SUBMITURB fails with ENOMEM (1-based)
    int fail_frame = 0;            // the Kth frame attempt's first URB ends with -EPIPE
    int short_urb = 0;             // the Nth URB completes with half its bytes
    int fail_urb = 0;              // the Nth URB ends with -EPIPE
    int never_complete = 0;        // the Nth URB never completes
    int leave_at_urb = 0;          // leaves as the Nth URB completes, before any is reaped
    // A crash of the client: as the Nth URB is submitted (its bytes taken,
    // not yet completed), SIGKILL for the process *kill_pid names (when set).
    int kill_at_urb = 0;
    const std::atomic<int>* kill_pid = nullptr;
    bool extra_devices = false;    // root hub, interfaces, another USB device
    std::string log_path;          // one line per event, appended
    std::string frames_dir;        // valid frames' payloads as frame-NN.bin
    bool log_max_inflight = false;
    bool keep_payloads = true;     // keep payloads in memory for frames()
    bool capture_wire = false;     // keep every byte taken on the endpoint, for wire()
    // Every URB completes whole the moment it is submitted, and the node is a
    // plain file on which poll() is always ready: a write then measures the
    // host side alone (the benchmarks). The URB failure options do not apply.
    bool complete_at_once = false;
    // Once the file swap_signal exists, the reader leaves (after leave_after_ms)
    // and another one, naming itself swap_product, comes back return_after_ms
    // later under the next device number.
    std::string swap_signal;
    std::string swap_product;
    std::string serial;         // the sysfs serial attribute; none when empty
    // The reader is plugged in only once this file exists, instead of at once.
    std::string attach_signal;
    // Once this file exists the reader leaves the bus, for good.
    std::string leave_signal;
};

// What the reader saw; a snapshot.
struct reader_stats {
    int claims = 0;
    int string_requests = 0;
    unsigned string_timeout_ms = 0;   // time limit of the last string request
    int submits = 0;                  // SUBMITURB calls, failed ones included
    int reaps = 0;
    int discards = 0;                 // discards that hit a pending URB
    int max_in_flight = 0;            // most URBs submitted and not yet reaped
    int aborted_frames = 0;           // frames cut off before their length
    std::vector<int> urb_lengths;     // buffer_length of each accepted URB
    std::vector<unsigned long> urb_buffers;  // each accepted URB's buffer address in the client
};

// What a benchmark reads after each write, since the last reset_counters().
// Plain values, so they can cross from the process that serves the reader.
struct reader_counters {
    int urbs_submitted = 0;
    int max_urbs_in_flight = 0;     // submitted and not yet reaped
    long max_bytes_in_flight = 0;
    long bytes_received = 0;        // bytes of URBs completed
    int frames_ok = 0;              // whole frames whose length and checksum match
    int frames_bad = 0;
};

// Bytes of a standard device descriptor.
std::vector<unsigned char> device_descriptor(uint16_t vid, uint16_t pid, uint8_t iproduct);

class reader_impl;

class fake_reader {
public:
    explicit fake_reader(const reader_options& options = reader_options());
    // A second reader on the testbed of `beside` (same process), at a port
    // of its own (options.sys_name) with its own node, log and frames; it
    // adds no other device. `beside` must outlive it.
    fake_reader(const reader_options& options, fake_reader& beside);
    ~fake_reader();
    fake_reader(const fake_reader&) = delete;
    fake_reader& operator=(const fake_reader&) = delete;

    // False when the testbed could not be built (not under umockdev-wrapper...).
    bool ok() const;
    const std::string& error() const;
    std::string root_dir() const;

    // The reader leaves the bus now / comes back under devnum (0: devnum + 1).
    void leave();
    void come_back(int devnum = 0);
    bool present() const;
    int devnum() const;
    std::string node_path() const;  // e.g. /dev/bus/usb/001/002

    // Another sysfs entry under /sys/bus/usb/devices. A null busnum or devnum
    // leaves that file out; an empty descriptor leaves `descriptors` out.
    void add_sysfs_entry(const std::string& name, const char* busnum, const char* devnum,
                         const std::vector<unsigned char>& descriptor);
    // A plain node file (e.g. under /dev/bus/usb or /proc/bus/usb) holding bytes.
    void add_node_file(const std::string& path, const std::vector<unsigned char>& bytes);
    // Adds or removes other USB devices (buses 2 and up) so that there are
    // `count` of them in sysfs besides what the options made.
    bool set_other_devices(int count);

    std::vector<received_frame> frames() const;
    // The bytes taken on endpoint 3, in order (with capture_wire).
    std::vector<unsigned char> wire() const;
    reader_stats stats() const;
    reader_counters counters() const;
    // Zeroes the counters and drops a frame cut off half way.
    void reset_counters();

private:
    std::unique_ptr<reader_impl> m_impl;
};

} // namespace lumora_fake

#endif
