// The scale's read paths against a single-cable scale played on a pty that answers every
// weight request at once: the request goes out through the arbiter and the serial link, the
// reply comes back through the read thread, the frame router and ProcessDataEvent.
//
//   BM_SynchronousReadWeight  ReadWeight from call to return, trace off
//                             goal: < 1 ms median
//   BM_AsynchronousReadLoop   the loop of a POS application: ReadWeight, the data event, and
//                             ReadWeight again from inside the DataEvent handler; each weight
//                             is one larger than the last, so a lost or duplicated event shows
//                             in the counters "lost" and "duplicated" (both must be 0)
//                             goal: >= 1,000 weights_per_s
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

#include "bench/latency_stats.h"
#include "platform/window/window.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/scale/scale.h"
#include "service/scale/scale_protocol.h"
#include "service/scale/scale_test_support.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// A scale on COM4 that answers weight n with n (five digits), opened, claimed and enabled.
struct Lane {
    Lane() {
        talvex::g_Log.Reopen();
        device.SetResponder([this](const std::string& command) -> std::string {
            if (command == talvex::scale::SerialCommand(talvex::scale::Command::Status)) {
                return talvex::test::SerialReply(0, 0, 0);
            }
            const int n = ++next % 100000;
            return talvex::test::SerialReply(0, 0, 0, std::to_string(100000 + n).substr(1));
        });
        talvex::test::WriteScaleProfile("Bench", "0", "4");
        ok = scale.CreateDeviceWindow() &&
             scale.OpenService("Scale", "Bench", &control) == talvex::OPOS_SUCCESS &&
             scale.ClaimDevice(0) == talvex::OPOS_SUCCESS;
        scale.SetPropertyNumber(talvex::PIDX_DeviceEnabled, 1);
        ok = ok && scale.ResultCode() == talvex::OPOS_SUCCESS;
    }
    ~Lane() { scale.CloseService(); }

    sorvex::test::TempRoot root;
    std::atomic<int> next{0};
    talvex::test::PtyScale device{4};
    talvex::test::FakeControlObject control;
    talvex::CScale scale;
    bool ok = false;
};

void BM_SynchronousReadWeight(benchmark::State& state) {
    Lane lane;
    if (!lane.ok) {
        state.SkipWithError("the scale did not open on the pty");
        return;
    }
    sorvex::bench::LatencySamples samples(4096);
    std::int64_t failures = 0;
    for (auto _ : state) {
        std::int32_t weight = 0;
        const Clock::time_point start = Clock::now();
        const std::int32_t rc = lane.scale.ReadWeight(&weight, 5000);
        samples.Add(Clock::now() - start);
        failures += rc != talvex::OPOS_SUCCESS || weight <= 0;
    }
    samples.Report(state);
    state.counters["failures"] = static_cast<double>(failures);
}
BENCHMARK(BM_SynchronousReadWeight)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_AsynchronousReadLoop(benchmark::State& state) {
    Lane lane;
    if (!lane.ok) {
        state.SkipWithError("the scale did not open on the pty");
        return;
    }
    lane.scale.SetPropertyNumber(talvex::PIDX_SCAL_AsyncMode, 1);
    lane.scale.SetPropertyNumber(talvex::PIDX_DataEventEnabled, 1);
    std::int64_t events = 0, lost = 0, duplicated = 0, refused = 0;
    std::int32_t last = 0;
    lane.control.onCall = [&](const talvex::test::FakeControlObject::Call& call) {
        if (call.name != "SOData") {
            return;
        }
        const std::int32_t weight = call.args.at(0);
        if (weight <= last) {
            ++duplicated;
        } else {
            lost += weight - last - 1;
        }
        last = weight;
        ++events;
        lane.scale.SetPropertyNumber(talvex::PIDX_DataEventEnabled, 1);
        std::int32_t w = 0;
        refused += lane.scale.ReadWeight(&w, 5000) != talvex::OPOS_SUCCESS;
    };
    std::int32_t w = 0;
    lane.scale.ReadWeight(&w, 5000);
    const auto deadline = Clock::now() + 60s;
    for (auto _ : state) {
        const std::int64_t before = events;
        while (events == before && Clock::now() < deadline) {
            sorvex::window::WaitAndPump(5);
        }
    }
    lane.control.onCall = nullptr;
    state.counters["weights_per_s"] =
        benchmark::Counter(static_cast<double>(events), benchmark::Counter::kIsRate);
    state.counters["lost"] = static_cast<double>(lost);
    state.counters["duplicated"] = static_cast<double>(duplicated);
    state.counters["refused"] = static_cast<double>(refused);
    state.counters["errors"] = static_cast<double>(lane.control.CountOf("SOError"));
}
BENCHMARK(BM_AsynchronousReadLoop)->Iterations(20000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
