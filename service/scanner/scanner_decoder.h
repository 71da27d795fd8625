// Decoding of what a scanner sends: pure functions and a small state step, no I/O, so that the
// scanner object, its tests and the fuzz targets drive them with bytes alone.
//
// Wire formats (bytes in hex):
//   single-cable scanner-scale (interface 0)   F3 s1 s2 label F1
//       A frame of 4 bytes or less, or one whose second byte is 'S' (53), is the scanner's
//       reply to a command, not a label.
//   RS-232 and POS USB (interfaces 1 and 3)    02 [02 ...] id label 03
//       Some scanners repeat STX; the identifier character names the symbology. Supplemental
//       (add-on) labels share the identifier 'm' and are told apart by their length.
//   IBM OEM USB (interface 2), one input report
//       report-id L A B 00 part...
//       L is a signed byte; the part is L - 4 bytes: label bytes and a symbology suffix of 1, 2
//       or 3 bytes (3 when the last byte is 0B). Reports are padded to the device's report size,
//       so only L tells how much is label. A part ending 10 y 0B continues in the next report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace talvex {

// Data kinds (Param1 of a queued data event): which decoder applies.
inline constexpr std::int32_t kDataKindScannerScale = 0;
inline constexpr std::int32_t kDataKindScannerOnly = 1;
inline constexpr std::int32_t kDataKindIbmUsb = 2;

// The decoded data properties of one label.
struct ScanLabel {
    std::string scanData;           // the label as received, less framing and symbology codes
    std::string scanDataLabel;      // the label when DecodeData is true, else ""
    std::int32_t scanDataType = 0;  // the OPOS SCAN_SDT_ code when DecodeData is true, else 0
};

// ScanDataType of a single-cable label by its two symbology bytes.
std::int32_t ScannerScaleDataType(std::uint8_t s1, std::uint8_t s2);
// ScanDataType of an RS-232 label by its identifier and the label's length (which tells the
// supplemental forms of identifier 'm' apart: 9 to 19 characters; other lengths give 0).
std::int32_t ScannerOnlyDataType(char identifier, std::size_t labelLength);

// The symbology suffix at the end of a USB label part: its length (1, 2 or 3 bytes) and the
// ScanDataType it names. An empty part has a suffix of length 0 and type 0.
struct UsbSuffix {
    std::size_t length = 0;
    std::int32_t scanDataType = 0;
};
UsbSuffix IbmUsbSuffix(std::string_view part);

// The three decoders. Each accepts any bytes (a short input decodes to what is there).
ScanLabel ParseScannerScaleData(std::string_view frame, bool decodeData);  // F3 s1 s2 ... F1
ScanLabel ParseScannerOnlyData(std::string_view frame, bool decodeData);   // 02 ... id ... 03
ScanLabel ParseIbmUsbScannerData(std::string_view part, bool decodeData);  // label + suffix

// Whether the raw data of a data event leaves anything to decode: an RS-232 frame needs an
// identifier after its STX bytes, a USB label part at least its whole suffix. Data that fails
// is dropped before it is queued.
bool HasScanData(std::int32_t dataKind, std::string_view raw);

// Whether a serial frame on interface 0 is a reply to a command (nothing to queue).
bool IsScannerScaleCommandReply(std::string_view frame);

// One USB input report, taken apart and joined with the label parts before it.
enum class UsbReportOutcome {
    BadHeader,     // shorter than 5 bytes, or a status byte or byte 4 is wrong: ignored
    NoLabelPart,   // L - 4 is 0 or less: ignored
    Truncated,     // L claims more bytes than the report carries: ignored
    Continued,     // a continuation part, kept in the partial label
    Overflow,      // the partial label would exceed kMaxUsbPartialLabel: dropped with this part
    OverflowTail,  // a part of a label that overflowed before: dropped
    NoLabel,       // the final part leaves nothing to decode (shorter than its suffix): dropped
    Label,         // `part` is a complete label part, ready to queue
};

struct UsbReportResult {
    UsbReportOutcome outcome = UsbReportOutcome::BadHeader;
    std::string part;                  // Label only: the complete label part (with its suffix)
    bool stalePartialDropped = false;  // a partial label that this final part cannot end was
                                       // dropped (it does not end with 0B)
};

// The longest partial USB label kept (label bytes of continuation parts). Real labels stay far
// below it; past it the label is dropped as a whole, up to and including its final part.
inline constexpr std::size_t kMaxUsbPartialLabel = 8 * 1024;

// Takes one report apart. `partialLabel` holds the label bytes of the continuation parts seen
// so far; `overflowed` is set while the parts of a label that grew past the cap are skipped.
// A final part that ends with 0B joins the partial label; any other final part drops it (stale
// bytes are never glued onto a different label).
UsbReportResult AssembleUsbReport(std::string_view report, std::string& partialLabel,
                                  bool& overflowed);

}  // namespace talvex
