// How long the last byte of a burst takes from the writer to Read returning it on another
// thread: over a pty (master written, slave read through the termios backend) and over RFC 2217
// on loopback (server writes, client reads). Goals: pty < 100 us median and < 1 ms p99;
// RFC 2217 < 300 us median. The reported time is the mean; median_us and p99_us are counters.
// BM_IdleCpu: the CPU time the read thread spends while an open port waits in Read with no
// traffic (goal: none, the reader sleeps in poll).
#include <pthread.h>
#include <pty.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial/rfc2217_protocol.h"
#include "platform/serial/rfc2217_server.h"
#include "platform/serial/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;
using sorvex::serial::Port;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

// Reads on its own thread and stamps the time each Read returned.
class Reader {
  public:
    explicit Reader(Port& port) : m_Port(port), m_Thread([this] { Run(); }) {}
    ~Reader() {
        m_Port.CancelRead();
        m_Thread.join();
    }
    // Waits until `total` bytes have come in all; the time the last of them was returned.
    std::int64_t WaitFor(std::uint64_t total) {
        for (std::uint64_t seen = m_Received.load(); seen < total; seen = m_Received.load()) {
            m_Received.wait(seen);
        }
        return m_LastNs.load();
    }
    std::thread& Thread() { return m_Thread; }

  private:
    void Run() {
        char buffer[256];
        try {
            for (;;) {
                std::size_t n = m_Port.Read(buffer, sizeof buffer);
                if (n == 0) {
                    return;
                }
                m_LastNs.store(NowNs());
                m_Received.fetch_add(n);
                m_Received.notify_all();
            }
        } catch (const sorvex::serial::PortError&) {
        }
    }

    Port& m_Port;
    std::atomic<std::uint64_t> m_Received{0};
    std::atomic<std::int64_t> m_LastNs{0};
    std::thread m_Thread;
};

void Measure(benchmark::State& state, Reader& reader,
             const std::function<void(const std::string&)>& write) {
    const std::string burst(static_cast<std::size_t>(state.range(0)), '\xff');
    std::vector<double> samples;
    std::uint64_t total = 0;
    for (auto _ : state) {
        std::int64_t start = NowNs();
        write(burst);
        total += burst.size();
        std::int64_t end = reader.WaitFor(total);
        double seconds = static_cast<double>(end - start) * 1e-9;
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
    }
    std::sort(samples.begin(), samples.end());
    if (!samples.empty()) {
        state.counters["median_us"] = samples[samples.size() / 2];
        state.counters["p99_us"] = samples[samples.size() * 99 / 100];
    }
}

void BM_PtyLastByteLatency(benchmark::State& state) {
    int master = -1, slave = -1;
    char name[128];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    ::close(slave);
    {
        auto port = sorvex::serial::OpenPort(name);
        port->SetSettings({});
        Reader reader(*port);
        Measure(state, reader, [&](const std::string& burst) {
            if (::write(master, burst.data(), burst.size()) != static_cast<ssize_t>(burst.size())) {
                state.SkipWithError("short write to the pty master");
            }
        });
    }
    ::close(master);
}
BENCHMARK(BM_PtyLastByteLatency)
    ->Arg(1)
    ->Arg(32)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

void BM_Rfc2217LastByteLatency(benchmark::State& state) {
    sorvex::serial::Rfc2217Server server([](std::string_view) {});
    auto port = sorvex::serial::OpenPort(server.Url());
    port->SetSettings({});
    server.WaitForClient(std::chrono::seconds(10));
    Reader reader(*port);
    Measure(state, reader, [&](const std::string& burst) { server.Send(burst); });
}
BENCHMARK(BM_Rfc2217LastByteLatency)
    ->Arg(1)
    ->Arg(32)
    ->Iterations(20000)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

double ThreadCpuSeconds(std::thread& thread) {
    clockid_t clock;
    timespec ts{};
    if (::pthread_getcpuclockid(thread.native_handle(), &clock) != 0 ||
        ::clock_gettime(clock, &ts) != 0) {
        return 0;
    }
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Arg 0: a pty; arg 1: RFC 2217 on loopback.
void BM_IdleCpu(benchmark::State& state) {
    int master = -1, slave = -1;
    char name[128];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        state.SkipWithError("openpty failed");
        return;
    }
    ::close(slave);
    {
        sorvex::serial::Rfc2217Server server([](std::string_view) {});
        auto port =
            sorvex::serial::OpenPort(state.range(0) == 0 ? std::string(name) : server.Url());
        Reader reader(*port);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it reach its poll
        double cpu = 0;
        for (auto _ : state) {
            double before = ThreadCpuSeconds(reader.Thread());
            std::this_thread::sleep_for(std::chrono::seconds(1));
            cpu += ThreadCpuSeconds(reader.Thread()) - before;
        }
        state.counters["cpu_us_per_s"] = cpu * 1e6 / static_cast<double>(state.iterations());
    }
    ::close(master);
}
BENCHMARK(BM_IdleCpu)->Arg(0)->Arg(1)->Iterations(2)->Unit(benchmark::kMillisecond);

// The client parser over data with every byte value (0xFF doubled on the wire).
void BM_Rfc2217ClientParse(benchmark::State& state) {
    std::string data;
    for (int i = 0; i < 64 * 1024; ++i) {
        data.push_back(static_cast<char>(i * 7));
    }
    std::string wire;
    sorvex::serial::rfc2217::AppendData(data, wire);
    sorvex::serial::rfc2217::ClientProtocol client;
    sorvex::serial::rfc2217::Output out;
    for (auto _ : state) {
        out.Clear();
        client.Receive(wire, out);
        benchmark::DoNotOptimize(out.payload.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_Rfc2217ClientParse);

}  // namespace

BENCHMARK_MAIN();
