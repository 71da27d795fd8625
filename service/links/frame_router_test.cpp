#include "service/links/frame_router.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "service/frame/errors.h"
#include "service/links/link_test_support.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using test::kPatience;
using test::WaitUntil;

std::string Bytes(std::initializer_list<int> values) {
    std::string s;
    for (int v : values) {
        s.push_back(static_cast<char>(v));
    }
    return s;
}

// Subscribers that log into one shared, ordered list.
struct Log {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> calls;  // subscriber, frame
};

struct Sub {
    std::string name;
    Log* log;
    int result = 0;

    static int Callback(void* context, const std::string& frame) {
        auto* self = static_cast<Sub*>(context);
        std::lock_guard lock(self->log->mutex);
        self->log->calls.emplace_back(self->name, frame);
        return self->result;
    }
};

struct Subscription {
    int start;
    int stop;
    const char* name;  // nullptr: subscribed without callback
};

struct Case {
    const char* what;
    std::vector<Subscription> subscriptions;
    std::vector<std::string> reads;  // one Dispatch each
    std::vector<std::pair<std::string, std::string>> expected;
    std::size_t buffered;  // what stays afterwards
};

class FrameRouterTest : public ::testing::TestWithParam<Case> {};

TEST_P(FrameRouterTest, CutsAndRoutesFrames) {
    const Case& c = GetParam();
    CFrameRouter router;
    Log log;
    std::vector<std::unique_ptr<Sub>> subs;
    for (const Subscription& s : c.subscriptions) {
        if (s.name == nullptr) {
            router.Subscribe(static_cast<std::uint8_t>(s.start), static_cast<std::uint8_t>(s.stop),
                             nullptr, nullptr);
            continue;
        }
        subs.push_back(std::make_unique<Sub>(Sub{s.name, &log}));
        router.Subscribe(static_cast<std::uint8_t>(s.start), static_cast<std::uint8_t>(s.stop),
                         subs.back().get(), &Sub::Callback);
    }
    for (const std::string& read : c.reads) {
        router.Dispatch(read);
    }
    EXPECT_EQ(log.calls, c.expected);
    EXPECT_EQ(router.Buffered(), c.buffered);
}

const Case kCases[] = {
    {"a scale frame arrives whole",
     {{0xF8, 0xF1, "scale"}},
     {Bytes({0xF8, 0x30, 0x30, 0xF1})},
     {{"scale", Bytes({0xF8, 0x30, 0x30, 0xF1})}},
     0},
    {"a frame split over three reads is delivered once, when its stop byte arrives",
     {{0xF8, 0xF1, "scale"}},
     {Bytes({0xF8, 0x30}), Bytes({0x30}), Bytes({0xF1})},
     {{"scale", Bytes({0xF8, 0x30, 0x30, 0xF1})}},
     0},
    {"bytes before a start byte are dropped with the frame",
     {{0x02, 0x03, "scanner"}},
     {Bytes({0x41, 0x42}), Bytes({0x02, 0x43, 0x03})},
     {{"scanner", Bytes({0x02, 0x43, 0x03})}},
     0},
    {"bytes without a start byte stay",
     {{0x02, 0x03, "scanner"}},
     {Bytes({0x41, 0x42, 0x03})},
     {},
     3},
    {"an incomplete frame and what is before it stay",
     {{0x02, 0x03, "scanner"}},
     {Bytes({0x41, 0x02, 0x43})},
     {},
     3},
    {"a start byte inside an open frame is payload",
     {{0x02, 0x03, "scanner"}},
     {Bytes({0x02, 0x41, 0x02, 0x42, 0x03})},
     {{"scanner", Bytes({0x02, 0x41, 0x02, 0x42, 0x03})}},
     0},
    {"the first stop byte of the frame's own list ends it",
     {{0x02, 0x03, "label"}, {0x01, 0x05, "other"}},
     {Bytes({0x02, 0x41, 0x05, 0x03, 0x42, 0x03})},
     {{"label", Bytes({0x02, 0x41, 0x05, 0x03})}},
     2},
    {"one start byte with two stop bytes goes by the stop byte",
     {{0x01, 0x03, "stats"}, {0x01, 0x05, "search"}},
     {Bytes({0x01, 0x41, 0x05, 0x01, 0x42, 0x03})},
     {{"search", Bytes({0x01, 0x41, 0x05})}, {"stats", Bytes({0x01, 0x42, 0x03})}},
     0},
    {"interleaved scanner and scale frames on a single cable go to their own subscribers",
     {{0xF3, 0xF1, "scanner"}, {0xF8, 0xF1, "scale"}},
     {Bytes({0xF3, 0x11, 0x41, 0xF1, 0xF8, 0x30}), Bytes({0x31, 0xF1, 0xF3, 0x42, 0xF1})},
     {{"scanner", Bytes({0xF3, 0x11, 0x41, 0xF1})},
      {"scale", Bytes({0xF8, 0x30, 0x31, 0xF1})},
      {"scanner", Bytes({0xF3, 0x42, 0xF1})}},
     0},
    {"a frame of a subscriber without callback is consumed and dropped",
     {{0x01, 0x05, nullptr}, {0x02, 0x03, "scanner"}},
     {Bytes({0x01, 0x41, 0x05, 0x02, 0x42, 0x03})},
     {{"scanner", Bytes({0x02, 0x42, 0x03})}},
     0},
    {"every byte value is payload, 0x00 and 0xFF included",
     {{0x00, 0xFF, "zero"}},
     {Bytes({0x00, 0x00, 0xFE, 0x0A, 0x0D, 0xFF})},
     {{"zero", Bytes({0x00, 0x00, 0xFE, 0x0A, 0x0D, 0xFF})}},
     0},
    {"the first of two subscriptions of one pair keeps it",
     {{0x02, 0x03, "first"}, {0x02, 0x03, "second"}},
     {Bytes({0x02, 0x41, 0x03})},
     {{"first", Bytes({0x02, 0x41, 0x03})}},
     0},
};

INSTANTIATE_TEST_SUITE_P(Frames, FrameRouterTest, ::testing::ValuesIn(kCases));

TEST(FrameRouter, TwoFramesInOneReadComeInOrderAndTheResultIsTheSecondCallbacks) {
    CFrameRouter router;
    Log log;
    Sub first{"label", &log, 5};
    Sub second{"stats", &log, 7};
    router.Subscribe(0x02, 0x03, &first, &Sub::Callback);
    router.Subscribe(0x01, 0x03, &second, &Sub::Callback);
    EXPECT_EQ(router.Dispatch(Bytes({0x02, 0x41, 0x03, 0x01, 0x42, 0x03})), 7);
    ASSERT_EQ(log.calls.size(), 2u);
    EXPECT_EQ(log.calls[0].first, "label");
    EXPECT_EQ(log.calls[1].first, "stats");
    EXPECT_EQ(router.Dispatch(Bytes({0x02, 0x43})), 0) << "no callback: 0";
    EXPECT_EQ(router.Dispatch(Bytes({0x03})), 5);
}

TEST(FrameRouter, UnsubscribeTellsWhetherASubscriberIsLeft) {
    CFrameRouter router;
    router.Subscribe(0x02, 0x03, nullptr, nullptr);
    router.Subscribe(0x01, 0x03, nullptr, nullptr);
    EXPECT_FALSE(router.Unsubscribe(0x02, 0x03));
    EXPECT_FALSE(router.Unsubscribe(0x02, 0x03)) << "removing an absent pair changes nothing";
    EXPECT_TRUE(router.Unsubscribe(0x01, 0x03));
}

TEST(FrameRouter, AStopByteLeftWithoutSubscriberDoesNotBlockThePort) {
    sorvex::test::TempRoot root;
    test::TraceCapture trace;
    CFrameRouter router;
    Log log;
    Sub scanner{"scanner", &log};
    Sub scale{"scale", &log};
    // Subscribed twice, removed once: 0x03 stays in the stop list of 0x02 without subscriber.
    router.Subscribe(0x02, 0x03, &scanner, &Sub::Callback);
    router.Subscribe(0x02, 0x03, &scanner, &Sub::Callback);
    router.Subscribe(0xF8, 0xF1, &scale, &Sub::Callback);
    EXPECT_FALSE(router.Unsubscribe(0x02, 0x03));
    router.Dispatch(Bytes({0x02, 0x41, 0x03, 0xF8, 0x30, 0xF1}));
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0], std::make_pair(std::string("scale"), Bytes({0xF8, 0x30, 0xF1})));
    EXPECT_EQ(router.Buffered(), 0u);
    EXPECT_TRUE(trace.Has(2, "CCommArbiter",
                          "  *   CFrameRouter dropped a frame that has no subscriber: 02 41 03"));
}

TEST(FrameRouter, NoiseIsBoundedAndTheFramesAfterItComeThrough) {
    CFrameRouter router;
    Log log;
    Sub scale{"scale", &log};
    router.Subscribe(0xF8, 0xF1, &scale, &Sub::Callback);
    const std::string frame = Bytes({0xF8, 0x30, 0x30, 0xF1});
    struct Noise {
        const char* what;
        std::string lead;  // before the noise
        bool chunked;      // 32-byte reads, as the serial link delivers
    };
    const Noise kNoise[] = {
        {"bytes that never hold a start byte, in one call", "", false},
        {"bytes that never hold a start byte, read by read", "", true},
        {"an open frame that never ends, in one call", Bytes({0xF8}), false},
        {"an open frame that never ends, read by read", Bytes({0xF8}), true},
    };
    for (const Noise& n : kNoise) {
        SCOPED_TRACE(n.what);
        log.calls.clear();
        std::string noise = n.lead + std::string(3 * 1024 * 1024, '\x30');
        std::size_t most = 0;
        if (n.chunked) {
            for (std::size_t i = 0; i < noise.size(); i += 32) {
                router.Dispatch(std::string_view(noise).substr(i, 32));
                most = std::max(most, router.Buffered());
            }
        } else {
            router.Dispatch(noise);
            most = router.Buffered();
        }
        EXPECT_LE(most, CFrameRouter::kMaxBuffered);
        router.Dispatch(frame);
        ASSERT_EQ(log.calls.size(), 1u);
        EXPECT_EQ(log.calls[0].second, frame);
    }
}

TEST(FrameRouter, AnOpenFrameThatFitsSurvivesTheNoiseBeforeIt) {
    CFrameRouter router;
    Log log;
    Sub scale{"scale", &log};
    router.Subscribe(0xF8, 0xF1, &scale, &Sub::Callback);
    router.Dispatch(std::string(CFrameRouter::kMaxBuffered + 100, 'x') + Bytes({0xF8, 0x30}));
    EXPECT_EQ(router.Buffered(), 2u);
    router.Dispatch(Bytes({0xF1}));
    ASSERT_EQ(log.calls.size(), 1u);
    EXPECT_EQ(log.calls[0].second, Bytes({0xF8, 0x30, 0xF1}));
}

TEST(FrameRouter, ACallbackMaySubscribeAndUnsubscribeOnItsOwnPort) {
    CFrameRouter router;
    struct Context {
        CFrameRouter* router;
        int calls = 0;
    } context{&router};
    DataCallback callback = [](void* p, const std::string&) {
        auto* c = static_cast<Context*>(p);
        ++c->calls;
        c->router->Subscribe(0x01, 0x03, nullptr, nullptr);
        c->router->Unsubscribe(0x01, 0x03);
        return 0;
    };
    router.Subscribe(0x02, 0x03, &context, callback);
    router.Dispatch(Bytes({0x02, 0x41, 0x03, 0x02, 0x42, 0x03}));
    EXPECT_EQ(context.calls, 2);
}

TEST(FrameRouter, AnExceptionFromACallbackLeavesTheRestForTheNextDispatch) {
    CFrameRouter router;
    struct Context {
        std::vector<std::string> frames;
    } context;
    DataCallback callback = [](void* p, const std::string& frame) -> int {
        auto* c = static_cast<Context*>(p);
        c->frames.push_back(frame);
        if (c->frames.size() == 1) {
            throw TalvexError("decoder failed");
        }
        return 0;
    };
    router.Subscribe(0xF8, 0xF1, &context, callback);
    EXPECT_THROW(router.Dispatch(Bytes({0xF8, 0x31, 0xF1, 0xF8, 0x32, 0xF1})), TalvexError);
    router.Dispatch("");
    ASSERT_EQ(context.frames.size(), 2u);
    EXPECT_EQ(context.frames[1], Bytes({0xF8, 0x32, 0xF1}));
}

TEST(FrameRouter, DetachStopsCallbacksAndWaitsForTheOneInProgress) {
    CFrameRouter router;
    struct Context {
        std::atomic<int> calls{0};
        std::atomic<bool> entered{false};
        std::atomic<bool> release{false};
    } context;
    DataCallback callback = [](void* p, const std::string&) {
        auto* c = static_cast<Context*>(p);
        c->calls++;
        c->entered = true;
        while (!c->release) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return 0;
    };
    router.Subscribe(0x02, 0x03, &context, callback);
    std::thread reader([&] { router.Dispatch(Bytes({0x02, 0x41, 0x03})); });
    ASSERT_TRUE(WaitUntil([&] { return context.entered.load(); }));
    std::atomic<bool> detached{false};
    std::thread destructor([&] {
        router.Detach(&context);
        detached = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(detached) << "Detach returned while the callback still ran";
    context.release = true;
    destructor.join();
    reader.join();
    EXPECT_TRUE(detached);
    router.Dispatch(Bytes({0x02, 0x42, 0x03}));
    EXPECT_EQ(context.calls, 1) << "a callback entered a detached subscriber";
    EXPECT_TRUE(router.Unsubscribe(0x02, 0x03)) << "the detached subscription still counted";
}

TEST(FrameRouter, CallbacksOfOnePortNeverOverlap) {
    CFrameRouter router;
    struct Context {
        std::atomic<int> inside{0};
        std::atomic<int> most{0};
        std::atomic<int> calls{0};
    } context;
    DataCallback callback = [](void* p, const std::string&) {
        auto* c = static_cast<Context*>(p);
        int now = ++c->inside;
        int most = c->most;
        while (now > most && !c->most.compare_exchange_weak(most, now)) {
        }
        std::this_thread::yield();
        --c->inside;
        ++c->calls;
        return 0;
    };
    router.Subscribe(0x02, 0x03, &context, callback);
    auto feed = [&] {
        for (int i = 0; i < 2000; ++i) {
            router.Dispatch(Bytes({0x02, 0x41, 0x03}));
        }
    };
    std::thread a(feed), b(feed);
    a.join();
    b.join();
    EXPECT_EQ(context.calls, 4000);
    EXPECT_EQ(context.most, 1);
}

}  // namespace
}  // namespace talvex
