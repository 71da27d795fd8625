#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <string>
#include <thread>

#include "platform/serial/serial_backends.h"
#include "platform/serial/serial_port.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::serial {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Second-process mode: SORVEX_SERIAL_CHILD_OPEN=<path> opens the port and exits with 0 or the
// PortError code; with SORVEX_SERIAL_CHILD_HOLD=1 it says "open" and holds the port until its
// standard input ends.
[[maybe_unused]] const bool kChild = [] {
    const char* path = std::getenv("SORVEX_SERIAL_CHILD_OPEN");
    if (path == nullptr) {
        return false;
    }
    int code = 0;
    try {
        auto port = OpenPort(path);
        if (std::getenv("SORVEX_SERIAL_CHILD_HOLD") != nullptr) {
            std::cout << "open" << std::endl;
            char c;
            while (::read(0, &c, 1) > 0) {
            }
        }
    } catch (const PortError& e) {
        std::cerr << e.what() << "\n";
        code = static_cast<int>(e.code() & 0xFF);
    }
    std::_Exit(code);
}();

std::string AllBytes() {
    std::string s;
    for (int i = 0; i < 256; ++i) {
        s.push_back(static_cast<char>(i));
    }
    return s;
}

// A pty pair; the test keeps the master, the port opens the slave by its path.
class Pty : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave = -1;
        char name[128];
        ASSERT_EQ(::openpty(&m_Master, &slave, name, nullptr, nullptr), 0);
        ::close(slave);  // the port is the only opener of the slave
        m_Path = name;
    }
    void TearDown() override { CloseMaster(); }

    void CloseMaster() {
        if (m_Master >= 0) {
            ::close(m_Master);
            m_Master = -1;
        }
    }

    void MasterWrite(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = ::write(m_Master, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads exactly `size` bytes from the master (10 s at most).
    std::string MasterRead(std::size_t size) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (got.size() < size && std::chrono::steady_clock::now() < deadline) {
            pollfd p{m_Master, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) {
                continue;
            }
            char buffer[4096];
            ssize_t n = ::read(m_Master, buffer, std::min(sizeof buffer, size - got.size()));
            if (n <= 0) {
                break;
            }
            got.append(buffer, static_cast<std::size_t>(n));
        }
        return got;
    }

    bool MasterHasInput() {
        pollfd p{m_Master, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }

    // Reads through the port until `size` bytes came (10 s at most).
    static std::string PortRead(Port& port, std::size_t size) {
        std::string got;
        auto reader = std::async(std::launch::async, [&] {
            char buffer[512];
            while (got.size() < size) {
                std::size_t n = port.Read(buffer, sizeof buffer);
                if (n == 0) {
                    break;
                }
                got.append(buffer, n);
            }
        });
        if (reader.wait_for(10s) != std::future_status::ready) {
            port.CancelRead();
        }
        reader.get();
        return got;
    }

    int m_Master = -1;
    std::string m_Path;
};

TEST_F(Pty, RawModeKeepsEveryByteValueBothWays) {
    auto port = OpenPort(m_Path);
    EXPECT_EQ(port->Name(), m_Path);
    EXPECT_FALSE(port->OnUsbBus());
    const std::string all = AllBytes() + "\x03\x11\x13\r\n\x04\x1a\x7f\xff";
    MasterWrite(all);
    EXPECT_EQ(PortRead(*port, all.size()), all);
    EXPECT_FALSE(MasterHasInput()) << "the line echoed";
    port->Write(all.data(), all.size());
    EXPECT_EQ(MasterRead(all.size()), all);

    termios t{};
    ASSERT_EQ(::tcgetattr(m_Master, &t), 0);  // on a master: the slave's settings
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
}

TEST_F(Pty, ASecondOpenerIsRefusedUntilTheFirstLetsGo) {
    auto child = [&] {
        return test::Run({test::SelfPath()}, "", 30s,
                         {{{"SORVEX_SERIAL_CHILD_OPEN", m_Path}}, true, true, true});
    };
    {
        auto port = OpenPort(m_Path);
        try {
            OpenPort(m_Path);
            ADD_FAILURE() << "second open in the same process succeeded";
        } catch (const PortError& e) {
            EXPECT_EQ(e.code(), 5u) << e.what();
        }
        auto other = child();
        EXPECT_EQ(other.exitCode, 5) << other.err;
    }
    auto other = child();
    EXPECT_EQ(other.exitCode, 0) << other.err;

    // And the other way round: held by another process.
    test::Subprocess holder({test::SelfPath()}, {{{"SORVEX_SERIAL_CHILD_OPEN", m_Path},
                                                  {"SORVEX_SERIAL_CHILD_HOLD", "1"}},
                                                 true,
                                                 true,
                                                 true});
    ASSERT_EQ(holder.ReadLine(30s).value_or(""), "open") << holder.Stderr();
    try {
        OpenPort(m_Path);
        ADD_FAILURE() << "open succeeded while another process holds the port";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 5u) << e.what();
    }
    holder.CloseStdin();
    EXPECT_EQ(holder.Wait(30s).value_or(-1), 0);
    EXPECT_NO_THROW(OpenPort(m_Path));
}

TEST_F(Pty, ReadReturnsWhatHasArrivedWithoutWaitingForMore) {
    auto port = OpenPort(m_Path);
    auto reader = std::async(std::launch::async, [&] {
        char buffer[64];
        std::size_t n = port->Read(buffer, sizeof buffer);
        return std::string(buffer, n);
    });
    MasterWrite("abc");
    if (reader.wait_for(10s) != std::future_status::ready) {
        port->CancelRead();
        ADD_FAILURE() << "Read waited for more than what had arrived";
    }
    std::string got = reader.get();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got, std::string("abc").substr(0, got.size()));
}

TEST_F(Pty, CancelWakesABlockedReadAndEveryLaterOne) {
    auto port = OpenPort(m_Path);
    auto reader = std::async(std::launch::async, [&] {
        char buffer[8];
        return port->Read(buffer, sizeof buffer);
    });
    std::this_thread::sleep_for(50ms);  // let it block (the test passes either way)
    port->CancelRead();
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(reader.get(), 0u);
    MasterWrite("x");
    char c;
    EXPECT_EQ(port->Read(&c, 1), 0u);
}

TEST_F(Pty, WritesGoOutWhileAReadWaitsAndInBulk) {
    auto port = OpenPort(m_Path);
    auto reader = std::async(std::launch::async, [&] { return PortRead(*port, 5); });
    // More than the pty buffers, so the write loop has to wait for the master to drain.
    std::string bulk;
    for (int i = 0; i < 1024; ++i) {
        bulk += AllBytes();
    }
    auto drain = std::async(std::launch::async, [&] { return MasterRead(bulk.size()); });
    port->Write(bulk.data(), bulk.size());
    EXPECT_EQ(drain.get(), bulk);
    MasterWrite("hello");
    EXPECT_EQ(reader.get(), "hello");
}

TEST_F(Pty, AppliesAndReadsBackLineSettingsWithoutModemLines) {
    auto port = OpenPort(m_Path);
    struct Row {
        LineSettings want;
        LineSettings expect;  // what the pty driver applies
    } rows[4];
    rows[0].want.baudRate = 300;
    rows[1].want.baudRate = 19200;
    rows[1].want.stopBits = StopBits::Two;
    rows[1].want.dtr = rows[1].want.rts = true;  // a pty has no modem lines: not an error
    rows[2].want.baudRate = 115200;
    rows[2].want.ctsFlow = true;
    rows[2].want.xonXoff = true;
    rows[3].want.baudRate = 250000;  // not a B-constant: carried as a number
    rows[3].want.dataBits = 7;
    rows[3].want.parity = Parity::Even;
    for (auto& row : rows) {
        row.expect = row.want;
        row.expect.dataBits = 8;  // the pty driver forces CS8 and no parity
        row.expect.parity = Parity::None;
    }
    for (const auto& row : rows) {
        port->SetSettings(row.want);
        LineSettings got = port->GetSettings();
        EXPECT_EQ(got.baudRate, row.expect.baudRate);
        EXPECT_EQ(got.dataBits, row.expect.dataBits);
        EXPECT_EQ(got.parity, row.expect.parity);
        EXPECT_EQ(got.stopBits, row.expect.stopBits) << row.want.baudRate;
        EXPECT_EQ(got.ctsFlow, row.expect.ctsFlow);
        EXPECT_EQ(got.xonXoff, row.expect.xonXoff);
        EXPECT_EQ(got.dtr, row.expect.dtr);
        EXPECT_EQ(got.rts, row.expect.rts);
    }
    termios t{};
    ASSERT_EQ(::tcgetattr(m_Master, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG), 0u) << "settings undid raw mode";
    port->SetSettings(rows[1].want);
    ASSERT_EQ(::tcgetattr(m_Master, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);

    EXPECT_NO_THROW(port->SetBreak(true));
    EXPECT_NO_THROW(port->SetBreak(false));
    LineSettings bad;
    bad.dataBits = 9;
    try {
        port->SetSettings(bad);
        ADD_FAILURE() << "9 data bits accepted";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 87u);
    }
}

TEST_F(Pty, AClosedMasterReadsAsDeviceGone) {
    auto port = OpenPort(m_Path);
    auto reader = std::async(std::launch::async, [&]() -> unsigned long {
        char buffer[64];
        try {
            while (port->Read(buffer, sizeof buffer) > 0) {
            }
            return 0;
        } catch (const PortError& e) {
            return e.code();
        }
    });
    MasterWrite("partial fra");
    CloseMaster();
    if (reader.wait_for(10s) != std::future_status::ready) {
        port->CancelRead();
    }
    EXPECT_EQ(reader.get(), 1167u);
    try {
        port->Write("x", 1);
        ADD_FAILURE() << "write to a vanished device succeeded";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 1167u) << e.what();
    }
}

TEST(TermiosPort, OpenErrorsCarryWin32Numbers) {
    test::TempRoot root;
    const fs::path file = root.path() / "plain-file";
    { std::ofstream(file) << "x"; }
    struct Row {
        std::string path;
        unsigned long code;
    } rows[] = {
        {"/dev/ttyNoSuchPort9", 2},
        {(root.path() / "missing" / "tty").string(), 2},
        {"/dev/null", 1},  // a character device, but not a tty
        {file.string(), 1},
    };
    for (const auto& row : rows) {
        try {
            OpenPort(row.path);
            ADD_FAILURE() << row.path << " opened";
        } catch (const PortError& e) {
            EXPECT_EQ(e.code(), row.code) << row.path << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(row.path), std::string::npos) << e.what();
        }
    }
}

// A small sysfs: a USB serial adapter, a USB ACM modem seen only through its subsystem link,
// a platform UART and a tty without a device.
TEST(TermiosPort, FindsTheUsbBusInSysfs) {
    test::TempRoot root;
    const fs::path sys = root.path() / "sys";
    auto tty = [&](const std::string& devicePath, const std::string& devnum, bool withDevice) {
        fs::path dir = sys / "devices" / devicePath / "tty" / fs::path(devicePath).filename();
        fs::create_directories(dir);
        if (withDevice) {
            fs::create_directory_symlink("../../../" + fs::path(devicePath).filename().string(),
                                         dir / "device");
        }
        fs::create_directories(sys / "dev" / "char");
        fs::create_directory_symlink(fs::relative(dir, sys / "dev" / "char"),
                                     sys / "dev" / "char" / devnum);
    };
    auto subsystem = [&](const std::string& devicePath, const std::string& bus) {
        fs::create_directories(sys / "bus" / bus);
        fs::path dir = sys / "devices" / devicePath;
        fs::create_directory_symlink(fs::relative(sys / "bus" / bus, dir), dir / "subsystem");
    };
    tty("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", "188:0", true);
    subsystem("pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0", "usb-serial");
    tty("platform/dummy_hcd.0/hub/port1/ttyACM0", "166:0", true);
    subsystem("platform/dummy_hcd.0/hub/port1", "usb");
    tty("platform/serial8250/ttyS0", "4:64", true);
    subsystem("platform/serial8250", "platform");
    tty("virtual/tty/console", "5:1", false);

    EXPECT_TRUE(TtyOnUsbBus(sys, 188, 0));
    EXPECT_TRUE(TtyOnUsbBus(sys, 166, 0));
    EXPECT_FALSE(TtyOnUsbBus(sys, 4, 64));
    EXPECT_FALSE(TtyOnUsbBus(sys, 5, 1));
    EXPECT_FALSE(TtyOnUsbBus(sys, 136, 3));  // a pty: not in the tree
}

}  // namespace
}  // namespace sorvex::serial
