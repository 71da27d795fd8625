// Claiming across processes with the real service object: while one process holds a scanner
// profile, sorvex-pos in another gets OPOS_E_CLAIMED (102) from ClaimDevice, ends with status 1
// and says so in one line; once the holder lets go (releases, exits, or dies) the next claim
// succeeds and the device reads.
#include <gtest/gtest.h>
#include <signal.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sorvex/opos.h"
#include "tests/e2e_support.h"
#include "tests/scale_sim.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"
#include "tools/sorvex-pos/pos_test_support.h"

namespace sorvex::e2e {
namespace {

using namespace sorvex::opos;
using pos_test::ReadUntil;
using talvex::test::SimulatedDevice;

constexpr char kClaimed[] = "sorvex-pos: ClaimDevice failed: 102 OPOS_E_CLAIMED\n";

// The holder of the claim: a second sorvex-pos, or this process itself.
class Holder {
  public:
    virtual ~Holder() = default;
    // Claimed and enabled.
    virtual ::testing::AssertionResult Take() = 0;
    virtual void LetGo() = 0;
};

class PosHolder : public Holder {
  public:
    explicit PosHolder(int signal) : m_Signal(signal) {}
    ::testing::AssertionResult Take() override {
        m_Pos = pos_test::StartPos({"scanner", "Front"});
        std::vector<std::string> lines;
        if (!ReadUntil(*m_Pos, "\"step\": \"DataEventEnabled\"", lines)) {
            return ::testing::AssertionFailure()
                   << "the first sorvex-pos did not get ready: " << m_Pos->Stderr();
        }
        return ::testing::AssertionSuccess();
    }
    void LetGo() override {
        m_Pos->Kill(m_Signal);
        const std::optional<int> status = m_Pos->Wait(kPatience);
        ASSERT_TRUE(status.has_value());
        // SIGINT and SIGTERM close the device and end normally; SIGKILL leaves it to the system.
        EXPECT_EQ(*status, m_Signal == SIGKILL ? 128 + SIGKILL : 0) << m_Pos->Stderr();
    }

  private:
    int m_Signal;
    std::unique_ptr<test::Subprocess> m_Pos;
};

class InProcessHolder : public Holder {
  public:
    ::testing::AssertionResult Take() override { return OpenClaimEnable(m_Scanner, "Front"); }
    void LetGo() override {
        EXPECT_EQ(m_Scanner.ReleaseDevice(), OPOS_SUCCESS);
        EXPECT_FALSE(m_Scanner.Claimed());
    }

  private:
    OposScanner m_Scanner;
};

TEST(ClaimEndToEnd, SecondProcessGetsClaimedUntilTheHolderLetsGo) {
    struct Row {
        const char* name;
        std::function<std::unique_ptr<Holder>()> make;
    };
    const Row kRows[] = {
        {"sorvex-pos ends on SIGINT", [] { return std::make_unique<PosHolder>(SIGINT); }},
        {"sorvex-pos ends on SIGTERM", [] { return std::make_unique<PosHolder>(SIGTERM); }},
        {"sorvex-pos is killed", [] { return std::make_unique<PosHolder>(SIGKILL); }},
        {"this process releases", [] { return std::make_unique<InProcessHolder>(); }},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        test::TempRoot root;
        ASSERT_TRUE(RegisterServer());
        SimulatedDevice sim({"--model", "scanner-rs232", "--port", "COM3"});
        WriteScannerProfile("Front",
                            {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}});

        std::unique_ptr<Holder> holder = row.make();
        ASSERT_TRUE(holder->Take());
        const test::RunResult refused =
            pos_test::RunPos({"scanner", "Front", "--claim", "0", "--count", "1"});
        EXPECT_EQ(refused.exitCode, 1);
        EXPECT_EQ(refused.err, kClaimed);
        EXPECT_NE(refused.out.find("\"step\": \"ClaimDevice\", \"ResultCode\": 102, \"Result\": "
                                   "\"OPOS_E_CLAIMED\""),
                  std::string::npos)
            << refused.out;

        holder->LetGo();
        auto next = pos_test::StartPos(
            {"scanner", "Front", "--decode", "--claim", "5000", "--count", "1", "--timeout", "30"});
        std::vector<std::string> lines;
        ASSERT_TRUE(ReadUntil(*next, "\"step\": \"DataEventEnabled\"", lines)) << next->Stderr();
        sim.Write("scan UPCA 012345678905");
        ASSERT_EQ(next->Wait(kPatience), 0) << next->Stderr();
        EXPECT_NE(next->PendingStdout().find("\"ScanDataLabel\": \"012345678905\", "
                                             "\"ScanDataType\": 101"),
                  std::string::npos)
            << next->PendingStdout();
        EXPECT_EQ(next->Stderr(), "");
        holder.reset();
    }
}

TEST(ClaimEndToEnd, AWaitingClaimSucceedsWhenTheHolderReleases) {
    test::TempRoot root;
    ASSERT_TRUE(RegisterServer());
    SimulatedDevice sim({"--model", "scanner-rs232", "--port", "COM3"});
    WriteScannerProfile("Front",
                        {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}});
    InProcessHolder holder;
    ASSERT_TRUE(holder.Take());
    // The second process waits in ClaimDevice (without limit) until this one releases.
    auto waiting = pos_test::StartPos(
        {"scanner", "Front", "--decode", "--claim", "-1", "--count", "1", "--timeout", "30"});
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadUntil(*waiting, "\"step\": \"Open\"", lines)) << waiting->Stderr();
    std::optional<std::string> early = waiting->ReadLine(300ms);
    EXPECT_FALSE(early.has_value()) << *early;  // still waiting for the claim
    holder.LetGo();
    ASSERT_TRUE(ReadUntil(*waiting, "\"step\": \"DataEventEnabled\"", lines)) << waiting->Stderr();
    sim.Write("scan UPCA 012345678905");
    ASSERT_EQ(waiting->Wait(kPatience), 0) << waiting->Stderr();
    EXPECT_NE(waiting->PendingStdout().find("\"ScanDataLabel\": \"012345678905\""),
              std::string::npos);
}

}  // namespace
}  // namespace sorvex::e2e
