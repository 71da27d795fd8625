// A fresh state root for one test.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace sorvex::test {

// Makes a new empty directory below $TMPDIR (or /tmp), points SORVEX_ROOT at it and, when the
// object goes, restores the previous SORVEX_ROOT and removes the directory with its contents.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;

    const std::filesystem::path& path() const { return m_Path; }

private:
    std::filesystem::path m_Path;
    std::string m_Previous;
    bool m_HadPrevious = false;
};

// Path of a program built into build/bin: $SORVEX_BIN when set, else the directory of the
// running test (tests are built into build/bin too).
std::filesystem::path BinPath(std::string_view program);

// Root of the source tree ($SORVEX_SOURCE when set, else the tree this was built from).
std::filesystem::path SourcePath();

}  // namespace sorvex::test
