// Open results that only the real service objects produce, from real causes: a USB device that
// is not attached, a port that cannot be opened, a profile that lacks a required value; and
// late-bound calls when the server's type library is not registered.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sorvex/opos.h"
#include "tests/e2e_support.h"
#include "tests/support/temp_root.h"

namespace sorvex::e2e {
namespace {

using namespace sorvex::opos;

TEST(OpenEndToEnd, OpenResultsFromRealCauses) {
    struct Row {
        const char* name;
        bool scanner;
        std::function<void()> setUp;
        std::int32_t result;      // what Open answers: OpenService's result
        std::int32_t openResult;  // OpenResult()
        const char* detail;       // part of ErrorDetail()
    };
    const Row kRows[] = {
        // The service object's GetOpenResult is the OpenResult: 107 without hardware, 403
        // for a profile that does not say enough.
        {"Full Speed USB scanner, no USB device attached", true,
         [] {
             WriteScannerProfile("Lane", {{"Model", "Falcora 3300"}, {"Scanner Version", "2"}});
         },
         OPOS_E_NOHARDWARE, OPOS_E_NOHARDWARE, "answered 107 with the open result 107"},
        {"Full Speed USB table-top scanner, no USB device attached", true,
         [] {
             WriteScannerProfile("Lane", {{"Model", "Heronix/2110"}, {"Scanner Version", "2"}});
         },
         OPOS_E_NOHARDWARE, OPOS_E_NOHARDWARE, "answered 107 with the open result 107"},
        {"USB scale, no USB device attached", false,
         [] {
             WriteScaleProfile("Lane", {{"Scale Version", "2"}});
         },
         OPOS_E_NOHARDWARE, OPOS_E_NOHARDWARE, "answered 107 with the open result 107"},
        {"single-cable scale on a port that cannot be opened", false,
         [] {
             MapComPort(9, "/nonexistent/tty-sorvex");
             WriteScaleProfile("Lane", {{"Scale Version", "0"}, {"Serial Port", "9"}});
         },
         OPOS_E_NOHARDWARE, OPOS_E_NOHARDWARE, "answered 107 with the open result 107"},
        {"scanner profile without Model", true,
         [] {
             WriteScannerProfile("Lane", {{"Scanner Version", "1"}, {"Serial Port", "3"}});
         },
         OPOS_ORS_CONFIG, OPOS_ORS_CONFIG, "answered 403 with the open result 403"},
        {"RS-232 scanner profile without Serial Port", true,
         [] {
             WriteScannerProfile("Lane", {{"Model", "6620"}, {"Scanner Version", "1"}});
         },
         OPOS_ORS_CONFIG, OPOS_ORS_CONFIG, "answered 403 with the open result 403"},
        {"single-cable scale profile without Serial Port", false,
         [] {
             WriteScaleProfile("Lane", {{"Scale Version", "0"}});
         },
         OPOS_ORS_CONFIG, OPOS_ORS_CONFIG, "answered 403 with the open result 403"},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        test::TempRoot root;
        ASSERT_TRUE(RegisterServer());
        row.setUp();
        std::unique_ptr<OposControl> device;
        if (row.scanner) {
            device = std::make_unique<OposScanner>();
        } else {
            device = std::make_unique<OposScale>();
        }
        EXPECT_EQ(device->Open("Lane"), row.result);
        EXPECT_EQ(device->OpenResult(), row.openResult);
        EXPECT_EQ(device->ResultCode(), row.result);
        EXPECT_EQ(device->State(), OPOS_S_CLOSED);
        EXPECT_NE(device->ErrorDetail().find(row.detail), std::string::npos)
            << device->ErrorDetail();
        EXPECT_EQ(device->ClaimDevice(0), OPOS_E_CLOSED);
    }
}

TEST(OpenEndToEnd, WithoutItsTypeLibraryTheServiceObjectAnswersNoNames) {
    test::TempRoot root;
    ASSERT_TRUE(RegisterServer());
    WriteScannerProfile("Lane",
                        {{"Model", "6620"}, {"Scanner Version", "1"}, {"Serial Port", "3"}});
    WriteScaleProfile("Deli", {{"Scale Version", "0"}, {"Serial Port", "3"}});
    ASSERT_TRUE(UnregisterTypeLibrary());

    // The classes are there, so the objects are created; late binding has no names to offer.
    OposScanner scanner;
    OposScale scale;
    for (OposControl* device :
         {static_cast<OposControl*>(&scanner), static_cast<OposControl*>(&scale)}) {
        EXPECT_EQ(device->Open(device == &scanner ? "Lane" : "Deli"), OPOS_E_NOSERVICE);
        EXPECT_EQ(device->OpenResult(), OPOS_OR_BADIF);
        EXPECT_EQ(device->ResultCode(), OPOS_E_NOSERVICE);
        EXPECT_EQ(device->State(), OPOS_S_CLOSED);
        // The first method looked up is named, with TYPE_E_LIBNOTREGISTERED.
        EXPECT_NE(device->ErrorDetail().find("lacks the method"), std::string::npos)
            << device->ErrorDetail();
        EXPECT_NE(device->ErrorDetail().find("0x8002801D"), std::string::npos)
            << device->ErrorDetail();
        EXPECT_EQ(device->ClaimDevice(0), OPOS_E_CLOSED);
        EXPECT_EQ(device->Close(), OPOS_E_CLOSED);
    }

    // Registered again, the same control objects open: nothing was kept from the failure.
    ASSERT_TRUE(RegisterServer());
    EXPECT_EQ(scanner.Open("Lane"), OPOS_SUCCESS) << scanner.ErrorDetail();
    EXPECT_EQ(scanner.ServiceObjectVersion() / 1000000, 1);
    EXPECT_EQ(scanner.Close(), OPOS_SUCCESS);
}

}  // namespace
}  // namespace sorvex::e2e
