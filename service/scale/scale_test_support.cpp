#include "service/scale/scale_test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

#include "platform/registry/registry.h"
#include "platform/window/window.h"
#include "service/frame/registry_values.h"
#include "service/links/usb_device_info.h"

namespace talvex::test {

namespace reg = sorvex::registry;

std::string SerialReply(int s0, int s1, int s2, const std::string& digits) {
    std::string frame = "\xF8";
    for (int s : {s0, s1, s2}) {
        frame += static_cast<char>('0' + s / 10);
        frame += static_cast<char>('0' + s % 10);
    }
    return frame + digits + "\xF1";
}

std::string UsbReport(const std::string& status, const std::string& digits) {
    return std::string(1, '\0') + status + digits;
}

void CommandLog::Add(const std::string& command) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Commands.push_back(command);
    }
    m_Changed.notify_all();
}

std::vector<std::string> CommandLog::All() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Commands;
}

std::size_t CommandLog::CountOf(const std::string& command) const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::size_t n = 0;
    for (const std::string& c : m_Commands) {
        n += c == command ? 1 : 0;
    }
    return n;
}

std::size_t CommandLog::Count() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Commands.size();
}

bool CommandLog::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_Mutex);
    return m_Changed.wait_for(lock, timeout, [&] { return m_Commands.size() >= count; });
}

PtyScale::PtyScale(int port) {
    MapComPort(port, m_Pty.SlavePath());
    if (::pipe2(m_StopPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("PtyScale: pipe2 failed");
    }
    m_Thread = std::thread([this] { Run(); });
}

PtyScale::~PtyScale() {
    char stop = 1;
    (void)!::write(m_StopPipe[1], &stop, 1);
    m_Thread.join();
    ::close(m_StopPipe[0]);
    ::close(m_StopPipe[1]);
}

void PtyScale::SetResponder(ScaleResponder responder) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Responder = std::move(responder);
}

void PtyScale::Send(const std::string& bytes) {
    m_Pty.Send(bytes);
}

void PtyScale::Run() {
    std::string buffer;
    for (;;) {
        pollfd fds[2] = {{m_Pty.Master(), POLLIN, 0}, {m_StopPipe[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            continue;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            // The host side hung up for a moment (the link closed); wait for it to come back.
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        char chunk[256];
        ssize_t n = ::read(m_Pty.Master(), chunk, sizeof chunk);
        if (n <= 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        buffer.append(chunk, static_cast<std::size_t>(n));
        for (;;) {
            std::size_t start = buffer.find('\xF8');
            if (start == std::string::npos) {
                buffer.clear();
                break;
            }
            if (buffer.size() - start < 7) {
                buffer.erase(0, start);
                break;
            }
            std::string command = buffer.substr(start, 7);
            buffer.erase(0, start + 7);
            m_Log.Add(command);
            ScaleResponder responder;
            {
                std::lock_guard<std::mutex> lock(m_Mutex);
                responder = m_Responder;
            }
            std::string answer = responder ? responder(command) : std::string();
            if (!answer.empty()) {
                m_Pty.Send(answer);
            }
        }
    }
}

UsbScale::UsbScale() {
    sorvex::hid::SimulatedHidServer::Handlers handlers;
    handlers.outputReport = [this](std::string_view report) {
        std::string command(report);
        m_Log.Add(command);
        ScaleResponder responder;
        sorvex::hid::SimulatedHidServer* server = nullptr;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            responder = m_Responder;
            server = m_Server.get();
        }
        std::string answer = responder ? responder(command) : std::string();
        if (!answer.empty() && server != nullptr) {
            server->SendReport(answer);
        }
    };
    auto server = sorvex::hid::SimulatedHidServer::Create("scale", 0xFF45, kUsageScaleFirst,
                                                          MakerVendorId, 0x0001, handlers);
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Server = std::move(server);
}

UsbScale::~UsbScale() {
    std::unique_ptr<sorvex::hid::SimulatedHidServer> server;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        server = std::move(m_Server);
    }
    server.reset();  // waits for the server thread, whose handler may still run
}

void UsbScale::SetResponder(ScaleResponder responder) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Responder = std::move(responder);
}

void UsbScale::Send(const std::string& report) {
    sorvex::hid::SimulatedHidServer* server = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        server = m_Server.get();
    }
    server->SendReport(report);
}

void WriteScaleProfile(const std::string& name, const std::string& version,
                       const std::string& serialPort, const std::string& display,
                       const std::string& weightUnit) {
    reg::Key key;
    const std::string path = std::string(kProfileRoot) + "\\Scale\\" + name;
    if (reg::Key::Create(reg::Hive::LocalMachine, path, key) != reg::Status::Ok) {
        throw std::runtime_error("cannot create " + path);
    }
    auto set = [&](const char* value, const std::string& text) {
        if (!text.empty() && key.SetString(value, text) != reg::Status::Ok) {
            throw std::runtime_error(std::string("cannot set ") + value + " in " + path);
        }
    };
    set("", "Orvanta.OPOS.Scale");
    set("Scale Version", version);
    set("Serial Port", serialPort);
    set("Display", display);
    set("WeightUnit", weightUnit);
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        sorvex::window::WaitAndPump(5);
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline) {
        sorvex::window::WaitAndPump(5);
    }
}

}  // namespace talvex::test
