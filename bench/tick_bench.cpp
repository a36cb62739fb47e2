// The status tick's device side through the emulated reader: the connection
// test with the reader attached, against a bare open and close of the same
// node, and one rediscovery over sysfs trees of several sizes.
// Run under umockdev-wrapper.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>

#include "reader_process.h"
#include "usb/discovery.h"
#include "usb/update.h"

namespace {

lumora_fake::reader_process* g_reader = nullptr;

void connection_test(benchmark::State& state)
{
    lm_update update;
    if (update.get_device_connect_status() != 0) {
        state.SkipWithError("the updater does not find the emulated reader");
        return;
    }
    long failures = 0;
    for (auto _ : state)
        failures += update.get_device_connect_status() != 0;
    if (failures)
        state.SkipWithError("a connection test reported the attached reader missing");
}

// The floor under the connection test: open and close of the same node.
void node_open_close(benchmark::State& state)
{
    std::string node = g_reader->node_path();
    long failures = 0;
    for (auto _ : state) {
        int fd = open(node.c_str(), O_RDWR);
        failures += fd < 0;
        if (fd >= 0)
            close(fd);
    }
    if (failures)
        state.SkipWithError("the node could not be opened");
}

void rediscovery(benchmark::State& state, int entries)
{
    // The reader and entries - 1 other devices.
    if (!g_reader->set_other_devices(entries - 1)) {
        state.SkipWithError("building the sysfs tree failed");
        return;
    }
    lm_discovery discovery;
    long failures = 0;
    for (auto _ : state)
        failures += discovery.discover_device() != 0;
    if (failures)
        state.SkipWithError("a rediscovery did not find the reader");
    state.counters["usb_entries"] = entries;
}

void register_all()
{
    benchmark::RegisterBenchmark("tick/connection_test", connection_test)
        ->Unit(benchmark::kMicrosecond)->Repetitions(5);
    benchmark::RegisterBenchmark("tick/node_open_close", node_open_close)
        ->Unit(benchmark::kMicrosecond)->Repetitions(5);
    for (int entries : {1, 20, 200}) {
        benchmark::RegisterBenchmark(("tick/rediscovery/" + std::to_string(entries)).c_str(),
                                     rediscovery, entries)
            ->Unit(benchmark::kMicrosecond)->Repetitions(5);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    lumora_fake::reader_options options;
    options.complete_at_once = true;
    options.keep_payloads = false;
    lumora_fake::reader_process reader(options);
    if (!reader.start())
        return 2;
    g_reader = &reader;
    register_all();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_reader = nullptr;
    return 0;
}
