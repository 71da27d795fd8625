#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

#include "platform/serial/rfc2217_server.h"
#include "platform/serial/serial_port.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::serial {
namespace {

using namespace std::chrono_literals;

std::string AllBytes(int copies) {
    std::string s;
    for (int c = 0; c < copies; ++c) {
        for (int i = 0; i < 256; ++i) {
            s.push_back(static_cast<char>(i));
        }
    }
    return s;
}

// What the server received, for the test thread to wait on.
class Inbox {
  public:
    void Add(std::string_view bytes) {
        std::lock_guard lock(m_Mutex);
        m_Data.append(bytes);
        m_Changed.notify_all();
    }
    std::string WaitFor(std::size_t size) {
        std::unique_lock lock(m_Mutex);
        m_Changed.wait_for(lock, 10s, [&] { return m_Data.size() >= size; });
        return m_Data;
    }

  private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::string m_Data;
};

// Reads through the port until `size` bytes came, the read is cancelled or the port fails.
std::string ReadAll(Port& port, std::size_t size, unsigned long* error = nullptr) {
    std::string got;
    auto reader = std::async(std::launch::async, [&] {
        char buffer[1000];
        try {
            while (got.size() < size) {
                std::size_t n = port.Read(buffer, sizeof buffer);
                if (n == 0) {
                    return;
                }
                got.append(buffer, n);
            }
        } catch (const PortError& e) {
            if (error != nullptr) {
                *error = e.code();
            }
        }
    });
    if (reader.wait_for(10s) != std::future_status::ready) {
        port.CancelRead();
    }
    reader.get();
    return got;
}

std::uint16_t FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(s);
    return ntohs(addr.sin_port);
}

class Loopback : public ::testing::Test {
  protected:
    void Start(rfc2217::ServerModel model = {}) {
        Rfc2217Server::Options options;
        options.model = model;
        options.onRequest = [this](const rfc2217::ComPortMessage&,
                                   const rfc2217::ServerModel& after) {
            std::lock_guard lock(m_Mutex);
            m_Model = after;
            m_Changed.notify_all();
        };
        m_Server = std::make_unique<Rfc2217Server>([this](std::string_view b) { m_Inbox.Add(b); },
                                                   options);
    }
    // Waits (10 s at most) until a request left the model as `done` wants it.
    template <typename Pred>
    bool WaitForModel(Pred done) {
        std::unique_lock lock(m_Mutex);
        return m_Changed.wait_for(lock, 10s, [&] { return done(m_Model); });
    }

    Inbox m_Inbox;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    rfc2217::ServerModel m_Model;
    std::unique_ptr<Rfc2217Server> m_Server;
};

TEST_F(Loopback, SettingsAreSetAndReadBackFromTheServersAnswers) {
    Start();
    auto port = OpenPort(m_Server->Url());
    EXPECT_EQ(port->Name(), m_Server->Url());
    EXPECT_FALSE(port->OnUsbBus());
    EXPECT_EQ(port->GetSettings().baudRate, 9600u);

    LineSettings want;
    want.baudRate = 19200;
    want.dataBits = 7;
    want.parity = Parity::Even;
    want.stopBits = StopBits::Two;
    want.xonXoff = true;
    want.dtr = true;
    port->SetSettings(want);
    LineSettings got = port->GetSettings();
    EXPECT_EQ(got.baudRate, 19200u);
    EXPECT_EQ(got.dataBits, 7);
    EXPECT_EQ(got.parity, Parity::Even);
    EXPECT_EQ(got.stopBits, StopBits::Two);
    EXPECT_TRUE(got.xonXoff);
    EXPECT_TRUE(got.dtr);
    EXPECT_FALSE(got.rts);
    EXPECT_EQ(m_Server->Model().settings.baudRate, 19200u);

    LineSettings probe;
    probe.baudRate = 300;
    port->SetSettings(probe);
    EXPECT_EQ(port->GetSettings().baudRate, 300u);
}

TEST_F(Loopback, AServerThatIgnores300BaudReadsBackItsRate) {
    rfc2217::ServerModel model;
    model.ignoreBaud300 = true;
    Start(model);
    auto port = OpenPort(m_Server->Url());
    LineSettings s;
    port->SetSettings(s);
    s.baudRate = 300;
    port->SetSettings(s);
    EXPECT_EQ(port->GetSettings().baudRate, 9600u);
}

TEST_F(Loopback, UnansweredModemLinesReadBackAsRequested) {
    rfc2217::ServerModel model;
    model.answerModemLines = false;  // as ser2net serving a pty
    Start(model);
    auto port = OpenPort(m_Server->Url());
    LineSettings s;
    s.dtr = true;
    s.rts = true;
    port->SetSettings(s);  // costs one bounded wait, no error
    EXPECT_TRUE(port->GetSettings().dtr);
    EXPECT_TRUE(port->GetSettings().rts);
    s.dtr = false;
    s.baudRate = 4800;
    port->SetSettings(s);
    EXPECT_FALSE(port->GetSettings().dtr);
    EXPECT_EQ(port->GetSettings().baudRate, 4800u);
    // Applied by the server all the same (no answer to wait for: wait for the model).
    EXPECT_TRUE(WaitForModel([](const rfc2217::ServerModel& m) { return !m.settings.dtr; }));
    EXPECT_TRUE(m_Server->Model().settings.rts);
}

TEST_F(Loopback, EveryByteValueCrossesBothWaysAtOnce) {
    Start();
    auto port = OpenPort(m_Server->Url());
    const std::string bulk = AllBytes(256);
    auto reader = std::async(std::launch::async, [&] { return ReadAll(*port, bulk.size()); });
    auto sender = std::async(std::launch::async, [&] { return m_Server->Send(bulk); });
    port->Write(bulk.data(), bulk.size());
    EXPECT_TRUE(sender.get());
    EXPECT_EQ(m_Inbox.WaitFor(bulk.size()), bulk);
    EXPECT_EQ(reader.get(), bulk);
}

TEST_F(Loopback, SettingsCallsWorkWhileAReadWaitsAndKeepItsData) {
    Start();
    auto port = OpenPort(m_Server->Url());
    auto reader = std::async(std::launch::async, [&] { return ReadAll(*port, 6); });
    std::this_thread::sleep_for(20ms);  // usually blocked in Read by now; passes either way
    LineSettings s;
    s.baudRate = 57600;
    m_Server->Send("abc");
    port->SetSettings(s);
    EXPECT_EQ(port->GetSettings().baudRate, 57600u);
    port->SetBreak(true);
    m_Server->Send("def");
    EXPECT_EQ(reader.get(), "abcdef");
    EXPECT_TRUE(WaitForModel([](const rfc2217::ServerModel& m) { return m.breakOn; }));
    port->SetBreak(false);
    EXPECT_TRUE(WaitForModel([](const rfc2217::ServerModel& m) { return !m.breakOn; }));
}

TEST_F(Loopback, CancelWakesABlockedRead) {
    Start();
    auto port = OpenPort(m_Server->Url());
    auto reader = std::async(std::launch::async, [&] {
        char c;
        return port->Read(&c, 1);
    });
    std::this_thread::sleep_for(20ms);
    port->CancelRead();
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0u);
    m_Server->Send("x");
    char c;
    EXPECT_EQ(port->Read(&c, 1), 0u);
}

TEST_F(Loopback, APeerThatDisconnectsMidStreamFailsTheRead) {
    Start();
    auto port = OpenPort(m_Server->Url());
    ASSERT_TRUE(m_Server->WaitForClient(10s));
    m_Server->Send(std::string("\x02partial lab", 12));
    m_Server->Disconnect();
    unsigned long error = 0;
    EXPECT_EQ(ReadAll(*port, 1000, &error), std::string("\x02partial lab", 12));
    EXPECT_EQ(error, 1167u);
    unsigned long writeError = 0;
    for (int i = 0; i < 100 && writeError == 0; ++i) {
        try {
            port->Write("ping", 4);
            std::this_thread::sleep_for(10ms);  // the reset needs a round trip
        } catch (const PortError& e) {
            writeError = e.code();
        }
    }
    EXPECT_EQ(writeError, 1167u);
}

TEST_F(Loopback, OpenErrorsCarryWin32Numbers) {
    Start();
    auto first = OpenPort(m_Server->Url());
    try {
        OpenPort(m_Server->Url());
        ADD_FAILURE() << "second client accepted";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 5u) << e.what();
    }
    const std::string refused = "rfc2217://127.0.0.1:" + std::to_string(FreePort());
    try {
        OpenPort(refused);
        ADD_FAILURE() << "connected to a closed port";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 1225u) << e.what();
        EXPECT_NE(std::string(e.what()).find(refused), std::string::npos) << e.what();
    }
}

// ---- a real ser2net serving a pty ----

std::string FindSer2net() {
    for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net"}) {
        if (::access(p, X_OK) == 0) {
            return p;
        }
    }
    return {};
}

// True when something listens on 127.0.0.1:port (from /proc/net/tcp, without connecting).
bool Listening(std::uint16_t port) {
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    char wanted[32];
    std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
    while (std::getline(tcp, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (local == wanted && state == "0A") {
            return true;
        }
    }
    return false;
}

TEST(Ser2net, CarriesDataAndSettingsToAPty) {
    const std::string ser2net = FindSer2net();
    if (ser2net.empty()) {
        GTEST_SKIP() << "ser2net is not installed";
    }
    test::TempRoot root;
    int master = -1, slave = -1;
    char name[128];
    ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
    ::close(slave);
    const std::uint16_t tcp = FreePort();
    const auto config = root.path() / "ser2net.yaml";
    std::ofstream(config) << "connection: &port1\n"
                          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << tcp << "\n"
                          << "  connector: serialdev," << name << ",9600n81,local\n";
    test::Subprocess server(
        {ser2net, "-n", "-d", "-u", "-P", (root.path() / "pid").string(), "-c", config.string()});
    for (int i = 0; i < 500 && !Listening(tcp); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_TRUE(Listening(tcp)) << server.Stderr();
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(tcp);

    auto port = OpenPort(url);
    EXPECT_EQ(port->GetSettings().baudRate, 9600u);
    LineSettings s;
    s.baudRate = 19200;
    s.dtr = true;  // ser2net on a pty leaves this unanswered: a bounded wait, no error
    port->SetSettings(s);
    EXPECT_EQ(port->GetSettings().baudRate, 19200u);
    EXPECT_TRUE(port->GetSettings().dtr);
    termios t{};
    ASSERT_EQ(::tcgetattr(master, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    s.baudRate = 300;  // the USB probe: a pty takes 300 baud
    port->SetSettings(s);
    EXPECT_EQ(port->GetSettings().baudRate, 300u);

    const std::string bytes = std::string("\x02\x00\xff\xff\r\n\x03\x11\x13", 9) + AllBytes(1);
    port->Write(bytes.data(), bytes.size());
    std::string atPty;
    for (int i = 0; i < 200 && atPty.size() < bytes.size(); ++i) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 50) > 0) {
            char buffer[1024];
            ssize_t n = ::read(master, buffer, sizeof buffer);
            if (n > 0) {
                atPty.append(buffer, static_cast<std::size_t>(n));
            }
        }
    }
    EXPECT_EQ(atPty, bytes);
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    EXPECT_EQ(ReadAll(*port, bytes.size()), bytes);

    try {
        OpenPort(url);
        ADD_FAILURE() << "ser2net accepted a second client";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 5u) << e.what();
    }
    port.reset();
    ::close(master);
}

}  // namespace
}  // namespace sorvex::serial
