// The scanner's delivery path, from a label frame complete on the wire (written to a pty whose
// other end the serial link reads) to the control object's SOData call on the object's thread:
// read thread, frame router, ProcessDataEvent with its two ACKs, the queue, the delivery
// thread's decoding and the hop to the object's thread.
//
//   BM_FrameToSOData/-1   trace off                 goal: < 300 us median, < 2 ms p99
//   BM_FrameToSOData/4    LogVerbosity 4 (details)  goal: < 1 ms median
//   BM_TenThousandLabels  10,000 labels sent back to back, one data event per setting of
//                         DataEventEnabled; every label must arrive, in order (labels_per_s)
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "bench/latency_stats.h"
#include "platform/window/window.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/links/link_test_support.h"
#include "service/scanner/scanner_test_support.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using talvex::test::ScannerObject;

// An RS-232 scanner on COM3, played on a pty by the benchmark.
struct Lane {
    explicit Lane(int verbosity) {
        talvex::test::SetGlobalValue("LogVerbosity", std::to_string(verbosity));
        talvex::test::MapComPort(3, pty.SlavePath());
        talvex::test::WriteScannerProfile("Lane1", {"6620", "1", "3", std::nullopt});
        talvex::g_Log.Reopen();
        ok = s.OpenClaimEnable() == talvex::OPOS_SUCCESS;
        s.Set(talvex::PIDX_SCAN_DecodeData, 1);
    }
    sorvex::test::TempRoot root;
    talvex::test::Pty pty;
    ScannerObject s;
    bool ok = false;
};

void BM_FrameToSOData(benchmark::State& state) {
    Lane lane(static_cast<int>(state.range(0)));
    if (!lane.ok) {
        state.SkipWithError("the scanner did not open on the pty");
        return;
    }
    Clock::time_point fired;
    lane.s.control.onCall = [&](const talvex::test::FakeControlObject::Call&) {
        fired = Clock::now();
    };
    sorvex::bench::LatencySamples samples(4096);
    const std::string frame =
        "\x02"
        "c012345678905\x03";
    std::size_t events = 0;
    for (auto _ : state) {
        lane.s.Set(talvex::PIDX_DataEventEnabled, 1);
        const Clock::time_point sent = Clock::now();
        lane.pty.Send(frame);
        while (lane.s.DataEvents() == events) {
            sorvex::window::WaitAndPump(5);
        }
        ++events;
        samples.Add(fired - sent);
        state.PauseTiming();
        lane.pty.Receive(1s, 2);  // the two ACKs
        state.ResumeTiming();
    }
    samples.Report(state);
    lane.s.control.onCall = nullptr;
    talvex::g_Log.Flush();
}
BENCHMARK(BM_FrameToSOData)
    ->Arg(-1)
    ->Arg(4)
    ->Iterations(2000)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

void BM_TenThousandLabels(benchmark::State& state) {
    constexpr std::size_t kLabels = 10000;
    Lane lane(-1);
    if (!lane.ok) {
        state.SkipWithError("the scanner did not open on the pty");
        return;
    }
    for (auto _ : state) {
        // The application's usual handler: read the label, ask for the next one.
        std::vector<std::string> got;
        got.reserve(kLabels);
        lane.s.control.onCall = [&](const talvex::test::FakeControlObject::Call& call) {
            if (call.name == "SOData") {
                got.push_back(lane.s.String(talvex::PIDX_SCAN_ScanData));
                lane.s.Set(talvex::PIDX_DataEventEnabled, 1);
            }
        };
        lane.s.Set(talvex::PIDX_DataEventEnabled, 1);
        std::atomic<bool> done{false};
        std::thread drain([&] {
            while (!done) {
                lane.pty.Receive(20ms);  // the ACKs
            }
        });
        std::string burst;
        char label[16];
        for (std::size_t i = 0; i < kLabels; ++i) {
            std::snprintf(label, sizeof label, "\x02j%05zu\x03", i);
            burst += label;
        }
        const Clock::time_point start = Clock::now();
        std::thread device([&] { lane.pty.Send(burst); });
        const Clock::time_point deadline = start + 120s;
        while (got.size() < kLabels && Clock::now() < deadline) {
            sorvex::window::WaitAndPump(5);
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        device.join();
        sorvex::window::PumpPending();
        lane.s.control.onCall = nullptr;
        done = true;
        drain.join();
        bool inOrder = got.size() == kLabels;
        for (std::size_t i = 0; inOrder && i < kLabels; ++i) {
            std::snprintf(label, sizeof label, "%05zu", i);
            inOrder = got[i] == label;
        }
        if (!inOrder || lane.s.DataEvents() != kLabels ||
            lane.s.Number(talvex::PIDX_DataCount) != 0) {
            state.SkipWithError("labels lost, duplicated or out of order");
            return;
        }
        state.counters["labels_per_s"] = static_cast<double>(kLabels) / seconds;
        state.counters["delivered"] = static_cast<double>(got.size());
    }
}
BENCHMARK(BM_TenThousandLabels)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
