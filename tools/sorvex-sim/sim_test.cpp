// The simulator as a user drives it: a process with commands on standard input and JSON lines on
// standard output, over each transport.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>

#include "platform/hid/hid.h"
#include "platform/registry/registry.h"
#include "platform/serial/serial_port.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"
#include "tools/sorvex-sim/json_log.h"

namespace sorvex::sim {
namespace {

using namespace std::chrono_literals;

TEST(JsonLog, WritesEveryByteAsOneCharacter) {
    EXPECT_EQ(JsonString(std::string("a\"\\\0\xff\n", 6)), R"("a\"\\\u0000\u00ff\u000a")");
    EXPECT_EQ(HexBytes(std::string("\x02\xff", 2)), "02 FF");
    std::string bytes;
    EXPECT_TRUE(ParseHex("02 41,03ff", bytes));
    EXPECT_EQ(bytes, std::string("\x02\x41\x03\xff", 4));
    EXPECT_FALSE(ParseHex("0 2", bytes));
    EXPECT_FALSE(ParseHex("zz", bytes));
}

class SimProcess : public ::testing::Test {
  protected:
    std::unique_ptr<test::Subprocess> Start(std::vector<std::string> args) {
        args.insert(args.begin(), test::BinPath("sorvex-sim").string());
        auto child = std::make_unique<test::Subprocess>(args);
        ready = WaitFor(*child, "ready");
        return child;
    }
    // The next line whose event is `event`.
    std::string WaitFor(test::Subprocess& child, const std::string& event) {
        for (;;) {
            auto line = child.ReadLine(10s);
            if (!line) {
                return "";
            }
            if (line->find("\"event\": \"" + event + "\"") != std::string::npos) {
                return *line;
            }
        }
    }
    static std::string Field(const std::string& line, const std::string& name) {
        const std::string key = "\"" + name + "\": \"";
        auto at = line.find(key);
        if (at == std::string::npos) {
            return "";
        }
        at += key.size();
        return line.substr(at, line.find('"', at) - at);
    }
    test::TempRoot root;
    std::string ready;
};

TEST_F(SimProcess, ServesARawDeviceOnAPtyMappedIntoTheDeviceNamespace) {
    auto sim = Start({"--model", "raw", "--port", "COM4"});
    ASSERT_FALSE(ready.empty()) << sim->Stderr();
    EXPECT_EQ(Field(ready, "port"), "COM4");
    auto port = serial::OpenPort("\\\\.\\COM4");
    sim->Write("raw 02 00 FF 03\n");
    std::string got;
    char buffer[16];
    while (got.size() < 4) {
        std::size_t n = port->Read(buffer, sizeof buffer);
        ASSERT_GT(n, 0u);
        got.append(buffer, n);
    }
    EXPECT_EQ(got, std::string("\x02\x00\xff\x03", 4));
    port->Write("\x06\x06", 2);
    std::string received = WaitFor(*sim, "received");
    EXPECT_NE(received.find("\"hex\": \"06"), std::string::npos) << received;
    sim->Write("bogus\n");
    EXPECT_NE(WaitFor(*sim, "error").find("unknown command"), std::string::npos);
    sim->Write("quit\n");
    EXPECT_EQ(sim->Wait(10s), 0);
    // The mapping goes with the simulator.
    registry::Key key;
    registry::Value v;
    ASSERT_EQ(registry::Key::Open(registry::Hive::LocalMachine, "HARDWARE\\DEVICEMAP\\SERIALCOMM",
                                  registry::kRead, key),
              registry::Status::Ok);
    EXPECT_EQ(key.Get("COM4", v), registry::Status::NotFound);
}

TEST_F(SimProcess, ServesRfc2217AndIgnoresThe300BaudRequestAsAUsbPort) {
    auto sim = Start({"--model", "raw", "--transport", "rfc2217", "--usb-vcp", "--port", "COM7"});
    ASSERT_FALSE(ready.empty()) << sim->Stderr();
    EXPECT_EQ(Field(ready, "endpoint").rfind("rfc2217://127.0.0.1:", 0), 0u);
    auto port = serial::OpenPort("COM7");
    serial::LineSettings s;
    s.baudRate = 300;
    port->SetSettings(s);
    EXPECT_EQ(port->GetSettings().baudRate, 9600u);
}

TEST_F(SimProcess, PlugsAndUnplugsASimulatedHidDevice) {
    auto sim = Start({"--model", "raw", "--transport", "hid", "--hid-name", "scanner", "--usage",
                      "0x4B00", "--vendor-id", "0x1234"});
    ASSERT_FALSE(ready.empty()) << sim->Stderr();
    auto devices = hid::Enumerate();
    ASSERT_EQ(devices.size(), 1u);
    EXPECT_EQ(devices[0].usage, 0x4B00);
    EXPECT_EQ(devices[0].vendorId, 0x1234);
    auto device = hid::Open(devices[0].path);
    ASSERT_TRUE(WaitFor(*sim, "hosts").find("\"count\": 1") != std::string::npos);
    sim->Write("raw 00 05 00 FF\n");
    std::string report;
    ASSERT_TRUE(device->Read(report));
    EXPECT_EQ(report, std::string("\x00\x05\x00\xff", 4));
    device->Write(std::string("\x00\x11", 2));
    EXPECT_NE(WaitFor(*sim, "received").find("\"hex\": \"00 11\""), std::string::npos);
    sim->Write("unplug\n");
    WaitFor(*sim, "unplugged");
    EXPECT_THROW(device->Read(report), hid::HidError);
    EXPECT_TRUE(hid::Enumerate().empty());
    sim->Write("replug\n");
    WaitFor(*sim, "replugged");
    EXPECT_EQ(hid::Enumerate().size(), 1u);
}

}  // namespace
}  // namespace sorvex::sim
