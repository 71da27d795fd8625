#include "tools/sorvex-pos/json_line.h"

#include <cstdio>

namespace sorvex::pos {

std::string JsonString(std::string_view bytes) {
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b == '"') {
            out += "\\\"";
        } else if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out.push_back(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04X", b);
            out += escape;
        }
    }
    out += "\"";
    return out;
}

void JsonLine::Key(std::string_view key) {
    if (!m_Body.empty()) {
        m_Body += ", ";
    }
    m_Body += JsonString(key);
    m_Body += ": ";
}

JsonLine& JsonLine::Add(std::string_view key, std::string_view text) {
    Key(key);
    m_Body += JsonString(text);
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, std::int64_t number) {
    Key(key);
    m_Body += std::to_string(number);
    return *this;
}

JsonLine& JsonLine::Append(const JsonLine& other) {
    if (!other.m_Body.empty()) {
        if (!m_Body.empty()) {
            m_Body += ", ";
        }
        m_Body += other.m_Body;
    }
    return *this;
}

JsonLine& JsonLine::Add(std::string_view key, bool flag) {
    Key(key);
    m_Body += flag ? "true" : "false";
    return *this;
}

}  // namespace sorvex::pos
