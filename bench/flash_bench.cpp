// A flash stage through the emulated reader: lm_update::write_flash against
// the reference client on the same node, run in alternation so that both see
// the machine in the same state. Prints one JSON object per run:
//   {"client": ..., "mib": ..., "seconds": ..., "cpu_seconds": ...,
//    "max_urbs_in_flight": ..., "max_bytes_in_flight": ..., "frame_bytes": ...}
// Run under umockdev-wrapper:  lumora-bench-flash [RUNS [MIB...]]
// Blocks under 16 MiB are run RUNS x (16 / MIB) times.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench_reader.h"
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

enum Client { kUpdater, kReference, kReferenceFraming, kFramingOnly };
const char* const kClientNames[] = {"updater", "reference", "reference_framing", "framing_only"};

// One write by `client`; 0 when it succeeded and the reader got one intact frame.
int run_once(Client client, bench::BenchReader& reader, lm_update& update,
             const std::vector<unsigned char>& payload, const std::vector<unsigned char>& frame)
{
    std::string node = reader.node_path();
    switch (client) {
    case kUpdater:
        return update.write_flash(kFlashAddress, const_cast<unsigned char*>(payload.data()),
                                  static_cast<int>(payload.size()));
    case kReference:
        return bench::reference_stream(node.c_str(), frame.data(), frame.size());
    case kFramingOnly: {
        // The framing work alone, nothing sent: what the frame costs by itself.
        unsigned char* fresh = static_cast<unsigned char*>(malloc(frame.size()));
        if (!fresh)
            return -1;
        bench::build_frame(fresh, kFlashAddress, payload.data(), payload.size());
        size_t end = frame.size();
        int rc = fresh[end - 2] == frame[end - 2] && fresh[end - 1] == frame[end - 1] ? 0 : -1;
        free(fresh);
        return rc;
    }
    case kReferenceFraming: {
        // The updater's framing work done by hand: a fresh buffer, the
        // payload copied in and summed.
        unsigned char* fresh = static_cast<unsigned char*>(malloc(frame.size()));
        if (!fresh)
            return -1;
        bench::build_frame(fresh, kFlashAddress, payload.data(), payload.size());
        int rc = bench::reference_stream(node.c_str(), fresh, frame.size());
        free(fresh);
        return rc;
    }
    }
    return -1;
}

}  // namespace

int main(int argc, char** argv)
{
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

    bench::BenchReader reader;
    if (!reader.start())
        return 2;
    lm_update update;
    if (update.get_device_connect_status() != 0) {
        fprintf(stderr, "the updater does not find the emulated reader\n");
        return 1;
    }

    for (long mib : sizes) {
        std::vector<unsigned char> payload = random_block(mib * kMiB);
        std::vector<unsigned char> frame(payload.size() + 10);
        bench::build_frame(frame.data(), kFlashAddress, payload.data(), payload.size());
        // Small blocks take milliseconds: repeat them more, so that each size
        // gets a comparable share of the machine's noise.
        int size_runs = mib < 16 ? runs * static_cast<int>(16 / mib) : runs;
        for (int run = 0; run < size_runs; ++run) {
            for (Client client : {kUpdater, kReference, kReferenceFraming, kFramingOnly}) {
                reader.reset_counters();
                double wall = clock_seconds(CLOCK_MONOTONIC);
                double cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID);
                int rc = run_once(client, reader, update, payload, frame);
                cpu = clock_seconds(CLOCK_THREAD_CPUTIME_ID) - cpu;
                wall = clock_seconds(CLOCK_MONOTONIC) - wall;
                bench::ReaderCounters seen = reader.counters();
                int frames_expected = client == kFramingOnly ? 0 : 1;
                // A failed or garbled write is never reported as a time.
                if (rc != 0 || seen.frames_ok != frames_expected || seen.frames_bad != 0) {
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
