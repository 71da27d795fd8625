// The whole stack as a point-of-sale application sees it: OposScanner / OposScale (the public
// API), the real libTalvexSO.so registered into a temporary state root, and a device on a pty.
//
//   BM_LabelToDataEvent   a label frame written on a pty master to the application's DataEvent
//                         handler on its own thread; beside it, in the same run and alternating
//                         sample by sample, the raw floor: the same bytes across a pty of the
//                         same kind into a plain reader thread. Goal: < 500 us median, < 2 ms p99
//   BM_SustainedLabels    labels back to back for a few seconds; every one must arrive, in
//                         order. Goal: >= 10,000 labels/s
//   BM_IdleCpu            an enabled scanner and an enabled scale of one single-cable
//                         scanner-scale (the simulator, another process) with no traffic: CPU
//                         time of this process over 10 s. Goal: < 0.1 % of one core
//   BM_OpenClaimEnable    Open, ClaimDevice, DeviceEnabled of a scanner profile, then Close,
//                         repeated: /0 on one control object, /1 a new control object each time
//                         (the server library loaded afresh). Goal: < 50 ms median
//
// The latency benchmark plays the device itself on the pty master rather than through the
// simulator: the simulator would add its own reading of a command and its scheduling before the
// first byte is written, which no real scanner has, and would leave the moment the bytes hit
// the pty unknown. Here the clock starts right before write() on the master.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "sorvex/opos.h"
#include "tests/e2e_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using namespace sorvex::opos;
using Clock = std::chrono::steady_clock;
namespace e2e = sorvex::e2e;

// Median and 99th percentile of samples, in microseconds.
struct Percentiles {
    double median = 0;
    double p99 = 0;
};
Percentiles Summarize(std::vector<Clock::duration> samples) {
    Percentiles p;
    if (samples.empty()) {
        return p;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        const auto i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
        return std::chrono::duration<double, std::micro>(samples[i]).count();
    };
    p.median = at(0.5);
    p.p99 = at(0.99);
    return p;
}

// Reads from `fd` until `count` bytes came or `timeout` passed; answers how many came.
std::size_t Drain(int fd, std::size_t count, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    std::size_t got = 0;
    char buffer[4096];
    while (got < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        const ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got));
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        }
    }
    return got;
}

// An RS-232 scanner profile on COM3, whose device this benchmark plays on a pty.
struct Rs232Lane {
    Rs232Lane() {
        if (!e2e::RegisterServer()) {
            return;
        }
        e2e::MapComPort(3, pty.SlavePath());
        e2e::WriteScannerProfile(
            "Lane", {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}});
        registered = true;
    }
    sorvex::test::TempRoot root;
    e2e::Pty pty;
    bool registered = false;
};

// --- latency, beside the raw floor ---

// The floor: a plain reader thread blocked in poll() on the slave of another pty, stamping the
// moment the whole frame has arrived. It then tells the writer through a pipe, on which the
// writer sleeps in read() (as the application sleeps in poll() for its events): nobody spins.
class FloorReader {
  public:
    explicit FloorReader(std::size_t frameSize) : m_FrameSize(frameSize) {
        if (::pipe2(m_Done, O_CLOEXEC) != 0) {
            throw std::system_error(errno, std::generic_category(), "pipe2");
        }
        m_Thread = std::thread([this] { Run(); });
    }
    ~FloorReader() {
        m_Stop = true;
        m_Pty.Send(std::string(m_FrameSize, 'x'));  // wakes the reader
        m_Thread.join();
        ::close(m_Done[0]);
        ::close(m_Done[1]);
    }
    // Writes the frame on the master and answers the time until the reader had all of it.
    Clock::duration Sample(const std::string& frame) {
        const Clock::time_point sent = Clock::now();
        m_Pty.Send(frame);
        char done = 0;
        while (::read(m_Done[0], &done, 1) != 1) {
        }
        return m_Arrived - sent;  // written before the pipe was
    }

  private:
    void Run() {
        std::string buffer(m_FrameSize, '\0');
        while (!m_Stop) {
            std::size_t got = 0;
            while (got < m_FrameSize) {
                pollfd p{m_Pty.Slave(), POLLIN, 0};
                if (::poll(&p, 1, -1) <= 0) {
                    continue;
                }
                const ssize_t n = ::read(m_Pty.Slave(), buffer.data() + got, m_FrameSize - got);
                if (n > 0) {
                    got += static_cast<std::size_t>(n);
                }
            }
            m_Arrived = Clock::now();
            const char done = 1;
            (void)::write(m_Done[1], &done, 1);
        }
    }

    const std::size_t m_FrameSize;
    e2e::Pty m_Pty;
    int m_Done[2] = {-1, -1};
    std::atomic<bool> m_Stop{false};
    Clock::time_point m_Arrived;
    std::thread m_Thread;
};

void BM_LabelToDataEvent(benchmark::State& state) {
    Rs232Lane lane;
    OposScanner scanner;
    if (!lane.registered || !e2e::OpenClaimEnable(scanner, "Lane")) {
        state.SkipWithError("the scanner did not open on the pty");
        return;
    }
    scanner.SetDecodeData(true);
    Clock::time_point fired;
    std::size_t events = 0;
    std::string last;
    scanner.SetDataEventHandler([&](std::int32_t) {
        fired = Clock::now();
        last = scanner.ScanDataLabel();  // what an application does first
        ++events;
    });
    const std::string frame =
        "\x02"
        "c012345678905\x03";
    FloorReader floor(frame.size());
    std::vector<Clock::duration> endToEnd, raw;
    endToEnd.reserve(state.max_iterations);
    raw.reserve(state.max_iterations);
    for (auto _ : state) {
        raw.push_back(floor.Sample(frame));

        scanner.SetDataEventEnabled(true);
        const std::size_t before = events;
        const Clock::time_point sent = Clock::now();
        lane.pty.Send(frame);
        if (!WaitUntil([&] { return events != before; }, 5000)) {
            state.SkipWithError("a label did not arrive within 5 s");
            return;
        }
        endToEnd.push_back(fired - sent);
        state.PauseTiming();
        if (Drain(lane.pty.Master(), 2, 1s) != 2 || last != "012345678905") {
            state.SkipWithError("the label or its two ACKs were wrong");
            return;
        }
        state.ResumeTiming();
    }
    const Percentiles e = Summarize(endToEnd);
    const Percentiles f = Summarize(raw);
    state.counters["median_us"] = e.median;
    state.counters["p99_us"] = e.p99;
    state.counters["floor_median_us"] = f.median;
    state.counters["floor_p99_us"] = f.p99;
    state.counters["ratio_median"] = f.median > 0 ? e.median / f.median : 0;
    state.counters["ratio_p99"] = f.p99 > 0 ? e.p99 / f.p99 : 0;
    scanner.Close();
}
BENCHMARK(BM_LabelToDataEvent)->Iterations(3000)->UseRealTime()->Unit(benchmark::kMicrosecond);

// --- throughput ---

void BM_SustainedLabels(benchmark::State& state) {
    const auto kLabels = static_cast<std::size_t>(state.range(0));
    Rs232Lane lane;
    OposScanner scanner;
    if (!lane.registered || !e2e::OpenClaimEnable(scanner, "Lane")) {
        state.SkipWithError("the scanner did not open on the pty");
        return;
    }
    scanner.SetDecodeData(true);
    for (auto _ : state) {
        // The application's usual handler: read the label, ask for the next one.
        std::vector<std::string> got;
        got.reserve(kLabels);
        scanner.SetDataEventHandler([&](std::int32_t) {
            got.push_back(scanner.ScanData());
            scanner.SetDataEventEnabled(true);
        });
        std::string burst;
        burst.reserve(kLabels * 9);
        char label[32];
        for (std::size_t i = 0; i < kLabels; ++i) {
            std::snprintf(label, sizeof label, "\x02j%06zu\x03", i);
            burst += label;
        }
        std::atomic<bool> done{false};
        std::size_t acks = 0;
        std::thread drain([&] {
            while (!done) {
                acks += Drain(lane.pty.Master(), SIZE_MAX, 20ms);
            }
        });
        scanner.SetDataEventEnabled(true);
        const Clock::time_point start = Clock::now();
        std::thread device([&] { lane.pty.Send(burst); });
        WaitUntil([&] { return got.size() >= kLabels; }, 120000);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        device.join();
        // Anything more would be a duplicate.
        WaitUntil([] { return false; }, 200);
        done = true;
        drain.join();
        scanner.SetDataEventHandler(nullptr);

        std::size_t inOrder = 0;
        for (std::size_t i = 0; i < got.size() && i < kLabels; ++i) {
            std::snprintf(label, sizeof label, "%06zu", i);
            inOrder += got[i] == label ? 1 : 0;
        }
        state.counters["labels_per_s"] = static_cast<double>(got.size()) / seconds;
        state.counters["seconds"] = seconds;
        state.counters["delivered"] = static_cast<double>(got.size());
        state.counters["acks"] = static_cast<double>(acks);
        if (got.size() != kLabels || inOrder != kLabels || scanner.DataCount() != 0) {
            state.SkipWithError("labels lost, duplicated or out of order");
            return;
        }
    }
    scanner.Close();
}
BENCHMARK(BM_SustainedLabels)
    ->Arg(60000)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- idle cost ---

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
    };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// CPU ticks of each thread of this process, by thread name and id.
std::map<std::string, long> ThreadTicks() {
    std::map<std::string, long> ticks;
    DIR* dir = ::opendir("/proc/self/task");
    if (dir == nullptr) {
        return ticks;
    }
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        std::ifstream in(std::string("/proc/self/task/") + entry->d_name + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t open = text.find('('), close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        long utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14) {
                utime = std::stol(field);
            } else if (i == 15) {
                stime = std::stol(field);
            }
        }
        ticks[text.substr(open + 1, close - open - 1) + "/" + entry->d_name] = utime + stime;
    }
    ::closedir(dir);
    return ticks;
}

void BM_IdleCpu(benchmark::State& state) {
    sorvex::test::TempRoot root;
    if (!e2e::RegisterServer()) {
        state.SkipWithError("cannot register libTalvexSO.so");
        return;
    }
    // The simulator's output is read only until it is ready: no thread of this process polls it.
    sorvex::test::Subprocess sim({sorvex::test::BinPath("sorvex-sim").string(), "--model",
                                  "scanner-scale", "--port", "COM3", "--linger"});
    std::optional<std::string> ready;
    while ((ready = sim.ReadLine(20s)) && ready->find("\"ready\"") == std::string::npos) {
    }
    if (!ready) {
        state.SkipWithError("sorvex-sim did not get ready");
        return;
    }
    e2e::WriteScannerProfile(
        "Front", {{"Model", "Heronix/2110"}, {"Scanner Version", "0"}, {"Serial Port", "3"}});
    e2e::WriteScaleProfile("Deli", {{"Scale Version", "0"}, {"Serial Port", "3"}});
    OposScanner scanner;
    OposScale scale;
    if (!e2e::OpenClaimEnable(scanner, "Front") || !e2e::OpenClaimEnable(scale, "Deli")) {
        state.SkipWithError("the scanner or the scale did not open");
        return;
    }
    scanner.SetDataEventEnabled(true);
    scale.SetAsyncMode(true);
    scale.SetDataEventEnabled(true);
    WaitForEvents(500);  // let the enabling settle
    const auto window = std::chrono::seconds(state.range(0));
    for (auto _ : state) {
        const std::map<std::string, long> before = ThreadTicks();
        const double cpu = CpuSeconds();
        const Clock::time_point start = Clock::now();
        // The application waits for events, as it would at an idle lane.
        while (Clock::now() - start < window) {
            WaitForEvents(static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               window - (Clock::now() - start))
                                               .count()));
        }
        const double used = CpuSeconds() - cpu;
        const double wall = std::chrono::duration<double>(Clock::now() - start).count();
        state.counters["cpu_ms"] = used * 1000;
        state.counters["cpu_percent_of_core"] = 100 * used / wall;
        const std::map<std::string, long> after = ThreadTicks();
        state.counters["threads"] = static_cast<double>(after.size());
        for (const auto& [thread, ticks] : after) {
            const auto was = before.find(thread);
            const long spent = ticks - (was == before.end() ? 0 : was->second);
            if (spent > 0) {
                std::fprintf(stderr, "BM_IdleCpu: thread %s used %ld ticks\n", thread.c_str(),
                             spent);
            }
        }
    }
    scanner.Close();
    scale.Close();
    sim.CloseStdin();
}
BENCHMARK(BM_IdleCpu)->Arg(10)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- opening ---

void BM_OpenClaimEnable(benchmark::State& state) {
    const bool fresh = state.range(0) != 0;
    Rs232Lane lane;
    if (!lane.registered) {
        state.SkipWithError("cannot register libTalvexSO.so");
        return;
    }
    std::vector<Clock::duration> opening, open, claim, enable, closing;
    std::unique_ptr<OposScanner> scanner;
    for (auto _ : state) {
        if (!scanner || fresh) {
            scanner.reset();  // the last control object: the server library is unloaded
            scanner = std::make_unique<OposScanner>();
        }
        const Clock::time_point start = Clock::now();
        const std::int32_t opened = scanner->Open("Lane");
        const Clock::time_point t1 = Clock::now();
        const std::int32_t claimed = scanner->ClaimDevice(1000);
        const Clock::time_point t2 = Clock::now();
        scanner->SetDeviceEnabled(true);
        const std::int32_t enabled = scanner->ResultCode();
        const Clock::time_point t3 = Clock::now();
        if (opened != OPOS_SUCCESS || claimed != OPOS_SUCCESS || enabled != OPOS_SUCCESS) {
            state.SkipWithError("Open, ClaimDevice or DeviceEnabled failed");
            return;
        }
        if (scanner->Close() != OPOS_SUCCESS) {
            state.SkipWithError("Close failed");
            return;
        }
        const Clock::time_point closed = Clock::now();
        opening.push_back(t3 - start);
        open.push_back(t1 - start);
        claim.push_back(t2 - t1);
        enable.push_back(t3 - t2);
        closing.push_back(closed - t3);
    }
    scanner.reset();
    const Percentiles o = Summarize(opening);
    state.counters["open_claim_enable_median_ms"] = o.median / 1000;
    state.counters["open_claim_enable_p99_ms"] = o.p99 / 1000;
    state.counters["open_median_ms"] = Summarize(open).median / 1000;
    state.counters["claim_median_ms"] = Summarize(claim).median / 1000;
    state.counters["enable_median_ms"] = Summarize(enable).median / 1000;
    state.counters["close_median_ms"] = Summarize(closing).median / 1000;
}
BENCHMARK(BM_OpenClaimEnable)
    ->Arg(0)
    ->Arg(1)
    ->Iterations(100)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
