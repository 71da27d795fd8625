#include "service/links/link_test_support.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "platform/registry/registry.h"
#include "platform/root/state_root.h"
#include "service/frame/log.h"

namespace talvex::test {

namespace reg = sorvex::registry;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

void MapComPort(int number, const std::string& target) {
    reg::Key key;
    if (reg::Key::Create(reg::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM", key) !=
            reg::Status::Ok ||
        key.SetString("COM" + std::to_string(number), target) != reg::Status::Ok) {
        throw std::runtime_error("cannot map COM" + std::to_string(number));
    }
}

void SetServiceInfo(const std::string& name, const std::string& value) {
    reg::Key key;
    if (reg::Key::Create(reg::Hive::LocalMachine, "SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta",
                         key) != reg::Status::Ok ||
        key.SetString(name, value) != reg::Status::Ok) {
        throw std::runtime_error("cannot set ServiceInfo value " + name);
    }
}

TraceCapture::TraceCapture(int level) {
    g_Log.Flush();
    g_Log.Reopen();
    g_Log.SetLevel(level);
}

TraceCapture::~TraceCapture() {
    g_Log.Flush();
    g_Log.SetLevel(-1);
    g_Log.Reopen();
}

std::vector<TraceLine> TraceCapture::Lines() const {
    g_Log.Flush();
    std::ifstream in(sorvex::root::MapWindowsPath("C:\\Sorvex2.log"), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    const std::string all = text.str();
    std::vector<TraceLine> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = all.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = all.substr(start, end - start);
        // "MM/DD/YYYY  HH:MM:SS.mmm    LL    <tag, width 15>    <message>"
        if (line.size() < 34) {
            continue;
        }
        TraceLine parsed;
        parsed.level = std::stoi(line.substr(28, 2));
        std::size_t tagEnd = line.find(' ', 34);
        if (tagEnd == std::string::npos) {
            continue;
        }
        parsed.tag = line.substr(34, tagEnd - 34);
        std::size_t messageStart = 34 + std::max<std::size_t>(parsed.tag.size(), 15) + 4;
        parsed.message = messageStart <= line.size() ? line.substr(messageStart) : std::string();
        lines.push_back(std::move(parsed));
    }
    return lines;
}

std::vector<std::string> TraceCapture::Messages(const std::string& tag) const {
    std::vector<std::string> messages;
    for (const TraceLine& line : Lines()) {
        if (line.tag == tag) {
            messages.push_back(line.message);
        }
    }
    return messages;
}

bool TraceCapture::Has(int level, const std::string& tag, const std::string& message) const {
    for (const TraceLine& line : Lines()) {
        if (line.level == level && line.tag == tag && line.message == message) {
            return true;
        }
    }
    return false;
}

int Recorder::Frame(void* context, const std::string& data) {
    return static_cast<Recorder*>(context)->Record(data, 0);
}

int Recorder::Report(void* context, const std::string& report, int lost) {
    return static_cast<Recorder*>(context)->Record(report, lost);
}

void Recorder::SetResult(int result) {
    std::lock_guard lock(m_Mutex);
    m_Result = result;
}

void Recorder::SetHook(std::function<void(const std::string&)> hook) {
    std::lock_guard lock(m_Mutex);
    m_Hook = std::move(hook);
}

int Recorder::Record(const std::string& data, int lost) {
    std::function<void(const std::string&)> hook;
    int result;
    {
        std::lock_guard lock(m_Mutex);
        m_Calls.push_back(Call{data, lost});
        hook = m_Hook;
        result = m_Result;
    }
    m_Changed.notify_all();
    if (hook) {
        hook(data);
    }
    return result;
}

std::vector<Recorder::Call> Recorder::Calls() const {
    std::lock_guard lock(m_Mutex);
    return m_Calls;
}

std::vector<std::string> Recorder::Data() const {
    std::vector<std::string> data;
    for (const Call& call : Calls()) {
        data.push_back(call.data);
    }
    return data;
}

std::size_t Recorder::Count() const {
    std::lock_guard lock(m_Mutex);
    return m_Calls.size();
}

bool Recorder::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Calls.size() >= count; });
}

}  // namespace talvex::test
