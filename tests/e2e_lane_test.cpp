// One single-cable scanner-scale, both devices in one process on one thread (as `sorvex-pos
// lane` and a checkout lane run them): the scanner's frames and the scale's replies share one
// serial port, and each control object gets only its own events.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "sorvex/opos.h"
#include "tests/e2e_support.h"
#include "tests/scale_sim.h"
#include "tests/support/temp_root.h"

namespace sorvex::e2e {
namespace {

using namespace sorvex::opos;
using talvex::test::SimulatedDevice;

TEST(LaneEndToEnd, ScannerAndScaleOfOneCableEachGetOnlyTheirOwnEvents) {
    test::TempRoot root;
    ASSERT_TRUE(RegisterServer());
    SimulatedDevice sim({"--model", "scanner-scale", "--port", "COM3"});
    WriteScannerProfile(
        "Front", {{"Model", "Heronix/2110"}, {"Scanner Version", "0"}, {"Serial Port", "3"}});
    WriteScaleProfile("Deli", {{"Scale Version", "0"}, {"Serial Port", "3"}});

    ScannerApp scanner;
    OposScale scale;
    std::vector<std::int32_t> weights;
    std::vector<std::thread::id> weightThreads;
    std::size_t scaleErrors = 0;
    scale.SetDataEventHandler([&](std::int32_t status) {
        weights.push_back(status);
        weightThreads.push_back(std::this_thread::get_id());
    });
    scale.SetErrorEventHandler(
        [&](std::int32_t, std::int32_t, std::int32_t, std::int32_t&) { ++scaleErrors; });
    ASSERT_TRUE(scanner.Start("Front"));
    ASSERT_TRUE(OpenClaimEnable(scale, "Deli"));
    scale.SetAsyncMode(true);
    ASSERT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    ASSERT_TRUE(sim.WaitForCount("command", "F3 11 00 F1", 1));

    // Labels scanned while the scale is asked again and again for a load that moves: the
    // scanner's frames and the scale's replies interleave on the port.
    const std::string labels[] = {"012345678905", "4006381333931", "96385074"};
    const char* symbologies[] = {"UPCA", "EAN13", "EAN8"};
    const std::int32_t types[] = {SCAN_SDT_UPCA, SCAN_SDT_EAN13, SCAN_SDT_EAN8};
    const char* loadTexts[] = {"1.25", "2.5", "0.75"};
    const std::int32_t loads[] = {1250, 2500, 750};
    ASSERT_TRUE(sim.Apply("motion 400ms"));
    for (std::size_t i = 0; i < std::size(labels); ++i) {
        ASSERT_TRUE(sim.Apply(std::string("weight ") + loadTexts[i] + " lb"));
        scale.SetDataEventEnabled(true);
        std::int32_t ignored = 0;
        ASSERT_EQ(scale.ReadWeight(ignored, 5000), OPOS_SUCCESS);
        sim.Write(std::string("scan ") + symbologies[i] + " " + labels[i]);
        ASSERT_TRUE(Serve([&] {
            return scanner.labels.size() == i + 1 && weights.size() == i + 1;
        })) << "labels "
            << scanner.labels.size() << ", weights " << weights.size();
        EXPECT_EQ(scanner.labels[i].scanData, labels[i]);
        EXPECT_EQ(scanner.labels[i].scanDataLabel, labels[i]);
        EXPECT_EQ(scanner.labels[i].scanDataType, types[i]);
        EXPECT_EQ(scanner.labels[i].thread, std::this_thread::get_id());
        EXPECT_EQ(weights[i], loads[i]);
        EXPECT_EQ(weightThreads[i], std::this_thread::get_id());
    }
    // The scale was asked while its load moved, on the same port as the labels.
    EXPECT_GT(sim.Count("reply", "motion"), 0u);

    // Nothing arrives late at either device.
    Serve([] { return false; }, 300ms);
    EXPECT_EQ(scanner.labels.size(), std::size(labels));
    EXPECT_EQ(weights.size(), std::size(loads));
    EXPECT_EQ(scanner.errorEvents, 0u);
    EXPECT_EQ(scaleErrors, 0u);
    for (const SeenLabel& label : scanner.labels) {
        EXPECT_EQ(label.status, 0);
    }

    // Closing one leaves the other reading from the shared port.
    EXPECT_EQ(scale.Close(), OPOS_SUCCESS);
    sim.Write("scan Code39 LANE42");
    ASSERT_TRUE(scanner.WaitForLabels(std::size(labels) + 1));
    EXPECT_EQ(scanner.labels.back().scanDataLabel, "LANE42");
    EXPECT_EQ(scanner.scanner.Close(), OPOS_SUCCESS);
}

}  // namespace
}  // namespace sorvex::e2e
