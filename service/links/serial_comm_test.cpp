#include "service/links/serial_comm.h"

#include <gtest/gtest.h>

#include <atomic>

#include "platform/serial/rfc2217_server.h"
#include "platform/serial/serial_port.h"
#include "service/frame/errors.h"
#include "service/links/link_test_support.h"
#include "service/links/read_thread.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using sorvex::serial::Rfc2217Server;
using test::kPatience;
using test::Pty;
using test::Recorder;
using test::WaitUntil;

std::string Join(const std::vector<std::string>& parts) {
    std::string all;
    for (const std::string& p : parts) {
        all += p;
    }
    return all;
}

class SerialCommTest : public ::testing::Test {
  protected:
    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    Pty pty;
    Recorder recorder;
};

// What an RFC 2217 server saw, in order: settings requests and data from the client.
class ServerLog {
  public:
    Rfc2217Server::DataHandler Data() {
        return [this](std::string_view bytes) {
            std::lock_guard lock(m_Mutex);
            m_Events.push_back("data:" + std::string(bytes));
        };
    }
    Rfc2217Server::RequestHandler Requests() {
        return [this](const sorvex::serial::rfc2217::ComPortMessage&,
                      const sorvex::serial::rfc2217::ServerModel&) {
            std::lock_guard lock(m_Mutex);
            m_Events.push_back("request");
        };
    }
    std::vector<std::string> Events() const {
        std::lock_guard lock(m_Mutex);
        return m_Events;
    }
    std::string DataReceived() const {
        std::string all;
        for (const std::string& e : Events()) {
            if (e.rfind("data:", 0) == 0) {
                all += e.substr(5);
            }
        }
        return all;
    }

  private:
    mutable std::mutex m_Mutex;
    std::vector<std::string> m_Events;
};

TEST_F(SerialCommTest, AnOrdinaryPortIsConfiguredAndNothingIsWritten) {
    test::MapComPort(5, pty.SlavePath());
    {
        CSerialComm link("\\\\.\\COM5", &recorder, &Recorder::Frame);
        EXPECT_FALSE(link.IsUsbPort());
        EXPECT_EQ(pty.Receive(200ms), "") << "an ordinary port gets no probe byte";
        pty.Send(
            "\x02"
            "A123\x03");
        ASSERT_TRUE(WaitUntil([&] {
            return Join(recorder.Data()) ==
                   "\x02"
                   "A123\x03";
        }));
    }
    std::vector<std::string> expected = {"Enter CSerialComm constructor",
                                         "Enter OpenComPort",
                                         "  *   Target: \\\\.\\COM5",
                                         "  *   m_USBPort is False",
                                         "Exit OpenComPort",
                                         "Exit CSerialComm constructor",
                                         "Received: \x02"
                                         "A123\x03",
                                         "Enter CSerialComm destructor",
                                         "Exit CSerialComm destructor"};
    std::vector<std::string> messages = trace.Messages("CSerialComm");
    // The chunk may have come in pieces; compare the rest and the joined "Received:" lines.
    std::vector<std::string> others;
    std::string received;
    for (const std::string& m : messages) {
        if (m.rfind("Received: ", 0) == 0) {
            received += m.substr(10);
        } else {
            others.push_back(m);
        }
    }
    EXPECT_EQ(received,
              "\x02"
              "A123\x03");
    expected.erase(expected.begin() + 6);
    EXPECT_EQ(others, expected);
}

TEST_F(SerialCommTest, ReadsDeliverAtMost32BytesAndEveryByteValue) {
    std::string sent;
    for (int i = 0; i < 300; ++i) {
        sent.push_back(static_cast<char>(i));
    }
    CSerialComm link(pty.SlavePath(), &recorder, &Recorder::Frame);
    pty.Send(sent);
    ASSERT_TRUE(WaitUntil([&] { return Join(recorder.Data()).size() >= sent.size(); }));
    EXPECT_EQ(Join(recorder.Data()), sent);
    for (const std::string& chunk : recorder.Data()) {
        EXPECT_LE(chunk.size(), CSerialComm::kReadBufferSize);
        EXPECT_FALSE(chunk.empty());
    }
}

TEST_F(SerialCommTest, WriteStringSendsEveryByte) {
    CSerialComm link(pty.SlavePath(), &recorder, &Recorder::Frame);
    const std::string bytes("\x06\x00\xFF\x80\x0A\x0D", 6);
    link.WriteString(bytes);
    EXPECT_EQ(pty.Receive(kPatience, bytes.size()), bytes);
    EXPECT_TRUE(trace.Has(4, "CSerialComm", "  *   .length: 6"));
    EXPECT_TRUE(trace.Has(4, "CSerialComm", "  *   BytesWritten: 6"));
    EXPECT_TRUE(trace.Has(3, "CSerialComm", "Exit WriteString(...)"));
}

TEST_F(SerialCommTest, APortInUseFailsWithAccessDeniedAndOpensOnceReleased) {
    test::MapComPort(6, pty.SlavePath());
    {
        auto holder = sorvex::serial::OpenPort(pty.SlavePath());
        try {
            CSerialComm link("\\\\.\\COM6", &recorder, &Recorder::Frame);
            FAIL() << "opened a port that another program holds";
        } catch (const SerialCommError& e) {
            EXPECT_STREQ(e.what(), "Unable to open COM port (5).");
        }
    }
    CSerialComm link("\\\\.\\COM6", &recorder, &Recorder::Frame);
    pty.Send("x");
    EXPECT_TRUE(recorder.WaitForCount(1));
}

TEST_F(SerialCommTest, AMissingDeviceFailsWithFileNotFound) {
    test::MapComPort(7, "/dev/sorvex-no-such-tty");
    try {
        CSerialComm link("\\\\.\\COM7", &recorder, &Recorder::Frame);
        FAIL() << "opened a missing device";
    } catch (const SerialCommError& e) {
        EXPECT_STREQ(e.what(), "Unable to open COM port (2).");
    }
}

TEST_F(SerialCommTest, ACallbackReturningOneStopsReading) {
    recorder.SetResult(1);
    CSerialComm link(pty.SlavePath(), &recorder, &Recorder::Frame);
    pty.Send("A");
    ASSERT_TRUE(recorder.WaitForCount(1));
    ASSERT_TRUE(WaitUntil([&] { return !link.Reading(); }));
    pty.Send("B");
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(recorder.Count(), 1u) << "bytes after the stop were read";
}

TEST_F(SerialCommTest, DestroyingAnIdleLinkEndsItsThreadWithinTheWait) {
    const std::size_t before = ReadThreads().Count();
    {
        CSerialComm link(pty.SlavePath(), &recorder, &Recorder::Frame);
        EXPECT_EQ(ReadThreads().Count(), before + 1);
        EXPECT_TRUE(link.Reading());
    }
    // A thread that had not ended within the wait would still be listed, given up.
    EXPECT_EQ(ReadThreads().Count(), before);
}

TEST_F(SerialCommTest, ALinkStuckInItsCallbackReleasesThePortAtOnce) {
    std::atomic<bool> entered{false};
    std::atomic<bool> release{false};
    recorder.SetHook([&](const std::string&) {
        entered = true;
        while (!release) {
            std::this_thread::sleep_for(1ms);
        }
    });
    const std::size_t before = ReadThreads().Count();
    auto link = std::make_unique<CSerialComm>(pty.SlavePath(), &recorder, &Recorder::Frame);
    pty.Send("A");
    ASSERT_TRUE(WaitUntil([&] { return entered.load(); }));
    link.reset();  // returns after the bounded wait, the thread still inside the callback
    Recorder second;
    CSerialComm again(pty.SlavePath(), &second, &Recorder::Frame);
    pty.Send("B");
    EXPECT_TRUE(second.WaitForCount(1));
    release = true;
    EXPECT_TRUE(WaitUntil([&] {
        ReadThreads().ReapFinished();
        return ReadThreads().Count() == before + 1;
    }));
    EXPECT_EQ(recorder.Count(), 1u);
}

TEST_F(SerialCommTest, AHangUpEndsTheThreadWithALevelZeroTrace) {
    CSerialComm link(pty.SlavePath(), &recorder, &Recorder::Frame);
    pty.Send(
        "\x02"
        "A1");
    ASSERT_TRUE(recorder.WaitForCount(1));
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntil([&] { return !link.Reading(); }));
    EXPECT_TRUE(trace.Has(0, "RunReadThread", "Error while waiting for data (1167)."));
}

class SerialCommRfc2217Test : public ::testing::Test {
  protected:
    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    Recorder recorder;
    ServerLog log;

    std::unique_ptr<Rfc2217Server> Serve(bool usbVirtualPort) {
        Rfc2217Server::Options options;
        options.model.ignoreBaud300 = usbVirtualPort;
        options.model.settings.baudRate = 19200;  // the link must change it
        options.model.settings.dtr = true;
        options.model.settings.rts = true;
        options.onRequest = log.Requests();
        return std::make_unique<Rfc2217Server>(log.Data(), options);
    }
};

TEST_F(SerialCommRfc2217Test, AServerThatAcceptsThreeHundredBaudIsAnOrdinaryPort) {
    auto server = Serve(false);
    test::MapComPort(9, server->Url());
    CSerialComm link("\\\\.\\COM9", &recorder, &Recorder::Frame);
    EXPECT_FALSE(link.IsUsbPort());
    sorvex::serial::LineSettings line = server->Model().settings;
    EXPECT_EQ(line.baudRate, 9600u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_EQ(line.parity, sorvex::serial::Parity::None);
    EXPECT_EQ(line.stopBits, sorvex::serial::StopBits::One);
    EXPECT_FALSE(line.ctsFlow);
    EXPECT_FALSE(line.xonXoff);
    EXPECT_FALSE(line.dtr);
    EXPECT_FALSE(line.rts);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log.DataReceived(), "") << "an ordinary port gets no probe byte";
}

TEST_F(SerialCommRfc2217Test, AServerThatIgnoresThreeHundredBaudGetsOneProbeByte) {
    auto server = Serve(true);
    CSerialComm link(server->Url(), &recorder, &Recorder::Frame);
    EXPECT_TRUE(link.IsUsbPort());
    ASSERT_TRUE(WaitUntil([&] { return !log.DataReceived().empty(); }));
    std::this_thread::sleep_for(100ms);
    std::vector<std::string> events = log.Events();
    EXPECT_EQ(log.DataReceived(), "\x80");
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back(), "data:\x80") << "the probe byte comes after the configuration";
    EXPECT_GT(std::count(events.begin(), events.end(), "request"), 0);
    EXPECT_TRUE(trace.Has(4, "CSerialComm", "  *   m_USBPort is True"));
}

TEST_F(SerialCommRfc2217Test, BytesOfValueFFPassBothWays) {
    auto server = Serve(false);
    CSerialComm link(server->Url(), &recorder, &Recorder::Frame);
    const std::string in("\x02\xFF\xFF\x00\xFF\x03", 6);
    ASSERT_TRUE(server->Send(in));
    ASSERT_TRUE(WaitUntil([&] { return Join(recorder.Data()).size() >= in.size(); }));
    EXPECT_EQ(Join(recorder.Data()), in);
    const std::string out("\xFF\x06\xFF", 3);
    link.WriteString(out);
    EXPECT_TRUE(WaitUntil([&] { return log.DataReceived() == out; }));
}

TEST_F(SerialCommRfc2217Test, APeerThatDisconnectsMidFrameEndsTheThread) {
    auto server = Serve(false);
    CSerialComm link(server->Url(), &recorder, &Recorder::Frame);
    ASSERT_TRUE(server->Send("\xF8\x30"));
    ASSERT_TRUE(recorder.WaitForCount(1));
    server->Disconnect();
    ASSERT_TRUE(WaitUntil([&] { return !link.Reading(); }));
    bool traced = false;
    for (const test::TraceLine& line : trace.Lines()) {
        traced |= line.level == 0 && line.tag == "RunReadThread" &&
                  line.message.rfind("Error while waiting for data (", 0) == 0;
    }
    EXPECT_TRUE(traced);
}

}  // namespace
}  // namespace talvex
