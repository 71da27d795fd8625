// Device link benchmarks.
//
//   BM_PtyFrameLatency       last byte of a frame written to the pty master -> subscriber
//                            callback (goal: median < 100 us, p99 < 1 ms)
//   BM_Rfc2217FrameLatency   the same through an RFC 2217 server on loopback (goal: median
//                            < 300 us)
//   BM_RouterFrames          the router cutting and routing small frames on one core (goal:
//                            >= 1,000,000 frames/s)
//   BM_IdleOpenPortCpu       process CPU time while a port is open and silent (goal: ~0)
//
// Latencies are reported as manual time per frame plus median_us and p99_us counters.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "platform/serial/rfc2217_server.h"
#include "service/links/frame_router.h"
#include "service/links/link_test_support.h"
#include "service/links/serial_comm.h"
#include "tests/support/temp_root.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Stamp {
    std::atomic<std::uint64_t> count{0};
    std::atomic<std::int64_t> at{0};
    static int Callback(void* context, const std::string&) {
        auto* self = static_cast<Stamp*>(context);
        self->at.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
        self->count.fetch_add(1, std::memory_order_release);
        return 0;
    }
};

void Report(benchmark::State& state, std::vector<double>& us) {
    if (us.empty()) {
        return;
    }
    std::sort(us.begin(), us.end());
    state.counters["median_us"] = us[us.size() / 2];
    state.counters["p99_us"] = us[std::min(us.size() - 1, us.size() * 99 / 100)];
}

// Sends the head of a frame, lets it be read, then times the stop byte to the callback.
template <class Send>
void MeasureLatency(benchmark::State& state, Stamp& stamp, Send send) {
    std::vector<double> us;
    for (auto _ : state) {
        const std::uint64_t before = stamp.count.load(std::memory_order_acquire);
        send(
            "\xF8"
            "00");
        std::this_thread::sleep_for(200us);
        const auto t0 = Clock::now();
        send("\xF1");
        while (stamp.count.load(std::memory_order_acquire) == before) {
            std::this_thread::yield();
        }
        const auto t1 =
            Clock::time_point(Clock::duration(stamp.at.load(std::memory_order_relaxed)));
        const double seconds = std::chrono::duration<double>(t1 - t0).count();
        state.SetIterationTime(seconds);
        us.push_back(seconds * 1e6);
    }
    Report(state, us);
}

void BM_PtyFrameLatency(benchmark::State& state) {
    sorvex::test::TempRoot root;
    talvex::test::Pty pty;
    talvex::CFrameRouter router;
    Stamp stamp;
    router.Subscribe(0xF8, 0xF1, &stamp, &Stamp::Callback);
    talvex::CSerialComm link(pty.SlavePath(), &router, &talvex::CFrameRouter::DispatchCallback);
    MeasureLatency(state, stamp, [&](std::string_view bytes) { pty.Send(bytes); });
}
BENCHMARK(BM_PtyFrameLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_Rfc2217FrameLatency(benchmark::State& state) {
    sorvex::test::TempRoot root;
    sorvex::serial::Rfc2217Server server([](std::string_view) {});
    talvex::CFrameRouter router;
    Stamp stamp;
    router.Subscribe(0xF8, 0xF1, &stamp, &Stamp::Callback);
    talvex::CSerialComm link(server.Url(), &router, &talvex::CFrameRouter::DispatchCallback);
    server.WaitForClient(5s);
    MeasureLatency(state, stamp, [&](std::string_view bytes) { server.Send(bytes); });
}
BENCHMARK(BM_Rfc2217FrameLatency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

void BM_RouterFrames(benchmark::State& state) {
    const std::size_t chunk = static_cast<std::size_t>(state.range(0));
    talvex::CFrameRouter router;
    std::atomic<std::uint64_t> frames{0};
    talvex::DataCallback count = [](void* p, const std::string& frame) {
        static_cast<std::atomic<std::uint64_t>*>(p)->fetch_add(1, std::memory_order_relaxed);
        return static_cast<int>(frame.size() & 0);
    };
    // A single-cable port: scanner labels, scale weights, the POS USB search pair.
    router.Subscribe(0xF3, 0xF1, &frames, count);
    router.Subscribe(0xF8, 0xF1, &frames, count);
    router.Subscribe(0x01, 0x05, nullptr, nullptr);
    std::string stream;
    for (int i = 0; i < 1000; ++i) {
        stream += i % 2 == 0 ? "\xF3"
                               "1012345678905\xF1"
                             : "\xF8"
                               "0123\xF1";
    }
    for (auto _ : state) {
        for (std::size_t off = 0; off < stream.size(); off += chunk) {
            router.Dispatch(std::string_view(stream).substr(off, chunk));
        }
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(frames.load()));
    state.counters["frames_per_s"] =
        benchmark::Counter(static_cast<double>(frames.load()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_RouterFrames)->Arg(32)->Arg(4096);

void BM_IdleOpenPortCpu(benchmark::State& state) {
    sorvex::test::TempRoot root;
    talvex::test::Pty pty;
    talvex::CFrameRouter router;
    router.Subscribe(0xF8, 0xF1, nullptr, nullptr);
    talvex::CSerialComm link(pty.SlavePath(), &router, &talvex::CFrameRouter::DispatchCallback);
    for (auto _ : state) {
        timespec a{}, b{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
        std::this_thread::sleep_for(3s);
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
        const double cpu = static_cast<double>(b.tv_sec - a.tv_sec) +
                           static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
        state.SetIterationTime(3.0);
        state.counters["cpu_us_per_s"] = cpu * 1e6 / 3.0;
    }
}
BENCHMARK(BM_IdleOpenPortCpu)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
