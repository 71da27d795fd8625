// What the simulated scanners send: the label frames of the three scanner protocols, by
// symbology name, and the parsing of the scan commands shared by the scanner models. Pure
// functions, no I/O.
//
//   RS-232 and POS USB   02 id label 03             (id: the identifier of the symbology)
//   single cable         F3 s1 s2 label F1          (s1, s2: the symbology bytes)
//   IBM OEM USB          00 L 00 03 00 part [pad]   (part: label + suffix; long labels are
//                                                    split, each part but the last ending
//                                                    10 y 0B)
//
// Symbology names (the same in every protocol where it has the symbology): UPCA, UPCE, EAN8,
// EAN13, UPCA_S, UPCE_S, EAN8_S, EAN13_S (with a supplemental), Code39, Codabar, ITF, Code93,
// Code128; single cable and USB also EAN128; USB also UPCD1 to UPCD5, Other and PDF417.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvex::sim::scanner {

// The identifier character of an RS-232 symbology ('m' for every supplemental form).
std::optional<char> Rs232Identifier(std::string_view symbology);
std::string Rs232Frame(char identifier, std::string_view label);

// The symbology bytes of a single-cable label. The supplemental forms take s2 = base + 10 for a
// two-digit add-on, + 20 for a five-digit one and + 30 otherwise, by the label's length beyond
// the base symbology's (UPC-E 8, EAN-8 8, UPC-A 12, EAN-13 13 digits).
struct SingleCableCodes {
    std::uint8_t s1 = 0;
    std::uint8_t s2 = 0;
};
std::optional<SingleCableCodes> SingleCableSymbology(std::string_view symbology,
                                                     std::size_t labelLength);
std::string SingleCableFrame(SingleCableCodes codes, std::string_view label);

// The suffix that ends the last part of a USB label (1, 2 or 3 bytes).
std::optional<std::string> UsbSuffix(std::string_view symbology);
// The input reports of one USB label, each `reportSize` bytes (padded with zeros; at most 128,
// since L is a signed byte). A label that does not fit one report is split when its suffix has
// three bytes; otherwise (and for a report size below 9) the result is empty with `error` set.
std::vector<std::string> UsbReports(std::string_view label, const std::string& suffix,
                                    std::size_t reportSize, std::string& error);

// The label of a "scan SYMBOLOGY LABEL..." (the words after the symbology, joined by single
// spaces) or "scan-hex SYMBOLOGY HEX..." command. False with `error` set when malformed.
bool ScanLabel(const std::vector<std::string>& words, std::string& label, std::string& error);

// Upper-case hex digits separated by spaces ("F3 11 00 F1").
std::string Hex(std::string_view bytes);

}  // namespace sorvex::sim::scanner
