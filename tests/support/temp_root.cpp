#include "tests/support/temp_root.h"

#include <unistd.h>

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace sorvex::test {

namespace fs = std::filesystem;

TempRoot::TempRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/sorvex-test-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::system_error(errno, std::generic_category(), "mkdtemp " + pattern);
    }
    m_Path = buffer.data();
    if (const char* previous = std::getenv("SORVEX_ROOT")) {
        m_HadPrevious = true;
        m_Previous = previous;
    }
    ::setenv("SORVEX_ROOT", m_Path.c_str(), 1);
}

TempRoot::~TempRoot() {
    if (m_HadPrevious) {
        ::setenv("SORVEX_ROOT", m_Previous.c_str(), 1);
    } else {
        ::unsetenv("SORVEX_ROOT");
    }
    std::error_code ec;
    fs::remove_all(m_Path, ec);
}

fs::path BinPath(std::string_view program) {
    const char* bin = std::getenv("SORVEX_BIN");
    if (bin != nullptr && *bin != '\0') {
        return fs::path(bin) / program;
    }
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec) {
        throw std::runtime_error("cannot find the test's own directory: " + ec.message());
    }
    return self.parent_path() / program;
}

fs::path SourcePath() {
    const char* src = std::getenv("SORVEX_SOURCE");
    return fs::path(src != nullptr && *src != '\0' ? src : SORVEX_SOURCE_DIR);
}

}  // namespace sorvex::test
