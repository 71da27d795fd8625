// Registry speed. The figure that matters: a value read the way a service object reads one
// (open the profile key, QueryInfo, Query into a 2048-byte buffer, close), which must stay
// under 20 us (median). Repeated reads are answered by the read cache after it has checked
// that the database file has not changed (one pread of its header per call); the "first
// read" figures are for keys that are not in the cache, which go to the database.
#include <benchmark/benchmark.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/temp_root.h"

namespace {

using namespace sorvex::registry;

constexpr const char* kProfile = "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Front Lane 1\\";

constexpr int kColdProfiles = 1000;

std::string ColdProfile(int i) {
    return "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scale\\Cold " + std::to_string(i);
}

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
    // More profiles than the read cache holds, for reads that miss it.
    Batch batch;
    for (int i = 0; i < kColdProfiles; ++i) {
        batch.SetValue(Hive::LocalMachine, ColdProfile(i), "Serial Port", Type::String,
                       std::to_string(i));
    }
    if (batch.Commit() != Status::Ok) {
        std::abort();
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

// The same, each time for another profile, taken round a ring larger than the read cache: the
// open goes to the database (and reads the profile's values along); QueryInfo and Query find
// them in the cache.
void BM_FirstReadOfAProfile(benchmark::State& state) {
    std::vector<std::string> paths;
    for (int i = 0; i < kColdProfiles; ++i) {
        paths.push_back(ColdProfile(i));
    }
    char buffer[2048];
    std::size_t next = 0;
    for (auto _ : state) {
        Key key;
        Type type{};
        std::size_t size = 0;
        if (Key::Open(Hive::LocalMachine, paths[next], kRead, key) != Status::Ok ||
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
        next = (next + 1) % paths.size();
    }
}
BENCHMARK(BM_FirstReadOfAProfile)->Repetitions(9)->ReportAggregatesOnly(true);

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
// goes to the database makes about fifteen (file locks, the journal check, reads of pages, a
// stat of the file); a cached one makes one (Open two: the stat of the file and the header).
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
