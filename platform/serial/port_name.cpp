// The serial device namespace: port names to targets, errno values to Win32 numbers, and
// OpenPort choosing the backend.
#include <cerrno>
#include <charconv>
#include <string>

#include "platform/registry/registry.h"
#include "platform/serial/serial_backends.h"
#include "platform/serial/serial_port.h"

namespace sorvex::serial {

namespace {

constexpr std::string_view kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::string_view kSerialCommRooted = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr std::string_view kScheme = "rfc2217://";
constexpr unsigned kFallbackPorts = 32;  // COM1..COM32 -> /dev/ttyS0..31

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        char a = s[i], b = prefix[i];
        if (a >= 'a' && a <= 'z') {
            a = static_cast<char>(a - 'a' + 'A');
        }
        if (b >= 'a' && b <= 'z') {
            b = static_cast<char>(b - 'a' + 'A');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

[[noreturn]] void NoPort(std::string_view name, const std::string& why) {
    throw PortError(2, std::string(name) + ": " + why);
}

// "rfc2217://host:port", host a name, an IPv4 address or "[IPv6]".
Target ParseUrl(std::string_view url, std::string_view context) {
    std::string_view rest = url.substr(kScheme.size());
    std::string_view host;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        auto close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            NoPort(context, "bad network port \"" + std::string(url) + "\" (rfc2217://host:port)");
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            NoPort(context, "bad network port \"" + std::string(url) + "\" (rfc2217://host:port)");
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            host = {};  // an IPv6 address needs brackets
        }
    }
    unsigned number = 0;
    auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
    if (host.empty() || host.find_first_of("/@ ") != std::string_view::npos || port.empty() ||
        ec != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535) {
        NoPort(context, "bad network port \"" + std::string(url) + "\" (rfc2217://host:port)");
    }
    Target t;
    t.kind = Target::Kind::Rfc2217;
    t.host = std::string(host);
    t.port = static_cast<std::uint16_t>(number);
    return t;
}

Target TtyTarget(std::string path) {
    Target t;
    t.kind = Target::Kind::Tty;
    t.path = std::move(path);
    return t;
}

// The mapping of "COM<n>" in the registry; false when there is none.
bool Lookup(std::string_view name, const std::string& valueName, Target& out) {
    using namespace sorvex::registry;
    Key key;
    Status st = Key::Open(Hive::LocalMachine, kSerialComm, kRead, key);
    if (st == Status::NotFound) {
        return false;
    }
    Value value;
    if (st == Status::Ok) {
        st = key.Get(valueName, value);
        if (st == Status::NotFound) {
            return false;
        }
    }
    if (st != Status::Ok) {
        throw PortError(static_cast<unsigned long>(st),
                        std::string(name) + ": cannot read " + std::string(kSerialCommRooted) +
                            " value \"" + valueName + "\": " + std::string(StatusText(st)));
    }
    const std::string where = std::string(kSerialCommRooted) + " value \"" + valueName + "\"";
    if (value.type != Type::String) {
        NoPort(name, where + " is not REG_SZ");
    }
    std::string data = value.data;
    while (!data.empty() && data.back() == '\0') {
        data.pop_back();  // written with its terminator by some tool
    }
    if (StartsWithNoCase(data, kScheme)) {
        out = ParseUrl(data, std::string(name) + " (" + where + ")");
        return true;
    }
    if (data.empty() || data.front() != '/') {
        NoPort(name, where + " (\"" + data +
                         "\") is neither an absolute device path nor rfc2217://host:port");
    }
    out = TtyTarget(std::move(data));
    return true;
}

}  // namespace

unsigned long Win32FromErrno(int err) {
    switch (err) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return 2;  // ERROR_FILE_NOT_FOUND
        case ENOTDIR:
            return 3;  // ERROR_PATH_NOT_FOUND
        case EMFILE:
        case ENFILE:
            return 4;  // ERROR_TOO_MANY_OPEN_FILES
        case EACCES:
        case EPERM:
        case EBUSY:
        case EAGAIN:
            return 5;  // ERROR_ACCESS_DENIED (EWOULDBLOCK: the lock is held)
        case ENOMEM:
            return 8;  // ERROR_NOT_ENOUGH_MEMORY
        case ENOTTY:
            return 1;  // ERROR_INVALID_FUNCTION: not a serial device
        case EINVAL:
            return 87;  // ERROR_INVALID_PARAMETER
        case ETIMEDOUT:
            return 121;  // ERROR_SEM_TIMEOUT
        case EIO:
            return 1117;  // ERROR_IO_DEVICE
        case ENOTCONN:
        case ECONNRESET:
        case ECONNABORTED:
        case ESHUTDOWN:
        case EPIPE:
            return 1167;  // ERROR_DEVICE_NOT_CONNECTED
        case ECONNREFUSED:
            return 1225;  // ERROR_CONNECTION_REFUSED
        case ENETUNREACH:
            return 1231;  // ERROR_NETWORK_UNREACHABLE
        case EHOSTUNREACH:
            return 1232;  // ERROR_HOST_UNREACHABLE
        default:
            return 31;  // ERROR_GEN_FAILURE
    }
}

Target Resolve(std::string_view name) {
    if (StartsWithNoCase(name, kScheme)) {
        return ParseUrl(name, name);
    }
    if (!name.empty() && name.front() == '/') {
        return TtyTarget(std::string(name));
    }
    std::string_view com = name;
    if (com.substr(0, 4) == "\\\\.\\") {
        com.remove_prefix(4);
    }
    if (!StartsWithNoCase(com, "COM")) {
        NoPort(name,
               "not a serial port name (COM<n>, \\\\.\\COM<n>, /dev/..., rfc2217://host:port)");
    }
    std::string_view digits = com.substr(3);
    unsigned number = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), number);
    if (digits.empty() || digits.front() == '0' || ec != std::errc() ||
        end != digits.data() + digits.size() || number > 65535) {
        NoPort(name,
               "not a serial port name (COM<n>, \\\\.\\COM<n>, /dev/..., rfc2217://host:port)");
    }
    const std::string valueName = "COM" + std::to_string(number);
    Target mapped;
    if (Lookup(name, valueName, mapped)) {
        return mapped;
    }
    if (number > kFallbackPorts) {
        NoPort(name, valueName + " is not mapped in " + std::string(kSerialCommRooted) +
                         " (unmapped COM1..COM32 are /dev/ttyS0../dev/ttyS31)");
    }
    return TtyTarget("/dev/ttyS" + std::to_string(number - 1));
}

std::unique_ptr<Port> OpenPort(std::string_view name) {
    Target t = Resolve(name);
    const bool direct =
        t.kind == Target::Kind::Tty ? name == t.path : StartsWithNoCase(name, kScheme);
    try {
        if (t.kind == Target::Kind::Tty) {
            return OpenTermiosPort(t.path);
        }
        return OpenRfc2217Port(t.host, t.port);
    } catch (const PortError& e) {
        if (direct) {
            throw;
        }
        throw PortError(e.code(), std::string(name) + " -> " + e.what());
    }
}

}  // namespace sorvex::serial
