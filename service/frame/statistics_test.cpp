#include "service/frame/statistics.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/temp_root.h"

namespace talvex {
namespace {

const std::string kHead =
    "<?xml version=\"1.0\"?><UPOSStat version=\"1.8.0\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns=\"http://www.nrf-arts.org/IXRetail/namespace/\" "
    "xsi:schemaLocation=\"http://www.nrf-arts.org/IXRetail/namespace/UPOSStat.xsd\">";

std::string Element(const std::string& doc, const std::string& name) {
    auto open = doc.find("<" + name + ">");
    auto close = doc.find("</" + name + ">");
    if (open == std::string::npos || close == std::string::npos) {
        return "<missing>";
    }
    open += name.size() + 2;
    return doc.substr(open, close - open);
}

bool WellFormed(const std::string& doc) {
    sorvex::test::TempRoot dir;
    auto file = dir.path() / "stats.xml";
    std::ofstream(file, std::ios::binary) << doc;
    std::string command = "xmllint --noout '" + file.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
}

TEST(Statistics, BuildsTheScaleDocumentFromTheDefaults) {
    const std::string doc = BuildStatisticsDocument(DefaultEquipment(StatisticsDevice::Scale, 0),
                                                    SelectStatistics("", StatisticsDevice::Scale),
                                                    StatisticsDevice::Scale);
    EXPECT_EQ(doc, kHead +
                       "<Event>"
                       "<Parameter><Name>HoursPoweredCount</Name><Value>0</Value></Parameter>"
                       "<Parameter><Name>CommunicationErrorCount</Name><Value>0</Value></Parameter>"
                       "<Parameter><Name>GoodWeightReadCount</Name><Value>0</Value></Parameter>"
                       "<ManufacturerSpecific></ManufacturerSpecific>"
                       "</Event><Equipment>"
                       "<UnifiedPOSVersion>1.8.0</UnifiedPOSVersion>"
                       "<DeviceCategory UPOS=\"Scale\" />"
                       "<ManufacturerName>Orvanta Vuvozadezud Inc.</ManufacturerName>"
                       "<ModelName>Orvanta Scale</ModelName>"
                       "<SerialNumber>0000000000</SerialNumber>"
                       "<ManufactureDate>yyyy-mm-dd</ManufactureDate>"
                       "<MechanicalRevision>x</MechanicalRevision>"
                       "<FirmwareRevision>xxxxx</FirmwareRevision>"
                       "<Interface>RS232</Interface>"
                       "<InstallationDate>yyyy-mm-dd</InstallationDate>"
                       "</Equipment></UPOSStat>");
    EXPECT_TRUE(WellFormed(doc));
}

TEST(Statistics, TakesReplyFieldsThatAreFollowedByAComma) {
    struct Row {
        const char* reply;
        const char* version;
        const char* serial;
        const char* date;
        const char* firmware;
        const char* interface;
    };
    const Row rows[] = {
        {"UPOS 1.8.0,Scanner,Acme,M9,AB0723XYZ1,x,R1,ABCD,RS232,", "1.8.0", "AB0723XYZ1",
         "2007-mm-dd (Week 23)", "xxxxx", "RS232"},
        // Without the ninth comma the interface keeps its default.
        {"UPOS 1.8.0,Scanner,Acme,M9,AB0723XYZ1,x,R1,ABCDE,USB", "1.8.0", "AB0723XYZ1",
         "2007-mm-dd (Week 23)", "ABCDE", "POS USB"},
        {"v2,,,,AB9801XYZ1,,,,,", "2", "AB9801XYZ1", "1998-mm-dd (Week 01)", "xxxxx", "POS USB"},
        // Weeks outside 1 to 54 and short serial numbers leave the defaults.
        {"x,,,,AB0760XYZ1,,,,,", "1.8.0", "AB0760XYZ1", "yyyy-mm-dd", "xxxxx", "POS USB"},
        {"x,,,,AB0700XYZ1,,,,,", "1.8.0", "AB0700XYZ1", "yyyy-mm-dd", "xxxxx", "POS USB"},
        {"x,,,,123456789,,,,,", "1.8.0", "0000000000", "yyyy-mm-dd", "xxxxx", "POS USB"},
        {"x,,,,AB07A3XYZ1,,,,,", "1.8.0", "AB07A3XYZ1", "yyyy-mm-dd", "xxxxx", "POS USB"},
        {"", "1.8.0", "0000000000", "yyyy-mm-dd", "xxxxx", "POS USB"},
    };
    for (const Row& row : rows) {
        EquipmentInfo e = DefaultEquipment(StatisticsDevice::Scanner, 3);
        ApplyStatisticsReply(row.reply, e);
        EXPECT_EQ(e.unifiedPosVersion, row.version) << row.reply;
        EXPECT_EQ(e.serialNumber, row.serial) << row.reply;
        EXPECT_EQ(e.manufactureDate, row.date) << row.reply;
        EXPECT_EQ(e.firmwareRevision, row.firmware) << row.reply;
        EXPECT_EQ(e.interface, row.interface) << row.reply;
    }
}

TEST(Statistics, SelectsByTheRequestText) {
    struct Row {
        const char* request;
        bool hours, errors, good, specific, unknown;
    };
    const Row rows[] = {
        {"", true, true, true, true, false},
        {"U_", true, true, true, false, false},
        {"M_", false, false, false, true, false},
        {"GoodScanCount,NoSuchCount", false, false, true, false, true},
        {"HoursPoweredCount,CommunicationErrorCount,", true, true, false, false, false},
        {"GoodWeightReadCount", false, false, false, false, true},  // the scale's name
    };
    for (const Row& row : rows) {
        StatisticsSelection s = SelectStatistics(row.request, StatisticsDevice::Scanner);
        EXPECT_EQ(s.hoursPowered, row.hours) << row.request;
        EXPECT_EQ(s.communicationErrors, row.errors) << row.request;
        EXPECT_EQ(s.goodCount, row.good) << row.request;
        EXPECT_EQ(s.manufacturerSpecific, row.specific) << row.request;
        EXPECT_EQ(s.unknownName, row.unknown) << row.request;
    }
    const std::string doc = BuildStatisticsDocument(
        DefaultEquipment(StatisticsDevice::Scanner, 1),
        SelectStatistics("M_", StatisticsDevice::Scanner), StatisticsDevice::Scanner);
    EXPECT_EQ(Element(doc, "Event"), "<ManufacturerSpecific></ManufacturerSpecific>");
}

TEST(Statistics, StaysWellFormedWhateverTheDeviceSends) {
    const std::string replies[] = {
        "<x>,A&B,\"q\",'a',AB0723XYZ1,,]]>,<!--x,&amp;,",
        std::string("\x01\x02\0\x1f,\xff\xfe,\xc3\xa9t\xc3\xa9,\xe2\x82\xac,\xed\xa0\x80" "ABCDEFG,,,"
                    "\xf4\x90\x80\x80xxxx,\xc0\xaf,",
                    43),
    };
    for (const std::string& reply : replies) {
        EquipmentInfo e = DefaultEquipment(StatisticsDevice::Scanner, 1);
        ApplyStatisticsReply(reply, e);
        const std::string doc = BuildStatisticsDocument(
            e, SelectStatistics("", StatisticsDevice::Scanner), StatisticsDevice::Scanner);
        EXPECT_TRUE(WellFormed(doc)) << doc;
    }
    EquipmentInfo e = DefaultEquipment(StatisticsDevice::Scanner, 1);
    ApplyStatisticsReply("1,A<B&C,", e);
    std::string doc = BuildStatisticsDocument(e, {}, StatisticsDevice::Scanner);
    EXPECT_NE(doc.find("<DeviceCategory UPOS=\"A&lt;B&amp;C\" />"), std::string::npos);
    ApplyStatisticsReply(std::string(",,,\xc3\xa9t\xc3\xa9,", 9), e);  // valid UTF-8 is kept
    doc = BuildStatisticsDocument(e, {}, StatisticsDevice::Scanner);
    EXPECT_EQ(Element(doc, "ModelName"), "\xc3\xa9t\xc3\xa9");
}

}  // namespace
}  // namespace talvex
