// The hidraw backend and the choice of backend by path. Real devices are tested only when
// SORVEX_TEST_HIDRAW names a node (/dev/hidraw<n>) of a device one may open.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <future>
#include <thread>

#include "platform/hid/hid.h"
#include "platform/hid/hid_internal.h"
#include "tests/support/temp_root.h"

namespace sorvex::hid {
namespace {

unsigned long ErrorOfOpen(const std::string& path, std::string* message = nullptr) {
    try {
        Open(path);
    } catch (const HidError& e) {
        if (message != nullptr) {
            *message = e.what();
        }
        return e.code();
    }
    return 0;
}

TEST(HidrawBackend, EnumerationListsNodesInNumberOrderAndIsOk) {
    test::TempRoot root;
    bool ok = false;
    std::vector<DeviceInfo> devices = Enumerate(&ok);
    EXPECT_TRUE(ok);
    std::vector<unsigned long> numbers;
    for (const DeviceInfo& d : devices) {
        ASSERT_EQ(d.path.rfind("/dev/hidraw", 0), 0u) << d.path;
        numbers.push_back(std::stoul(d.path.substr(11)));
    }
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    if (!std::filesystem::exists("/sys/class/hidraw") ||
        std::filesystem::is_empty("/sys/class/hidraw")) {
        EXPECT_TRUE(devices.empty());
    }
}

TEST(HidrawBackend, MissingNodeIsNotFound) {
    std::string message;
    EXPECT_EQ(ErrorOfOpen("/dev/hidraw987", &message), 2u);
    EXPECT_NE(message.find("/dev/hidraw987"), std::string::npos) << message;
    EXPECT_FALSE(Identify("/dev/hidraw987"));
}

TEST(HidPaths, PathsOfNeitherBackendAreNotDevices) {
    test::TempRoot root;
    for (const char* path : {"", "COM1", "/dev/hidraw", "/dev/hidrawX", "/dev/ttyS0", "/tmp/x"}) {
        SCOPED_TRACE(path);
        std::string message;
        EXPECT_EQ(ErrorOfOpen(path, &message), 2u);
        EXPECT_NE(message.find(std::string("\"") + path + "\""), std::string::npos) << message;
        EXPECT_FALSE(Identify(path));
    }
}

// A SOCK_SEQPACKET pair stands in for a hidraw node: one read() is one report, one write() one
// report, just as on the node.
struct NodeStandIn {
    explicit NodeStandIn(bool reportIds) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
        device = detail::hidraw::AdoptNode("/dev/hidraw42", detail::UniqueFd(fds[0]), reportIds);
        kernel = fds[1];
    }
    ~NodeStandIn() { ::close(kernel); }
    void Send(const std::string& bytes) {
        ASSERT_EQ(::send(kernel, bytes.data(), bytes.size(), 0),
                  static_cast<ssize_t>(bytes.size()));
    }
    std::string Receive() {
        char buffer[8192];
        ssize_t n = ::recv(kernel, buffer, sizeof buffer, 0);
        return n < 0 ? std::string() : std::string(buffer, static_cast<std::size_t>(n));
    }
    std::unique_ptr<Device> device;
    int kernel = -1;
};

TEST(HidrawBackend, ReportsComeOutReportIdFirstAndGoInUnchanged) {
    struct Row {
        bool reportIds;
        std::string fromNode, read;
    };
    const Row rows[] = {
        {false, std::string("\xFF\x00\x01", 3), std::string("\x00\xFF\x00\x01", 4)},
        {true, std::string("\x02\xFF\x00", 3), std::string("\x02\xFF\x00", 3)},
        {false, std::string(512, '\xFF'), std::string(1, '\0') + std::string(512, '\xFF')},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.read.size());
        NodeStandIn node(row.reportIds);
        node.Send(row.fromNode);
        std::string report;
        ASSERT_TRUE(node.device->Read(report));
        EXPECT_EQ(report, row.read);
        // Written as given: report id first, also the 0 of a device without ids (the kernel
        // drops it on the way to the device).
        node.device->Write(std::string("\x00\x00\xFF", 3));
        EXPECT_EQ(node.Receive(), std::string("\x00\x00\xFF", 3));
    }
}

TEST(HidrawBackend, ReportLongerThanTheLimitIsAnError) {
    NodeStandIn node(false);
    node.Send(std::string(kMaxReportSize, 'x'));  // with the added 0 one byte too long
    node.Send(std::string(kMaxReportSize - 1, 'y'));
    std::string report;
    try {
        node.device->Read(report);
        ADD_FAILURE() << "no error";
    } catch (const HidError& e) {
        EXPECT_EQ(e.code(), 234u);
        EXPECT_NE(std::string(e.what()).find("/dev/hidraw42"), std::string::npos);
    }
    ASSERT_TRUE(node.device->Read(report));
    EXPECT_EQ(report.size(), kMaxReportSize);
}

TEST(HidrawBackend, CancelWakesABlockedRead) {
    NodeStandIn node(true);
    auto reading = std::async(std::launch::async, [&] {
        std::string report;
        return node.device->Read(report);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    node.device->CancelRead();
    ASSERT_EQ(reading.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_FALSE(reading.get());
    std::string report;
    EXPECT_FALSE(node.device->Read(report));
}

TEST(HidrawBackend, NodeThatEndsIsALostDeviceOnEveryRead) {
    NodeStandIn node(false);
    ::shutdown(node.kernel, SHUT_RDWR);
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::string report;
        try {
            node.device->Read(report);
            ADD_FAILURE() << "no error";
        } catch (const HidError& e) {
            EXPECT_EQ(e.code(), 1167u);
        }
    }
}

TEST(HidrawBackend, RealDeviceNamedByEnvironment) {
    const char* node = std::getenv("SORVEX_TEST_HIDRAW");
    if (node == nullptr || *node == '\0') {
        GTEST_SKIP() << "set SORVEX_TEST_HIDRAW=/dev/hidraw<n> to test a real device";
    }
    std::optional<DeviceInfo> info = Identify(node);
    ASSERT_TRUE(info) << node;
    EXPECT_EQ(info->path, node);
    std::unique_ptr<Device> device = Open(node);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        device->CancelRead();
    });
    // Reports the device sends meanwhile are fine; the cancel must end the loop.
    std::string report;
    while (device->Read(report)) {
        EXPECT_FALSE(report.empty());
    }
    canceller.join();
}

}  // namespace
}  // namespace sorvex::hid
