// sorvex-regsvr: registers or unregisters an in-process server library, like regsvr32, and
// shows the version information stored in a library.
#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "platform/com/apartment.h"
#include "platform/com/error_detail.h"
#include "platform/com/server.h"
#include "platform/com/version_info.h"

namespace {

namespace com = sorvex::com;

constexpr char kUsage[] =
    "Usage: sorvex-regsvr [/u] [/s] LIBRARY\n"
    "       sorvex-regsvr /v LIBRARY\n"
    "\n"
    "Loads an in-process server library and calls its DllRegisterServer (or, with /u,\n"
    "DllUnregisterServer), which writes (or removes) its classes and its type library in\n"
    "HKEY_CLASSES_ROOT of the state root ($SORVEX_ROOT, default /var/lib/sorvex).\n"
    "\n"
    "  /u, -u, --unregister   unregister instead of register\n"
    "  /s, -s, --silent       print nothing on success (failures are still reported)\n"
    "  /v, -v, --version      print the library's version information and exit\n"
    "  /?, -h, --help         print this help\n"
    "\n"
    "Exit status: 0 on success, 1 on failure (one line on standard error).\n";

int Fail(const std::string& message) {
    std::cerr << "sorvex-regsvr: " << message << "\n";
    return 1;
}

bool Is(const std::string& arg, std::initializer_list<const char*> spellings) {
    for (const char* s : spellings) {
        if (arg.size() == std::char_traits<char>::length(s)) {
            bool same = true;
            for (std::size_t i = 0; i < arg.size(); ++i) {
                same = same && std::tolower(static_cast<unsigned char>(arg[i])) == s[i];
            }
            if (same) {
                return true;
            }
        }
    }
    return false;
}

std::string Hex(com::HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

int ShowVersion(const std::string& library) {
    com::VersionInfo info;
    std::string error;
    if (!com::ReadVersionInfo(library, info, &error)) {
        return Fail(error);
    }
    char language[64];
    std::snprintf(language, sizeof language, "0x%04X (code page %u)", info.language,
                  static_cast<unsigned>(info.codePage));
    auto line = [](const std::string& key, const std::string& value) {
        std::string padded = key;
        padded.resize(std::max<std::size_t>(20, key.size() + 1), ' ');
        std::cout << "  " << padded << value << "\n";
    };
    std::cout << "Version information of " << library << "\n";
    line("Language", language);
    line("File version", com::FormatVersion(info.fileVersion));
    line("Product version", com::FormatVersion(info.productVersion));
    for (const auto& [key, value] : info.strings) {
        line(key, value);
    }
    return 0;
}

int CallEntry(const std::string& library, bool unregister, bool silent) {
    const char* entryName = unregister ? "DllUnregisterServer" : "DllRegisterServer";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(library, ec)) {
        return Fail(library + ": no such file");
    }
    // An absolute path, so that the server registers where it really lies.
    const std::filesystem::path path = std::filesystem::absolute(library, ec).lexically_normal();
    void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = ::dlerror();
        return Fail("The module \"" + library +
                    "\" failed to load: " + (why != nullptr ? why : "unknown reason"));
    }
    auto entry = reinterpret_cast<com::DllRegisterServerFunc>(::dlsym(handle, entryName));
    if (entry == nullptr) {
        ::dlclose(handle);
        return Fail("The module \"" + library + "\" was loaded, but the entry-point " + entryName +
                    " was not found.");
    }
    const com::HRESULT init = com::CoInitialize();
    com::ClearLastErrorDetail();
    const com::HRESULT hr = entry();
    const std::string detail = com::LastErrorDetail();
    if (com::Succeeded(init)) {
        com::CoUninitialize();
    }
    ::dlclose(handle);
    if (com::Failed(hr)) {
        return Fail("The module \"" + library + "\" was loaded, but the call to " + entryName +
                    " failed with error code " + Hex(hr) + "." +
                    (detail.empty() ? std::string() : " " + detail));
    }
    if (!silent) {
        std::cout << entryName << " in " << library << " succeeded.\n";
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool unregister = false, silent = false, version = false;
    std::vector<std::string> libraries;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (Is(arg, {"/?", "/h", "-h", "--help"})) {
            std::cout << kUsage;
            return 0;
        }
        if (Is(arg, {"/u", "-u", "--unregister"})) {
            unregister = true;
        } else if (Is(arg, {"/s", "-s", "--silent"})) {
            silent = true;
        } else if (Is(arg, {"/v", "-v", "--version"})) {
            version = true;
        } else if (arg.size() > 1 && (arg[0] == '-' || (arg[0] == '/' && arg.size() == 2))) {
            return Fail("unknown option " + arg + " (see --help)");
        } else {
            libraries.push_back(arg);
        }
    }
    if (libraries.size() != 1) {
        return Fail(libraries.empty() ? "no library given (see --help)"
                                      : "give exactly one library (see --help)");
    }
    if (version) {
        if (unregister || silent) {
            return Fail("/v cannot be combined with /u or /s");
        }
        return ShowVersion(libraries.front());
    }
    return CallEntry(libraries.front(), unregister, silent);
}
