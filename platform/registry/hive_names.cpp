// Hive names as `reg` spells them. Kept apart from the store so that the .reg file parser (and
// its fuzzer) needs nothing else of the registry.
#include <array>

#include "platform/registry/registry.h"

namespace sorvex::registry {

namespace {

struct HiveName {
    std::string_view shortName;
    std::string_view longName;
    Hive hive;
};

constexpr std::array<HiveName, 3> kHiveNames = {{
    {"HKLM", "HKEY_LOCAL_MACHINE", Hive::LocalMachine},
    {"HKCU", "HKEY_CURRENT_USER", Hive::CurrentUser},
    {"HKCR", "HKEY_CLASSES_ROOT", Hive::ClassesRoot},
}};

bool SameLetters(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - ('a' - 'A'));
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - ('a' - 'A'));
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool ParseRootedPath(std::string_view rooted, Hive& hive, std::string& path) {
    while (!rooted.empty() && rooted.front() == '\\') {
        rooted.remove_prefix(1);
    }
    std::size_t end = rooted.find('\\');
    std::string_view first = rooted.substr(0, end);
    for (const HiveName& name : kHiveNames) {
        if (SameLetters(first, name.shortName) || SameLetters(first, name.longName)) {
            hive = name.hive;
            path =
                end == std::string_view::npos ? std::string() : std::string(rooted.substr(end + 1));
            return true;
        }
    }
    return false;
}

std::string_view HiveLongName(Hive hive) {
    for (const HiveName& name : kHiveNames) {
        if (name.hive == hive) {
            return name.longName;
        }
    }
    return "HKEY_LOCAL_MACHINE";
}

}  // namespace sorvex::registry
