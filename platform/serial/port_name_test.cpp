#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "platform/registry/registry.h"
#include "platform/serial/rfc2217_server.h"
#include "platform/serial/serial_port.h"
#include "tests/support/temp_root.h"

namespace sorvex::serial {
namespace {

using registry::Hive;
using registry::Key;
using registry::Status;

constexpr const char* kSerialComm = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

void Map(const std::string& name, const std::string& target) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, kSerialComm, key), Status::Ok);
    ASSERT_EQ(key.SetString(name, target), Status::Ok);
}

TEST(Win32FromErrno, MapsEveryErrnoInOnePlace) {
    const std::pair<int, unsigned long> rows[] = {
        {ENOENT, 2},          {ENODEV, 2},   {ENXIO, 2},
        {EACCES, 5},          {EPERM, 5},    {EBUSY, 5},
        {EWOULDBLOCK, 5},     {EIO, 1117},   {ENOTCONN, 1167},
        {ECONNRESET, 1167},   {EPIPE, 1167}, {ECONNREFUSED, 1225},
        {ETIMEDOUT, 121},     {EINVAL, 87},  {ENOTTY, 1},
        {EHOSTUNREACH, 1232}, {EDOM, 31},    {0, 31},
    };
    for (auto [err, code] : rows) {
        EXPECT_EQ(Win32FromErrno(err), code) << "errno " << err;
    }
}

struct ResolveRow {
    std::string name;
    Target::Kind kind;
    std::string where;  // path, or host
    std::uint16_t port;
};

TEST(Resolve, NamesResolveThroughTheRegistryOrTheFallback) {
    test::TempRoot root;
    Map("COM3", "/dev/ttyUSB0");
    Map("com7", "rfc2217://localhost:4001");  // value names compare case-insensitively
    Map("COM1", "/dev/pts/5");                // a mapping wins over the fallback
    Map("COM12", std::string("/dev/ttyACM0\0", 13));
    using K = Target::Kind;
    const ResolveRow rows[] = {
        {"\\\\.\\COM3", K::Tty, "/dev/ttyUSB0", 0},
        {"COM3", K::Tty, "/dev/ttyUSB0", 0},
        {"COM7", K::Rfc2217, "localhost", 4001},
        {"\\\\.\\COM1", K::Tty, "/dev/pts/5", 0},
        {"COM12", K::Tty, "/dev/ttyACM0", 0},
        {"COM2", K::Tty, "/dev/ttyS1", 0},
        {"com32", K::Tty, "/dev/ttyS31", 0},
        {"/dev/ttyUSB3", K::Tty, "/dev/ttyUSB3", 0},
        {"rfc2217://127.0.0.1:7000", K::Rfc2217, "127.0.0.1", 7000},
        {"RFC2217://[::1]:65535", K::Rfc2217, "::1", 65535},
    };
    for (const auto& row : rows) {
        Target t = Resolve(row.name);
        EXPECT_EQ(t.kind, row.kind) << row.name;
        if (row.kind == K::Tty) {
            EXPECT_EQ(t.path, row.where) << row.name;
        } else {
            EXPECT_EQ(t.host, row.where) << row.name;
            EXPECT_EQ(t.port, row.port) << row.name;
        }
    }
}

TEST(Resolve, NamesThatNameNoPortAreError2) {
    test::TempRoot root;
    Map("COM40", "ttyUSB0");           // not absolute
    Map("COM41", "rfc2217://nohost");  // no port
    {
        Key key;
        ASSERT_EQ(Key::Create(Hive::LocalMachine, kSerialComm, key), Status::Ok);
        ASSERT_EQ(key.SetDword("COM42", 1), Status::Ok);
    }
    const char* rows[] = {
        "",
        "COM",
        "COM0",
        "COM01",
        "COMx",
        "COM3x",
        "LPT1",
        "\\\\.\\",
        "\\\\.\\LPT1",
        "ttyS0",
        "COM33",
        "COM99999",
        "COM40",
        "COM41",
        "COM42",
        "rfc2217://host",
        "rfc2217://:7000",
        "rfc2217://h:0",
        "rfc2217://h:70000",
        "rfc2217://::1:7",
        "rfc2217://h:7x",
        "rfc2217://[::1]7",
    };
    for (const char* name : rows) {
        try {
            Target t = Resolve(name);
            ADD_FAILURE() << "\"" << name << "\" resolved to " << t.path << t.host;
        } catch (const PortError& e) {
            EXPECT_EQ(e.code(), 2u) << name << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
        }
    }
}

TEST(OpenPort, OpensMappedPortsOfBothKinds) {
    test::TempRoot root;
    Rfc2217Server server([](std::string_view) {});
    int master = -1, slave = -1;
    char pty[128];
    ASSERT_EQ(::openpty(&master, &slave, pty, nullptr, nullptr), 0);
    ::close(slave);
    Map("COM4", server.Url());
    Map("COM5", pty);
    Map("COM6", "/dev/ttyNoSuchPort6");

    EXPECT_EQ(OpenPort("\\\\.\\COM4")->Name(), server.Url());
    EXPECT_EQ(OpenPort("COM5")->Name(), pty);
    try {
        OpenPort("\\\\.\\COM6");
        ADD_FAILURE() << "opened a missing device";
    } catch (const PortError& e) {
        EXPECT_EQ(e.code(), 2u);
        std::string what = e.what();
        EXPECT_NE(what.find("COM6"), std::string::npos) << what;
        EXPECT_NE(what.find("/dev/ttyNoSuchPort6"), std::string::npos) << what;
    }
    ::close(master);
}

}  // namespace
}  // namespace sorvex::serial
