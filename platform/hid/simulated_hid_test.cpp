// Simulated HID devices end to end: SimulatedHidServer on the device side, the HID contract on
// the host side, over real sockets in a fresh state root per test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/hid/hid.h"
#include "platform/hid/simulated_hid_server.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::hid {
namespace {

namespace fs = std::filesystem;
using namespace std::literals;

// Generous limits that only keep a broken test from hanging.
constexpr auto kLimit = 10s;

std::unique_ptr<SimulatedHidServer> Plug(const std::string& name, std::uint16_t usage = 0x4A00,
                                         SimulatedHidServer::Handlers handlers = {}) {
    return SimulatedHidServer::Create(name, 0xFF45, usage, 0x1234, 0x0001, std::move(handlers));
}

std::vector<std::string> Paths(const std::vector<DeviceInfo>& devices) {
    std::vector<std::string> paths;
    for (const DeviceInfo& d : devices) {
        if (d.path.rfind("/dev/hidraw", 0) != 0) {
            paths.push_back(d.path);
        }
    }
    return paths;
}

std::vector<std::string> SimulatedPaths() {
    bool ok = false;
    std::vector<std::string> paths = Paths(Enumerate(&ok));
    EXPECT_TRUE(ok);
    return paths;
}

std::string Dir() {
    return SimulatedDeviceDirectory();
}

// The helper simulator is built beside this test.
std::string SimulatorPath() {
    return (fs::path(test::SelfPath()).parent_path() / "hid_test_simulator").string();
}

struct ReadResult {
    bool returned = false;
    bool ok = false;
    std::string report;
    unsigned long error = 0;
    std::string message;
};

// Read on another thread; a Read that does not come back within kLimit fails the test (and is
// cancelled) instead of hanging it.
ReadResult ReadOnce(Device& device) {
    auto future = std::async(std::launch::async, [&device] {
        ReadResult r;
        try {
            r.ok = device.Read(r.report);
        } catch (const HidError& e) {
            r.error = e.code();
            r.message = e.what();
        }
        r.returned = true;
        return r;
    });
    if (future.wait_for(kLimit) != std::future_status::ready) {
        ADD_FAILURE() << "Read did not return";
        device.CancelRead();
    }
    return future.get();
}

unsigned long ErrorOf(const std::function<void()>& action, std::string* message = nullptr) {
    try {
        action();
    } catch (const HidError& e) {
        if (message != nullptr) {
            *message = e.what();
        }
        return e.code();
    }
    return 0;
}

std::string AllByteValues(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        bytes[i] = static_cast<char>((i * 7 + 0xFF) & 0xFF);  // 0x00 and 0xFF both occur
    }
    return bytes;
}

// A raw listening (or, with listen = false, bound and then abandoned) socket, as a simulator of
// our own making or a dead one would leave it.
int RawSocket(const std::string& path, bool listen) {
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0) << path;
    if (listen) {
        EXPECT_EQ(::listen(fd, 8), 0);
        return fd;
    }
    ::close(fd);
    return -1;
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const char* kMetadata =
    "version=1\nusage_page=0xFF45\nusage=0x4B00\nvendor_id=0x1234\nproduct_id=7\n";

TEST(SimulatedHid, EnumerationListsServedDevicesByName) {
    test::TempRoot root;
    auto b = Plug("scanner-b", 0x4A00);
    auto a = Plug("scanner-a", 0x4B00);
    auto scale = Plug("scale", 0x6E00);
    auto upper = Plug("Z", 0x6E01);

    // Leftovers and strangers, none of which is a device.
    RawSocket(Dir() + "/stale.sock", false);  // its simulator is gone
    WriteFile(Dir() + "/stale.dev", kMetadata);
    WriteFile(Dir() + "/nosock.dev", kMetadata);
    int noDev = RawSocket(Dir() + "/nodev.sock", true);
    int badMeta = RawSocket(Dir() + "/badmeta.sock", true);
    WriteFile(Dir() + "/badmeta.dev", "version=1\nusage=banana\n");
    fs::create_directory(Dir() + "/dir.sock");
    WriteFile(Dir() + "/dir.dev", kMetadata);
    // A simulator that listens but does not lock its metadata is still found (by connecting).
    int unlocked = RawSocket(Dir() + "/unlocked.sock", true);
    WriteFile(Dir() + "/unlocked.dev", kMetadata);

    const std::vector<std::string> expected = {Dir() + "/Z.sock", Dir() + "/scale.sock",
                                               Dir() + "/scanner-a.sock", Dir() + "/scanner-b.sock",
                                               Dir() + "/unlocked.sock"};
    EXPECT_EQ(SimulatedPaths(), expected);
    EXPECT_EQ(SimulatedPaths(), expected);  // and again, in the same order

    std::vector<DeviceInfo> devices = Enumerate();
    ASSERT_GE(devices.size(), 5u);
    EXPECT_EQ(devices[0].usage, 0x6E01);
    EXPECT_EQ(devices[1].usage, 0x6E00);
    EXPECT_EQ(devices[2].usage, 0x4B00);
    EXPECT_EQ(devices[3].usage, 0x4A00);
    EXPECT_EQ(devices[4].productId, 7);
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(devices[i].usagePage, 0xFF45);
        EXPECT_EQ(devices[i].vendorId, 0x1234);
    }
    ::close(noDev);
    ::close(badMeta);
    ::close(unlocked);
}

TEST(SimulatedHid, EnumerationWithoutDeviceDirectoryIsOk) {
    test::TempRoot root;
    bool ok = false;
    EXPECT_TRUE(Paths(Enumerate(&ok)).empty());
    EXPECT_TRUE(ok);
}

TEST(SimulatedHid, IdentifyReadsTheMetadata) {
    test::TempRoot root;
    SimulatedDeviceDescription description{"scale", 0xFF45, 0x6E02, 0xABCD, 0x00FF, "A scale"};
    auto server = SimulatedHidServer::Create(description);
    std::optional<DeviceInfo> info = Identify(server->Path());
    ASSERT_TRUE(info);
    EXPECT_EQ(info->path, server->Path());
    EXPECT_EQ(info->usagePage, 0xFF45);
    EXPECT_EQ(info->usage, 0x6E02);
    EXPECT_EQ(info->vendorId, 0xABCD);
    EXPECT_EQ(info->productId, 0x00FF);
    EXPECT_EQ(server->HostCount(), 0u);

    RawSocket(Dir() + "/stale.sock", false);
    WriteFile(Dir() + "/stale.dev", kMetadata);
    EXPECT_FALSE(Identify(Dir() + "/stale.sock"));
    EXPECT_FALSE(Identify(Dir() + "/absent.sock"));
    server->Unplug();
    EXPECT_FALSE(Identify(server->Path()));
}

class SimulatedHidReports : public testing::TestWithParam<std::size_t> {};

TEST_P(SimulatedHidReports, EveryByteSurvivesBothWays) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> device = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));

    const std::string input = AllByteValues(GetParam());
    ASSERT_TRUE(server->SendReport(input));
    ReadResult r = ReadOnce(*device);
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.report, input);

    std::string output = input;
    output[0] = '\0';  // report id 0
    device->Write(output);
    std::optional<std::string> received = server->NextOutputReport(kLimit);
    ASSERT_TRUE(received);
    EXPECT_EQ(*received, output);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SimulatedHidReports,
                         testing::Values(1, 2, 12, 64, 512, kMaxReportSize),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                             return "Bytes" + std::to_string(info.param);
                         });

TEST(SimulatedHid, ReportsAreKeptApartAndInOrder) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> device = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    const std::vector<std::string> reports = {std::string(1, '\0'), std::string(3, '\xFF'),
                                              std::string("\x00\x01\x00", 3)};
    for (const std::string& report : reports) {
        ASSERT_TRUE(server->SendReport(report));
        device->Write(report);
    }
    for (const std::string& report : reports) {
        EXPECT_EQ(ReadOnce(*device).report, report);
        EXPECT_EQ(server->NextOutputReport(kLimit), report);
    }
}

TEST(SimulatedHid, ReportsOutsideTheSizeLimitsAreRefused) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> device = Open(server->Path());
    std::string message;
    EXPECT_EQ(ErrorOf([&] { device->Write(""sv); }, &message), 87u);
    EXPECT_NE(message.find(server->Path()), std::string::npos) << message;
    EXPECT_EQ(ErrorOf([&] { device->Write(std::string(kMaxReportSize + 1, 'x')); }), 87u);
    EXPECT_EQ(ErrorOf([&] { server->SendReport(""sv); }), 87u);
    EXPECT_EQ(ErrorOf([&] { server->SendReport(std::string(kMaxReportSize + 1, 'x')); }), 87u);
}

TEST(SimulatedHid, OversizedReportOfAForeignSimulatorIsAnErrorNotATruncation) {
    test::TempRoot root;
    fs::create_directories(Dir());
    int listener = RawSocket(Dir() + "/foreign.sock", true);
    WriteFile(Dir() + "/foreign.dev", kMetadata);
    std::unique_ptr<Device> device = Open(Dir() + "/foreign.sock");
    int peer = ::accept(listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    std::string big(kMaxReportSize + 1, '\x55');
    ASSERT_EQ(::send(peer, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    ASSERT_EQ(::send(peer, "\x00\xFF", 2, 0), 2);

    ReadResult tooLong = ReadOnce(*device);
    EXPECT_EQ(tooLong.error, 234u) << tooLong.message;
    EXPECT_NE(tooLong.message.find("foreign.sock"), std::string::npos);
    ReadResult next = ReadOnce(*device);  // the link goes on with the next report
    EXPECT_TRUE(next.ok);
    EXPECT_EQ(next.report, std::string("\x00\xFF", 2));
    ::close(peer);
    ::close(listener);
}

TEST(SimulatedHid, OversizedReportOfAForeignHostCutsThatHostOff) {
    test::TempRoot root;
    std::mutex mutex;
    std::vector<std::string> errors;
    SimulatedHidServer::Handlers handlers;
    handlers.error = [&](const std::string& message) {
        std::lock_guard<std::mutex> lock(mutex);
        errors.push_back(message);
    };
    auto server = Plug("scanner", 0x4A00, handlers);
    int host = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", server->Path().c_str());
    ASSERT_EQ(::connect(host, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    std::string big(kMaxReportSize + 1, '\x55');
    ASSERT_EQ(::send(host, big.data(), big.size(), 0), static_cast<ssize_t>(big.size()));
    char byte;
    EXPECT_EQ(::recv(host, &byte, 1, 0), 0);  // cut off: end of file
    ::close(host);
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find(std::to_string(kMaxReportSize + 1)), std::string::npos) << errors[0];
    EXPECT_FALSE(server->NextOutputReport(0ms));
}

TEST(SimulatedHid, CancelWakesABlockedReadAndStays) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> device = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    std::promise<bool> result;
    std::thread reader([&] {
        std::string report;
        result.set_value(device->Read(report));
    });
    // Whether the reader already waits or not, the cancel must end its Read.
    std::this_thread::sleep_for(50ms);
    device->CancelRead();
    std::future<bool> future = result.get_future();
    ASSERT_EQ(future.wait_for(kLimit), std::future_status::ready);
    EXPECT_FALSE(future.get());
    reader.join();

    // Later reads are cancelled too, even with a report waiting.
    ASSERT_TRUE(server->SendReport("\x01\x02"sv));
    EXPECT_FALSE(ReadOnce(*device).ok);
    // Writes still work.
    device->Write(std::string(1, '\0'));
    EXPECT_TRUE(server->NextOutputReport(kLimit));
}

TEST(SimulatedHid, WriteWhileAReadWaits) {
    test::TempRoot root;
    SimulatedHidServer* self = nullptr;
    SimulatedHidServer::Handlers handlers;
    std::promise<SimulatedHidServer*> created;
    std::shared_future<SimulatedHidServer*> ready = created.get_future().share();
    handlers.outputReport = [ready](std::string_view report) {
        ready.get()->SendReport(std::string(report) + "!");  // answer from the handler
    };
    auto server = Plug("scale", 0x6E00, handlers);
    self = server.get();
    created.set_value(self);
    std::unique_ptr<Device> device = Open(server->Path());
    auto reading = std::async(std::launch::async, [&] { return ReadOnce(*device); });
    device->Write(std::string("\x00\x57", 2));
    ReadResult r = reading.get();
    ASSERT_TRUE(r.ok) << r.message;
    EXPECT_EQ(r.report, std::string("\x00\x57!", 3));
}

TEST(SimulatedHid, UnplugWhileAReadWaits) {
    test::TempRoot root;
    std::mutex mutex;
    std::vector<std::size_t> hostCounts;
    std::vector<std::thread::id> handlerThreads;
    SimulatedHidServer::Handlers handlers;
    handlers.hostsChanged = [&](std::size_t hosts) {
        std::lock_guard<std::mutex> lock(mutex);
        hostCounts.push_back(hosts);
        handlerThreads.push_back(std::this_thread::get_id());
    };
    auto server = Plug("scanner", 0x4A00, handlers);
    const std::string path = server->Path();
    std::unique_ptr<Device> device = Open(path);
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));

    auto reading = std::async(std::launch::async, [&] { return ReadOnce(*device); });
    std::this_thread::sleep_for(50ms);  // most likely inside the wait by now; either way works
    server->Unplug();
    ReadResult lost = reading.get();
    EXPECT_FALSE(lost.ok);
    EXPECT_EQ(lost.error, 1167u);
    EXPECT_NE(lost.message.find(path), std::string::npos) << lost.message;

    // Every later attempt fails once more, the same way.
    for (int i = 0; i < 3; ++i) {
        ReadResult again = ReadOnce(*device);
        EXPECT_TRUE(again.returned);
        EXPECT_EQ(again.error, 1167u);
    }
    EXPECT_EQ(ErrorOf([&] { device->Write(std::string(1, '\0')); }), 1167u);
    EXPECT_TRUE(SimulatedPaths().empty());
    EXPECT_FALSE(Identify(path));
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(Dir() + "/scanner.dev"));
    EXPECT_EQ(ErrorOf([&] { Open(path); }), 2u);
    EXPECT_FALSE(server->SendReport("\x00"sv));
    EXPECT_FALSE(server->IsPlugged());
    server->Unplug();  // again: nothing happens

    server.reset();  // joins the server thread: every handler call has happened
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(hostCounts, (std::vector<std::size_t>{1, 0}));
    for (std::thread::id id : handlerThreads) {
        EXPECT_NE(id, std::this_thread::get_id());
    }
}

TEST(SimulatedHid, ReplugAndReopen) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> first = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    server->Unplug();
    EXPECT_EQ(ReadOnce(*first).error, 1167u);

    server->Replug();
    server->Replug();  // already plugged: nothing happens
    EXPECT_TRUE(server->IsPlugged());
    EXPECT_EQ(SimulatedPaths(), std::vector<std::string>{server->Path()});
    std::unique_ptr<Device> second = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    ASSERT_TRUE(server->SendReport("\x00\xFF\x00"sv));
    EXPECT_EQ(ReadOnce(*second).report, std::string("\x00\xFF\x00", 3));
    EXPECT_EQ(ReadOnce(*first).error, 1167u);  // the old handle stays lost
}

TEST(SimulatedHid, CloseAndReopenAtOnce) {
    test::TempRoot root;
    auto server = Plug("scanner");
    for (int i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        std::unique_ptr<Device> device = Open(server->Path());
        ASSERT_TRUE(server->WaitForHosts(1, kLimit));
        device->Write(std::string(1, static_cast<char>(i)));
        EXPECT_EQ(server->NextOutputReport(kLimit), std::string(1, static_cast<char>(i)));
        ASSERT_TRUE(server->SendReport(std::string(1, static_cast<char>(i))));
        EXPECT_EQ(ReadOnce(*device).report, std::string(1, static_cast<char>(i)));
    }
}

TEST(SimulatedHid, SeveralHostsEachGetEveryReport) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::unique_ptr<Device> one = Open(server->Path());
    std::unique_ptr<Device> two = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(2, kLimit));
    ASSERT_TRUE(server->SendReport("\x00\x42"sv));
    EXPECT_EQ(ReadOnce(*one).report, std::string("\x00\x42", 2));
    EXPECT_EQ(ReadOnce(*two).report, std::string("\x00\x42", 2));
    one->Write("\x00\x01"sv);
    EXPECT_EQ(server->NextOutputReport(kLimit), std::string("\x00\x01", 2));
    two->Write("\x00\x02"sv);
    EXPECT_EQ(server->NextOutputReport(kLimit), std::string("\x00\x02", 2));

    one.reset();  // one host leaving does not disturb the other
    ASSERT_TRUE(server->SendReport("\x00\x43"sv));
    EXPECT_EQ(ReadOnce(*two).report, std::string("\x00\x43", 2));
}

TEST(SimulatedHid, AHostBeyondTheLimitReadsTheDeviceAsLost) {
    test::TempRoot root;
    auto server = Plug("scanner");
    std::vector<std::unique_ptr<Device>> hosts;
    for (std::size_t i = 0; i < kMaxSimulatedHosts; ++i) {
        hosts.push_back(Open(server->Path()));
    }
    ASSERT_TRUE(server->WaitForHosts(kMaxSimulatedHosts, kLimit));
    std::unique_ptr<Device> extra = Open(server->Path());
    EXPECT_EQ(ReadOnce(*extra).error, 1167u);
    EXPECT_EQ(server->HostCount(), kMaxSimulatedHosts);
    ASSERT_TRUE(server->SendReport("\x00"sv));
    EXPECT_TRUE(ReadOnce(*hosts.back()).ok);
}

TEST(SimulatedHid, SendWithoutHostIsDropped) {
    test::TempRoot root;
    auto server = Plug("scanner");
    EXPECT_FALSE(server->SendReport("\x00\x01"sv));
    std::unique_ptr<Device> device = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    ASSERT_TRUE(server->SendReport("\x00\x02"sv));
    EXPECT_EQ(ReadOnce(*device).report, std::string("\x00\x02", 2));  // not the dropped one
}

TEST(SimulatedHid, NamesAreCheckedAndALiveNameIsNotTakenOver) {
    test::TempRoot root;
    EXPECT_EQ(ErrorOf([] { Plug("../escape"); }), 87u);
    EXPECT_EQ(ErrorOf([] { Plug(""); }), 87u);
    auto first = Plug("scanner");
    std::string message;
    EXPECT_EQ(ErrorOf([] { Plug("scanner"); }, &message), 183u);
    EXPECT_NE(message.find("scanner.sock"), std::string::npos) << message;
    first->Unplug();
    auto second = Plug("scanner");  // free again
    EXPECT_EQ(SimulatedPaths().size(), 1u);
    EXPECT_EQ(ErrorOf([&] { first->Replug(); }), 183u);
}

TEST(SimulatedHid, TwoRootsDoNotSeeEachOther) {
    test::TempRoot rootA;
    auto inA = Plug("scanner", 0x4A00);
    const std::string pathA = inA->Path();
    {
        test::TempRoot rootB;  // SORVEX_ROOT now names B
        auto inB = Plug("scanner", 0x4B00);
        EXPECT_NE(inB->Path(), pathA);
        std::vector<DeviceInfo> seen = Enumerate();
        ASSERT_EQ(Paths(seen), std::vector<std::string>{inB->Path()});
        EXPECT_EQ(seen[0].usage, 0x4B00);
    }
    EXPECT_EQ(SimulatedPaths(), std::vector<std::string>{pathA});
}

TEST(SimulatedHid, SocketPathLongerThanASocketAddressHolds) {
    test::TempRoot root;
    fs::path deep = root.path() / std::string(60, 'd') / std::string(60, 'e');
    fs::create_directories(deep);
    ::setenv("SORVEX_ROOT", deep.c_str(), 1);  // TempRoot restores it
    auto server = Plug("a-scanner-with-a-long-name");
    ASSERT_GT(server->Path().size(), sizeof(sockaddr_un::sun_path));
    EXPECT_EQ(SimulatedPaths(), std::vector<std::string>{server->Path()});
    std::unique_ptr<Device> device = Open(server->Path());
    ASSERT_TRUE(server->WaitForHosts(1, kLimit));
    ASSERT_TRUE(server->SendReport("\x00\x01"sv));
    EXPECT_EQ(ReadOnce(*device).report, std::string("\x00\x01", 2));
}

// The simulator as a process of its own: a host in this process talks to it, then it dies
// without cleaning up.
TEST(SimulatedHid, SimulatorThatDiesLeavesNoListedDevice) {
    test::TempRoot root;
    test::Subprocess simulator({SimulatorPath(), "scanner", "0xFF45", "0x4B00", "0x1234", "2"});
    std::optional<std::string> line = simulator.ReadLine(kLimit);
    ASSERT_TRUE(line) << simulator.Stderr();
    const std::string path = Dir() + "/scanner.sock";
    ASSERT_EQ(*line, "plugged " + path);
    std::optional<DeviceInfo> info = Identify(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->usage, 0x4B00);
    EXPECT_EQ(info->productId, 2);

    std::unique_ptr<Device> device = Open(path);
    device->Write(std::string("\x00\xFF\x00", 3));
    EXPECT_EQ(ReadOnce(*device).report, std::string("\x00\xFF\x00", 3));  // echoed

    simulator.Kill(SIGKILL);
    ASSERT_TRUE(simulator.Wait(kLimit));
    EXPECT_EQ(ReadOnce(*device).error, 1167u);
    EXPECT_TRUE(fs::exists(path));  // left behind, but not a device any more
    EXPECT_TRUE(SimulatedPaths().empty());
    EXPECT_FALSE(Identify(path));
    EXPECT_EQ(ErrorOf([&] { Open(path); }), 2u);

    auto successor = Plug("scanner");  // takes the name over
    EXPECT_EQ(SimulatedPaths(), std::vector<std::string>{path});
}

TEST(SimulatedHid, UnplugAndReplugOfAnotherProcess) {
    test::TempRoot root;
    test::Subprocess simulator({SimulatorPath(), "scale", "0xFF45", "0x6E00", "0x1234", "3"});
    ASSERT_TRUE(simulator.ReadLine(kLimit)) << simulator.Stderr();
    std::unique_ptr<Device> device = Open(Dir() + "/scale.sock");
    simulator.Write("unplug\n");
    EXPECT_EQ(simulator.ReadLine(kLimit), "unplugged");
    EXPECT_EQ(ReadOnce(*device).error, 1167u);
    EXPECT_TRUE(SimulatedPaths().empty());
    simulator.Write("replug\n");
    ASSERT_TRUE(simulator.ReadLine(kLimit));
    device = Open(Dir() + "/scale.sock");
    device->Write(std::string("\x00\x57", 2));
    EXPECT_EQ(ReadOnce(*device).report, std::string("\x00\x57", 2));
    simulator.CloseStdin();
    EXPECT_EQ(simulator.Wait(kLimit), 0);
    EXPECT_TRUE(SimulatedPaths().empty());  // cleaned up on the way out
}

std::optional<std::string> FindPython() {
    const char* path = std::getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        fs::path candidate = fs::path(dirs.substr(start, end - start)) / "python3";
        if (::access(candidate.c_str(), X_OK) == 0) {
            return candidate.string();
        }
        start = end + 1;
    }
    return std::nullopt;
}

// The Python example of docs/simulated-hid.md, as a simulator written in another language.
TEST(SimulatedHid, PythonSimulatorOfTheDocumentation) {
    std::optional<std::string> python = FindPython();
    if (!python) {
        GTEST_SKIP() << "python3 not found";
    }
    test::TempRoot root;
    test::Subprocess simulator({*python, SORVEX_HID_TESTDATA_DIR "/python_simulator.py"});
    std::optional<std::string> line = simulator.ReadLine(kLimit);
    ASSERT_TRUE(line) << simulator.Stderr();
    const std::string path = Dir() + "/py-scanner.sock";
    ASSERT_EQ(*line, "ready " + path);
    std::vector<DeviceInfo> devices = Enumerate();
    ASSERT_EQ(Paths(devices), std::vector<std::string>{path});
    EXPECT_EQ(devices[0].usage, 0x4B00);

    std::unique_ptr<Device> device = Open(path);
    const std::string report = AllByteValues(512);
    device->Write(report);
    EXPECT_EQ(ReadOnce(*device).report, report);
    simulator.Kill(SIGTERM);
    simulator.Wait(kLimit);
    EXPECT_EQ(ReadOnce(*device).error, 1167u);
    EXPECT_TRUE(SimulatedPaths().empty());
}

}  // namespace
}  // namespace sorvex::hid
