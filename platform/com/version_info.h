// Version information of a library: the counterpart of a Windows version resource, stored as
// the data of the library's ".note.sorvex.version" note.
//
// Serialized form (little-endian):
//   "SVVI"  u16 format version (1)  u16 reserved (0)
//   u16 language (0x0409)  u16 code page (1200)
//   4 x u16 file version (1, 0, 1, 25)  4 x u16 product version
//   u16 string count, then per string: str key  str value      (str = u16 byte count, bytes)
//   nothing after the last string
// Keys are the usual ones ("FileDescription", "ProductName", "FileVersion", "ProductVersion",
// "InternalName", "OriginalFilename"; an empty "OLESelfRegister" marks a self-registering
// library) in the order they were given.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvex::com {

struct VersionInfo {
    std::uint16_t language = 0x0409;
    std::uint16_t codePage = 1200;
    std::array<std::uint16_t, 4> fileVersion{};
    std::array<std::uint16_t, 4> productVersion{};
    std::vector<std::pair<std::string, std::string>> strings;

    // The value of a key (case-insensitive), or null.
    const std::string* Find(std::string_view key) const;
};

// Throws std::invalid_argument for an empty or repeated key, std::length_error for more than
// 65535 strings or a string longer than 65535 bytes.
std::string SerializeVersionInfo(const VersionInfo& info);

// False (with the reason in `error`, optional) when the bytes are not a version block this
// build reads; every length is checked.
bool ParseVersionInfo(std::string_view bytes, VersionInfo& out, std::string* error = nullptr);

// The version information of a library file, from its note. The error names the path.
bool ReadVersionInfo(const std::filesystem::path& path, VersionInfo& out,
                     std::string* error = nullptr);

// "1.0.1.25"
std::string FormatVersion(const std::array<std::uint16_t, 4>& version);

}  // namespace sorvex::com
