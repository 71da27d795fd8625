// Files and sockets of simulated HID devices, shared by the host side (simulated_backend.cpp)
// and the device side (SimulatedHidServer). Not part of the API.
//
// A device <name> is two files in the device directory: <name>.sock, a listening UNIX
// SOCK_SEQPACKET socket, and <name>.dev, its metadata. Both appear by rename, so nobody sees a
// half-written file or a socket that is not yet listening. While the device is plugged, its
// simulator holds an exclusive flock on <name>.dev; the kernel drops it when the simulator dies.
#pragma once

#include <optional>
#include <string>

#include "platform/hid/hid_internal.h"
#include "platform/hid/simulated_metadata.h"

namespace sorvex::hid::detail {

inline constexpr const char* kSocketSuffix = ".sock";
inline constexpr const char* kMetadataSuffix = ".dev";

// "<dir>/<name>.sock" -> "<dir>/<name>.dev".
std::string MetadataPathFor(const std::string& socketPath);

// Connects a SOCK_SEQPACKET socket (close-on-exec, non-blocking) to `path`; paths longer than a
// socket address holds go through the directory's descriptor. On failure an invalid descriptor,
// with the errno value in `err`.
UniqueFd ConnectSeqpacket(const std::string& path, int& err);

// A listening SOCK_SEQPACKET socket (close-on-exec, non-blocking) that replaces whatever is at
// `path`: bound under a temporary name beside it, then renamed into place. Throws HidError.
UniqueFd ListenSeqpacket(const std::string& path);

// Writes the metadata file at `path` through a temporary file and rename, and returns the open
// file holding the exclusive lock that marks the device as served. Throws HidError.
UniqueFd WriteLockedMetadata(const std::string& path, const SimulatedDeviceMetadata& metadata);

// Whether the file open as `metadataFd` is locked by a live simulator.
bool IsLockedByServer(int metadataFd);

// Reads and parses the metadata file; also says whether a simulator holds its lock.
struct MetadataFile {
    SimulatedDeviceMetadata metadata;
    bool locked = false;
};
std::optional<MetadataFile> ReadMetadataFile(const std::string& path);

// Whether a simulator serves the device at `socketPath`: its metadata file is locked, or (for
// simulators that do not lock it) its socket accepts a connection, which is closed at once.
bool IsServed(const std::string& socketPath, const MetadataFile& metadata);

}  // namespace sorvex::hid::detail
