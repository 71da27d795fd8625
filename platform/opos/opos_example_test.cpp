// The example program of docs/pos-api.md, run against the stand-in service objects: it must
// keep doing what the documentation says it does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>

#include "platform/opos/standin/standin_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace {

namespace st = sorvex::opos_test;
using namespace std::chrono_literals;

int Fifo(const std::string& path) {
    EXPECT_EQ(::mkfifo(path.c_str(), 0600), 0);
    return ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

void Feed(int fd, const std::string& line) {
    const std::string text = line + "\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

bool ReadUntil(sorvex::test::Subprocess& p, const std::string& wanted) {
    while (std::optional<std::string> line = p.ReadLine(20s)) {
        if (*line == wanted) {
            return true;
        }
    }
    return false;
}

TEST(OposExample, RunsTheLaneOfTheDocumentation) {
    sorvex::test::TempRoot root;
    st::RegisterStandIn();
    const std::string scannerFeed = (root.path() / "scanner.feed").string();
    const std::string scaleFeed = (root.path() / "scale.feed").string();
    const int scanner = Fifo(scannerFeed);
    const int scale = Fifo(scaleFeed);
    st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner", {{"Feed", scannerFeed}});
    st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale", {{"Feed", scaleFeed}});

    sorvex::test::Subprocess lane(
        {sorvex::test::BinPath("opos-example").string(), "Front", "Deli", "2"});
    ASSERT_TRUE(ReadUntil(lane, "ready")) << lane.Stderr();
    Feed(scale, "weight 1250");
    ASSERT_TRUE(ReadUntil(lane, "weight 1.250 lb")) << lane.Stderr();
    Feed(scanner, "label 101 303132");
    ASSERT_TRUE(ReadUntil(lane, "label 012 (type 101)")) << lane.Stderr();
    Feed(scanner, "label 104 343536");
    ASSERT_TRUE(ReadUntil(lane, "label 456 (type 104)")) << lane.Stderr();
    EXPECT_EQ(lane.Wait(30s), 0) << lane.Stderr();
    ::close(scanner);
    ::close(scale);
}

TEST(OposExample, ReportsAFailedOpen) {
    sorvex::test::TempRoot root;
    const auto r = sorvex::test::Run({sorvex::test::BinPath("opos-example").string(), "Nobody"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(
        r.err.rfind("pos_lane: Open failed: 109 OPOS_E_NOEXIST (OpenResult 302): no profile", 0),
        0u)
        << r.err;
}

}  // namespace
