// sorvex-pos against the stand-in service objects: the JSON lines, --count, --timeout, the
// one-shot commands, exit codes and the one-line errors, and two processes claiming one device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/opos/standin/standin_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"
#include "tools/sorvex-pos/json_line.h"
#include "tools/sorvex-pos/pos_test_support.h"

namespace {

namespace st = sorvex::opos_test;
using sorvex::test::Subprocess;
using namespace std::chrono_literals;
using sorvex::pos_test::Lines;
using sorvex::pos_test::ReadUntil;

auto Start(std::vector<std::string> args) {
    return sorvex::pos_test::StartPos(std::move(args));
}
using sorvex::pos_test::RunPos;

TEST(JsonLine, EveryByteIsOneCharacter) {
    const std::string bytes("a\x00\x1F\"\\\x7F\x80\xFF~", 9);
    EXPECT_EQ(sorvex::pos::JsonString(bytes), "\"a\\u0000\\u001F\\\"\\\\\\u007F\\u0080\\u00FF~\"");
    sorvex::pos::JsonLine line;
    line.Add("device", "scale").Add("Weight", 12340).Add("ok", true);
    EXPECT_EQ(line.str(), "{\"device\": \"scale\", \"Weight\": 12340, \"ok\": true}");
}

class SorvexPos : public ::testing::Test {
  protected:
    void SetUp() override {
        st::RegisterStandIn();
        m_ScannerFeed = Fifo("scanner.feed");
        m_ScaleFeed = Fifo("scale.feed");
        st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner",
                         {{"Feed", (m_Root.path() / "scanner.feed").string()}});
        st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale",
                         {{"Feed", (m_Root.path() / "scale.feed").string()}});
    }
    void TearDown() override {
        ::close(m_ScannerFeed);
        ::close(m_ScaleFeed);
    }

    // The test keeps the FIFO open for reading and writing, so writes never block and the
    // stand-in reads what is written once it has opened it too.
    int Fifo(const char* name) {
        const std::string path = (m_Root.path() / name).string();
        EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
        return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    static void Feed(int fd, const std::string& line) {
        const std::string text = line + "\n";
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

    sorvex::test::TempRoot m_Root;
    int m_ScannerFeed = -1;
    int m_ScaleFeed = -1;
};

TEST_F(SorvexPos, HelpAndBadCommandLines) {
    const auto help = RunPos({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: sorvex-pos scanner PROFILE"), std::string::npos);
    const char* bad[][3] = {{"scanner", "", ""},
                            {"scanner", "Front", "--count=0"},
                            {"scale", "Deli", "--decode"},
                            {"frobnicate", "", ""},
                            {"scanner", "Front", "--timeout"}};
    for (const auto& row : bad) {
        std::vector<std::string> args;
        for (const char* a : row) {
            if (*a != '\0') {
                args.push_back(a);
            }
        }
        const auto r = RunPos(args);
        EXPECT_EQ(r.exitCode, 2) << row[0] << " " << row[2];
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_EQ(r.err.rfind("sorvex-pos: ", 0), 0u) << r.err;
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(SorvexPos, ScannerPrintsStepsAndLabelsAndEndsAfterCount) {
    auto pos = Start({"scanner", "Front", "--decode", "--count", "2", "--timeout", "60"});
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadUntil(*pos, "\"step\": \"DataEventEnabled\"", lines)) << pos->Stderr();
    const std::vector<std::string> steps = {
        "{\"device\": \"scanner\", \"step\": \"Open\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\", \"Profile\": \"Front\", \"OpenResult\": 0}",
        "{\"device\": \"scanner\", \"step\": \"ClaimDevice\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\"}",
        "{\"device\": \"scanner\", \"step\": \"DeviceEnabled\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\"}",
        "{\"device\": \"scanner\", \"step\": \"DecodeData\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\"}",
        "{\"device\": \"scanner\", \"step\": \"DataEventEnabled\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\"}"};
    EXPECT_EQ(lines, steps);
    Feed(m_ScannerFeed, "label 104 3031303234");             // "01024"
    Feed(m_ScannerFeed, "label 501 00FF225C0A41 02300003");  // bytes, raw data apart
    ASSERT_EQ(pos->Wait(60s), 0) << pos->Stderr();
    const std::vector<std::string> rest = Lines(pos->PendingStdout());
    const std::vector<std::string> expected = {
        "{\"device\": \"scanner\", \"event\": \"DataEvent\", \"ScanData\": \"01024\", "
        "\"ScanDataLabel\": \"01024\", \"ScanDataType\": 104}",
        "{\"device\": \"scanner\", \"event\": \"DataEvent\", \"ScanData\": "
        "\"\\u00020\\u0000\\u0003\", \"ScanDataLabel\": \"\\u0000\\u00FF\\\"\\\\\\u000AA\", "
        "\"ScanDataType\": 501}",
        "{\"device\": \"scanner\", \"step\": \"Close\", \"ResultCode\": 0, \"Result\": "
        "\"OPOS_SUCCESS\"}"};
    EXPECT_EQ(rest, expected);
    EXPECT_EQ(pos->Stderr(), "");
}

TEST_F(SorvexPos, TimeoutFailsWithOneLine) {
    const auto r = RunPos({"scanner", "Front", "--count", "1", "--timeout", "0.3"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "sorvex-pos: DataEvent failed: 112 OPOS_E_TIMEOUT (data events: 0 of 1 from the "
              "scanner within 0.3 s)\n");
    const std::vector<std::string> lines = Lines(r.out);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "{\"device\": \"scanner\", \"step\": \"DataEvent\", \"ResultCode\": 112, \"Result\": "
              "\"OPOS_E_TIMEOUT\", \"DataEvents\": 0, \"Count\": 1}");
    EXPECT_NE(lines.back().find("\"step\": \"Close\""), std::string::npos);
}

TEST_F(SorvexPos, SecondProcessCannotClaimAndSignalClosesTheFirst) {
    auto first = Start({"scanner", "Front"});
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadUntil(*first, "\"step\": \"DataEventEnabled\"", lines)) << first->Stderr();
    const auto second = RunPos({"scanner", "Front", "--claim", "0", "--count", "1"});
    EXPECT_EQ(second.exitCode, 1);
    EXPECT_EQ(second.err, "sorvex-pos: ClaimDevice failed: 102 OPOS_E_CLAIMED\n");
    const std::vector<std::string> out = Lines(second.out);
    ASSERT_EQ(out.size(), 3u) << second.out;
    EXPECT_EQ(out[1],
              "{\"device\": \"scanner\", \"step\": \"ClaimDevice\", \"ResultCode\": 102, "
              "\"Result\": \"OPOS_E_CLAIMED\"}");
    EXPECT_NE(out[2].find("\"step\": \"Close\""), std::string::npos);

    first->Kill(SIGTERM);
    ASSERT_EQ(first->Wait(30s), 0) << first->Stderr();
    EXPECT_EQ(Lines(first->PendingStdout()).back(),
              "{\"device\": \"scanner\", \"step\": \"Close\", \"ResultCode\": 0, \"Result\": "
              "\"OPOS_SUCCESS\"}");
    // Now the claim is free.
    const auto third = RunPos({"health", "Front", "1"});
    EXPECT_EQ(third.exitCode, 0) << third.err;
}

TEST_F(SorvexPos, LaneDecodesLabelsAndReadsWeightsContinuously) {
    auto pos =
        Start({"lane", "Front", "Deli", "--count", "2", "--interval", "0", "--timeout", "60"});
    std::vector<std::string> lines;
    ASSERT_TRUE(ReadUntil(*pos, "\"step\": \"AsyncMode\"", lines)) << pos->Stderr();
    Feed(m_ScaleFeed, "weight 12340");
    Feed(m_ScannerFeed, "label 101 303132");
    Feed(m_ScannerFeed, "label 101 343536");
    ASSERT_EQ(pos->Wait(60s), 0) << pos->Stderr();
    int labels = 0;
    int weights = 0;
    for (const std::string& line : Lines(pos->PendingStdout())) {
        if (line ==
                "{\"device\": \"scanner\", \"event\": \"DataEvent\", \"ScanData\": \"012\", "
                "\"ScanDataLabel\": \"012\", \"ScanDataType\": 101}" ||
            line ==
                "{\"device\": \"scanner\", \"event\": \"DataEvent\", \"ScanData\": \"456\", "
                "\"ScanDataLabel\": \"456\", \"ScanDataType\": 101}") {
            ++labels;
        }
        if (line ==
            "{\"device\": \"scale\", \"event\": \"DataEvent\", \"Weight\": 12340, "
            "\"WeightUnit\": 4}") {
            ++weights;
        }
    }
    EXPECT_EQ(labels, 2);
    EXPECT_EQ(weights, 2);
}

TEST_F(SorvexPos, ScaleReadsSynchronously) {
    Feed(m_ScaleFeed, "weight 500");  // read by the stand-in once it is open
    const auto r = RunPos({"scale", "Deli", "--count", "1", "--timeout", "60"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("{\"device\": \"scale\", \"step\": \"ReadWeight\", \"ResultCode\": 0, "
                         "\"Result\": \"OPOS_SUCCESS\", \"Weight\": 500, \"WeightUnit\": 4}"),
              std::string::npos)
        << r.out;
}

TEST_F(SorvexPos, OneShotCommands) {
    auto info = RunPos({"info", "Deli"});  // found under Scale
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("{\"device\": \"scale\", \"step\": \"Properties\", \"DeviceName\": "
                            "\"Stand-in Scale Deli\""),
              std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("\"MaximumWeight\": 30000, \"WeightUnit\": 4"), std::string::npos);
    EXPECT_NE(info.out.find("\"ControlObjectVersion\": 1008000"), std::string::npos);

    const auto dio = RunPos({"directio", "Front", "1", "21", "ab"});
    EXPECT_EQ(dio.exitCode, 0) << dio.err;
    EXPECT_NE(dio.out.find("\"step\": \"DirectIO\", \"ResultCode\": 0, \"Result\": "
                           "\"OPOS_SUCCESS\", \"Command\": 1, \"Data\": 42, \"String\": \"<ab>\""),
              std::string::npos)
        << dio.out;

    const auto stats = RunPos({"stats", "Front", "GoodScanCount"});
    EXPECT_EQ(stats.exitCode, 0) << stats.err;
    EXPECT_NE(stats.out.find("\"Statistics\": \"<UPOSStat><Request>GoodScanCount</Request>"),
              std::string::npos);

    const auto health = RunPos({"health", "Front", "1"});
    EXPECT_EQ(health.exitCode, 0) << health.err;
    EXPECT_NE(health.out.find("\"Level\": 1, \"CheckHealthText\": \"Internal HCheck: Complete\""),
              std::string::npos);

    const auto bad = RunPos({"health", "Front", "4"});
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_EQ(bad.err, "sorvex-pos: CheckHealth failed: 106 OPOS_E_ILLEGAL\n");

    const auto none = RunPos({"info", "Nobody"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.err,
              "sorvex-pos: Open failed: 109 OPOS_E_NOEXIST (OpenResult 302 OPOS_OR_REGBADNAME: no "
              "profile \"Nobody\" under HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\"
              "Scanner or \\Scale)\n");

    const auto wrongClass = RunPos({"info", "Deli", "--scanner"});
    EXPECT_EQ(wrongClass.exitCode, 1);
    EXPECT_NE(wrongClass.err.find("OpenResult 302 OPOS_OR_REGBADNAME: no profile "
                                  "HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\"
                                  "Scanner\\Deli"),
              std::string::npos)
        << wrongClass.err;
}

}  // namespace
