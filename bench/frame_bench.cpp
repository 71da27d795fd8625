// The service object frame: the trace log and the event hand-off.
//
//   BM_LogWriteBelowLevel  g_Log.Write of a record above the current level (a comparison only).
//                          Goal: < 5 ns
//   BM_LogWriteAtLevel     g_Log.Write of a record that is written, on the caller's thread.
//                          Goal: < 1 us median
//   BM_LogWriterDrain      lines queued back to back, until the writer has them in the file.
//                          Goal: >= 100,000 lines/s
//   BM_EnqueueToSOData     Enqueue of a data event on another thread to the control object's
//                          SOData on the object's thread, 100,000 events, each checked to arrive
//                          in order. Goal: < 50 us median, < 500 us p99
//   BM_IdleEnabledDevice   an enabled device with an empty queue: CPU time of the process over
//                          2 s. Goal: none (blocking waits only)
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "bench/latency_stats.h"
#include "platform/registry/registry.h"
#include "platform/window/window.h"
#include "service/frame/device.h"
#include "service/frame/fake_control_object.h"
#include "service/frame/log.h"
#include "service/frame/opos.h"
#include "service/frame/registry_values.h"
#include "service/frame/test_device.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace reg = sorvex::registry;

void SetValue(const std::string& path, const std::string& name, const std::string& text) {
    reg::Key key;
    if (reg::Key::Create(reg::Hive::LocalMachine, path, key) != reg::Status::Ok ||
        key.SetString(name, text) != reg::Status::Ok) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
    }
}

void BM_LogWriteBelowLevel(benchmark::State& state) {
    sorvex::test::TempRoot root;
    g_Log.Reopen();
    g_Log.SetLevel(1);
    const std::string message = "Enter GetPropertyNumber";
    const std::string tag = "CScanner";
    for (auto _ : state) {
        g_Log.Write(3, message, tag);
        benchmark::ClobberMemory();
    }
    g_Log.SetLevel(-1);
}
BENCHMARK(BM_LogWriteBelowLevel);

void BM_LogWriteAtLevel(benchmark::State& state) {
    sorvex::test::TempRoot root;
    g_Log.Reopen();
    g_Log.SetLevel(4);
    const std::string message = "  *   pNumber: 1";
    const std::string tag = "CScanner";
    const int calls = static_cast<int>(state.range(0));
    sorvex::bench::LatencySamples samples(static_cast<std::size_t>(calls));
    for (auto _ : state) {
        for (int i = 1; i <= calls; ++i) {
            auto start = Clock::now();
            g_Log.Write(4, message, tag);
            samples.Add(Clock::now() - start);
            // Let the writer catch up now and then, as a device's trace pauses between events.
            if (i % 4096 == 0) {
                g_Log.Flush();
            }
        }
    }
    g_Log.Flush();
    g_Log.SetLevel(-1);
    samples.Report(state);
}
BENCHMARK(BM_LogWriteAtLevel)
    ->Arg(1 << 16)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

void BM_LogWriterDrain(benchmark::State& state) {
    sorvex::test::TempRoot root;
    g_Log.Reopen();
    g_Log.SetLevel(4);
    const auto lines = static_cast<int>(state.range(0));
    const std::string message = "Label: 012345678905, type 101";
    const std::string tag = "CScanner";
    for (auto _ : state) {
        for (int i = 0; i < lines; ++i) {
            g_Log.Write(4, message, tag);
        }
        if (!g_Log.Flush(30s)) {
            state.SkipWithError("the writer did not drain the queue");
        }
    }
    state.counters["lines_per_s"] =
        benchmark::Counter(static_cast<double>(lines) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate);
    g_Log.SetLevel(-1);
}
BENCHMARK(BM_LogWriterDrain)
    ->Arg(200000)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// A device that fires each data event with its data kind as the status, so the control object
// can check the order.
class BenchDevice final : public CDevice {
  public:
    BenchDevice() : CDevice(test::kTestDeviceTexts) {}
    ~BenchDevice() override { Shutdown(); }

  protected:
    bool ConfigureDevice(const RegistryValues&) override {
        m_DeviceName = "Orvanta Bench";
        m_DeviceDescription = "Orvanta Bench device.";
        return true;
    }
    std::int32_t DeviceEnable(bool enable) override {
        if (enable && !m_DeviceStatus.Test(kDeviceEnabled)) {
            m_EventQueue.SetAllowableEvents(31);
            m_EventQueue.SetEnabledEvents(
                kEventError | (m_DeviceStatus.Test(kDataEventEnabled) ? kEventData : 0));
            m_DeviceStatus.Set(kDeviceEnabled);
        } else if (!enable && m_DeviceStatus.Test(kDeviceEnabled)) {
            m_EventQueue.SetAllowableEvents(0);
            m_DeviceStatus.Clear(kDeviceEnabled);
        }
        return OPOS_SUCCESS;
    }
    void ProcessEvent(OposEvent& event) override {
        if (event.Type() == kEventData) {
            DataEventEnable(false);
            SendToWindow(WM_FIRE_DATA_EVENT, static_cast<std::uintptr_t>(event.DataKind()), 0);
        } else if (event.Type() == kEventDisable) {
            DeviceEnable(false);
        }
    }
};

struct EnabledDevice {
    EnabledDevice() {
        g_Log.Reopen();
        SetValue(std::string(kProfileRoot) + "\\Scanner\\Bench", "", "Orvanta.Opos.Scanner");
        ok = device.CreateDeviceWindow() &&
             device.OpenService("Scanner", "Bench", &control) == OPOS_SUCCESS &&
             device.ClaimDevice(0) == OPOS_SUCCESS;
        device.SetPropertyNumber(PIDX_DeviceEnabled, 1);
        device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
        ok = ok && device.ResultCode() == OPOS_SUCCESS;
    }
    sorvex::test::TempRoot root;
    test::FakeControlObject control{{"SOData", "SOError", "SODirectIO", "SOStatusUpdate"}};
    BenchDevice device;
    bool ok = false;
};

void BM_EnqueueToSOData(benchmark::State& state) {
    EnabledDevice lane;
    if (!lane.ok) {
        state.SkipWithError("the device did not open");
        return;
    }
    const int total = static_cast<int>(state.range(0));
    std::atomic<int> delivered{0};
    std::atomic<bool> inOrder{true};
    std::atomic<Clock::rep> queuedAt{0};
    sorvex::bench::LatencySamples samples(static_cast<std::size_t>(total));
    // On the object's thread: the application's handler, which enables the next event.
    lane.control.onCall = [&](const test::FakeControlObject::Call& call) {
        if (call.name != "SOData") {
            return;
        }
        samples.Add(Clock::duration(Clock::now().time_since_epoch().count() - queuedAt.load()));
        if (call.args.empty() || call.args[0] != delivered.load()) {
            inOrder = false;
        }
        ++delivered;
        lane.device.SetPropertyNumber(PIDX_DataEventEnabled, 1);
    };
    for (auto _ : state) {
        // The producer plays a link's read thread: the next event once the last one arrived.
        std::thread producer([&] {
            for (int i = 0; i < total; ++i) {
                while (delivered.load() < i) {
                    std::this_thread::yield();
                }
                queuedAt = Clock::now().time_since_epoch().count();
                lane.device.EventQueue().Enqueue(OposEvent::Data(i, "012345678905"));
            }
        });
        auto deadline = Clock::now() + 120s;
        while (delivered.load() < total && Clock::now() < deadline) {
            sorvex::window::WaitAndPump(10);
        }
        producer.join();
    }
    lane.control.onCall = nullptr;
    if (delivered != total || !inOrder) {
        state.SkipWithError("events were lost or arrived out of order");
    }
    state.counters["delivered"] = delivered.load();
    samples.Report(state);
}
BENCHMARK(BM_EnqueueToSOData)
    ->Arg(100000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

double ProcessCpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
}

void BM_IdleEnabledDevice(benchmark::State& state) {
    EnabledDevice lane;
    if (!lane.ok) {
        state.SkipWithError("the device did not open");
        return;
    }
    double cpuMs = 0;
    for (auto _ : state) {
        const double before = ProcessCpuMs();
        auto end = Clock::now() + 2s;
        while (Clock::now() < end) {
            sorvex::window::WaitAndPump(100);
        }
        cpuMs = ProcessCpuMs() - before;
    }
    state.counters["cpu_ms_in_2s"] = cpuMs;
}
BENCHMARK(BM_IdleEnabledDevice)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace talvex

BENCHMARK_MAIN();
