// The backends behind OpenPort, for port_name.cpp and the tests; not part of the API.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/serial/serial_port.h"

namespace sorvex::serial {

// Opens a local tty exclusively (termios_port.cpp). Throws PortError naming the path.
std::unique_ptr<Port> OpenTermiosPort(const std::string& path);

// Connects to an RFC 2217 server (rfc2217_port.cpp). Throws PortError naming the URL.
std::unique_ptr<Port> OpenRfc2217Port(const std::string& host, std::uint16_t port);

// True when the character device major:minor is a tty whose kernel device sits on the USB bus,
// looked up in the sysfs mounted at `sysRoot` (normally "/sys").
bool TtyOnUsbBus(const std::filesystem::path& sysRoot, unsigned major, unsigned minor);

}  // namespace sorvex::serial
