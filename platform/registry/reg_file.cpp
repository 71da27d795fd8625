#include "platform/registry/reg_file.h"

#include <cstdint>
#include <cstdio>

namespace sorvex::registry {

namespace {

constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";
constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::size_t kMaxColumns = 80;

using Units = std::u16string_view;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t';
}

Units TrimLeft(Units s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

Units TrimRight(Units s) {
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') {
        return c - u'0';
    }
    if (c >= u'a' && c <= u'f') {
        return c - u'a' + 10;
    }
    if (c >= u'A' && c <= u'F') {
        return c - u'A' + 10;
    }
    return -1;
}

bool StartsWithNoCase(Units s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char16_t c = s[i];
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c + (u'a' - u'A'));
        }
        if (c != static_cast<unsigned char>(prefix[i])) {
            return false;
        }
    }
    return true;
}

bool Equals(Units s, std::string_view ascii) {
    if (s.size() != ascii.size()) {
        return false;
    }
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] != static_cast<unsigned char>(ascii[i])) {
            return false;
        }
    }
    return true;
}

std::string Hex4(unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%04X", value);
    return buffer;
}

std::string Quote(std::string_view text) {
    return "\"" + DisplayName(text) + "\"";
}

struct Failure {
    std::size_t line;
    std::string message;
};

class Parser {
  public:
    Parser(std::vector<Units> lines, RegFile& out) : m_Lines(std::move(lines)), m_Out(out) {}

    void Run() {
        std::size_t i = 0;
        while (i < m_Lines.size() && TrimLeft(m_Lines[i]).empty()) {
            ++i;
        }
        if (i == m_Lines.size()) {
            throw Failure{1, "empty file: the first line must be \"" + std::string(kHeader5) +
                                 "\" or \"" + std::string(kHeader4) + "\""};
        }
        Units header = TrimRight(TrimLeft(m_Lines[i]));
        if (Equals(header, kHeader5)) {
            m_Out.version = RegFileVersion::Editor5;
        } else if (Equals(header, kHeader4)) {
            m_Out.version = RegFileVersion::Regedit4;
        } else {
            throw Failure{i + 1, "not a registry file: the first line must be \"" +
                                     std::string(kHeader5) + "\" or \"" + std::string(kHeader4) +
                                     "\""};
        }
        for (m_Next = i + 1; m_Next < m_Lines.size();) {
            std::size_t index = m_Next++;
            Units text = TrimLeft(m_Lines[index]);
            if (text.empty() || text.front() == u';') {
                continue;
            }
            if (text.front() == u'[') {
                KeyLine(index, TrimRight(text));
            } else if (text.front() == u'"' || text.front() == u'@') {
                ValueLine(index, text);
            } else {
                throw Failure{index + 1,
                              "unexpected text: expected [KEY], [-KEY], \"name\"=value, "
                              "@=value or a ; comment"};
            }
        }
    }

  private:
    // Characters up to U+00FF become bytes (8-bit files hold nothing else).
    std::string ToBytes(Units text, std::size_t line, std::string_view what) const {
        std::string bytes;
        bytes.reserve(text.size());
        for (char16_t c : text) {
            if (c > 0xFF) {
                throw Failure{line + 1, "character U+" + Hex4(c) + " in " + std::string(what) +
                                            " cannot be stored: registry strings are 8-bit"};
            }
            bytes += static_cast<char>(c);
        }
        return bytes;
    }

    void KeyLine(std::size_t line, Units text) {
        if (text.size() < 2 || text.back() != u']') {
            throw Failure{line + 1, "a key line must end with ']'"};
        }
        Units inner = text.substr(1, text.size() - 2);
        bool remove = !inner.empty() && inner.front() == u'-';
        if (remove) {
            inner.remove_prefix(1);
        }
        std::string rooted = ToBytes(inner, line, "a key name");
        Hive hive{};
        std::string path;
        if (!ParseRootedPath(rooted, hive, path)) {
            std::string first = rooted.substr(0, rooted.find('\\'));
            throw Failure{line + 1, "unknown root key " + Quote(first) +
                                        ": use HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER or "
                                        "HKEY_CLASSES_ROOT"};
        }
        if (remove && path.find_first_not_of('\\') == std::string::npos) {
            throw Failure{line + 1, "a root key cannot be deleted"};
        }
        RegOperation op;
        op.kind = remove ? RegOperation::Kind::DeleteTree : RegOperation::Kind::CreateKey;
        op.hive = hive;
        op.path = path;
        op.line = line + 1;
        m_Out.operations.push_back(std::move(op));
        m_HaveKey = true;
        m_KeyDeleted = remove;
        m_Hive = hive;
        m_Path = std::move(path);
    }

    // A "quoted" string starting at text[0]; returns what follows the closing quote.
    Units Quoted(Units text, std::size_t line, std::u16string& out, std::string_view what) const {
        out.clear();
        std::size_t i = 1;
        for (;;) {
            if (i >= text.size()) {
                throw Failure{line + 1, "unterminated " + std::string(what) + ": missing '\"'"};
            }
            char16_t c = text[i++];
            if (c == u'"') {
                return text.substr(i);
            }
            if (c == u'\\') {
                if (i >= text.size()) {
                    throw Failure{line + 1, "unterminated " + std::string(what) + ": missing '\"'"};
                }
                char16_t e = text[i++];
                if (e != u'\\' && e != u'"') {
                    std::string shown = e >= 0x20 && e < 0x7F ? std::string(1, static_cast<char>(e))
                                                              : "U+" + Hex4(e);
                    throw Failure{line + 1, "unknown escape \\" + shown + " in " +
                                                std::string(what) +
                                                " (only \\\\ and \\\" are escapes)"};
                }
                out += e;
            } else {
                out += c;
            }
        }
    }

    void ValueLine(std::size_t line, Units text) {
        if (!m_HaveKey) {
            throw Failure{line + 1, "value line before any [KEY] line"};
        }
        if (m_KeyDeleted) {
            throw Failure{line + 1,
                          "value line under a [-KEY] line: a deleted key takes no values"};
        }
        std::string name;
        Units rest;
        if (text.front() == u'@') {
            rest = text.substr(1);
        } else {
            std::u16string units;
            rest = Quoted(text, line, units, "value name");
            name = ToBytes(units, line, "a value name");
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != u'=') {
            throw Failure{line + 1, "expected '=' after the value name"};
        }
        rest = TrimRight(TrimLeft(rest.substr(1)));

        RegOperation op;
        op.hive = m_Hive;
        op.path = m_Path;
        op.name = std::move(name);
        op.line = line + 1;
        if (Equals(rest, "-")) {
            op.kind = RegOperation::Kind::DeleteValue;
        } else {
            op.kind = RegOperation::Kind::SetValue;
            op.value = Data(line, rest);
        }
        m_Out.operations.push_back(std::move(op));
    }

    Value Data(std::size_t line, Units rest) {
        Value value;
        if (!rest.empty() && rest.front() == u'"') {
            std::u16string units;
            Units after = Quoted(rest, line, units, "string");
            if (!TrimLeft(after).empty()) {
                throw Failure{line + 1, "unexpected text after the closing '\"'"};
            }
            value.type = Type::String;
            value.data = ToBytes(units, line, "a string");
            return value;
        }
        if (StartsWithNoCase(rest, "dword:")) {
            Units digits = rest.substr(6);
            if (digits.empty() || digits.size() > 8) {
                throw Failure{line + 1, "dword: needs 1 to 8 hex digits"};
            }
            std::uint32_t number = 0;
            for (char16_t c : digits) {
                int d = HexDigit(c);
                if (d < 0) {
                    throw Failure{line + 1, "dword: needs 1 to 8 hex digits"};
                }
                number = (number << 4) | static_cast<std::uint32_t>(d);
            }
            value.type = Type::Dword;
            for (int i = 0; i < 4; ++i) {
                value.data += static_cast<char>((number >> (8 * i)) & 0xFF);
            }
            return value;
        }
        if (!StartsWithNoCase(rest, "hex")) {
            throw Failure{line + 1, "unknown value: expected \"text\", dword:, hex:, hex(N): or -"};
        }
        Units typeText = rest.substr(3);
        std::uint32_t typeNumber = static_cast<std::uint32_t>(Type::Binary);
        if (!typeText.empty() && typeText.front() == u'(') {
            std::size_t close = typeText.find(u')');
            Units digits = close == Units::npos ? Units() : typeText.substr(1, close - 1);
            if (digits.empty() || digits.size() > 8) {
                throw Failure{line + 1, "hex(N): needs a type number of 1 to 8 hex digits"};
            }
            typeNumber = 0;
            for (char16_t c : digits) {
                int d = HexDigit(c);
                if (d < 0) {
                    throw Failure{line + 1, "hex(N): needs a type number of 1 to 8 hex digits"};
                }
                typeNumber = (typeNumber << 4) | static_cast<std::uint32_t>(d);
            }
            typeText = typeText.substr(close + 1);
        }
        if (typeText.empty() || typeText.front() != u':') {
            throw Failure{line + 1, "expected ':' after hex or hex(N)"};
        }
        std::string bytes = HexList(line, typeText.substr(1));
        value.type = static_cast<Type>(typeNumber);
        switch (typeNumber) {
            case 1:  // REG_SZ
            case 2:  // REG_EXPAND_SZ
            case 7:  // REG_MULTI_SZ
                if (m_Out.version == RegFileVersion::Editor5) {
                    bytes = Utf16Bytes(line, bytes, typeNumber);
                }
                if (!bytes.empty() && bytes.back() == '\0') {
                    bytes.pop_back();
                }
                break;
            case 4:  // REG_DWORD
                if (bytes.size() != 4) {
                    throw Failure{line + 1, "hex(4) (REG_DWORD) needs exactly 4 bytes, not " +
                                                std::to_string(bytes.size())};
                }
                break;
            default:
                break;
        }
        value.data = std::move(bytes);
        return value;
    }

    // Comma-separated bytes; a backslash where a byte could start continues on the next line.
    std::string HexList(std::size_t& line, Units text) {
        std::string bytes;
        std::size_t i = 0;
        for (;;) {
            while (i < text.size() && IsBlank(text[i])) {
                ++i;
            }
            if (i == text.size()) {
                return bytes;  // a trailing comma is tolerated
            }
            if (text[i] == u'\\') {
                if (!TrimLeft(text.substr(i + 1)).empty()) {
                    throw Failure{line + 1, "unexpected text after the line continuation '\\'"};
                }
                if (m_Next >= m_Lines.size()) {
                    throw Failure{line + 1, "the file ends after a line continuation '\\'"};
                }
                line = m_Next++;
                text = TrimRight(m_Lines[line]);
                i = 0;
                continue;
            }
            int high = HexDigit(text[i]);
            if (high < 0) {
                throw Failure{line + 1, "bad hex byte: expected two hex digits"};
            }
            ++i;
            int value = high;
            if (i < text.size() && HexDigit(text[i]) >= 0) {
                value = (high << 4) | HexDigit(text[i]);
                ++i;
            }
            bytes += static_cast<char>(value);
            while (i < text.size() && IsBlank(text[i])) {
                ++i;
            }
            if (i == text.size()) {
                return bytes;
            }
            if (text[i] != u',') {
                throw Failure{line + 1, "expected ',' between hex bytes"};
            }
            ++i;
        }
    }

    std::string Utf16Bytes(std::size_t line, const std::string& bytes, std::uint32_t type) const {
        std::string what = "hex(" + std::to_string(type) + ")";
        if (bytes.size() % 2 != 0) {
            throw Failure{line + 1, what +
                                        " data of a version 5.00 file are UTF-16LE units: an "
                                        "even number of bytes is needed"};
        }
        std::string out;
        out.reserve(bytes.size() / 2);
        for (std::size_t i = 0; i < bytes.size(); i += 2) {
            unsigned unit = static_cast<unsigned char>(bytes[i]) |
                            (static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8);
            if (unit > 0xFF) {
                throw Failure{line + 1, "character U+" + Hex4(unit) + " in " + what +
                                            " data cannot be stored: registry strings are 8-bit"};
            }
            out += static_cast<char>(unit);
        }
        return out;
    }

    std::vector<Units> m_Lines;
    RegFile& m_Out;
    std::size_t m_Next = 0;
    bool m_HaveKey = false;
    bool m_KeyDeleted = false;
    Hive m_Hive = Hive::LocalMachine;
    std::string m_Path;
};

bool Printable(std::string_view text, unsigned char* bad) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u > 0x7E) {
            *bad = u;
            return false;
        }
    }
    return true;
}

std::string Escaped(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string ByteText(unsigned char b) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "0x%02X", b);
    return buffer;
}

// hex: lists wrapped like the registry editor's: at most 80 columns, a backslash at the end of
// each continued line, continuation lines indented by two spaces.
void AppendHex(std::string& text, std::size_t column, std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        bool last = i + 1 == bytes.size();
        std::size_t width = last ? 2 : 3;
        if (i > 0 && column + width + 1 > kMaxColumns) {
            text += "\\\r\n  ";
            column = 2;
        }
        auto b = static_cast<unsigned char>(bytes[i]);
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
        if (!last) {
            text += ',';
        }
        column += width;
    }
}

std::string Utf16WithTerminator(std::string_view bytes) {
    std::string units;
    units.reserve(bytes.size() * 2 + 2);
    for (char c : bytes) {
        units += c;
        units += '\0';
    }
    units += std::string(2, '\0');
    return units;
}

}  // namespace

std::string DisplayName(std::string_view name) {
    std::string out;
    for (char c : name) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u <= 0x7E) {
            out += c;
        } else {
            static const char kDigits[] = "0123456789ABCDEF";
            out += "\\x";
            out += kDigits[u >> 4];
            out += kDigits[u & 0xF];
        }
    }
    return out;
}

bool ParseRegFile(std::string_view bytes, RegFile& out, RegFileError& error) {
    out = RegFile{};
    std::u16string units;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        bytes.remove_prefix(2);
        units.reserve(bytes.size() / 2);
        for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
            units += static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                           (static_cast<unsigned char>(bytes[i + 1]) << 8));
        }
        if (bytes.size() % 2 != 0) {
            std::size_t lines = 1;
            for (char16_t c : units) {
                lines += c == u'\n';
            }
            error = {lines, "the UTF-16 text ends in half a character"};
            return false;
        }
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
               static_cast<unsigned char>(bytes[1]) == 0xFF) {
        error = {1,
                 "UTF-16 big-endian text is not supported: save the file as UTF-16LE or "
                 "8-bit text"};
        return false;
    } else {
        if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
            bytes.remove_prefix(3);
        }
        units.reserve(bytes.size());
        for (char c : bytes) {
            units += static_cast<char16_t>(static_cast<unsigned char>(c));
        }
    }

    std::vector<Units> lines;
    Units all(units);
    std::size_t start = 0;
    while (start <= all.size()) {
        std::size_t end = all.find(u'\n', start);
        if (end == Units::npos) {
            end = all.size();
        }
        Units line = all.substr(start, end - start);
        if (!line.empty() && line.back() == u'\r') {
            line.remove_suffix(1);
        }
        lines.push_back(line);
        start = end + 1;
    }

    try {
        Parser(std::move(lines), out).Run();
    } catch (const Failure& failure) {
        error = {failure.line, failure.message};
        return false;
    }
    return true;
}

bool FormatRegFile(const std::vector<RegKeyContents>& keys, std::string& text, std::string& error) {
    text = std::string(kHeader5) + "\r\n\r\n";
    for (const RegKeyContents& key : keys) {
        std::string rooted(HiveLongName(key.hive));
        if (!key.path.empty()) {
            rooted += '\\';
            rooted += key.path;
        }
        unsigned char bad = 0;
        if (!Printable(rooted, &bad)) {
            error = "cannot export key " + DisplayName(rooted) + ": its name holds the byte " +
                    ByteText(bad) + ", which a .reg file cannot carry in a name";
            return false;
        }
        text += "[" + rooted + "]\r\n";
        for (const NamedValue& v : key.values) {
            if (!Printable(v.name, &bad)) {
                error = "cannot export value \"" + DisplayName(v.name) + "\" of key " + rooted +
                        ": its name holds the byte " + ByteText(bad) +
                        ", which a .reg file cannot carry in a name";
                return false;
            }
            std::string line = v.name.empty() ? "@=" : "\"" + Escaped(v.name) + "\"=";
            auto type = static_cast<std::uint32_t>(v.value.type);
            const std::string& data = v.value.data;
            if (type == 1 && Printable(data, &bad)) {
                line += "\"" + Escaped(data) + "\"";
                text += line;
            } else if (type == 4 && data.size() == 4) {
                std::uint32_t number = 0;
                for (int i = 3; i >= 0; --i) {
                    number = (number << 8) | static_cast<unsigned char>(data[i]);
                }
                char buffer[24];
                std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
                line += buffer;
                text += line;
            } else {
                bool units = type == 1 || type == 2 || type == 7;
                if (type == 3) {
                    line += "hex:";
                } else {
                    char buffer[24];
                    std::snprintf(buffer, sizeof buffer, "hex(%x):", type);
                    line += buffer;
                }
                text += line;
                AppendHex(text, line.size(), units ? Utf16WithTerminator(data) : data);
            }
            text += "\r\n";
        }
        text += "\r\n";
    }
    return true;
}

}  // namespace sorvex::registry
