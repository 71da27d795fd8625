#include "platform/root/state_root.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>

namespace sorvex::root {

namespace fs = std::filesystem;

bool IsExplicit() {
    const char* value = std::getenv("SORVEX_ROOT");
    return value != nullptr && *value != '\0';
}

fs::path StateRoot() {
    const char* value = std::getenv("SORVEX_ROOT");
    fs::path root = (value != nullptr && *value != '\0') ? fs::path(value) : fs::path(kDefaultRoot);
    if (root.is_relative()) {
        std::error_code ec;
        fs::path absolute = fs::absolute(root, ec);
        if (!ec) {
            root = absolute;
        }
    }
    return root.lexically_normal();
}

fs::path MapWindowsPath(std::string_view windowsPath) {
    char drive = 'c';
    std::string_view rest = windowsPath;
    if (rest.size() >= 2 && rest[1] == ':' &&
        ((rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z'))) {
        drive = static_cast<char>(rest[0] | 0x20);
        rest.remove_prefix(2);
    }
    fs::path mapped = StateRoot() / (std::string("drive_") + drive);
    std::string component;
    for (char c : rest) {
        if (c == '\\' || c == '/') {
            if (!component.empty()) {
                mapped /= component;
                component.clear();
            }
        } else {
            component += c;
        }
    }
    if (!component.empty()) {
        mapped /= component;
    }
    return mapped;
}

std::string RootTag() {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    for (unsigned char c : StateRoot().string()) {
        hash ^= c;
        hash *= 0x100000001b3ULL;
    }
    static const char kDigits[] = "0123456789abcdef";
    std::string tag(16, '0');
    for (int i = 15; i >= 0; --i) {
        tag[static_cast<std::size_t>(i)] = kDigits[hash & 0xF];
        hash >>= 4;
    }
    return tag;
}

void EnsureDirectory(const fs::path& dir, mode_t mode) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) {
        return;
    }
    if (dir.has_parent_path() && dir.parent_path() != dir) {
        EnsureDirectory(dir.parent_path(), mode);
    }
    if (::mkdir(dir.c_str(), mode) != 0) {
        if (errno == EEXIST && fs::is_directory(dir, ec)) {
            return;  // made by someone else meanwhile
        }
        throw fs::filesystem_error("cannot create directory", dir,
                                   std::error_code(errno, std::generic_category()));
    }
    // mkdir applies the umask; the caller asked for exactly this mode.
    ::chmod(dir.c_str(), mode);
}

}  // namespace sorvex::root
