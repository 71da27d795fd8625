#include "service/scanner/scanner_test_support.h"

#include <stdexcept>

#include "platform/registry/registry.h"
#include "platform/window/window.h"
#include "service/frame/opos.h"
#include "service/frame/registry_values.h"
#include "tests/support/temp_root.h"

namespace talvex::test {

namespace reg = sorvex::registry;

namespace {

std::string ProfilePath(const std::string& name) {
    return std::string(kProfileRoot) + "\\Scanner\\" + name;
}

void SetString(const std::string& path, const std::string& name, const std::string& value) {
    reg::Key key;
    if (reg::Key::Create(reg::Hive::LocalMachine, path, key) != reg::Status::Ok ||
        key.SetString(name, value) != reg::Status::Ok) {
        throw std::runtime_error("cannot write HKLM\\" + path + "\\" + name);
    }
}

}  // namespace

void WriteScannerProfile(const std::string& name, const ScannerProfile& profile) {
    const std::string path = ProfilePath(name);
    reg::DeleteTree(reg::Hive::LocalMachine, path);
    SetString(path, "", "Orvanta.Opos.Scanner");
    if (!profile.model.empty()) {
        SetString(path, "Model", profile.model);
    }
    if (profile.kind) {
        SetString(path, "Scanner Version", *profile.kind);
    }
    if (profile.port) {
        SetString(path, "Serial Port", *profile.port);
    }
    if (profile.firstPosUsbUnit) {
        SetString(path, "FirstPosUsbUnit", *profile.firstPosUsbUnit);
    }
}

std::optional<std::string> ReadScannerProfileValue(const std::string& name,
                                                   const std::string& value) {
    reg::Key key;
    reg::Value v;
    if (reg::Key::Open(reg::Hive::LocalMachine, ProfilePath(name), reg::kRead, key) !=
            reg::Status::Ok ||
        key.Get(value, v) != reg::Status::Ok) {
        return std::nullopt;
    }
    return v.data;
}

void SetGlobalValue(const std::string& name, const std::string& value) {
    SetString(kServiceInfoKey, name, value);
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        sorvex::window::WaitAndPump(5);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        sorvex::window::WaitAndPump(5);
    }
}

std::function<void(std::chrono::milliseconds)> PauseRecorder::Hook() {
    return [this](std::chrono::milliseconds d) {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Pauses.push_back(static_cast<int>(d.count()));
    };
}

std::vector<int> PauseRecorder::Pauses() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Pauses;
}

void PauseRecorder::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Pauses.clear();
}

ScannerTimings FastTimings(std::chrono::milliseconds statisticsReply) {
    ScannerTimings t;
    t.statisticsReply = statisticsReply;
    t.reconnectPause = 20ms;
    t.reconnectSettle = 1ms;
    t.reconnectPeriodMs = 10;
    return t;
}

ScannerObject::ScannerObject(ScannerTimings timings) {
    if (!scanner.CreateDeviceWindow()) {
        throw std::runtime_error("cannot create the scanner's window");
    }
    scanner.SetTimings(std::move(timings));
}

ScannerObject::~ScannerObject() {
    scanner.CloseService();
}

std::int32_t ScannerObject::Open(const std::string& profile) {
    return scanner.OpenService("Scanner", profile, &control);
}

std::int32_t ScannerObject::OpenClaimEnable(const std::string& profile) {
    std::int32_t rc = Open(profile);
    if (rc != OPOS_SUCCESS) {
        return rc;
    }
    rc = scanner.ClaimDevice(1000);
    if (rc != OPOS_SUCCESS) {
        return rc;
    }
    scanner.SetPropertyNumber(PIDX_DeviceEnabled, 1);
    return scanner.ResultCode();
}

std::int32_t ScannerObject::Number(std::int32_t index) {
    std::int32_t value = -12345;
    scanner.GetPropertyNumber(index, &value);
    return value;
}

std::string ScannerObject::String(std::int32_t index) {
    return scanner.GetPropertyString(index);
}

void ScannerObject::Set(std::int32_t index, std::int32_t value) {
    scanner.SetPropertyNumber(index, value);
}

bool ScannerObject::WaitForDataEvents(std::size_t count, std::chrono::milliseconds timeout) {
    // DataEventEnabled is set again only once the event it let through has been fired: the
    // delivery thread clears it before the hop to this thread, and setting it again in that gap
    // would let the next label overwrite the properties before the caller reads them.
    std::size_t armedUntil = DataEvents();
    if (scanner.StatusBits() & kDataEventEnabled) {
        ++armedUntil;
    }
    return PumpUntil(
        [&] {
            const std::size_t fired = DataEvents();
            if (fired >= count) {
                return true;
            }
            if (!(scanner.StatusBits() & kDataEventEnabled) && fired >= armedUntil) {
                scanner.SetPropertyNumber(PIDX_DataEventEnabled, 1);
                armedUntil = fired + 1;
            }
            return false;
        },
        timeout);
}

// ---------------------------------------------------------------------------------------------

SimProcess::SimProcess(std::vector<std::string> args) {
    args.insert(args.begin(), sorvex::test::BinPath("sorvex-sim").string());
    m_Child = std::make_unique<sorvex::test::Subprocess>(args);
    m_Reader = std::thread([this] { Read(); });
    std::unique_lock<std::mutex> lock(m_Lock);
    m_Changed.wait_for(lock, kScannerPatience, [&] { return !m_Ready.empty() || m_Ended; });
}

SimProcess::~SimProcess() {
    try {
        m_Child->Write("quit\n");
    } catch (const std::exception&) {
        // the simulator is gone already
    }
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Stop = true;
    }
    m_Reader.join();
    m_Child->Wait(10s);
}

void SimProcess::Read() {
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            if (m_Stop) {
                return;
            }
        }
        std::optional<std::string> line = m_Child->ReadLine(20ms);
        if (!line) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_Lock);
        if (m_Ready.empty() && line->find("\"event\": \"ready\"") != std::string::npos) {
            m_Ready = *line;
        }
        m_Lines.push_back(std::move(*line));
        m_Changed.notify_all();
    }
}

bool SimProcess::Ready() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return !m_Ready.empty();
}

std::string SimProcess::Endpoint() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return Field(m_Ready, "endpoint");
}

void SimProcess::Command(const std::string& line) {
    m_Child->Write(line + "\n");
}

std::vector<std::string> SimProcess::Events(const std::string& event) const {
    const std::string key = "\"event\": \"" + event + "\"";
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<std::string> out;
    for (const std::string& line : m_Lines) {
        if (line.find(key) != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

std::vector<std::string> SimProcess::Commands() const {
    std::vector<std::string> out;
    for (const std::string& line : Events("command")) {
        out.push_back(Field(line, "detail"));
    }
    return out;
}

std::vector<std::string> SimProcess::Errors() const {
    std::vector<std::string> out;
    for (const std::string& line : Events("error")) {
        out.push_back(Field(line, "message"));
    }
    return out;
}

bool SimProcess::WaitFor(const std::function<bool(const SimProcess&)>& done,
                         std::chrono::milliseconds timeout) const {
    return PumpUntil([&] { return done(*this); }, timeout);
}

bool SimProcess::WaitForCommands(std::size_t count, std::chrono::milliseconds timeout) const {
    return WaitFor([count](const SimProcess& sim) { return sim.Commands().size() >= count; },
                   timeout);
}

std::string SimProcess::Stderr() const {
    return "(the simulator's standard error is shown when it ends)";
}

std::string SimProcess::Field(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\": \"";
    std::size_t i = line.find(key);
    if (i == std::string::npos) {
        return "";
    }
    std::string out;
    for (i += key.size(); i < line.size() && line[i] != '"'; ++i) {
        if (line[i] != '\\' || i + 1 >= line.size()) {
            out += line[i];
            continue;
        }
        const char e = line[++i];
        if (e == 'u' && i + 4 < line.size()) {
            out += static_cast<char>(std::stoi(line.substr(i + 1, 4), nullptr, 16));
            i += 4;
        } else if (e == 'n') {
            out += '\n';
        } else if (e == 't') {
            out += '\t';
        } else if (e == 'r') {
            out += '\r';
        } else {
            out += e;
        }
    }
    return out;
}

}  // namespace talvex::test
