#include "tests/scale_sim.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

#include "tests/support/temp_root.h"

namespace talvex::test {

using namespace std::chrono_literals;

namespace {

// The text of a string field of a JSON line, escapes left as they are.
std::string Field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": \"";
    std::size_t start = line.find(key);
    if (start == std::string::npos) {
        return "";
    }
    start += key.size();
    std::size_t end = start;
    while (end < line.size() && line[end] != '"') {
        end += line[end] == '\\' ? 2 : 1;
    }
    return line.substr(start, std::min(end, line.size()) - start);
}

}  // namespace

SimulatedDevice::SimulatedDevice(std::vector<std::string> arguments) {
    std::vector<std::string> argv = {sorvex::test::BinPath("sorvex-sim").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    m_Child = std::make_unique<sorvex::test::Subprocess>(argv);
    m_Drain = std::thread([this] { Drain(); });
    if (!WaitForCount("ready", "", 1, 20s)) {
        std::string args;
        for (const std::string& a : arguments) {
            args += " " + a;
        }
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Stop = true;
        }
        m_Drain.join();
        throw std::runtime_error("sorvex-sim" + args + " did not get ready: " + m_Child->Stderr());
    }
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (const Event& e : m_Events) {
        if (e.name == "ready") {
            m_Endpoint = Field(e.line, "endpoint");
        }
    }
}

SimulatedDevice::~SimulatedDevice() {
    if (m_Drain.joinable()) {
        try {
            m_Child->Write("quit\n");
        } catch (const std::exception&) {
            // already gone
        }
        {
            std::unique_lock<std::mutex> lock(m_Mutex);
            m_Changed.wait_for(lock, 10s, [&] { return m_Ended; });
            m_Stop = true;
        }
        m_Drain.join();
    }
    m_Child->Wait(10s);
}

void SimulatedDevice::Drain() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Stop) {
                return;
            }
        }
        std::optional<std::string> line = m_Child->ReadLine(50ms);
        if (!line) {
            if (m_Child->PendingStdout().empty()) {
                // Either nothing arrived yet or the output ended; ReadLine tells apart by
                // returning at once.
                std::this_thread::sleep_for(1ms);
            }
            continue;
        }
        Event e;
        e.name = Field(*line, "event");
        e.detail = Field(*line, e.name == "error" ? "message" : "detail");
        e.hex = Field(*line, "hex");
        std::size_t t = line->find("\"t\": ");
        if (t != std::string::npos) {
            e.t = std::atof(line->c_str() + t + 5);
        }
        e.line = *line;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            m_Ended = m_Ended || e.name == "exit";
            m_Events.push_back(std::move(e));
        }
        m_Changed.notify_all();
    }
}

void SimulatedDevice::Write(const std::string& line) {
    m_Child->Write(line + "\n");
}

void SimulatedDevice::CountNew(const std::string& name, const std::string& prefix,
                               std::size_t* seen, std::size_t* count) const {
    for (; *seen < m_Events.size(); ++*seen) {
        const Event& e = m_Events[*seen];
        *count += (e.name == name && e.detail.rfind(prefix, 0) == 0) ? 1 : 0;
    }
}

bool SimulatedDevice::Apply(const std::string& line) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    std::size_t seen = m_Events.size();
    lock.unlock();
    Write(line);
    lock.lock();
    std::size_t appliedSeen = seen, applied = 0, errorSeen = seen, errors = 0;
    m_Changed.wait_for(lock, std::chrono::seconds(10), [&] {
        CountNew("applied", "", &appliedSeen, &applied);
        CountNew("error", "", &errorSeen, &errors);
        return applied + errors > 0;
    });
    return applied > 0;
}

void SimulatedDevice::Sync() {
    if (!Apply("mark sync-" + std::to_string(++m_Marks))) {
        throw std::runtime_error("sorvex-sim did not answer a mark");
    }
}

std::vector<SimulatedDevice::Event> SimulatedDevice::Events() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Events;
}

std::size_t SimulatedDevice::Count(const std::string& name, const std::string& prefix) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::size_t seen = 0, n = 0;
    CountNew(name, prefix, &seen, &n);
    return n;
}

bool SimulatedDevice::WaitForCount(const std::string& name, const std::string& prefix,
                                   std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    std::size_t seen = 0, n = 0;
    return m_Changed.wait_for(lock, timeout, [&] {
        CountNew(name, prefix, &seen, &n);
        return n >= count;
    });
}

}  // namespace talvex::test
