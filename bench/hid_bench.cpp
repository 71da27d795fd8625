// Simulated HID devices, host and device in this process over real sockets: how long one report
// takes each way, what an enumeration costs, and how much CPU an open device that sees no
// traffic uses while its read thread waits (the goal: none).
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/hid/hid.h"
#include "platform/hid/simulated_hid_server.h"
#include "tests/support/temp_root.h"

namespace {

using sorvex::hid::SimulatedHidServer;

std::unique_ptr<SimulatedHidServer> Plug(const std::string& name,
                                         SimulatedHidServer::Handlers handlers = {}) {
    return SimulatedHidServer::Create(name, 0xFF45, 0x4A00, 0x1234, 1, std::move(handlers));
}

// Device to host: SendReport, then the host's Read returns it.
void BM_InputReport(benchmark::State& state) {
    sorvex::test::TempRoot root;
    auto server = Plug("scanner");
    auto device = sorvex::hid::Open(server->Path());
    server->WaitForHosts(1, std::chrono::seconds(10));
    const std::string report(static_cast<std::size_t>(state.range(0)), '\xFF');
    std::string received;
    for (auto _ : state) {
        server->SendReport(report);
        device->Read(received);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_InputReport)->Arg(12)->Arg(512);

// Host to device and back: Write, the server thread's handler answers, the host reads.
void BM_RoundTrip(benchmark::State& state) {
    sorvex::test::TempRoot root;
    std::promise<SimulatedHidServer*> created;
    std::shared_future<SimulatedHidServer*> self = created.get_future().share();
    SimulatedHidServer::Handlers handlers;
    handlers.outputReport = [self](std::string_view report) { self.get()->SendReport(report); };
    auto server = Plug("scale", handlers);
    created.set_value(server.get());
    auto device = sorvex::hid::Open(server->Path());
    const std::string report(6, '\0');
    std::string received;
    for (auto _ : state) {
        device->Write(report);
        device->Read(received);
    }
}
BENCHMARK(BM_RoundTrip);

void BM_Enumerate(benchmark::State& state) {
    sorvex::test::TempRoot root;
    std::vector<std::unique_ptr<SimulatedHidServer>> servers;
    for (int i = 0; i < state.range(0); ++i) {
        servers.push_back(Plug("device-" + std::to_string(i)));
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(sorvex::hid::Enumerate());
    }
}
BENCHMARK(BM_Enumerate)->Arg(1)->Arg(5);

double ProcessCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One second of an open device with a waiting read thread and no traffic; the counter is the
// CPU time the whole process used in that second (server thread and read thread included).
void BM_IdleOpenDevice(benchmark::State& state) {
    sorvex::test::TempRoot root;
    auto server = Plug("scanner");
    auto device = sorvex::hid::Open(server->Path());
    server->WaitForHosts(1, std::chrono::seconds(10));
    std::thread reader([&] {
        std::string report;
        while (device->Read(report)) {
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double cpu = 0;
    for (auto _ : state) {
        double before = ProcessCpuSeconds();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        cpu += ProcessCpuSeconds() - before;
    }
    device->CancelRead();
    reader.join();
    state.counters["cpu_ms_per_s"] = 1000.0 * cpu / static_cast<double>(state.iterations());
}
BENCHMARK(BM_IdleOpenDevice)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
