// The scale as an application uses it: OposScale, the real libTalvexSO.so and the device
// simulator (a second process) on both scale interfaces. A weight comes synchronously from
// ReadWeight and asynchronously as a DataEvent on the application's thread.
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

TEST(ScaleEndToEnd, SynchronousAndAsynchronousWeightsOnBothInterfaces) {
    struct Interface {
        const char* name;
        std::vector<std::string> sim;
        Values profile;
    };
    const Interface kInterfaces[] = {
        {"single-cable serial (0)",
         {"--model", "scale-single-cable", "--port", "COM3"},
         {{"Scale Version", "0"}, {"Serial Port", "3"}}},
        {"USB (2)", {"--model", "scale-usb", "--hid-name", "scale"}, {{"Scale Version", "2"}}},
    };
    for (const Interface& kind : kInterfaces) {
        SCOPED_TRACE(kind.name);
        test::TempRoot root;
        ASSERT_TRUE(RegisterServer());
        SimulatedDevice sim(kind.sim);
        WriteScaleProfile("Deli", kind.profile);

        OposScale scale;
        struct Seen {
            std::int32_t weight;
            std::thread::id thread;
        };
        std::vector<Seen> weights;
        std::size_t errors = 0;
        scale.SetDataEventHandler([&](std::int32_t status) {
            weights.push_back({status, std::this_thread::get_id()});
        });
        scale.SetErrorEventHandler(
            [&](std::int32_t, std::int32_t, std::int32_t, std::int32_t&) { ++errors; });
        ASSERT_TRUE(OpenClaimEnable(scale, "Deli"));
        EXPECT_EQ(scale.WeightUnit(), SCAL_WU_POUND);
        EXPECT_EQ(scale.MaximumWeight(), 30000);

        // Synchronous: the steady weight in thousandths of a pound, after a load that moves.
        ASSERT_TRUE(sim.Apply("motion 300ms"));
        ASSERT_TRUE(sim.Apply("weight 1.25 lb"));
        std::int32_t weight = -1;
        EXPECT_EQ(scale.ReadWeight(weight, 5000), OPOS_SUCCESS);
        EXPECT_EQ(weight, 1250);

        // Asynchronous: ReadWeight answers at once, the weight comes as a DataEvent.
        ASSERT_TRUE(sim.Apply("motion 0"));
        ASSERT_TRUE(sim.Apply("weight 12.345 lb"));
        scale.SetAsyncMode(true);
        ASSERT_EQ(scale.ResultCode(), OPOS_SUCCESS);
        scale.SetDataEventEnabled(true);
        weight = -1;
        ASSERT_EQ(scale.ReadWeight(weight, 5000), OPOS_SUCCESS);
        ASSERT_TRUE(Serve([&] { return !weights.empty(); }));
        EXPECT_EQ(weights[0].weight, 12345);
        EXPECT_EQ(weights[0].thread, std::this_thread::get_id());
        EXPECT_FALSE(scale.DataEventEnabled());

        // A second asynchronous read, of an empty scale.
        ASSERT_TRUE(sim.Apply("zero"));
        scale.SetDataEventEnabled(true);
        ASSERT_EQ(scale.ReadWeight(weight, 5000), OPOS_SUCCESS);
        ASSERT_TRUE(Serve([&] { return weights.size() == 2; }));
        EXPECT_EQ(weights[1].weight, 0);
        DispatchEvents();
        EXPECT_EQ(weights.size(), 2u);
        EXPECT_EQ(errors, 0u);
        EXPECT_EQ(scale.Close(), OPOS_SUCCESS);
    }
}

}  // namespace
}  // namespace sorvex::e2e
