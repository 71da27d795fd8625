#include "tools/sorvex-sim/transport.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "platform/hid/simulated_hid_server.h"
#include "platform/serial/rfc2217_server.h"
#include "tools/sorvex-sim/json_log.h"

namespace sorvex::sim {

namespace {

std::runtime_error SystemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

// A pty pair: the simulator holds the master, the host opens the slave by name. The simulator
// also keeps the slave open (in raw mode), so the master does not read as hung up while no
// host has the port open. Unplug closes both ends: the host's reads end with an error.
class PtyTransport final : public Transport {
  public:
    explicit PtyTransport(JsonLog& log) : m_Log(log) {}
    ~PtyTransport() override { Close(); }

    void Start(HostData onData) override {
        m_OnData = std::move(onData);
        Open();
    }

    bool Send(std::string_view bytes) override {
        std::lock_guard<std::mutex> lock(m_WriteLock);
        if (m_Master < 0) {
            return false;
        }
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(m_Master, bytes.data() + done, bytes.size() - done);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                if (errno == EAGAIN) {
                    pollfd p{m_Master, POLLOUT, 0};
                    ::poll(&p, 1, 100);
                    continue;
                }
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    void Unplug() override { Close(); }
    void Replug() override {
        if (m_Master < 0) {
            Open();
        }
    }
    bool Plugged() const override { return m_Master >= 0; }
    std::string Endpoint() const override { return m_SlaveName; }
    bool ReportBased() const override { return false; }
    const char* Kind() const override { return "pty"; }

  private:
    void Open() {
        int master = -1, slave = -1;
        char name[256];
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
            throw SystemError("openpty");
        }
        termios raw{};
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
        m_Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        {
            std::lock_guard<std::mutex> lock(m_WriteLock);
            m_Master = master;
        }
        m_Slave = slave;
        m_SlaveName = name;
        m_Reader = std::thread([this, master] { Read(master); });
    }

    void Close() {
        if (m_Master < 0) {
            return;
        }
        std::uint64_t one = 1;
        ssize_t ignored = ::write(m_Wake, &one, sizeof one);
        (void)ignored;
        m_Reader.join();
        {
            std::lock_guard<std::mutex> lock(m_WriteLock);
            ::close(m_Master);
            m_Master = -1;
        }
        ::close(m_Slave);
        ::close(m_Wake);
        m_Slave = m_Wake = -1;
    }

    void Read(int master) {
        char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{master, POLLIN, 0}, {m_Wake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return;
            }
            if (fds[1].revents != 0) {
                return;
            }
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                m_OnData(std::string_view(buffer, static_cast<std::size_t>(n)));
            } else if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO) {
                m_Log.Error(std::string("pty read: ") + std::strerror(errno));
                return;
            }
        }
    }

    JsonLog& m_Log;
    HostData m_OnData;
    std::mutex m_WriteLock;
    int m_Master = -1;
    int m_Slave = -1;
    int m_Wake = -1;
    std::string m_SlaveName;
    std::thread m_Reader;
};

class Rfc2217Transport final : public Transport {
  public:
    Rfc2217Transport(JsonLog& log, bool usbVirtualPort)
        : m_Log(log), m_UsbVirtualPort(usbVirtualPort) {}

    void Start(HostData onData) override {
        m_OnData = std::move(onData);
        Open();
    }
    bool Send(std::string_view bytes) override {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Server && m_Server->Send(bytes);
    }
    void Unplug() override {
        std::unique_ptr<serial::Rfc2217Server> server;
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            server = std::move(m_Server);
        }
        server.reset();  // drops the client; the port is gone
    }
    void Replug() override {
        if (!Plugged()) {
            Open();
        }
    }
    bool Plugged() const override {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Server != nullptr;
    }
    std::string Endpoint() const override {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Server ? m_Server->Url() : m_LastUrl;
    }
    bool ReportBased() const override { return false; }
    const char* Kind() const override { return "rfc2217"; }

  private:
    void Open() {
        serial::Rfc2217Server::Options options;
        options.model.ignoreBaud300 = m_UsbVirtualPort;
        options.onRequest = [this](const serial::rfc2217::ComPortMessage&,
                                   const serial::rfc2217::ServerModel& model) {
            m_Log.Event("line", {{"baud", JsonLog::Number(model.settings.baudRate)},
                                 {"break", JsonLog::Bool(model.breakOn)}});
        };
        auto server = std::make_unique<serial::Rfc2217Server>(
            [this](std::string_view bytes) { m_OnData(bytes); }, options);
        std::lock_guard<std::mutex> lock(m_Lock);
        m_LastUrl = server->Url();
        m_Server = std::move(server);
    }

    JsonLog& m_Log;
    bool m_UsbVirtualPort;
    HostData m_OnData;
    mutable std::mutex m_Lock;
    std::unique_ptr<serial::Rfc2217Server> m_Server;
    std::string m_LastUrl;
};

class HidTransport final : public Transport {
  public:
    HidTransport(JsonLog& log, HidDeviceOptions options)
        : m_Log(log), m_Options(std::move(options)) {}

    void Start(HostData onData) override {
        m_OnData = std::move(onData);
        hid::SimulatedHidServer::Handlers handlers;
        handlers.outputReport = [this](std::string_view report) { m_OnData(report); };
        handlers.hostsChanged = [this](std::size_t hosts) {
            m_Log.Event("hosts", {{"count", JsonLog::Number(static_cast<std::int64_t>(hosts))}});
        };
        handlers.error = [this](const std::string& message) { m_Log.Error(message); };
        m_Server = hid::SimulatedHidServer::Create(m_Options.name, m_Options.usagePage,
                                                   m_Options.usage, m_Options.vendorId,
                                                   m_Options.productId, std::move(handlers));
    }
    bool Send(std::string_view bytes) override { return m_Server->SendReport(bytes); }
    void Unplug() override { m_Server->Unplug(); }
    void Replug() override { m_Server->Replug(); }
    bool Plugged() const override { return m_Server->IsPlugged(); }
    std::string Endpoint() const override { return m_Server->Path(); }
    bool ReportBased() const override { return true; }
    const char* Kind() const override { return "hid"; }

  private:
    JsonLog& m_Log;
    HidDeviceOptions m_Options;
    HostData m_OnData;
    std::unique_ptr<hid::SimulatedHidServer> m_Server;
};

}  // namespace

std::unique_ptr<Transport> MakePtyTransport(JsonLog& log) {
    return std::make_unique<PtyTransport>(log);
}

std::unique_ptr<Transport> MakeRfc2217Transport(JsonLog& log, bool usbVirtualPort) {
    return std::make_unique<Rfc2217Transport>(log, usbVirtualPort);
}

std::unique_ptr<Transport> MakeHidTransport(JsonLog& log, const HidDeviceOptions& options) {
    return std::make_unique<HidTransport>(log, options);
}

}  // namespace sorvex::sim
