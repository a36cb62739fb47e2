// The reachability probe as the Warning page's tick runs it. Run inside
// netns-run: plainly when the server's address answers the UDP probe with
// port unreachable, with --quiet-udp when only the ICMP echo answers.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include "net/download.h"

namespace {

void probe(benchmark::State& state)
{
    lm_download download;
    long failures = 0;
    for (auto _ : state) {
        failures += download.get_internet_con_status() != 0;
        // The kernel sends at most 1000 ICMP errors a second, loopback
        // included; the real tick probes every 100 ms. Pace the probes
        // (outside the timed region) so the limiter never drops an answer.
        state.PauseTiming();
        usleep(2000);
        state.ResumeTiming();
    }
    // A failed probe is not a fast probe: never report it as a time.
    if (failures)
        state.SkipWithError("the probe reported the server unreachable");
}

}  // namespace

BENCHMARK(probe)->Name("probe/udp_answered")->Unit(benchmark::kMicrosecond)->Iterations(200)->Repetitions(5);
BENCHMARK(probe)->Name("probe/echo_only")->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(3);

BENCHMARK_MAIN();
