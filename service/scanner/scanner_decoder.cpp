#include "service/scanner/scanner_decoder.h"

#include <algorithm>

#include "service/frame/opos.h"

namespace talvex {

namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kUsbLongSuffix = 0x0B;
constexpr std::uint8_t kUsbContinued = 0x10;

std::uint8_t Byte(std::string_view s, std::size_t i) {
    return static_cast<std::uint8_t>(s[i]);
}

// The frame without its first and last byte (empty when it has fewer than two).
std::string_view Inner(std::string_view frame) {
    if (frame.size() < 2) {
        return {};
    }
    return frame.substr(1, frame.size() - 2);
}

// An RS-232 frame without its framing and without the STX bytes that may repeat after the first.
std::string_view ScannerOnlyBody(std::string_view frame) {
    std::string_view body = Inner(frame);
    while (!body.empty() && Byte(body, 0) == kStx) {
        body.remove_prefix(1);
    }
    return body;
}

ScanLabel Decoded(std::string_view data, bool decodeData, std::int32_t type) {
    ScanLabel label;
    label.scanData.assign(data);
    if (decodeData) {
        label.scanDataLabel = label.scanData;
        label.scanDataType = type;
    }
    return label;
}

}  // namespace

std::int32_t ScannerScaleDataType(std::uint8_t s1, std::uint8_t s2) {
    switch (s1) {
        case 1:
            switch (s2) {
                case 1:
                    return SCAN_SDT_UPCE;
                case 2:
                    return SCAN_SDT_EAN8;
                case 3:
                    return SCAN_SDT_UPCA;
                case 4:
                    return SCAN_SDT_EAN13;
                case 11:
                case 21:
                case 31:
                    return SCAN_SDT_UPCE_S;
                case 12:
                case 22:
                case 32:
                    return SCAN_SDT_EAN8_S;
                case 13:
                case 23:
                case 33:
                    return SCAN_SDT_UPCA_S;
                case 14:
                case 24:
                case 34:
                    return SCAN_SDT_EAN13_S;
                default:
                    return SCAN_SDT_UNKNOWN;
            }
        case 2:
            return SCAN_SDT_Code39;
        case 3:
            return SCAN_SDT_Codabar;
        case 4:
            return SCAN_SDT_ITF;
        case 5:
            return SCAN_SDT_Code128;
        case 6:
            return SCAN_SDT_Code93;
        case 7:
            return SCAN_SDT_EAN128;
        default:
            return SCAN_SDT_UNKNOWN;
    }
}

std::int32_t ScannerOnlyDataType(char identifier, std::size_t labelLength) {
    switch (identifier) {
        case 'a':
            return SCAN_SDT_Codabar;
        case 'b':
            return SCAN_SDT_Code39;
        case 'c':
            return SCAN_SDT_UPCA;
        case 'd':
            return SCAN_SDT_UPCE;
        case 'e':
            return SCAN_SDT_ITF;
        case 'g':
            return SCAN_SDT_EAN8;
        case 'h':
            return SCAN_SDT_EAN13;
        case 'i':
            return SCAN_SDT_Code93;
        case 'j':
            return SCAN_SDT_Code128;
        case 'm':
            switch (labelLength) {
                case 9:
                case 12:
                    return SCAN_SDT_UPCE_S;
                case 11:
                case 14:
                    return SCAN_SDT_EAN8_S;
                case 15:
                case 18:
                    return SCAN_SDT_UPCA_S;
                case 16:
                case 19:
                    return SCAN_SDT_EAN13_S;
                default:
                    return SCAN_SDT_UNKNOWN;  // 10, 13, 17 and lengths outside 9 to 19
            }
        default:
            return SCAN_SDT_UNKNOWN;  // 'f' and every other identifier
    }
}

UsbSuffix IbmUsbSuffix(std::string_view part) {
    if (part.empty()) {
        return {};
    }
    switch (Byte(part, part.size() - 1)) {
        case 0x0A:
            return {1, SCAN_SDT_UPCE};
        case 0x0C:
            return {1, SCAN_SDT_EAN8};
        case 0x0D:
            return {1, SCAN_SDT_UPCA};
        case 0x16:
            return {1, SCAN_SDT_EAN13};
        case 0x11:
            return {2, SCAN_SDT_UPCD1};
        case 0x12:
            return {2, SCAN_SDT_UPCD2};
        case 0x14:
            return {2, SCAN_SDT_UPCD3};
        case 0x17:
            return {2, SCAN_SDT_UPCD4};
        case 0x1D:
            return {2, SCAN_SDT_UPCD5};
        case kUsbLongSuffix: {
            if (part.size() < 2) {
                return {3, SCAN_SDT_UNKNOWN};
            }
            const std::uint8_t y = Byte(part, part.size() - 2);
            switch (y) {
                case 0x0A:
                    return {3, SCAN_SDT_Code39};
                case 0x0D:
                    return {3, SCAN_SDT_ITF};
                case 0x0E:
                    return {3, SCAN_SDT_Codabar};
                case 0x11:
                case 0x16:
                    return {3, SCAN_SDT_UPCA_S};
                case 0x12:
                case 0x14:
                    return {3, SCAN_SDT_UPCE_S};
                case 0x13:
                case 0x15:
                    return {3, SCAN_SDT_EAN13_S};
                case 0x17:
                case 0x1D:
                    return {3, SCAN_SDT_EAN8_S};
                case 0x18:
                    return {3, SCAN_SDT_Code128};
                case 0x19:
                    return {3, SCAN_SDT_Code93};
                case 0x20:
                case 0x21:
                case 0x22:
                case 0x23:
                    return {3, SCAN_SDT_OTHER};
                case 0x25:
                    return {3, SCAN_SDT_EAN128};
                case 0x2E:
                    return {3, SCAN_SDT_PDF417};
                default:
                    return {3, SCAN_SDT_UNKNOWN};
            }
        }
        default:
            return {1, SCAN_SDT_UNKNOWN};
    }
}

ScanLabel ParseScannerScaleData(std::string_view frame, bool decodeData) {
    std::string_view body = Inner(frame);
    // Missing symbology bytes (never in a frame that reaches the queue) decode as unknown.
    const std::uint8_t s1 = body.size() > 0 ? Byte(body, 0) : 0;
    const std::uint8_t s2 = body.size() > 1 ? Byte(body, 1) : 0;
    body.remove_prefix(std::min<std::size_t>(2, body.size()));
    return Decoded(body, decodeData, ScannerScaleDataType(s1, s2));
}

ScanLabel ParseScannerOnlyData(std::string_view frame, bool decodeData) {
    std::string_view body = ScannerOnlyBody(frame);
    const char identifier = body.empty() ? '\0' : body[0];
    body.remove_prefix(std::min<std::size_t>(1, body.size()));
    return Decoded(body, decodeData, ScannerOnlyDataType(identifier, body.size()));
}

ScanLabel ParseIbmUsbScannerData(std::string_view part, bool decodeData) {
    const UsbSuffix suffix = IbmUsbSuffix(part);
    part.remove_suffix(std::min(suffix.length, part.size()));
    return Decoded(part, decodeData, suffix.scanDataType);
}

bool HasScanData(std::int32_t dataKind, std::string_view raw) {
    switch (dataKind) {
        case kDataKindScannerOnly:
            return !ScannerOnlyBody(raw).empty();
        case kDataKindIbmUsb:
            return !raw.empty() && IbmUsbSuffix(raw).length <= raw.size();
        default:
            return true;
    }
}

bool IsScannerScaleCommandReply(std::string_view frame) {
    return frame.size() <= 4 || Byte(frame, 1) == 'S';
}

UsbReportResult AssembleUsbReport(std::string_view report, std::string& partialLabel,
                                  bool& overflowed) {
    UsbReportResult result;
    if (report.size() < 5 || (Byte(report, 2) & 0xCF) != 0 || (Byte(report, 3) & 0xFB) != 3 ||
        Byte(report, 4) != 0) {
        result.outcome = UsbReportOutcome::BadHeader;
        return result;
    }
    const int length = static_cast<std::int8_t>(Byte(report, 1)) - 4;
    if (length <= 0) {
        result.outcome = UsbReportOutcome::NoLabelPart;
        return result;
    }
    const auto n = static_cast<std::size_t>(length);
    if (report.size() - 5 < n) {
        result.outcome = UsbReportOutcome::Truncated;
        return result;
    }
    std::string_view part = report.substr(5, n);
    const bool endsLong = Byte(part, n - 1) == kUsbLongSuffix;
    if (endsLong && n >= 3 && Byte(part, n - 3) == kUsbContinued) {
        if (overflowed) {
            result.outcome = UsbReportOutcome::OverflowTail;
        } else if (partialLabel.size() + (n - 3) > kMaxUsbPartialLabel) {
            partialLabel.clear();
            overflowed = true;
            result.outcome = UsbReportOutcome::Overflow;
        } else {
            partialLabel.append(part.substr(0, n - 3));
            result.outcome = UsbReportOutcome::Continued;
        }
        return result;
    }
    if (endsLong && overflowed) {
        // The final part of the label that overflowed.
        overflowed = false;
        result.outcome = UsbReportOutcome::OverflowTail;
        return result;
    }
    overflowed = false;
    if (endsLong && !partialLabel.empty()) {
        result.part = std::move(partialLabel);
        result.part.append(part);
    } else {
        result.stalePartialDropped = !partialLabel.empty();
        result.part.assign(part);
    }
    partialLabel.clear();
    result.outcome = HasScanData(kDataKindIbmUsb, result.part) ? UsbReportOutcome::Label
                                                               : UsbReportOutcome::NoLabel;
    if (result.outcome == UsbReportOutcome::NoLabel) {
        result.part.clear();
    }
    return result;
}

}  // namespace talvex
