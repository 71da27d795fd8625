// The metadata file of a simulated HID device, <root>/dev/hid/<name>.dev: small text, one
// "key=value" per line (docs/simulated-hid.md has the full format). Pure text in and out; the
// files themselves are handled by the simulated backend and SimulatedHidServer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sorvex::hid {

struct SimulatedDeviceMetadata {
    std::uint16_t usagePage = 0;  // top-level collection
    std::uint16_t usage = 0;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::string product;  // optional, free text without line breaks
};

// The format version this code reads and writes.
inline constexpr int kSimulatedMetadataVersion = 1;

// Parses a metadata file. Lines are "key=value" with blanks around key and value ignored; empty
// lines and lines starting with '#' are skipped, and so are unknown keys. Required: "version"
// (must be kSimulatedMetadataVersion), "usage_page", "usage", "vendor_id", "product_id" (decimal
// or 0x-hex, 0 to 0xFFFF). A key given twice, a line without '=', a bad number or a missing key
// makes the file invalid: nullopt, with the reason in *error when given.
std::optional<SimulatedDeviceMetadata> ParseSimulatedMetadata(std::string_view text,
                                                              std::string* error = nullptr);

// The text of a metadata file for `metadata` (version line first, numbers in hex). Line breaks
// in the product text are replaced by blanks.
std::string FormatSimulatedMetadata(const SimulatedDeviceMetadata& metadata);

// True for a name that can stand for a simulated device: 1 to 64 characters of letters, digits,
// '-', '_' and '.', not starting with '.'.
bool IsValidSimulatedDeviceName(std::string_view name);

}  // namespace sorvex::hid
