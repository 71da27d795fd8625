#include "tools/sorvex-sim/models/scanner_frames.h"

#include <algorithm>

#include "tools/sorvex-sim/json_log.h"

namespace sorvex::sim::scanner {

namespace {

struct Rs232Row {
    const char* name;
    char identifier;
};
constexpr Rs232Row kRs232[] = {
    {"Codabar", 'a'}, {"Code39", 'b'}, {"UPCA", 'c'},    {"UPCE", 'd'},    {"ITF", 'e'},
    {"EAN8", 'g'},    {"EAN13", 'h'},  {"Code93", 'i'},  {"Code128", 'j'}, {"UPCA_S", 'm'},
    {"UPCE_S", 'm'},  {"EAN8_S", 'm'}, {"EAN13_S", 'm'},
};

struct SingleCableRow {
    const char* name;
    std::uint8_t s1;
    std::uint8_t s2;
    std::size_t baseLength;  // supplemental forms: the base label's digits; else 0
};
constexpr SingleCableRow kSingleCable[] = {
    {"UPCE", 1, 1, 0},   {"EAN8", 1, 2, 0},    {"UPCA", 1, 3, 0},    {"EAN13", 1, 4, 0},
    {"UPCE_S", 1, 1, 8}, {"EAN8_S", 1, 2, 8},  {"UPCA_S", 1, 3, 12}, {"EAN13_S", 1, 4, 13},
    {"Code39", 2, 0, 0}, {"Codabar", 3, 0, 0}, {"ITF", 4, 0, 0},     {"Code128", 5, 0, 0},
    {"Code93", 6, 0, 0}, {"EAN128", 7, 0, 0},
};

struct UsbRow {
    const char* name;
    std::string_view suffix;
};
using namespace std::string_view_literals;
constexpr UsbRow kUsb[] = {
    {"UPCE", "\x0A"sv},
    {"EAN8", "\x0C"sv},
    {"UPCA", "\x0D"sv},
    {"EAN13", "\x16"sv},
    {"UPCD1", "\x00\x11"sv},
    {"UPCD2", "\x00\x12"sv},
    {"UPCD3", "\x00\x14"sv},
    {"UPCD4", "\x00\x17"sv},
    {"UPCD5", "\x00\x1D"sv},
    {"Code39", "\x00\x0A\x0B"sv},
    {"ITF", "\x00\x0D\x0B"sv},
    {"Codabar", "\x00\x0E\x0B"sv},
    {"UPCA_S", "\x00\x11\x0B"sv},
    {"UPCE_S", "\x00\x12\x0B"sv},
    {"EAN13_S", "\x00\x13\x0B"sv},
    {"EAN8_S", "\x00\x17\x0B"sv},
    {"Code128", "\x00\x18\x0B"sv},
    {"Code93", "\x00\x19\x0B"sv},
    {"Other", "\x00\x20\x0B"sv},
    {"EAN128", "\x00\x25\x0B"sv},
    {"PDF417", "\x00\x2E\x0B"sv},
};

constexpr std::size_t kHeader = 5;     // report id, L, A, B, 0
constexpr std::size_t kMaxPart = 123;  // L is a signed byte: 127 - 4
constexpr char kContinued = 0x10;

}  // namespace

std::optional<char> Rs232Identifier(std::string_view symbology) {
    for (const Rs232Row& row : kRs232) {
        if (symbology == row.name) {
            return row.identifier;
        }
    }
    return std::nullopt;
}

std::string Rs232Frame(char identifier, std::string_view label) {
    std::string frame = "\x02";
    frame += identifier;
    frame.append(label);
    frame += '\x03';
    return frame;
}

std::optional<SingleCableCodes> SingleCableSymbology(std::string_view symbology,
                                                     std::size_t labelLength) {
    for (const SingleCableRow& row : kSingleCable) {
        if (symbology != row.name) {
            continue;
        }
        SingleCableCodes codes{row.s1, row.s2};
        if (row.baseLength != 0) {
            const std::size_t addOn =
                labelLength > row.baseLength ? labelLength - row.baseLength : 0;
            codes.s2 = static_cast<std::uint8_t>(row.s2 + (addOn == 2 ? 10 : addOn == 5 ? 20 : 30));
        }
        return codes;
    }
    return std::nullopt;
}

std::string SingleCableFrame(SingleCableCodes codes, std::string_view label) {
    std::string frame = "\xF3";
    frame += static_cast<char>(codes.s1);
    frame += static_cast<char>(codes.s2);
    frame.append(label);
    frame += '\xF1';
    return frame;
}

std::optional<std::string> UsbSuffix(std::string_view symbology) {
    for (const UsbRow& row : kUsb) {
        if (symbology == row.name) {
            return std::string(row.suffix);
        }
    }
    return std::nullopt;
}

std::vector<std::string> UsbReports(std::string_view label, const std::string& suffix,
                                    std::size_t reportSize, std::string& error) {
    if (reportSize < kHeader + 4 || reportSize > 128) {
        error = "the report size must be 9 to 128 bytes";
        return {};
    }
    const std::size_t maxPart = std::min(reportSize - kHeader, kMaxPart);
    auto report = [reportSize](std::string_view part) {
        std::string r;
        r += '\x00';
        r += static_cast<char>(part.size() + 4);
        r += '\x00';
        r += '\x03';
        r += '\x00';
        r.append(part);
        r.resize(reportSize, '\0');
        return r;
    };
    std::vector<std::string> reports;
    if (label.size() + suffix.size() <= maxPart) {
        reports.push_back(report(std::string(label) + suffix));
        return reports;
    }
    if (suffix.size() != 3) {
        error =
            "a label this long does not fit one report, and only symbologies with a "
            "three-byte suffix continue in the next";
        return {};
    }
    const std::string more = std::string(1, kContinued) + suffix.substr(1);
    const std::size_t chunk = maxPart - 3;
    while (label.size() > chunk) {
        reports.push_back(report(std::string(label.substr(0, chunk)) + more));
        label.remove_prefix(chunk);
    }
    reports.push_back(report(std::string(label) + suffix));
    return reports;
}

bool ScanLabel(const std::vector<std::string>& words, std::string& label, std::string& error) {
    if (words.size() < 3) {
        error = words.front() + " needs a symbology and a label, e.g. " + words.front() +
                (words.front() == "scan-hex" ? " Code128 41 00 42" : " UPCA 012345678905");
        return false;
    }
    label.clear();
    if (words.front() == "scan-hex") {
        std::string hex;
        for (std::size_t i = 2; i < words.size(); ++i) {
            hex += words[i] + " ";
        }
        if (!ParseHex(hex, label) || label.empty()) {
            error = "scan-hex needs the label as hex bytes, e.g. scan-hex Code128 41 00 42";
            return false;
        }
        return true;
    }
    for (std::size_t i = 2; i < words.size(); ++i) {
        if (i > 2) {
            label += ' ';
        }
        label += words[i];
    }
    return true;
}

std::string Hex(std::string_view bytes) {
    return HexBytes(bytes);
}

}  // namespace sorvex::sim::scanner
