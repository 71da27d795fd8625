#include "tools/sorvex-sim/json_log.h"

#include <cstdio>
#include <iostream>

namespace sorvex::sim {

std::string JsonString(std::string_view bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\u00";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    out += '"';
    return out;
}

std::string HexBytes(std::string_view bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i != 0) {
            out += ' ';
        }
        auto c = static_cast<unsigned char>(bytes[i]);
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
    }
    return out;
}

bool ParseHex(std::string_view text, std::string& bytes) {
    bytes.clear();
    int high = -1;
    for (char c : text) {
        int v;
        if (c >= '0' && c <= '9') {
            v = c - '0';
        } else if (c >= 'a' && c <= 'f') {
            v = c - 'a' + 10;
        } else if (c >= 'A' && c <= 'F') {
            v = c - 'A' + 10;
        } else if (c == ' ' || c == ',' || c == '\t') {
            if (high >= 0) {
                return false;  // a lone digit
            }
            continue;
        } else {
            return false;
        }
        if (high < 0) {
            high = v;
        } else {
            bytes += static_cast<char>(high * 16 + v);
            high = -1;
        }
    }
    return high < 0;
}

JsonLog::JsonLog() : m_Start(std::chrono::steady_clock::now()) {}

void JsonLog::Event(std::string_view name, const std::vector<Field>& fields) {
    double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.6f", t);
    std::string line = std::string("{\"t\": ") + stamp + ", \"event\": " + JsonString(name);
    for (const auto& [key, value] : fields) {
        line += ", " + JsonString(key) + ": " + value;
    }
    line += "}\n";
    std::lock_guard<std::mutex> lock(m_Lock);
    std::cout << line << std::flush;
}

void JsonLog::Bytes(std::string_view name, std::string_view bytes, std::vector<Field> fields) {
    fields.insert(fields.begin(), {"text", JsonString(bytes)});
    fields.insert(fields.begin(), {"hex", JsonString(HexBytes(bytes))});
    Event(name, fields);
}

void JsonLog::Error(std::string_view message) {
    Event("error", {{"message", JsonString(message)}});
}

}  // namespace sorvex::sim
