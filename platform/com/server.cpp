#include "platform/com/server.h"

#include <dlfcn.h>
#include <link.h>

#include <system_error>

namespace sorvex::com {

std::filesystem::path ModulePath(const void* address) {
    Dl_info info{};
    link_map* map = nullptr;
    if (::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
        return {};
    }
    std::error_code ec;
    // The main program's link map has an empty name.
    if (map == nullptr || map->l_name == nullptr || *map->l_name == '\0') {
        std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
        return ec ? std::filesystem::path() : exe;
    }
    std::filesystem::path path = std::filesystem::absolute(map->l_name, ec);
    return ec ? std::filesystem::path(map->l_name) : path.lexically_normal();
}

}  // namespace sorvex::com
