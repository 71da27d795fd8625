#include "platform/com/version_info.h"

#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include "platform/com/elf_note.h"
#include "platform/com/typelib_format.h"

namespace sorvex::com {

namespace {

constexpr char kMagic[4] = {'S', 'V', 'V', 'I'};
constexpr std::uint16_t kFormatVersion = 1;

void PutU16(std::string& out, std::uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
}

void PutStr(std::string& out, std::string_view s) {
    if (s.size() > 0xFFFF) {
        throw std::length_error("version information: a string is longer than 65535 bytes");
    }
    PutU16(out, static_cast<std::uint16_t>(s.size()));
    out.append(s);
}

struct Cursor {
    std::string_view in;
    std::size_t pos = 0;
    bool U16(std::uint16_t& v) {
        if (in.size() - pos < 2) {
            return false;
        }
        v = static_cast<std::uint16_t>(static_cast<unsigned char>(in[pos]) |
                                       (static_cast<unsigned char>(in[pos + 1]) << 8));
        pos += 2;
        return true;
    }
    bool Str(std::string& s) {
        std::uint16_t n;
        if (!U16(n) || in.size() - pos < n) {
            return false;
        }
        s.assign(in.substr(pos, n));
        pos += n;
        return true;
    }
};

std::string Folded(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}

bool Fail(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
    return false;
}

}  // namespace

const std::string* VersionInfo::Find(std::string_view key) const {
    for (const auto& [k, v] : strings) {
        if (NameEquals(k, key)) {
            return &v;
        }
    }
    return nullptr;
}

std::string SerializeVersionInfo(const VersionInfo& info) {
    std::string out(kMagic, sizeof kMagic);
    PutU16(out, kFormatVersion);
    PutU16(out, 0);
    PutU16(out, info.language);
    PutU16(out, info.codePage);
    for (std::uint16_t v : info.fileVersion) {
        PutU16(out, v);
    }
    for (std::uint16_t v : info.productVersion) {
        PutU16(out, v);
    }
    if (info.strings.size() > 0xFFFF) {
        throw std::length_error("version information: more than 65535 strings");
    }
    PutU16(out, static_cast<std::uint16_t>(info.strings.size()));
    std::unordered_set<std::string> seen;
    for (const auto& [key, value] : info.strings) {
        if (key.empty()) {
            throw std::invalid_argument("version information: a key is empty");
        }
        if (!seen.insert(Folded(key)).second) {
            throw std::invalid_argument("version information: key \"" + key + "\" is given twice");
        }
        PutStr(out, key);
        PutStr(out, value);
    }
    return out;
}

bool ParseVersionInfo(std::string_view bytes, VersionInfo& out, std::string* error) {
    if (bytes.size() < 8 || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
        return Fail(error, "not a version information block (no \"SVVI\" header)");
    }
    Cursor c{bytes, 4};
    std::uint16_t format, reserved;
    c.U16(format);
    c.U16(reserved);
    if (format != kFormatVersion) {
        return Fail(error,
                    "version information format " + std::to_string(format) + " is not supported");
    }
    if (reserved != 0) {
        return Fail(error, "the reserved field of the version information is not 0");
    }
    VersionInfo info;
    bool ok = c.U16(info.language) && c.U16(info.codePage);
    for (std::uint16_t& v : info.fileVersion) {
        ok = ok && c.U16(v);
    }
    for (std::uint16_t& v : info.productVersion) {
        ok = ok && c.U16(v);
    }
    std::uint16_t count = 0;
    if (!ok || !c.U16(count)) {
        return Fail(error, "the version information header is truncated");
    }
    std::unordered_set<std::string> seen;
    for (std::uint16_t i = 0; i < count; ++i) {
        std::string key, value;
        if (!c.Str(key) || !c.Str(value)) {
            return Fail(error, "version string " + std::to_string(i) + " is truncated");
        }
        if (key.empty()) {
            return Fail(error, "version string " + std::to_string(i) + " has an empty key");
        }
        if (!seen.insert(Folded(key)).second) {
            return Fail(error, "version key \"" + key + "\" is given twice");
        }
        info.strings.emplace_back(std::move(key), std::move(value));
    }
    if (c.pos != bytes.size()) {
        return Fail(error,
                    std::to_string(bytes.size() - c.pos) + " bytes follow the last version string");
    }
    out = std::move(info);
    return true;
}

bool ReadVersionInfo(const std::filesystem::path& path, VersionInfo& out, std::string* error) {
    std::string bytes;
    std::string why;
    const NoteStatus status = FindNoteInFile(path, kNoteTypeVersionInfo, bytes, &why);
    if (status == NoteStatus::Missing) {
        return Fail(error, path.string() + ": the file holds no version information");
    }
    if (status != NoteStatus::Found) {
        return Fail(error, why);
    }
    if (!ParseVersionInfo(bytes, out, &why)) {
        return Fail(error, path.string() + ": " + why);
    }
    return true;
}

std::string FormatVersion(const std::array<std::uint16_t, 4>& v) {
    return std::to_string(v[0]) + "." + std::to_string(v[1]) + "." + std::to_string(v[2]) + "." +
           std::to_string(v[3]);
}

}  // namespace sorvex::com
