// Registry speed. The figure that matters: a value read the way a service object reads one
// (open the profile key, query into a 2048-byte buffer, close), which must stay well under
// 20 us (median). Nothing is cached between reads, so each one really goes to the database.
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/registry/registry.h"
#include "tests/support/temp_root.h"

namespace {

using namespace sorvex::registry;

constexpr const char* kProfile = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Front Lane 1\\";

std::unique_ptr<sorvex::test::TempRoot> g_Root;

void Setup() {
    g_Root = std::make_unique<sorvex::test::TempRoot>();
    Key key;
    if (Key::Create(Hive::LocalMachine, kProfile, key) != Status::Ok ||
        key.SetString("", "Orvanta.Opos.Scanner") != Status::Ok ||
        key.SetString("Model", "Heronix/2110") != Status::Ok ||
        key.SetString("Serial Port", "1") != Status::Ok ||
        key.SetString("Scanner Version", "0") != Status::Ok) {
        std::abort();
    }
    // Some neighbours, so the lookups do not run in an empty table.
    for (int i = 0; i < 50; ++i) {
        Key other;
        Key::Create(Hive::LocalMachine,
                    "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Lane " + std::to_string(i),
                    other);
        other.SetString("Model", "6620");
    }
}

// Key::Open, Query into 2048 bytes, close.
void BM_OpenQueryClose(benchmark::State& state) {
    char buffer[2048];
    for (auto _ : state) {
        Key key;
        if (Key::Open(Hive::LocalMachine, kProfile, kRead, key) != Status::Ok) {
            state.SkipWithError("open failed");
            break;
        }
        Type type{};
        std::size_t size = sizeof buffer;
        if (key.Query("Serial Port", &type, buffer, &size) != Status::Ok) {
            state.SkipWithError("query failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
        key.Close();
    }
}
BENCHMARK(BM_OpenQueryClose)->Repetitions(9)->ReportAggregatesOnly(true)->ThreadRange(1, 2);

// The same with the type and size check first, as the configuration store does it.
void BM_OpenQueryInfoQueryClose(benchmark::State& state) {
    char buffer[2048];
    for (auto _ : state) {
        Key key;
        Type type{};
        std::size_t size = 0;
        if (Key::Open(Hive::LocalMachine, kProfile, kRead, key) != Status::Ok ||
            key.QueryInfo("Serial Port", &type, &size) != Status::Ok) {
            state.SkipWithError("open failed");
            break;
        }
        size = sizeof buffer;
        if (key.Query("Serial Port", &type, buffer, &size) != Status::Ok) {
            state.SkipWithError("query failed");
            break;
        }
        benchmark::DoNotOptimize(buffer);
    }
}
BENCHMARK(BM_OpenQueryInfoQueryClose)->Repetitions(9)->ReportAggregatesOnly(true);

// One write: open for writing, set a string (one transaction, synced), close.
void BM_OpenSetClose(benchmark::State& state) {
    int n = 0;
    for (auto _ : state) {
        Key key;
        if (Key::Open(Hive::LocalMachine, kProfile, kReadWrite, key) != Status::Ok ||
            key.SetString("FirstPosUsbUnit", std::to_string(n++ % 10)) != Status::Ok) {
            state.SkipWithError("write failed");
            break;
        }
    }
}
BENCHMARK(BM_OpenSetClose)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMicrosecond);

// The cost of one system call on this machine, for reading the figures above: a read that
// goes to the database (no value cache) makes about fifteen (file locks, the journal and WAL
// checks, a stat of the file), so on machines with slow system calls they dominate.
void BM_OneSystemCall(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(::syscall(SYS_getppid));
    }
}
BENCHMARK(BM_OneSystemCall)->Repetitions(3)->ReportAggregatesOnly(true);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Setup();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_Root.reset();
    return 0;
}
