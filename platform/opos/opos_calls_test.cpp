// Methods and properties through an open control object: results, by-reference arguments,
// bytes, claims between apartments, calls from foreign threads, missing and failing methods.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/opos/standin/standin_support.h"
#include "sorvex/opos.h"
#include "tests/support/temp_root.h"

namespace {

using namespace sorvex::opos;
namespace st = sorvex::opos_test;

class OposCalls : public ::testing::Test {
  protected:
    void SetUp() override {
        st::RegisterStandIn();
        st::WriteProfile("Scanner", "Front", "SorvexStandIn.Scanner");
        st::WriteProfile("Scale", "Deli", "SorvexStandIn.Scale");
    }
    sorvex::test::TempRoot m_Root;
};

TEST_F(OposCalls, ResultCodesFollowTheLastCall) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    scanner.SetDeviceEnabled(true);  // not claimed
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(scanner.ReleaseDevice(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_NOTCLAIMED);  // a method's result stays readable
    EXPECT_EQ(scanner.ResultCodeExtended(), 0);
    ASSERT_EQ(scanner.ClaimDevice(1000), OPOS_SUCCESS);
    EXPECT_TRUE(scanner.Claimed());
    scanner.SetDeviceEnabled(true);
    EXPECT_EQ(scanner.ResultCode(), OPOS_SUCCESS);
    EXPECT_TRUE(scanner.DeviceEnabled());
    scanner.SetPowerNotify(1);
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_ILLEGAL);
    EXPECT_EQ(scanner.CheckHealth(4), OPOS_E_ILLEGAL);
    EXPECT_EQ(scanner.CheckHealthText(), "[Error]");
    EXPECT_EQ(scanner.CheckHealth(OPOS_CH_INTERNAL), OPOS_SUCCESS);
    EXPECT_EQ(scanner.CheckHealthText(), "Internal HCheck: Complete");
    // Booleans travel as 1 and 0.
    scanner.SetDecodeData(true);
    EXPECT_TRUE(scanner.DecodeData());
    scanner.SetAutoDisable(true);
    EXPECT_TRUE(scanner.AutoDisable());
    scanner.SetBinaryConversion(OPOS_BC_NIBBLE);
    EXPECT_EQ(scanner.BinaryConversion(), OPOS_BC_NIBBLE);
    EXPECT_EQ(scanner.PowerState(), OPOS_PS_UNKNOWN);
    EXPECT_TRUE(scanner.CapStatisticsReporting());
    EXPECT_FALSE(scanner.CapUpdateStatistics());
    EXPECT_EQ(scanner.ReleaseDevice(), OPOS_SUCCESS);
    EXPECT_FALSE(scanner.Claimed());
}

TEST_F(OposCalls, DirectIOAndStatisticsPassBytesBothWays) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    std::int32_t data = 21;
    std::string text("a\0\xFF\x7F", 4);
    ASSERT_EQ(scanner.DirectIO(1, data, text), OPOS_SUCCESS);
    EXPECT_EQ(data, 42);
    EXPECT_EQ(text, std::string("<a\0\xFF\x7F>", 6));

    std::string stats("GoodScanCount");
    EXPECT_EQ(scanner.RetrieveStatistics(stats), OPOS_E_NOTCLAIMED);
    EXPECT_EQ(stats, "GoodScanCount");  // unchanged on failure
    ASSERT_EQ(scanner.ClaimDevice(0), OPOS_SUCCESS);
    scanner.SetDeviceEnabled(true);
    EXPECT_EQ(scanner.RetrieveStatistics(stats), OPOS_SUCCESS);
    EXPECT_EQ(stats, "<UPOSStat><Request>GoodScanCount</Request></UPOSStat>");
    EXPECT_EQ(scanner.ResetStatistics(""), OPOS_E_ILLEGAL);
    EXPECT_EQ(scanner.UpdateStatistics("x"), OPOS_E_ILLEGAL);
}

TEST_F(OposCalls, ScaleWeightsAndCurrency) {
    OposScale scale;
    ASSERT_EQ(scale.Open("Deli"), OPOS_SUCCESS) << scale.ErrorDetail();
    ASSERT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);
    scale.SetDeviceEnabled(true);
    EXPECT_EQ(scale.MaximumWeight(), 30000);
    EXPECT_EQ(scale.WeightUnit(), SCAL_WU_POUND);
    EXPECT_TRUE(scale.CapZeroScale());
    EXPECT_TRUE(scale.CapTareWeight());
    EXPECT_FALSE(scale.CapDisplay());
    std::int32_t weight = -5;
    EXPECT_EQ(scale.ReadWeight(weight, 30), OPOS_E_TIMEOUT);
    EXPECT_EQ(weight, -5);
    std::int32_t set = 1250;
    std::string none;
    ASSERT_EQ(scale.DirectIO(4, set, none), OPOS_SUCCESS);
    EXPECT_EQ(scale.ReadWeight(weight, 1000), OPOS_SUCCESS);
    EXPECT_EQ(weight, 1250);
    scale.SetUnitPrice(12345678901234);  // beyond 32 bits: the whole currency travels
    EXPECT_EQ(scale.ResultCode(), OPOS_SUCCESS);
    EXPECT_EQ(scale.UnitPrice(), 12345678901234);
    EXPECT_EQ(scale.SalesPrice(), 24691357802468);
    EXPECT_EQ(scale.ZeroScale(), OPOS_SUCCESS);
    EXPECT_EQ(scale.DisplayText("hello"), OPOS_E_ILLEGAL);
}

TEST_F(OposCalls, OptionalMethodMissingAnswersNoService) {
    st::RegisterClass("NoZero.Scale", "Scale", "ZeroScale,GetSalesPrice");
    st::WriteProfile("Scale", "Old", "NoZero.Scale");
    OposScale scale;
    ASSERT_EQ(scale.Open("Old"), OPOS_SUCCESS) << scale.ErrorDetail();
    EXPECT_EQ(scale.ZeroScale(), OPOS_E_NOSERVICE);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_NOSERVICE);
    EXPECT_NE(scale.ErrorDetail().find("ZeroScale"), std::string::npos);
    EXPECT_EQ(scale.SalesPrice(), 0);
    EXPECT_EQ(scale.ResultCode(), OPOS_E_NOSERVICE);
    EXPECT_EQ(scale.ClaimDevice(0), OPOS_SUCCESS);  // the rest works
    EXPECT_EQ(scale.ErrorDetail(), "");
}

TEST_F(OposCalls, FailingInvokeAnswersNoServiceAndNamesTheCall) {
    st::RegisterClass("Broken.Scanner", "Scanner", "", "", "ClaimDevice,GetPropertyString");
    st::WriteProfile("Scanner", "Broken", "Broken.Scanner");
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Broken"), OPOS_SUCCESS) << scanner.ErrorDetail();
    EXPECT_EQ(scanner.ClaimDevice(0), OPOS_E_NOSERVICE);
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_NOSERVICE);
    EXPECT_NE(scanner.ErrorDetail().find("ClaimDevice: the service object's Invoke failed with "
                                         "0x80020009 (the method answered 0x80004005)"),
              std::string::npos)
        << scanner.ErrorDetail();
    EXPECT_EQ(scanner.DeviceName(), "");
    EXPECT_EQ(scanner.ResultCode(), OPOS_E_NOSERVICE);
    EXPECT_EQ(scanner.Close(), OPOS_SUCCESS);
}

TEST_F(OposCalls, ClaimsExcludeOtherApartments) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    ASSERT_EQ(scanner.ClaimDevice(0), OPOS_SUCCESS);
    std::atomic<std::int32_t> other{-1};
    std::atomic<std::int32_t> afterRelease{-1};
    std::atomic<bool> released{false};
    std::thread second([&] {
        OposScanner mine;  // its own apartment on its own thread
        if (mine.Open("Front") != OPOS_SUCCESS) {
            return;
        }
        other = mine.ClaimDevice(0);
        while (!released) {
            WaitForEvents(5);
        }
        afterRelease = mine.ClaimDevice(1000);
    });
    while (other == -1) {
        WaitForEvents(5);
    }
    EXPECT_EQ(other, OPOS_E_CLAIMED);
    ASSERT_EQ(scanner.ReleaseDevice(), OPOS_SUCCESS);
    released = true;
    second.join();
    EXPECT_EQ(afterRelease, OPOS_SUCCESS);
}

TEST_F(OposCalls, ForeignThreadIsRefusedAndTouchesNothing) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    std::int32_t claim = 0;
    std::int32_t state = -1;
    std::thread([&] {
        claim = scanner.ClaimDevice(0);
        state = scanner.State();
    }).join();
    EXPECT_EQ(claim, OPOS_E_ILLEGAL);
    EXPECT_EQ(state, 0);
    EXPECT_FALSE(scanner.Claimed());
    std::int32_t foreign = -1;
    std::string none;
    ASSERT_EQ(scanner.DirectIO(10, foreign, none), OPOS_SUCCESS);
    EXPECT_EQ(foreign, 0);  // the service object was only ever called on its own thread
}

TEST_F(OposCalls, ControlFreezeIsCountedAndSurvivesReopen) {
    OposScanner scanner;
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS) << scanner.ErrorDetail();
    auto frozen = [&] {
        std::int32_t flags = 0;
        std::string none;
        scanner.DirectIO(9, flags, none);
        return flags;
    };
    EXPECT_EQ(scanner.FreezeControlEvents(true), OPOS_SUCCESS);
    EXPECT_EQ(scanner.FreezeControlEvents(true), OPOS_SUCCESS);
    EXPECT_EQ(frozen(), 1);
    EXPECT_FALSE(scanner.FreezeEvents());  // the property is a different thing
    scanner.SetFreezeEvents(true);
    EXPECT_EQ(frozen(), 3);
    scanner.SetFreezeEvents(false);
    ASSERT_EQ(scanner.Close(), OPOS_SUCCESS);
    ASSERT_EQ(scanner.Open("Front"), OPOS_SUCCESS);
    EXPECT_EQ(frozen(), 1);  // the new service object is frozen too
    EXPECT_EQ(scanner.FreezeControlEvents(false), OPOS_SUCCESS);
    EXPECT_EQ(frozen(), 1);  // one level left
    EXPECT_EQ(scanner.FreezeControlEvents(false), OPOS_SUCCESS);
    EXPECT_EQ(frozen(), 0);
    EXPECT_EQ(scanner.FreezeControlEvents(false), OPOS_E_ILLEGAL);
}

}  // namespace
