#include "service/scanner/scanner_decoder.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "service/frame/opos.h"

namespace talvex {
namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string s;
    for (int b : bytes) {
        s += static_cast<char>(b);
    }
    return s;
}

// A USB input report: report id, L, status bytes, 0, the part, then padding to 64 bytes.
std::string Report(const std::string& part, int a = 0x00, int b = 0x03) {
    std::string r = Bytes({0x00, static_cast<int>(part.size() + 4), a, b, 0x00}) + part;
    r.resize(std::max<std::size_t>(r.size(), 64), '\0');
    return r;
}

TEST(ScannerDecoder, SingleCableSymbologyTable) {
    struct Row {
        int s1, s2;
        std::int32_t type;
    };
    const Row kRows[] = {
        {1, 1, SCAN_SDT_UPCE},
        {1, 2, SCAN_SDT_EAN8},
        {1, 3, SCAN_SDT_UPCA},
        {1, 4, SCAN_SDT_EAN13},
        {1, 11, SCAN_SDT_UPCE_S},
        {1, 21, SCAN_SDT_UPCE_S},
        {1, 31, SCAN_SDT_UPCE_S},
        {1, 12, SCAN_SDT_EAN8_S},
        {1, 22, SCAN_SDT_EAN8_S},
        {1, 32, SCAN_SDT_EAN8_S},
        {1, 13, SCAN_SDT_UPCA_S},
        {1, 23, SCAN_SDT_UPCA_S},
        {1, 33, SCAN_SDT_UPCA_S},
        {1, 14, SCAN_SDT_EAN13_S},
        {1, 24, SCAN_SDT_EAN13_S},
        {1, 34, SCAN_SDT_EAN13_S},
        {1, 0, 0},
        {1, 5, 0},
        {1, 41, 0},
        {1, 0xFF, 0},
        {2, 0, SCAN_SDT_Code39},
        {2, 0x99, SCAN_SDT_Code39},
        {3, 7, SCAN_SDT_Codabar},
        {4, 1, SCAN_SDT_ITF},
        {5, 1, SCAN_SDT_Code128},
        {6, 1, SCAN_SDT_Code93},
        {7, 1, SCAN_SDT_EAN128},
        {0, 1, 0},
        {8, 1, 0},
        {0xFF, 3, 0},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << "s1 " << row.s1 << " s2 " << row.s2);
        const std::string frame = Bytes({0xF3, row.s1, row.s2}) + "0123" + Bytes({0xF1});
        ScanLabel decoded = ParseScannerScaleData(frame, true);
        EXPECT_EQ(decoded.scanData, "0123");
        EXPECT_EQ(decoded.scanDataLabel, "0123");
        EXPECT_EQ(decoded.scanDataType, row.type);
    }
}

TEST(ScannerDecoder, Rs232IdentifierTableWithSupplementalLengths) {
    struct Row {
        char id;
        std::size_t length;
        std::int32_t type;
    };
    const Row kRows[] = {
        {'a', 8, SCAN_SDT_Codabar},
        {'b', 8, SCAN_SDT_Code39},
        {'c', 12, SCAN_SDT_UPCA},
        {'d', 8, SCAN_SDT_UPCE},
        {'e', 14, SCAN_SDT_ITF},
        {'f', 8, 0},
        {'g', 8, SCAN_SDT_EAN8},
        {'h', 13, SCAN_SDT_EAN13},
        {'i', 8, SCAN_SDT_Code93},
        {'j', 8, SCAN_SDT_Code128},
        {'k', 8, 0},
        {'A', 8, 0},
        {'\0', 8, 0},
        {'m', 8, 0},
        {'m', 9, SCAN_SDT_UPCE_S},
        {'m', 10, 0},
        {'m', 11, SCAN_SDT_EAN8_S},
        {'m', 12, SCAN_SDT_UPCE_S},
        {'m', 13, 0},
        {'m', 14, SCAN_SDT_EAN8_S},
        {'m', 15, SCAN_SDT_UPCA_S},
        {'m', 16, SCAN_SDT_EAN13_S},
        {'m', 17, 0},
        {'m', 18, SCAN_SDT_UPCA_S},
        {'m', 19, SCAN_SDT_EAN13_S},
        {'m', 20, 0},
        {'m', 0, 0},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << "identifier " << row.id << " length " << row.length);
        const std::string label(row.length, '7');
        const std::string frame = "\x02" + std::string(1, row.id) + label + "\x03";
        ScanLabel decoded = ParseScannerOnlyData(frame, true);
        EXPECT_EQ(decoded.scanData, label);
        EXPECT_EQ(decoded.scanDataType, row.type);
    }
}

TEST(ScannerDecoder, UsbSuffixTables) {
    struct Row {
        std::string suffix;
        std::int32_t type;
    };
    const Row kRows[] = {
        {Bytes({0x0A}), SCAN_SDT_UPCE},
        {Bytes({0x0C}), SCAN_SDT_EAN8},
        {Bytes({0x0D}), SCAN_SDT_UPCA},
        {Bytes({0x16}), SCAN_SDT_EAN13},
        {Bytes({0x00, 0x11}), SCAN_SDT_UPCD1},
        {Bytes({0x00, 0x12}), SCAN_SDT_UPCD2},
        {Bytes({0x00, 0x14}), SCAN_SDT_UPCD3},
        {Bytes({0x00, 0x17}), SCAN_SDT_UPCD4},
        {Bytes({0x00, 0x1D}), SCAN_SDT_UPCD5},
        {Bytes({0x00, 0x0A, 0x0B}), SCAN_SDT_Code39},
        {Bytes({0x00, 0x0D, 0x0B}), SCAN_SDT_ITF},
        {Bytes({0x00, 0x0E, 0x0B}), SCAN_SDT_Codabar},
        {Bytes({0x00, 0x11, 0x0B}), SCAN_SDT_UPCA_S},
        {Bytes({0x00, 0x16, 0x0B}), SCAN_SDT_UPCA_S},
        {Bytes({0x00, 0x12, 0x0B}), SCAN_SDT_UPCE_S},
        {Bytes({0x00, 0x14, 0x0B}), SCAN_SDT_UPCE_S},
        {Bytes({0x00, 0x13, 0x0B}), SCAN_SDT_EAN13_S},
        {Bytes({0x00, 0x15, 0x0B}), SCAN_SDT_EAN13_S},
        {Bytes({0x00, 0x17, 0x0B}), SCAN_SDT_EAN8_S},
        {Bytes({0x00, 0x1D, 0x0B}), SCAN_SDT_EAN8_S},
        {Bytes({0x00, 0x18, 0x0B}), SCAN_SDT_Code128},
        {Bytes({0x00, 0x19, 0x0B}), SCAN_SDT_Code93},
        {Bytes({0x00, 0x20, 0x0B}), SCAN_SDT_OTHER},
        {Bytes({0x00, 0x23, 0x0B}), SCAN_SDT_OTHER},
        {Bytes({0x00, 0x24, 0x0B}), 0},
        {Bytes({0x00, 0x25, 0x0B}), SCAN_SDT_EAN128},
        {Bytes({0x00, 0x2E, 0x0B}), SCAN_SDT_PDF417},
        {Bytes({0x00, 0xFF, 0x0B}), 0},
        {Bytes({0x0F}), 0},
        {Bytes({0xFF}), 0},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::Message() << "suffix length " << row.suffix.size() << " last "
                                        << int(static_cast<unsigned char>(row.suffix.back())));
        const std::string label = Bytes({'A', 0x00, 0xFF, 'z'});
        ScanLabel decoded = ParseIbmUsbScannerData(label + row.suffix, true);
        EXPECT_EQ(decoded.scanData, label);
        EXPECT_EQ(decoded.scanDataType, row.type);
        // Without DecodeData the label is still stripped, but neither label nor type is set.
        decoded = ParseIbmUsbScannerData(label + row.suffix, false);
        EXPECT_EQ(decoded.scanData, label);
        EXPECT_EQ(decoded.scanDataLabel, "");
        EXPECT_EQ(decoded.scanDataType, 0);
    }
}

TEST(ScannerDecoder, FramingIsRemovedAndEveryByteSurvives) {
    const std::string label = Bytes({'0', 0x00, 0xFF, 0x02, 0x03, 0xF1});
    ScanLabel single = ParseScannerScaleData(Bytes({0xF3, 1, 3}) + label + Bytes({0xF1}), false);
    EXPECT_EQ(single.scanData, label);
    EXPECT_EQ(single.scanDataLabel, "");
    EXPECT_EQ(single.scanDataType, 0);

    // Further STX bytes after the first are framing; an STX inside the label is not.
    ScanLabel serial = ParseScannerOnlyData(
        "\x02\x02\x02"
        "c" +
            label + "\x03",
        true);
    EXPECT_EQ(serial.scanData, label);
    EXPECT_EQ(serial.scanDataLabel, label);
    EXPECT_EQ(serial.scanDataType, SCAN_SDT_UPCA);

    // Inputs too short to hold their framing decode to what is there, without reading past.
    EXPECT_EQ(ParseScannerScaleData(Bytes({0xF3}), true).scanData, "");
    EXPECT_EQ(ParseScannerScaleData(Bytes({0xF3, 0x01, 0xF1}), true).scanDataType, 0);
    EXPECT_EQ(ParseScannerOnlyData("\x02\x03", true).scanData, "");
    EXPECT_EQ(ParseIbmUsbScannerData(Bytes({0x0B}), true).scanData, "");
    EXPECT_EQ(ParseIbmUsbScannerData("", true).scanData, "");
}

TEST(ScannerDecoder, DataWithoutALabelIsRecognised) {
    EXPECT_FALSE(HasScanData(kDataKindScannerOnly, "\x02\x02\x02\x03"));
    EXPECT_TRUE(HasScanData(kDataKindScannerOnly,
                            "\x02\x02"
                            "c\x03"));                                // an empty label
    EXPECT_FALSE(HasScanData(kDataKindIbmUsb, Bytes({0x18, 0x0B})));  // shorter than 3
    EXPECT_TRUE(HasScanData(kDataKindIbmUsb, Bytes({0x00, 0x18, 0x0B})));
    EXPECT_FALSE(HasScanData(kDataKindIbmUsb, ""));
    EXPECT_TRUE(IsScannerScaleCommandReply(Bytes({0xF3, 0x11, 0x00, 0xF1})));
    EXPECT_TRUE(IsScannerScaleCommandReply(Bytes({0xF3, 'S', 0x11, 0x00, 0xF1})));
    EXPECT_FALSE(IsScannerScaleCommandReply(Bytes({0xF3, 0x01, 0x03, '1', 0xF1})));
}

TEST(ScannerDecoder, UsbReportHeaderAndLengthChecks) {
    struct Row {
        const char* what;
        std::string report;
        UsbReportOutcome outcome;
    };
    const std::string upca = "012345678905" + Bytes({0x0D});
    std::string longClaim = Bytes({0x00, 0x7F, 0x00, 0x03, 0x00}) + upca;  // claims 123 bytes
    const Row kRows[] = {
        {"a label", Report(upca), UsbReportOutcome::Label},
        {"status A with its free bits", Report(upca, 0x30, 0x07), UsbReportOutcome::Label},
        {"status A wrong", Report(upca, 0x01), UsbReportOutcome::BadHeader},
        {"status B wrong", Report(upca, 0x00, 0x02), UsbReportOutcome::BadHeader},
        {"byte 4 not zero", Bytes({0x00, 17, 0x00, 0x03, 0x01}) + upca,
         UsbReportOutcome::BadHeader},
        {"shorter than a header", Bytes({0x00, 0x10, 0x00, 0x03}), UsbReportOutcome::BadHeader},
        {"empty", "", UsbReportOutcome::BadHeader},
        {"L of 4", Bytes({0x00, 0x04, 0x00, 0x03, 0x00, '1', 0x0D}), UsbReportOutcome::NoLabelPart},
        {"negative L", Bytes({0x00, 0x80, 0x00, 0x03, 0x00, '1', 0x0D}),
         UsbReportOutcome::NoLabelPart},
        {"L claims more than the report", longClaim, UsbReportOutcome::Truncated},
        {"L exactly the report", Bytes({0x00, 17, 0x00, 0x03, 0x00}) + upca,
         UsbReportOutcome::Label},
        {"part shorter than its suffix", Report(Bytes({0x18, 0x0B})), UsbReportOutcome::NoLabel},
    };
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        std::string partial;
        bool overflowed = false;
        UsbReportResult r = AssembleUsbReport(row.report, partial, overflowed);
        EXPECT_EQ(r.outcome, row.outcome);
        if (row.outcome == UsbReportOutcome::Label) {
            EXPECT_EQ(r.part, upca);  // the padding beyond L is not label
        }
    }
}

TEST(ScannerDecoder, UsbLabelPartsJoinAndStalePartsNeverGlue) {
    const std::string more = Bytes({0x10, 0x18, 0x0B});
    const std::string end = Bytes({0x00, 0x18, 0x0B});
    std::string partial;
    bool overflowed = false;

    EXPECT_EQ(AssembleUsbReport(Report("ABC" + more), partial, overflowed).outcome,
              UsbReportOutcome::Continued);
    EXPECT_EQ(partial, "ABC");
    EXPECT_EQ(AssembleUsbReport(Report("DEF" + more), partial, overflowed).outcome,
              UsbReportOutcome::Continued);
    UsbReportResult r = AssembleUsbReport(Report("GH" + end), partial, overflowed);
    ASSERT_EQ(r.outcome, UsbReportOutcome::Label);
    EXPECT_EQ(r.part, "ABCDEFGH" + end);
    EXPECT_FALSE(r.stalePartialDropped);
    EXPECT_EQ(partial, "");

    // A final part that cannot end the partial label (no 0B) comes alone; the parts go.
    AssembleUsbReport(Report("XYZ" + more), partial, overflowed);
    r = AssembleUsbReport(Report("012345678905" + Bytes({0x0D})), partial, overflowed);
    ASSERT_EQ(r.outcome, UsbReportOutcome::Label);
    EXPECT_EQ(r.part, "012345678905" + Bytes({0x0D}));
    EXPECT_TRUE(r.stalePartialDropped);
    EXPECT_EQ(partial, "");
}

TEST(ScannerDecoder, AnEndlessUsbLabelIsCappedAndDroppedWhole) {
    const std::string more = Bytes({0x10, 0x2E, 0x0B});
    const std::string end = Bytes({0x00, 0x2E, 0x0B});
    const std::string chunk(50, 'p');
    std::string partial;
    bool overflowed = false;
    int continued = 0;
    UsbReportResult r;
    do {
        r = AssembleUsbReport(Report(chunk + more), partial, overflowed);
        continued += r.outcome == UsbReportOutcome::Continued;
        ASSERT_LE(partial.size(), kMaxUsbPartialLabel);
    } while (r.outcome == UsbReportOutcome::Continued);
    EXPECT_EQ(r.outcome, UsbReportOutcome::Overflow);
    EXPECT_EQ(static_cast<std::size_t>(continued), kMaxUsbPartialLabel / chunk.size());
    EXPECT_TRUE(overflowed);
    EXPECT_EQ(partial, "");
    // The rest of that label, its final part included, is dropped too.
    EXPECT_EQ(AssembleUsbReport(Report(chunk + more), partial, overflowed).outcome,
              UsbReportOutcome::OverflowTail);
    EXPECT_EQ(AssembleUsbReport(Report("q" + end), partial, overflowed).outcome,
              UsbReportOutcome::OverflowTail);
    EXPECT_FALSE(overflowed);
    // The next label comes through whole.
    r = AssembleUsbReport(Report("next" + end), partial, overflowed);
    ASSERT_EQ(r.outcome, UsbReportOutcome::Label);
    EXPECT_EQ(r.part, "next" + end);
}

TEST(ScannerDecoder, AShortLabelEndsASkippedOversizedLabel) {
    std::string partial;
    bool overflowed = true;  // in the middle of a label that overflowed
    UsbReportResult r =
        AssembleUsbReport(Report("012345678905" + Bytes({0x0D})), partial, overflowed);
    EXPECT_EQ(r.outcome, UsbReportOutcome::Label);
    EXPECT_FALSE(overflowed);
}

}  // namespace
}  // namespace talvex
