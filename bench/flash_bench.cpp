// A flash stage through the emulated reader: lm_update::write_flash against
// the reference client on the same node, run in alternation so that both see
// the machine in the same state. Prints one JSON object per run:
//   {"client": ..., "mib": ..., "seconds": ..., "cpu_seconds": ...,
//    "max_urbs_in_flight": ..., "max_bytes_in_flight": ..., "frame_bytes": ...}
// Run under umockdev-wrapper:  lumora-bench-flash [RUNS [MIB...]]
// Blocks under 16 MiB are run RUNS x (16 / MIB) times.
//
//   lumora-bench-flash --memory MIB
// instead measures what one write of a MIB block adds to the process: the
// peak resident size during the write minus the resident size before it
// (the image included), for the updater and for the reference client:
//   {"client": ..., "mib": ..., "image_bytes": ..., "added_bytes": ...}
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "reader_process.h"
#include "reference_client.h"
#include "usb/update.h"

namespace {

const unsigned kFlashAddress = 0x00040000;
const long kMiB = 1 << 20;

double clock_seconds(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

std::vector<unsigned char> random_block(long size)
{
    std::vector<unsigned char> block(size);
    std::mt19937_64 rng(20240601u + size);
    for (long i = 0; i + 8 <= size; i += 8) {
        uint64_t v = rng();
        for (int k = 0; k < 8; ++k)
            block[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }
    return block;
}

enum Client { kUpdater, kReference };
const char* const kClientNames[] = {"updater", "reference"};

// One write by `client`; 0 when it succeeded.
int run_once(Client client, lumora_fake::reader_process& reader, lm_update& update,
             const std::vector<unsigned char>& payload, const std::vector<unsigned char>& frame)
{
    if (client == kUpdater)
        return update.write_flash(kFlashAddress, const_cast<unsigned char*>(payload.data()),
                                  static_cast<int>(payload.size()));
    std::string node = reader.node_path();
    return bench::reference_stream(node.c_str(), frame.data(), frame.size());
}

// A "Vm...:  N kB" line of /proc/self/status, in bytes; -1 when missing.
long status_bytes(const char* key)
{
    FILE* f = fopen("/proc/self/status", "r");
    if (!f)
        return -1;
    char line[256];
    long kb = -1;
    size_t n = strlen(key);
    while (kb < 0 && fgets(line, sizeof line, f)) {
        if (strncmp(line, key, n) == 0 && line[n] == ':')
            kb = atol(line + n + 1);
    }
    fclose(f);
    return kb < 0 ? -1 : kb * 1024;
}

// Resets the kernel's peak resident size (VmHWM) to the current one.
bool reset_peak()
{
    FILE* f = fopen("/proc/self/clear_refs", "w");
    if (!f)
        return false;
    bool ok = fputs("5", f) >= 0;
    return fclose(f) == 0 && ok;
}

int measure_memory(lumora_fake::reader_process& reader, lm_update& update, long mib)
{
    std::vector<unsigned char> payload = random_block(mib * kMiB);
    std::vector<unsigned char> frame(payload.size() + 10);
    bench::build_frame(frame.data(), kFlashAddress, payload.data(), payload.size());
    for (Client client : {kUpdater, kReference}) {
        long before = status_bytes("VmRSS");
        if (before < 0 || !reset_peak()) {
            fprintf(stderr, "the resident size cannot be read or its peak reset\n");
            return 1;
        }
        reader.reset_counters();
        int rc = run_once(client, reader, update, payload, frame);
        long peak = status_bytes("VmHWM");
        if (rc != 0 || reader.counters().frames_ok != 1 || peak < 0) {
            fprintf(stderr, "%s, %ld MiB: the write failed\n", kClientNames[client], mib);
            return 1;
        }
        printf("{\"client\": \"%s\", \"mib\": %ld, \"image_bytes\": %zu, \"added_bytes\": %ld}\n",
               kClientNames[client], mib, payload.size(), peak - before);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    long memory_mib = 0;
    if (argc == 3 && strcmp(argv[1], "--memory") == 0) {
        memory_mib = atol(argv[2]);
        if (memory_mib < 1 || memory_mib > 1024) {
            fprintf(stderr, "usage: %s --memory MIB  (1 <= MIB <= 1024)\n", argv[0]);
            return 2;
        }
        argc = 1;
    }
    int runs = argc > 1 ? atoi(argv[1]) : 5;
    std::vector<long> sizes;
    bool sizes_ok = true;
    for (int i = 2; i < argc; ++i) {
        sizes.push_back(atol(argv[i]));
        sizes_ok = sizes_ok && sizes.back() >= 1 && sizes.back() <= 1024;
    }
    if (sizes.empty())
        sizes = {1, 16, 64};
    if (runs < 1 || !sizes_ok) {
        fprintf(stderr, "usage: %s [RUNS [MIB...]]  (RUNS >= 1, 1 <= MIB <= 1024)\n", argv[0]);
        return 2;
    }

    // Every URB completes as it is submitted: what is measured is the host side.
    lumora_fake::reader_options options;
    options.complete_at_once = true;
    options.keep_payloads = false;
    lumora_fake::reader_process reader(options);
    if (!reader.start())
        return 2;
    lm_update update;
    if (update.get_device_connect_status() != 0) {
        fprintf(stderr, "the updater does not find the emulated reader\n");
        return 1;
    }
    if (memory_mib > 0)
        return measure_memory(reader, update, memory_mib);

    for (long mib : sizes) {
        std::vector<unsigned char> payload = random_block(mib * kMiB);
        std::vector<unsigned char> frame(payload.size() + 10);
        bench::build_frame(frame.data(), kFlashAddress, payload.data(), payload.size());
        // Small blocks take milliseconds: repeat them more, so that each size
        // gets a comparable share of the machine's noise.
        int size_runs = mib < 16 ? runs * static_cast<int>(16 / mib) : runs;
        for (int run = 0; run < size_runs; ++run) {
            for (Client client : {kUpdater, kReference}) {
                reader.reset_counters();
                double wall = clock_seconds(CLOCK_MONOTONIC);
                double cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
                int rc = run_once(client, reader, update, payload, frame);
                cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
                wall = clock_seconds(CLOCK_MONOTONIC) - wall;
                lumora_fake::reader_counters seen = reader.counters();
                // A failed or garbled write is never reported as a time.
                if (rc != 0 || seen.frames_ok != 1 || seen.frames_bad != 0) {
                    fprintf(stderr, "%s, %ld MiB: write %d, reader saw %d good and %d bad frames\n",
                            kClientNames[client], mib, rc, seen.frames_ok, seen.frames_bad);
                    return 1;
                }
                printf("{\"client\": \"%s\", \"mib\": %ld, \"seconds\": %.6f, \"cpu_seconds\": %.6f, "
                       "\"max_urbs_in_flight\": %d, \"max_bytes_in_flight\": %ld, \"frame_bytes\": %zu}\n",
                       kClientNames[client], mib, wall, cpu, seen.max_urbs_in_flight,
                       seen.max_bytes_in_flight, frame.size());
                fflush(stdout);
            }
        }
    }
    return 0;
}
