// sorvex-notegen: writes the C++ sources that store a type library or version information in a
// library as ELF notes (platform/com/elf_note.h). Run by the build (cmake/SorvexCom.cmake).
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/com/typelib_format.h"
#include "platform/com/version_info.h"
#include "tools/sorvex-notegen/emit.h"
#include "tools/sorvex-notegen/typelib_source.h"

namespace {

namespace com = sorvex::com;

constexpr char kUsage[] =
    "Usage:\n"
    "  sorvex-notegen typelib SOURCE --note OUT.cpp [--header OUT.h] [--binary OUT]\n"
    "      Compiles a type library source (a MIDL subset) into a .cpp that stores it as the\n"
    "      note \".note.sorvex.typelib\", a header with the interfaces, identifiers and\n"
    "      dispatch tables, and/or the serialized type library alone.\n"
    "  sorvex-notegen version --out OUT.cpp [--file-version A.B.C.D]\n"
    "      [--product-version A.B.C.D] [--language N] [--code-page N] [--string KEY=VALUE]...\n"
    "      Writes a .cpp that stores version information as the note \".note.sorvex.version\"\n"
    "      (language 0x0409 and code page 1200 unless given; strings in the order given).\n"
    "  sorvex-notegen --help\n";

int Fail(const std::string& message) {
    std::cerr << "sorvex-notegen: " << message << "\n";
    return 1;
}

// Writes only when the content changes, so that the build does not recompile needlessly.
bool WriteIfChanged(const std::string& path, const std::string& content, std::string& error) {
    {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            std::ostringstream old;
            old << in.rdbuf();
            if (old.str() == content) {
                return true;
            }
        }
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    if (!out) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool ParseNumber(const std::string& text, std::uint32_t max, std::uint32_t& value) {
    int base = 10;
    std::string_view s = text;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return !s.empty() && ec == std::errc() && end == s.data() + s.size() && value <= max;
}

bool ParseVersion(const std::string& text, std::array<std::uint16_t, 4>& out) {
    std::size_t part = 0, start = 0;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        if (i == text.size() || text[i] == '.') {
            std::uint32_t v;
            if (part >= 4 || !ParseNumber(text.substr(start, i - start), 0xFFFF, v)) {
                return false;
            }
            out[part++] = static_cast<std::uint16_t>(v);
            start = i + 1;
        }
    }
    return part == 4;
}

int TypeLib(const std::vector<std::string>& args) {
    std::string source, note, header, binary;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) {
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == "--note") {
            if (!value(note))
                return Fail("--note needs a file name");
        } else if (a == "--header") {
            if (!value(header))
                return Fail("--header needs a file name");
        } else if (a == "--binary") {
            if (!value(binary))
                return Fail("--binary needs a file name");
        } else if (!a.empty() && a[0] == '-') {
            return Fail("unknown option " + a + " (see --help)");
        } else if (source.empty()) {
            source = a;
        } else {
            return Fail("more than one source file given");
        }
    }
    if (source.empty()) {
        return Fail("typelib: no source file given (see --help)");
    }
    if (note.empty() && header.empty() && binary.empty()) {
        return Fail("typelib: give --note, --header and/or --binary");
    }
    std::ifstream in(source, std::ios::binary);
    if (!in) {
        return Fail(source + ": " + std::strerror(errno));
    }
    std::ostringstream text;
    text << in.rdbuf();
    com::TypeLibDesc lib;
    std::string error;
    if (!sorvex::notegen::ParseTypeLibSource(text.str(), source, lib, error)) {
        return Fail(error);
    }
    const std::string bytes = com::SerializeTypeLib(lib);
    const std::string origin = std::filesystem::path(source).filename().string();
    if (!note.empty() &&
        !WriteIfChanged(note,
                        sorvex::notegen::NoteSource(origin, ".note.sorvex.typelib",
                                                    "::sorvex::com::kNoteTypeTypeLib", bytes),
                        error)) {
        return Fail(error);
    }
    if (!header.empty() &&
        !WriteIfChanged(header, sorvex::notegen::TypeLibHeader(origin, lib), error)) {
        return Fail(error);
    }
    if (!binary.empty() && !WriteIfChanged(binary, bytes, error)) {
        return Fail(error);
    }
    return 0;
}

int Version(const std::vector<std::string>& args) {
    com::VersionInfo info;
    std::string out;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (i + 1 >= args.size()) {
            return Fail(a + " needs a value (see --help)");
        }
        const std::string& v = args[++i];
        std::uint32_t n;
        if (a == "--out") {
            out = v;
        } else if (a == "--file-version") {
            if (!ParseVersion(v, info.fileVersion))
                return Fail("--file-version \"" + v + "\" is not A.B.C.D");
        } else if (a == "--product-version") {
            if (!ParseVersion(v, info.productVersion))
                return Fail("--product-version \"" + v + "\" is not A.B.C.D");
        } else if (a == "--language") {
            if (!ParseNumber(v, 0xFFFF, n))
                return Fail("--language \"" + v + "\" is not a 16-bit number");
            info.language = static_cast<std::uint16_t>(n);
        } else if (a == "--code-page") {
            if (!ParseNumber(v, 0xFFFF, n))
                return Fail("--code-page \"" + v + "\" is not a 16-bit number");
            info.codePage = static_cast<std::uint16_t>(n);
        } else if (a == "--string") {
            const std::size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) {
                return Fail("--string \"" + v + "\" is not KEY=VALUE");
            }
            if (info.Find(v.substr(0, eq)) != nullptr) {
                return Fail("--string: key \"" + v.substr(0, eq) + "\" is given twice");
            }
            info.strings.emplace_back(v.substr(0, eq), v.substr(eq + 1));
        } else {
            return Fail("unknown option " + a + " (see --help)");
        }
    }
    if (out.empty()) {
        return Fail("version: no --out file given");
    }
    std::string error;
    const std::string source = sorvex::notegen::NoteSource(
        "version information", ".note.sorvex.version", "::sorvex::com::kNoteTypeVersionInfo",
        com::SerializeVersionInfo(info));
    if (!WriteIfChanged(out, source, error)) {
        return Fail(error);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) {
        std::cerr << kUsage;
        return 1;
    }
    const std::string command = args.front();
    args.erase(args.begin());
    if (command == "--help" || command == "-h") {
        std::cout << kUsage;
        return 0;
    }
    if (command == "typelib") {
        return TypeLib(args);
    }
    if (command == "version") {
        return Version(args);
    }
    return Fail("unknown command \"" + command + "\" (see --help)");
}
