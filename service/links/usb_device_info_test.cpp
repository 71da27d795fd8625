#include "service/links/usb_device_info.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/hid/simulated_hid_server.h"
#include "service/links/link_test_support.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using sorvex::hid::SimulatedHidServer;

constexpr std::uint16_t kOtherVendor = 0x1234;

struct KindCase {
    const char* what;
    std::optional<const char*> enforcement;  // nullopt: the value is missing
    std::uint16_t usage;
    std::uint16_t vendorId;
    const char* model;
    int kind;
};

class CheckDeviceTypeTest : public ::testing::TestWithParam<KindCase> {
  protected:
    sorvex::test::TempRoot root;
};

TEST_P(CheckDeviceTypeTest, DecidesTheKind) {
    const KindCase& c = GetParam();
    if (c.enforcement) {
        test::SetServiceInfo("VendorEnforcement", *c.enforcement);
    }
    auto device = SimulatedHidServer::Create("device", 0xFF45, c.usage, c.vendorId, 0x0001);
    EXPECT_EQ(UsbDeviceInfo::CheckDeviceType(device->Path(), c.model), c.kind);
}

const KindCase kKinds[] = {
    {"another vendor's hand-held scanner, enforcement off", "0", 0x4B00, kOtherVendor,
     "Falcora 3300", 3},
    {"another vendor's hand-held scanner, enforcement on", "1", 0x4B00, kOtherVendor,
     "Falcora 3300", 0},
    {"another vendor's device, enforcement missing counts as on", std::nullopt, 0x4A00,
     kOtherVendor, "Heronix/2110", 0},
    {"a value other than 1 is off", "2", 0x4A00, kOtherVendor, "Heronix/2110", 1},
    {"table-top model on a table-top device", "1", 0x4A00, MakerVendorId, "Heronix/2110", 1},
    {"table-top model on a hand-held device", "1", 0x4B00, MakerVendorId, "Heronix/2110", 0},
    {"the other table-top model on a hand-held device", "1", 0x4B00, MakerVendorId, "Heronix/2140",
     0},
    {"table-top model on a hand-held device, enforcement off", "0", 0x4B00, MakerVendorId,
     "Heronix/2110", 3},
    {"hand-held family on a table-top device", "1", 0x4A00, MakerVendorId, "Falcora 3300", 0},
    {"hand-held family on a hand-held device", "1", 0x4B00, MakerVendorId, "Falcora 3300", 3},
    {"the family is the first seven characters", "1", 0x4A00, MakerVendorId, "Falcor", 1},
    {"Larko/1150 on a table-top device", "1", 0x4A00, MakerVendorId, "Larko/1150", 0},
    {"hand-held family on a table-top device, enforcement off", "0", 0x4A00, MakerVendorId,
     "Falcora 3300", 1},
    {"scale usage 0x6E00", "1", 0x6E00, MakerVendorId, "scale", 2},
    {"scale usage 0x6E01", "1", 0x6E01, MakerVendorId, "scale", 2},
    {"scale usage 0x6E02", "1", 0x6E02, MakerVendorId, "scale", 2},
    {"usage 0x6E03 is no device of ours", "1", 0x6E03, MakerVendorId, "scale", 0},
    {"another vendor's scale, enforcement on", "1", 0x6E00, kOtherVendor, "scale", 0},
    {"a keyboard", "0", 0x0006, kOtherVendor, "Heronix/2110", 0},
};

INSTANTIATE_TEST_SUITE_P(Kinds, CheckDeviceTypeTest, ::testing::ValuesIn(kKinds));

class FindUsbDeviceTest : public ::testing::Test {
  protected:
    sorvex::test::TempRoot root;
};

TEST_F(FindUsbDeviceTest, APathThatIsNoDeviceIsKindZero) {
    EXPECT_EQ(UsbDeviceInfo::CheckDeviceType("/nowhere/device.sock", "scale"), 0);
    EXPECT_EQ(UsbDeviceInfo::CheckDeviceType("", "scale"), 0);
}

TEST_F(FindUsbDeviceTest, TheFirstDeviceOfTheKindInEnumerationOrderIsChosen) {
    test::TraceCapture trace;
    auto scale = SimulatedHidServer::Create("a-scale", 0xFF45, 0x6E00, MakerVendorId, 1);
    auto first = SimulatedHidServer::Create("b-scanner", 0xFF45, 0x4B00, MakerVendorId, 2);
    auto second = SimulatedHidServer::Create("c-scanner", 0xFF45, 0x4B00, MakerVendorId, 3);
    int rc = -5;
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(3, "Falcora 3300", &rc), first->Path());
    EXPECT_EQ(rc, 3);
    std::vector<std::string> messages = trace.Messages("CIbmUsbComm");
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Enter std::string UsbDeviceInfo::FindUsbDevice(...)");
    EXPECT_EQ(messages[1], "  *   DeviceType:       3");
    EXPECT_EQ(messages[2], "  *   astrModelNumber:  Falcora 3300");
    std::vector<std::string> tail(messages.end() - 3, messages.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"Exit std::string UsbDeviceInfo::FindUsbDevice(...)",
                                        "  *   DeviceName: " + first->Path(), "  *   pRC = 3"}));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   in ::CheckDeviceType, found Scale!"));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   in ::CheckDeviceType, found Scanner!"));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   in ::CheckDeviceType, VendorEnforcement is ON"));
}

TEST_F(FindUsbDeviceTest, NoDeviceOfTheKindGivesAnEmptyPathAndTheLastKindExamined) {
    test::TraceCapture trace;
    auto scanner = SimulatedHidServer::Create("scanner", 0xFF45, 0x4A00, MakerVendorId, 1);
    int rc = -5;
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(2, "scale", &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   DeviceName: <null string>"));
    EXPECT_TRUE(trace.Has(4, "CIbmUsbComm", "  *   pRC = 1"));
}

TEST_F(FindUsbDeviceTest, NoDeviceAtAllGivesKindZero) {
    int rc = -5;
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(1, "Heronix/2110", &rc), "");
    EXPECT_EQ(rc, 0);
}

TEST_F(FindUsbDeviceTest, VendorEnforcementIsReadAfreshForEverySearch) {
    auto scanner = SimulatedHidServer::Create("scanner", 0xFF45, 0x4B00, kOtherVendor, 1);
    test::SetServiceInfo("VendorEnforcement", "1");
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(3, "Falcora 3300", nullptr), "");
    test::SetServiceInfo("VendorEnforcement", "0");
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(3, "Falcora 3300", nullptr), scanner->Path());
}

TEST_F(FindUsbDeviceTest, AnUnpluggedDeviceIsNotFound) {
    auto scanner = SimulatedHidServer::Create("scanner", 0xFF45, 0x4A00, MakerVendorId, 1);
    int rc = 0;
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(1, "Heronix/2110", &rc), scanner->Path());
    scanner->Unplug();
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(1, "Heronix/2110", &rc), "");
    scanner->Replug();
    EXPECT_EQ(UsbDeviceInfo::FindUsbDevice(1, "Heronix/2110", nullptr), scanner->Path());
}

}  // namespace
}  // namespace talvex
