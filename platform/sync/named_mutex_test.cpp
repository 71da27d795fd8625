#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync/sync.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::sync {
namespace {

using namespace std::chrono_literals;

std::string ToHex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out.push_back(kDigits[c >> 4]);
        out.push_back(kDigits[c & 0xF]);
    }
    return out;
}

std::string ShmPath(std::string_view name) {
    return "/dev/shm" + NamedMutex::SystemName(name);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// The helper program is built beside the test executable.
std::string HelperPath() {
    return (std::filesystem::path(test::SelfPath()).parent_path() / "sorvex-named-mutex-helper")
        .string();
}

// A helper that died must fail the test, not kill it with SIGPIPE on the next command.
int IgnoreSigpipe() {
    static const bool done = (::signal(SIGPIPE, SIG_IGN), true);
    return done ? 0 : 0;
}

// The mutex opened in a second process (the helper program), driven one command at a time.
class OtherProcess {
  public:
    explicit OtherProcess(std::string_view name)
        : m_Child((IgnoreSigpipe(), std::vector<std::string>{HelperPath(), ToHex(name)})) {
        auto line = m_Child.ReadLine(20s);
        EXPECT_EQ(line.value_or("<nothing>"), "ready") << m_Child.Stderr();
    }
    // Ends the child by command, so that it closes the mutex as a program does.
    ~OtherProcess() {
        if (!m_Ended) {
            try {
                m_Child.Write("exit\n");
            } catch (const std::exception& e) {
                ADD_FAILURE() << "helper gone before the end: " << e.what();
            }
            m_Child.Wait(20s);
        }
    }
    std::string Command(const std::string& command) {
        m_Child.Write(command + "\n");
        return m_Child.ReadLine(20s).value_or("<no answer to " + command + ">");
    }
    void Send(const std::string& command) { m_Child.Write(command + "\n"); }
    std::string Answer() { return m_Child.ReadLine(20s).value_or("<no answer>"); }
    void Kill() {
        m_Child.Kill(SIGKILL);
        EXPECT_TRUE(m_Child.Wait(20s).has_value());
        m_Ended = true;
    }
    std::optional<int> Exit() {
        m_Child.Write("exit\n");
        m_Ended = true;
        return m_Child.Wait(20s);
    }

  private:
    test::Subprocess m_Child;
    bool m_Ended = false;
};

class NamedMutexTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
    const std::string m_Name = "OrvantaOposScanner1";
};

TEST_F(NamedMutexTest, RecursiveForTheOwningThread) {
    NamedMutex mutex(m_Name);
    EXPECT_EQ(mutex.name(), m_Name);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(mutex.Release());
    }
    EXPECT_FALSE(mutex.Release()) << "released more often than acquired";
}

TEST_F(NamedMutexTest, OwnershipBelongsToTheThreadAcrossObjectsOfOneName) {
    NamedMutex a(m_Name);
    NamedMutex b(m_Name);
    ASSERT_EQ(a.Wait(0), MutexWait::Acquired);
    EXPECT_EQ(b.Wait(0), MutexWait::Acquired) << "the owner acquires again at once";
    EXPECT_TRUE(b.Release());
    EXPECT_TRUE(a.Release());
    EXPECT_FALSE(a.Release());
    EXPECT_FALSE(b.Release());
}

TEST_F(NamedMutexTest, AnotherThreadTimesOutThenGetsItOnceReleased) {
    NamedMutex mutex(m_Name);
    ASSERT_EQ(mutex.Wait(kInfinite), MutexWait::Acquired);
    std::thread([&] {
        EXPECT_EQ(mutex.Wait(0), MutexWait::Timeout);
        EXPECT_EQ(mutex.Wait(30), MutexWait::Timeout);
        EXPECT_FALSE(mutex.Release()) << "a thread that does not own it cannot release it";
    }).join();
    std::thread waiter([&] {
        EXPECT_EQ(mutex.Wait(kInfinite), MutexWait::Acquired);
        EXPECT_TRUE(mutex.Release());
    });
    EXPECT_TRUE(mutex.Release());
    waiter.join();
}

TEST_F(NamedMutexTest, SecondProcessIsExcludedUntilRelease) {
    OtherProcess other(m_Name);
    NamedMutex mutex(m_Name);
    ASSERT_EQ(other.Command("wait 0"), "Acquired");
    EXPECT_EQ(mutex.Wait(0), MutexWait::Timeout);
    EXPECT_EQ(mutex.Wait(50), MutexWait::Timeout);
    EXPECT_FALSE(mutex.Release());
    EXPECT_EQ(other.Command("release"), "true");
    EXPECT_EQ(mutex.Wait(20000), MutexWait::Acquired);
    EXPECT_EQ(other.Command("wait 0"), "Timeout");
    EXPECT_EQ(other.Command("release"), "false");
    // The other process now waits without limit and gets it when we let go.
    other.Send("wait -1");
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(other.Answer(), "Acquired");
    EXPECT_EQ(mutex.Wait(0), MutexWait::Timeout);
}

struct KillRow {
    const char* waitCommand;  // how the second process waits while the holder is killed
    friend void PrintTo(const KillRow& row, std::ostream* os) { *os << row.waitCommand; }
};

class NamedMutexKillTest : public NamedMutexTest, public ::testing::WithParamInterface<KillRow> {};

INSTANTIATE_TEST_SUITE_P(Waits, NamedMutexKillTest,
                         ::testing::Values(KillRow{"wait -1"}, KillRow{"wait 20000"}),
                         [](const auto& info) {
                             return std::string(info.param.waitCommand) == "wait -1" ? "Forever"
                                                                                     : "Timed";
                         });

TEST_P(NamedMutexKillTest, KilledHolderAbandonsItToTheWaiterAndItKeepsWorking) {
    NamedMutex mutex(m_Name);
    auto holder = std::make_unique<OtherProcess>(m_Name);
    OtherProcess waiter(m_Name);
    ASSERT_EQ(holder->Command("wait 0"), "Acquired");
    waiter.Send(GetParam().waitCommand);
    holder->Kill();
    EXPECT_EQ(waiter.Answer(), "Abandoned");
    EXPECT_EQ(mutex.Wait(0), MutexWait::Timeout) << "the waiter owns it now";
    EXPECT_EQ(waiter.Command("release"), "true");
    EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired);
    EXPECT_TRUE(mutex.Release());
}

TEST_F(NamedMutexTest, KilledHolderIsSeenAsAbandonedByALaterWait) {
    NamedMutex mutex(m_Name);
    {
        OtherProcess holder(m_Name);
        ASSERT_EQ(holder.Command("wait 0"), "Acquired");
        EXPECT_EQ(mutex.Wait(0), MutexWait::Timeout);
        holder.Kill();
    }
    EXPECT_EQ(mutex.Wait(20000), MutexWait::Abandoned);
    EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired) << "the caller owns it after Abandoned";
    EXPECT_TRUE(mutex.Release());
    OtherProcess next(m_Name);
    EXPECT_EQ(next.Command("wait 0"), "Timeout");
    EXPECT_TRUE(mutex.Release());
    EXPECT_EQ(next.Command("wait 0"), "Acquired");
    EXPECT_EQ(next.Command("release"), "true");
    EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired);
    EXPECT_TRUE(mutex.Release());
}

TEST_F(NamedMutexTest, ThreadThatEndsHoldingItAbandonsIt) {
    NamedMutex mutex(m_Name);
    std::thread([&] { ASSERT_EQ(mutex.Wait(0), MutexWait::Acquired); }).join();
    EXPECT_EQ(mutex.Wait(0), MutexWait::Abandoned);
    EXPECT_TRUE(mutex.Release());
    std::thread([&] { EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired); }).join();
    EXPECT_EQ(mutex.Wait(kInfinite), MutexWait::Abandoned);
    EXPECT_TRUE(mutex.Release());
}

TEST_F(NamedMutexTest, DestructorReleasesWhatTheCallingThreadHolds) {
    OtherProcess other(m_Name);
    {
        NamedMutex mutex(m_Name);
        ASSERT_EQ(mutex.Wait(0), MutexWait::Acquired);
        ASSERT_EQ(mutex.Wait(0), MutexWait::Acquired);
        EXPECT_EQ(other.Command("wait 0"), "Timeout");
    }
    EXPECT_EQ(other.Command("wait 0"), "Acquired");
}

TEST_F(NamedMutexTest, HolderOnAnotherThreadKeepsItWhenTheLastObjectGoes) {
    OtherProcess other(m_Name);
    auto first = std::make_unique<NamedMutex>(m_Name);
    sync::Event held(ResetMode::Manual, false);
    sync::Event closed(ResetMode::Manual, false);
    std::thread owner([&] {
        ASSERT_EQ(first->Wait(0), MutexWait::Acquired);
        held.Set();
        ASSERT_TRUE(closed.Wait(20000));
        // Ownership is the thread's: a new object of the name releases it.
        NamedMutex again(m_Name);
        EXPECT_TRUE(again.Release());
    });
    ASSERT_TRUE(held.Wait(20000));
    first.reset();  // this thread holds nothing; the owning thread's hold stays valid
    EXPECT_EQ(other.Command("wait 0"), "Timeout");
    closed.Set();
    owner.join();
    EXPECT_EQ(other.Command("wait 0"), "Acquired");
}

TEST_F(NamedMutexTest, TwoStateRootsDoNotShareAMutex) {
    OtherProcess other(m_Name);  // started under the first root
    ASSERT_EQ(other.Command("wait 0"), "Acquired");
    {
        test::TempRoot secondRoot;
        NamedMutex elsewhere(m_Name);
        EXPECT_EQ(elsewhere.Wait(0), MutexWait::Acquired);
        EXPECT_TRUE(elsewhere.Release());
    }
    NamedMutex here(m_Name);
    EXPECT_EQ(here.Wait(0), MutexWait::Timeout);
}

TEST_F(NamedMutexTest, AnyTextIsANameAndSimilarNamesStayApart) {
    const std::string names[] = {
        "",
        "a/b",
        "a_b",
        "ab",
        std::string("nul\0and\xff", 8),
        std::string("nul\0and\xfe", 8),
        "Global\\OrvantaOposScale3",
        std::string(300, 'x'),
        "\xc3\xa9t\xc3\xa9 ..",
    };
    for (const auto& name : names) {
        EXPECT_LT(NamedMutex::SystemName(name).size(), 200u);
    }
    OtherProcess other(names[1]);
    ASSERT_EQ(other.Command("wait 0"), "Acquired");
    for (const auto& name : names) {
        SCOPED_TRACE(ToHex(name));
        NamedMutex mutex(name);
        EXPECT_EQ(mutex.Wait(0), name == names[1] ? MutexWait::Timeout : MutexWait::Acquired);
        EXPECT_EQ(mutex.Release(), name != names[1]);
    }
}

TEST_F(NamedMutexTest, SystemObjectIsSharedWithAllUsersAndGoesWithTheLastClose) {
    const std::string path = ShmPath(m_Name);
    EXPECT_FALSE(Exists(path));
    auto mine = std::make_unique<NamedMutex>(m_Name);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 0777, 0666u);
    OtherProcess other(m_Name);
    mine.reset();
    EXPECT_TRUE(Exists(path)) << "still open in the other process";
    EXPECT_EQ(other.Exit(), std::optional<int>(0));
    EXPECT_FALSE(Exists(path));
}

TEST_F(NamedMutexTest, ObjectLeftByAKilledProcessGoesWithTheNextClose) {
    const std::string path = ShmPath(m_Name);
    {
        OtherProcess other(m_Name);
        other.Kill();
    }
    EXPECT_TRUE(Exists(path));
    {
        NamedMutex mutex(m_Name);
        EXPECT_EQ(mutex.Wait(0), MutexWait::Acquired);
    }
    EXPECT_FALSE(Exists(path));
}

}  // namespace
}  // namespace sorvex::sync
