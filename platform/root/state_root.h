// The state root: the one directory below which all persistent state of the package lives.
//
// SORVEX_ROOT names it; without it the machine's root /var/lib/sorvex is used. Everything that
// persists derives its location from here: the registry hives, drive C:, the device namespace
// and the names of system-wide objects. The variable is read on every call, so a process (or a
// test) that sets it before it first touches any state is relocated completely.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace sorvex::root {

inline constexpr const char* kDefaultRoot = "/var/lib/sorvex";

// $SORVEX_ROOT when it is set and not empty, else kDefaultRoot. Made absolute, not resolved.
std::filesystem::path StateRoot();

// True when SORVEX_ROOT is set (and not empty).
bool IsExplicit();

// Maps a Windows path the system names to its place below the root: "C:\Sorvex2.log" becomes
// <root>/drive_c/Sorvex2.log. The drive letter is folded to lower case and both separators are
// accepted. A path without a drive letter is taken relative to drive C:.
std::filesystem::path MapWindowsPath(std::string_view windowsPath);

// Sixteen lower-case hex digits derived from the root path (FNV-1a, 64 bit). Names of system
// objects (named mutexes) carry it, so two roots never share one.
std::string RootTag();

// Creates the directory and any missing parents. Directories this call creates get `mode`
// (not reduced by the umask); existing ones are left as they are. Throws
// std::filesystem::filesystem_error naming the path on failure.
void EnsureDirectory(const std::filesystem::path& dir, mode_t mode);

}  // namespace sorvex::root
