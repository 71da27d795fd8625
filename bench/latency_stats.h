// Latency samples of a benchmark, reported as median and 99th percentile in microseconds.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

namespace sorvex::bench {

class LatencySamples {
  public:
    explicit LatencySamples(std::size_t expected) { m_Samples.reserve(expected); }
    void Add(std::chrono::steady_clock::duration d) { m_Samples.push_back(d); }
    void Report(benchmark::State& state) {
        if (m_Samples.empty()) {
            return;
        }
        std::sort(m_Samples.begin(), m_Samples.end());
        auto at = [&](double q) {
            auto i = static_cast<std::size_t>(q * static_cast<double>(m_Samples.size() - 1));
            return std::chrono::duration<double, std::micro>(m_Samples[i]).count();
        };
        state.counters["median_us"] = at(0.5);
        state.counters["p99_us"] = at(0.99);
        state.counters["max_us"] = at(1.0);
    }

  private:
    std::vector<std::chrono::steady_clock::duration> m_Samples;
};

}  // namespace sorvex::bench
