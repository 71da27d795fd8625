// Wake-up latency of events across threads (Set on one thread -> the waiter runs), through
// Event::Wait and through WaitAny, and the cost of an uncontended named mutex.
#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

#include "bench/latency_stats.h"
#include "platform/sync/sync.h"

namespace {

using Clock = std::chrono::steady_clock;
using sorvex::sync::Event;
using sorvex::sync::ResetMode;

// A waiter thread takes `wake` and records when it woke; this thread sets it and waits for
// the acknowledgement. `useWaitAny` waits through WaitAny (poll) instead of Event::Wait.
void EventWakeUp(benchmark::State& state, bool useWaitAny) {
    Event wake(ResetMode::Auto, false);
    Event stop(ResetMode::Manual, false);
    Event ack(ResetMode::Auto, false);
    std::atomic<Clock::rep> wokeAt{0};
    std::thread waiter([&] {
        std::array<Event*, 2> events{&stop, &wake};
        for (;;) {
            bool woke = useWaitAny ? sorvex::sync::WaitAny(events, sorvex::sync::kInfinite) == 1
                                   : wake.Wait(sorvex::sync::kInfinite) && !stop.IsSet();
            if (!woke) {
                return;
            }
            wokeAt.store(Clock::now().time_since_epoch().count());
            ack.Set();
        }
    });
    sorvex::bench::LatencySamples samples(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        auto setAt = Clock::now();
        wake.Set();
        ack.Wait(sorvex::sync::kInfinite);
        samples.Add(Clock::duration(wokeAt.load()) - setAt.time_since_epoch());
    }
    stop.Set();
    wake.Set();
    waiter.join();
    samples.Report(state);
}

void BM_EventSetToWait(benchmark::State& state) {
    EventWakeUp(state, false);
}
BENCHMARK(BM_EventSetToWait)->Iterations(20000)->UseRealTime();

void BM_EventSetToWaitAny(benchmark::State& state) {
    EventWakeUp(state, true);
}
BENCHMARK(BM_EventSetToWaitAny)->Iterations(20000)->UseRealTime();

void BM_NamedMutexUncontended(benchmark::State& state) {
    sorvex::sync::NamedMutex mutex("sorvex-bench-mutex");
    for (auto _ : state) {
        mutex.Wait(0);
        mutex.Release();
    }
}
BENCHMARK(BM_NamedMutexUncontended);

}  // namespace

BENCHMARK_MAIN();
