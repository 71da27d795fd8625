// RetrieveStatistics end to end: the RS-232 scanner of the device simulator answers "U" with
// the identification reply it is given; every document is checked with xmllint.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "service/frame/opos.h"
#include "service/scanner/scanner_test_support.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace talvex {
namespace {

using namespace std::chrono_literals;
using test::ScannerObject;
using test::SimProcess;

// True when xmllint finds the document well-formed; the reason otherwise.
testing::AssertionResult WellFormed(const std::string& document, const std::filesystem::path& dir) {
    const std::filesystem::path file = dir / "statistics.xml";
    std::ofstream(file, std::ios::binary) << document;
    sorvex::test::RunResult r = sorvex::test::Run({"/usr/bin/xmllint", "--noout", file.string()});
    if (r.exitCode == 0) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << "xmllint: " << r.err << "\n" << document;
}

std::string Element(const std::string& document, const std::string& name) {
    const std::string open = "<" + name + ">";
    const std::size_t start = document.find(open);
    if (start == std::string::npos) {
        return "(missing)";
    }
    const std::size_t end = document.find("</" + name + ">", start);
    return document.substr(start + open.size(), end - start - open.size());
}

class ScannerStatistics : public ::testing::Test {
  protected:
    void Start(const std::string& simModel, const std::string& kind,
               std::chrono::milliseconds wait) {
        sim = std::make_unique<SimProcess>(
            std::vector<std::string>{"--model", simModel, "--port", "COM3"});
        ASSERT_TRUE(sim->Ready());
        test::WriteScannerProfile("Lane1",
                                  {kind == "0" ? "Heronix/2110" : "6620", kind, "3", std::nullopt});
        s = std::make_unique<ScannerObject>(test::FastTimings(wait));
        ASSERT_EQ(s->OpenClaimEnable(), OPOS_SUCCESS);
    }

    sorvex::test::TempRoot root;
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<ScannerObject> s;
};

TEST_F(ScannerStatistics, ReplyFieldsFillTheEquipmentSection) {
    struct Row {
        const char* what;
        std::string reply;
        std::vector<std::pair<const char*, std::string>> expect;
    };
    const Row kRows[] = {
        {"nine fields",
         "SN 1.8.0,Scanner,Orvanta Vuvozadezud Inc.,6620,AB0723XY12,,B,FW12,USB-COM,",
         {{"UnifiedPOSVersion", "1.8.0"},
          {"ManufacturerName", "Orvanta Vuvozadezud Inc."},
          {"ModelName", "6620"},
          {"SerialNumber", "AB0723XY12"},
          {"ManufactureDate", "2007-mm-dd (Week 23)"},
          {"MechanicalRevision", "B"},
          {"FirmwareRevision", "xxxxx"},  // four characters: too short
          {"Interface", "USB-COM"}}},
        {"no comma after the ninth field",
         "SN 1.8.0,Scanner,Orvanta,6620,AB0723XY12,,B,FW1234,USB-COM",
         {{"FirmwareRevision", "FW1234"}, {"Interface", "RS232"}}},
        {"a week out of range",
         "1.9,Scanner,Orvanta,6620,AB0760XY12,,B,FW1234,RS232,",
         {{"UnifiedPOSVersion", "1.9"}, {"ManufactureDate", "yyyy-mm-dd"}}},
        {"the nineties",
         "1.8,Scanner,Orvanta,6620,AB9812XY12,,,,,",
         {{"ManufactureDate", "1998-mm-dd (Week 12)"}, {"MechanicalRevision", "x"}}},
        {"a short serial number",
         "1.8,Scanner,Orvanta,6620,123456789,,,,,",
         {{"SerialNumber", "0000000000"}, {"ManufactureDate", "yyyy-mm-dd"}}},
        {"markup and odd bytes",
         "1.8,<Scan&ner>,\"O'rv\x01\xFF\x80\",<b>,,,,,,",
         {{"ManufacturerName", "&quot;O&apos;rv???&quot;"}, {"ModelName", "&lt;b&gt;"}}},
    };
    Start("scanner-rs232", "1", test::kScannerPatience);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        const std::size_t applied = sim->Events("applied").size();
        sim->Command("reply-stats " + row.reply);
        ASSERT_TRUE(sim->WaitFor(
            [&](const SimProcess& p) { return p.Events("applied").size() == applied + 1; }));
        std::string document;
        ASSERT_EQ(s->scanner.RetrieveStatistics(&document), OPOS_SUCCESS);
        EXPECT_TRUE(WellFormed(document, root.path()));
        for (const auto& [element, value] : row.expect) {
            EXPECT_EQ(Element(document, element), value) << element;
        }
        EXPECT_EQ(s->Number(PIDX_ResultCode), OPOS_SUCCESS);
    }
}

TEST_F(ScannerStatistics, RequestTextsSelectTheStatistics) {
    struct Row {
        std::string request;
        std::int32_t rc;
        bool hours, errors, good, specific;
    };
    const Row kRows[] = {
        {"", OPOS_SUCCESS, true, true, true, true},
        {"U_", OPOS_SUCCESS, true, true, true, false},
        {"M_", OPOS_SUCCESS, false, false, false, true},
        {"GoodScanCount,NoSuchCount", OPOS_E_ILLEGAL, false, false, true, false},
        {"CommunicationErrorCount,HoursPoweredCount", OPOS_SUCCESS, true, true, false, false},
    };
    Start("scanner-rs232", "1", test::kScannerPatience);
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.request);
        std::string document = row.request;
        ASSERT_EQ(s->scanner.RetrieveStatistics(&document), row.rc);
        EXPECT_EQ(s->scanner.ResultCode(), row.rc);
        EXPECT_TRUE(WellFormed(document, root.path()));
        auto has = [&](const char* name) {
            return document.find(std::string("<Name>") + name + "</Name>") != std::string::npos;
        };
        EXPECT_EQ(has("HoursPoweredCount"), row.hours);
        EXPECT_EQ(has("CommunicationErrorCount"), row.errors);
        EXPECT_EQ(has("GoodScanCount"), row.good);
        EXPECT_EQ(
            document.find("<ManufacturerSpecific></ManufacturerSpecific>") != std::string::npos,
            row.specific);
        EXPECT_EQ(document.rfind("<?xml version=\"1.0\"?><UPOSStat version=\"1.8.0\"", 0), 0u);
    }
    // Each request went to the scanner as a single "U".
    const std::vector<std::string> commands = sim->Commands();
    EXPECT_EQ(std::count(commands.begin(), commands.end(), "U"),
              static_cast<long>(std::size(kRows)));
}

TEST_F(ScannerStatistics, NoReplyOrAShortOneTimesOut) {
    Start("scanner-rs232", "1", 300ms);
    for (const char* command : {"reply-stats off", "reply-stats 1.8,abc"}) {
        SCOPED_TRACE(command);
        const std::size_t applied = sim->Events("applied").size();
        sim->Command(command);
        ASSERT_TRUE(sim->WaitFor(
            [&](const SimProcess& p) { return p.Events("applied").size() == applied + 1; }));
        std::string document = "U_";
        EXPECT_EQ(s->scanner.RetrieveStatistics(&document), OPOS_E_TIMEOUT);
        EXPECT_EQ(document, "U_");
    }
}

// The true three seconds, once: the single cable has no statistics request.
TEST_F(ScannerStatistics, TheSingleCableTimesOutAfterTheRealWait) {
    Start("scanner-single-cable", "0", 3000ms);
    std::string document = "";
    EXPECT_EQ(s->scanner.RetrieveStatistics(&document), OPOS_E_TIMEOUT);
    EXPECT_EQ(document, "");
    EXPECT_EQ(s->Number(PIDX_ResultCode), OPOS_E_TIMEOUT);
}

}  // namespace
}  // namespace talvex
