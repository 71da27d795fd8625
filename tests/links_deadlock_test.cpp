// The lock patterns of the service objects against the port arbiter, under threads: callbacks
// that write through the arbiter while subscriptions come and go, a USB link destroyed while
// its callback waits for the arbiter lock, and an application that disables the device from
// inside its event handler while holding the lock the link's callback waits for. Each must
// finish, and the port must be free again at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "platform/hid/simulated_hid_server.h"
#include "platform/serial/serial_port.h"
#include "service/links/comm_arbiter.h"
#include "service/links/link_test_support.h"
#include "service/links/read_thread.h"
#include "service/links/usb_device_info.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using sorvex::hid::SimulatedHidServer;
using test::kPatience;
using test::Pty;
using test::WaitUntil;

constexpr int kPort = 4;

// Plays the device: reads what the host writes (so host writes never block) until stopped.
class Drain {
  public:
    explicit Drain(Pty& pty) : m_Pty(pty), m_Thread([this] { Run(); }) {}
    ~Drain() {
        m_Stop = true;
        m_Thread.join();
    }
    std::size_t Bytes() const { return m_Bytes; }

  private:
    void Run() {
        while (!m_Stop) {
            m_Bytes += m_Pty.Receive(5ms).size();
        }
    }
    Pty& m_Pty;
    std::atomic<bool> m_Stop{false};
    std::atomic<std::size_t> m_Bytes{0};
    std::thread m_Thread;
};

class LinksDeadlockTest : public ::testing::Test {
  protected:
    LinksDeadlockTest() { test::MapComPort(kPort, pty.SlavePath()); }
    ~LinksDeadlockTest() override { EXPECT_EQ(TheArbiter().IsUsbPort(kPort), -1); }

    sorvex::test::TempRoot root;
    Pty pty;
};

// A scale that asks for the next weight from inside its callback.
struct Scale {
    std::atomic<int> frames{0};
    static int Callback(void* context, const std::string&) {
        auto* self = static_cast<Scale*>(context);
        TheArbiter().WriteData(kPort,
                               "\xF8"
                               "W\xF1");
        ++self->frames;
        return 0;
    }
};

// Plays a scale that sends weights without pause until stopped. While no link reads the port
// the pty's buffer fills up: the scale writes without blocking and drops what finds no room,
// so it can always be stopped. (A frame cut short that way is junk the router skips.)
class Weigher {
  public:
    explicit Weigher(Pty& pty) : m_Pty(pty) {
        ::fcntl(m_Pty.Master(), F_SETFL, ::fcntl(m_Pty.Master(), F_GETFL) | O_NONBLOCK);
        m_Thread = std::thread([this] { Run(); });
    }
    ~Weigher() {
        m_Stop = true;
        m_Thread.join();
        ::fcntl(m_Pty.Master(), F_SETFL, ::fcntl(m_Pty.Master(), F_GETFL) & ~O_NONBLOCK);
    }

  private:
    void Run() {
        static constexpr char kWeight[] =
            "\xF8"
            "00\xF1";
        while (!m_Stop) {
            [[maybe_unused]] ssize_t n = ::write(m_Pty.Master(), kWeight, sizeof kWeight - 1);
            std::this_thread::sleep_for(200us);
        }
    }
    Pty& m_Pty;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
};

TEST_F(LinksDeadlockTest, CallbacksWriteWhileSubscriptionsComeAndGo) {
    Drain drain(pty);
    Scale scale;
    auto device = std::make_unique<Weigher>(pty);
    struct Phase {
        const char* what;
        bool keepPortOpen;  // a second subscriber holds the port open
        int rounds;
    };
    const Phase kPhases[] = {{"the port stays open", true, 300},
                             {"the last subscriber leaves each round", false, 40}};
    for (const Phase& phase : kPhases) {
        SCOPED_TRACE(phase.what);
        if (phase.keepPortOpen) {
            TheArbiter().AddSerialDevice(0, kPort, 0xF3, 0xF1, nullptr, nullptr);
        }
        const int before = scale.frames;
        for (int i = 0; i < phase.rounds; ++i) {
            TheArbiter().AddSerialDevice(1, kPort, 0xF8, 0xF1, &scale, &Scale::Callback);
            std::this_thread::sleep_for(std::chrono::microseconds(500 + 100 * (i % 20)));
            TheArbiter().RemoveSerialDevice(1, kPort, 0xF8, 0xF1);
        }
        if (phase.keepPortOpen) {
            TheArbiter().RemoveSerialDevice(0, kPort, 0xF3, 0xF1);
        }
        EXPECT_GT(scale.frames, before) << "no frame was delivered";
    }
    device.reset();
    TheArbiter().DetachContext(&scale);
    EXPECT_GT(drain.Bytes(), 0u) << "the callbacks' writes never reached the device";
}

TEST_F(LinksDeadlockTest, DestroyingAUsbLinkWhoseCallbackWaitsForTheArbiterLock) {
    auto scale = SimulatedHidServer::Create("scale", 0xFF45, 0x6E00, MakerVendorId, 1);
    struct Context {
        std::atomic<bool> entered{false};
        std::atomic<bool> removing{false};
        std::atomic<bool> done{false};
    };
    UsbDataCallback callback = [](void* p, const std::string&, int) {
        auto* c = static_cast<Context*>(p);
        if (c->entered.exchange(true)) {
            return 0;
        }
        while (!c->removing) {
            std::this_thread::sleep_for(1ms);
        }
        std::this_thread::sleep_for(20ms);  // the remover now holds the arbiter lock
        TheArbiter().WriteUsbData(2, std::string("\x00\x01\x00\x00\x00\x00", 6));
        c->done = true;
        return 0;
    };
    for (int round = 0; round < 5; ++round) {
        SCOPED_TRACE(round);
        Context context;
        TheArbiter().AddIbmUsbDevice(2, "scale", &context, callback);
        ASSERT_TRUE(scale->WaitForHosts(1, kPatience));
        ASSERT_TRUE(scale->SendReport(std::string("\x00\x05", 2)));
        ASSERT_TRUE(WaitUntil([&] { return context.entered.load(); }));
        context.removing = true;
        TheArbiter().RemoveIbmUsbDevice(2);
        EXPECT_TRUE(WaitUntil([&] { return scale->HostCount() == 0; }));
        ASSERT_TRUE(WaitUntil([&] { return context.done.load(); }));
        TheArbiter().DetachContext(&context);
    }
}

// The scanner's fire lock: the link callback takes it; the window handler holds it while the
// application's DataEvent handler runs, and that handler may disable the device.
struct Scanner {
    std::mutex fireLock;
    std::atomic<int> entered{0};
    std::atomic<int> delivered{0};
    static int Frame(void* context, const std::string&) {
        auto* self = static_cast<Scanner*>(context);
        ++self->entered;
        std::lock_guard lock(self->fireLock);
        ++self->delivered;
        return 0;
    }
    static int Report(void* context, const std::string& report, int) {
        return Frame(context, report);
    }
};

TEST_F(LinksDeadlockTest, AHandlerThatHoldsTheFireLockDisablesTheSerialDevice) {
    Scanner scanner;
    std::unique_lock fire(scanner.fireLock);  // inside the application's DataEvent handler
    TheArbiter().AddSerialDevice(0, kPort, 0x02, 0x03, &scanner, &Scanner::Frame);
    pty.Send(
        "\x02"
        "A\x03");
    ASSERT_TRUE(WaitUntil([&] { return scanner.entered == 1; }));

    TheArbiter().RemoveSerialDevice(0, kPort, 0x02, 0x03);  // DeviceEnabled = false
    EXPECT_EQ(TheArbiter().IsUsbPort(kPort), -1);
    // The port is free at once: enabling again opens it.
    TheArbiter().AddSerialDevice(0, kPort, 0x02, 0x03, &scanner, &Scanner::Frame);
    pty.Send(
        "\x02"
        "B\x03");
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(scanner.entered, 1) << "two callbacks of one port ran at once";

    // The object's destructor detaches later, from another thread: it waits for the callback.
    TheArbiter().RemoveSerialDevice(0, kPort, 0x02, 0x03);
    std::atomic<bool> detached{false};
    std::thread destructor([&] {
        TheArbiter().DetachContext(&scanner);
        detached = true;
    });
    std::this_thread::sleep_for(50ms);
    EXPECT_FALSE(detached) << "DetachContext returned while a callback was in progress";
    fire.unlock();  // the handler returns
    destructor.join();
    EXPECT_EQ(scanner.delivered, scanner.entered.load());
    EXPECT_TRUE(WaitUntil([] {
        ReadThreads().ReapFinished();
        return ReadThreads().Count() == 0;
    }));
}

TEST_F(LinksDeadlockTest, AHandlerThatHoldsTheFireLockDisablesTheUsbDevice) {
    auto device = SimulatedHidServer::Create("scanner", 0xFF45, 0x4B00, MakerVendorId, 1);
    Scanner scanner;
    std::unique_lock fire(scanner.fireLock);
    TheArbiter().AddIbmUsbDevice(3, "Falcora 3300", &scanner, &Scanner::Report);
    ASSERT_TRUE(device->WaitForHosts(1, kPatience));
    ASSERT_TRUE(
        device->SendReport(std::string("\x00\x02"
                                       "A",
                                       3)));
    ASSERT_TRUE(WaitUntil([&] { return scanner.entered == 1; }));
    TheArbiter().RemoveIbmUsbDevice(3);
    EXPECT_TRUE(WaitUntil([&] { return device->HostCount() == 0; })) << "the device stayed open";
    TheArbiter().AddIbmUsbDevice(3, "Falcora 3300", &scanner, &Scanner::Report);
    TheArbiter().RemoveIbmUsbDevice(3);
    fire.unlock();
    TheArbiter().DetachContext(&scanner);
    EXPECT_EQ(scanner.delivered, 1);
}

TEST_F(LinksDeadlockTest, UnloadJoinsTheThreadsThatLinksLeftRunning) {
    struct Stuck {
        std::atomic<bool> entered{false};
        std::atomic<bool> release{false};
        std::atomic<bool> finished{false};
    } stuck;
    DataCallback wait = [](void* p, const std::string&) {
        auto* s = static_cast<Stuck*>(p);
        s->entered = true;
        while (!s->release) {
            std::this_thread::sleep_for(1ms);
        }
        s->finished = true;
        return 0;
    };
    std::thread handler;
    {
        CCommArbiter arbiter;  // stands for the module's arbiter
        arbiter.AddSerialDevice(0, kPort, 0x02, 0x03, &stuck, wait);
        pty.Send(
            "\x02"
            "A\x03");
        ASSERT_TRUE(WaitUntil([&] { return stuck.entered.load(); }));
        arbiter.RemoveSerialDevice(0, kPort, 0x02, 0x03);  // leaves the thread in the callback
        EXPECT_EQ(ReadThreads().Count(), 1u);
        handler = std::thread([&] {
            std::this_thread::sleep_for(50ms);
            stuck.release = true;
        });
    }
    EXPECT_TRUE(stuck.finished) << "the arbiter went before the thread ended";
    EXPECT_EQ(ReadThreads().Count(), 0u) << "a read thread outlived the arbiter";
    handler.join();
}

}  // namespace
}  // namespace talvex
