#include "platform/hid/simulated_metadata.h"

#include <cstdio>
#include <map>

namespace sorvex::hid {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<unsigned long> ParseNumber(std::string_view text, unsigned long max) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8) {
        return std::nullopt;
    }
    unsigned long value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        } else {
            return std::nullopt;
        }
        value = value * static_cast<unsigned long>(base) + static_cast<unsigned long>(digit);
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

std::optional<SimulatedDeviceMetadata> Fail(std::string* error, std::string reason) {
    if (error != nullptr) {
        *error = std::move(reason);
    }
    return std::nullopt;
}

}  // namespace

std::optional<SimulatedDeviceMetadata> ParseSimulatedMetadata(std::string_view text,
                                                              std::string* error) {
    std::map<std::string, std::string, std::less<>> values;
    int lineNumber = 0;
    while (!text.empty()) {
        std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        ++lineNumber;
        line = Trim(line);
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string_view::npos) {
            return Fail(error, "line " + std::to_string(lineNumber) + " has no '='");
        }
        std::string key(Trim(line.substr(0, eq)));
        if (key.empty()) {
            return Fail(error, "line " + std::to_string(lineNumber) + " has no key");
        }
        if (!values.emplace(key, std::string(Trim(line.substr(eq + 1)))).second) {
            return Fail(error, "key \"" + key + "\" is given twice");
        }
    }

    auto version = values.find("version");
    if (version == values.end()) {
        return Fail(error, "no \"version\" line");
    }
    std::optional<unsigned long> versionNumber = ParseNumber(version->second, 0xFFFFFFFF);
    if (!versionNumber || *versionNumber != static_cast<unsigned long>(kSimulatedMetadataVersion)) {
        return Fail(error, "unsupported version \"" + version->second + "\"");
    }

    SimulatedDeviceMetadata metadata;
    struct Field {
        const char* key;
        std::uint16_t* target;
    };
    const Field fields[] = {{"usage_page", &metadata.usagePage},
                            {"usage", &metadata.usage},
                            {"vendor_id", &metadata.vendorId},
                            {"product_id", &metadata.productId}};
    for (const Field& field : fields) {
        auto it = values.find(field.key);
        if (it == values.end()) {
            return Fail(error, std::string("no \"") + field.key + "\" line");
        }
        std::optional<unsigned long> number = ParseNumber(it->second, 0xFFFF);
        if (!number) {
            return Fail(error, std::string("\"") + field.key + "\" is not a number from 0 to " +
                                   "0xFFFF: \"" + it->second + "\"");
        }
        *field.target = static_cast<std::uint16_t>(*number);
    }
    if (auto product = values.find("product"); product != values.end()) {
        metadata.product = product->second;
    }
    return metadata;
}

std::string FormatSimulatedMetadata(const SimulatedDeviceMetadata& metadata) {
    auto hex = [](std::uint16_t value) {
        char buffer[8];
        std::snprintf(buffer, sizeof buffer, "0x%04X", static_cast<unsigned>(value));
        return std::string(buffer);
    };
    std::string product = metadata.product;
    for (char& c : product) {
        if (c == '\n' || c == '\r') {
            c = ' ';
        }
    }
    std::string text = "# Sorvex simulated HID device\n";
    text += "version=" + std::to_string(kSimulatedMetadataVersion) + "\n";
    text += "usage_page=" + hex(metadata.usagePage) + "\n";
    text += "usage=" + hex(metadata.usage) + "\n";
    text += "vendor_id=" + hex(metadata.vendorId) + "\n";
    text += "product_id=" + hex(metadata.productId) + "\n";
    if (!product.empty()) {
        text += "product=" + product + "\n";
    }
    return text;
}

bool IsValidSimulatedDeviceName(std::string_view name) {
    if (name.empty() || name.size() > 64 || name.front() == '.') {
        return false;
    }
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_' || c == '.';
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace sorvex::hid
