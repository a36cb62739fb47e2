// The device side as the guest tests drive it on a real usbfs: one
// operation per run, its result printed as key=value words.
//   kernel_probe discover                 connection test, node, variant
//   kernel_probe write SIZE SEED FILE     one write_flash of SIZE bytes (also saved to FILE)
//   kernel_probe whole SIZE               a client that submits the whole frame at once
//   kernel_probe window SIZE              the reference client with the updater's window
//   kernel_probe away SECONDS             how often the reader was seen in that time
#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "reference_client.h"
#include "usb/discovery.h"
#include "usb/update.h"

namespace {

const unsigned kFlashAddress = 0x40000;

long elapsed_us(std::chrono::steady_clock::time_point since)
{
    return static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - since)
                                 .count());
}

// Descriptors of this process still open on a usbfs node: none may be left
// once an operation of the updater has returned.
int open_usb_fds()
{
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    while (dirent* e = readdir(d)) {
        char link[300], target[256];
        snprintf(link, sizeof link, "/proc/self/fd/%s", e->d_name);
        ssize_t len = readlink(link, target, sizeof target - 1);
        if (len > 0) {
            target[len] = '\0';
            if (strncmp(target, "/dev/bus/usb/", 13) == 0)
                ++n;
        }
    }
    closedir(d);
    return n;
}

bool wait_attached(lm_update& update, int seconds)
{
    for (int i = 0; i < seconds * 10; ++i) {
        if (update.get_device_connect_status() == 0)
            return true;
        usleep(100 * 1000);
    }
    return false;
}

std::vector<unsigned char> payload_of(size_t size, unsigned seed)
{
    // A linear congruential sequence: no period that would make the checksum trivial.
    std::vector<unsigned char> p(size);
    uint32_t state = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        p[i] = static_cast<unsigned char>(state >> 24);
    }
    return p;
}

int discover(lm_update& update)
{
    int connect = update.get_device_connect_status();
    int bus = -1, dev = -1;
    update.m_pDis->get_dev_number_result(&bus, &dev);
    auto t0 = std::chrono::steady_clock::now();
    int variant = update.get_lumora_buffer_size();
    long ms = elapsed_us(t0) / 1000;
    printf("connect=%d root=%s bus=%d dev=%d variant=%d variant_ms=%ld usb_fds=%d\n", connect,
           update.m_pDis->get_usb_path_result() ? update.m_pDis->get_usb_path_result() : "-",
           bus, dev, variant, ms, open_usb_fds());
    return 0;
}

int write(lm_update& update, size_t size, unsigned seed, const char* file)
{
    if (!wait_attached(update, 30)) {
        printf("rc=none reader-not-attached\n");
        return 1;
    }
    std::vector<unsigned char> payload = payload_of(size, seed);
    if (FILE* f = fopen(file, "wb")) {
        fwrite(payload.data(), 1, payload.size(), f);
        fclose(f);
    }
    auto t0 = std::chrono::steady_clock::now();
    int rc = update.write_flash(kFlashAddress, payload.data(), static_cast<int>(size));
    // Read before open_usb_fds(): its /proc scan is not part of the write.
    long us = elapsed_us(t0);
    printf("rc=%d ms=%ld us=%ld progress=%.3f usb_fds=%d\n", rc, us / 1000, us,
           update.get_progress(), open_usb_fds());
    return 0;
}

int reference(lm_update& update, size_t size, int in_flight)
{
    if (!wait_attached(update, 30)) {
        printf("rc=none reader-not-attached\n");
        return 1;
    }
    int bus = 0, dev = 0;
    update.m_pDis->get_dev_number_result(&bus, &dev);
    char node[LM_PATH_MAX];
    lm_usb_node_path(node, update.m_pDis->get_usb_path_result(), bus, dev);
    std::vector<unsigned char> payload = payload_of(size, 1);
    std::vector<unsigned char> frame(size + 10);
    bench::build_frame(frame.data(), kFlashAddress, payload.data(), size);
    errno = 0;
    auto t0 = std::chrono::steady_clock::now();
    int rc = bench::reference_stream(node, frame.data(), frame.size(), in_flight);
    long us = elapsed_us(t0);
    // The stream closes the node last; a close that succeeds keeps the submit's errno.
    printf("rc=%d ms=%ld us=%ld errno=%d (%s)\n", rc, us / 1000, us, errno, strerror(errno));
    return 0;
}

int away(lm_update& update, int seconds)
{
    int seen = 0;
    for (int i = 0; i < seconds * 10; ++i) {
        if (update.get_device_connect_status() == 0)
            ++seen;
        usleep(100 * 1000);
    }
    unsigned char byte = 0;
    printf("seen=%d write_rc=%d\n", seen, update.write_flash(kFlashAddress, &byte, 1));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    lm_update update;
    if (argc == 2 && !strcmp(argv[1], "discover"))
        return discover(update);
    if (argc == 5 && !strcmp(argv[1], "write"))
        return write(update, strtoul(argv[2], nullptr, 10), strtoul(argv[3], nullptr, 10), argv[4]);
    if (argc == 3 && !strcmp(argv[1], "whole"))
        return reference(update, strtoul(argv[2], nullptr, 10), INT_MAX);
    if (argc == 3 && !strcmp(argv[1], "window"))
        return reference(update, strtoul(argv[2], nullptr, 10), bench::kUrbsInFlight);
    if (argc == 3 && !strcmp(argv[1], "away"))
        return away(update, atoi(argv[2]));
    fprintf(stderr, "usage: kernel_probe discover | write SIZE SEED FILE | whole SIZE | "
                    "window SIZE | away SECONDS\n");
    return 2;
}
