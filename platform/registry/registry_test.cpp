#include "platform/registry/registry.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::registry {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

constexpr const char* kChildVariable = "SORVEX_REGISTRY_TEST_CHILD";
const std::string kReadOnlyData = "\0readable\xff"s;

mode_t ModeOf(const fs::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        return 0;
    }
    return st.st_mode & 07777;
}

std::string MustRead(Hive hive, std::string_view path, std::string_view name) {
    Key key;
    EXPECT_EQ(Key::Open(hive, path, kRead, key), Status::Ok) << path;
    Value value;
    EXPECT_EQ(key.Get(name, value), Status::Ok) << path << " " << name;
    return value.data;
}

// A second process for the read-only test: it reads the hive that the parent made, with no
// right to write it (as "nobody" when the tests run as root; otherwise the parent made the file
// read-only).
int ReadOnlyChild() {
    if (::geteuid() == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            std::perror("cannot become nobody");
            return 2;
        }
    }
    int failures = 0;
    auto expect = [&](bool ok, const char* what) {
        if (!ok) {
            std::fprintf(stderr, "read-only child: %s\n", what);
            ++failures;
        }
    };
    Key key;
    expect(Key::Open(Hive::LocalMachine, "SOFTWARE\\ReadOnly", kRead, key) == Status::Ok,
           "open for reading failed");
    Value value;
    expect(key.Get("Value", value) == Status::Ok && value.data == kReadOnlyData,
           "the value did not read back");
    char buffer[2048];
    std::size_t size = sizeof buffer;
    expect(key.Query("Value", nullptr, buffer, &size) == Status::Ok &&
               std::string(buffer, size) == kReadOnlyData,
           "Query did not read the value");
    Key writable;
    expect(Key::Open(Hive::LocalMachine, "SOFTWARE\\ReadOnly", kReadWrite, writable) ==
               Status::AccessDenied,
           "open for writing was not refused");
    expect(Key::Create(Hive::LocalMachine, "SOFTWARE\\ReadOnly\\New", writable) ==
               Status::AccessDenied,
           "create was not refused");
    expect(LastErrorDetail().find("machine.db") != std::string::npos,
           "the refusal does not name the database file");
    expect(DeleteTree(Hive::LocalMachine, "SOFTWARE\\ReadOnly") == Status::AccessDenied,
           "delete was not refused");
    Batch batch;
    batch.SetValue(Hive::LocalMachine, "SOFTWARE\\ReadOnly", "Other", Type::String, "x");
    expect(batch.Commit() == Status::AccessDenied, "a batch was not refused");
    expect(MustRead(Hive::LocalMachine, "SOFTWARE\\ReadOnly", "Value") == kReadOnlyData,
           "reading after refused writes failed");
    return failures == 0 ? 0 : 1;
}

// Test executables start themselves as a child; the child does its part and never reaches the
// tests.
const int kChildDispatch = [] {
    const char* mode = std::getenv(kChildVariable);
    if (mode != nullptr && std::strcmp(mode, "read-only") == 0) {
        int code = ReadOnlyChild();
        std::fflush(nullptr);
        std::exit(code);
    }
    return 0;
}();

class RegistryTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
};

TEST_F(RegistryTest, KeyNamesIgnoreCaseAndKeepTheFirstSpelling) {
    Key created;
    bool isNew = false;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\OLEForRetail\\ServiceOPOS\\Scanner",
                          created, &isNew),
              Status::Ok);
    EXPECT_TRUE(isNew);
    ASSERT_EQ(created.SetString("Model", "Heronix/2110"), Status::Ok);

    Key again;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "software\\OLEFORRETAIL\\serviceopos\\SCANNER", again,
                          &isNew),
              Status::Ok);
    EXPECT_FALSE(isNew);

    Key opened;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "\\SOFTWARE\\\\OLEforRetail\\ServiceOPOS\\Scanner\\",
                        kRead, opened),
              Status::Ok);
    EXPECT_EQ(opened.Path(), "SOFTWARE\\OLEForRetail\\ServiceOPOS\\Scanner");

    Value value;
    ASSERT_EQ(opened.Get("MODEL", value), Status::Ok);
    EXPECT_EQ(value.data, "Heronix/2110");
    ASSERT_EQ(again.SetString("model", "6620"), Status::Ok);
    std::vector<NamedValue> values;
    ASSERT_EQ(opened.Values(values), Status::Ok);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].name, "Model");  // the spelling it was created with
    EXPECT_EQ(values[0].value.data, "6620");
}

TEST_F(RegistryTest, MissingKeysAndValuesAreNotFound) {
    Key key;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Nothing", kRead, key), Status::NotFound);
    EXPECT_FALSE(key.IsOpen());
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Something", key), Status::Ok);
    Type type{};
    std::size_t size = 0;
    EXPECT_EQ(key.QueryInfo("Absent", &type, &size), Status::NotFound);
    EXPECT_EQ(key.Query("Absent", &type, nullptr, &size), Status::NotFound);
    EXPECT_EQ(key.DeleteValue("Absent"), Status::NotFound);
    Key sub;
    EXPECT_EQ(key.OpenSubkey("Sub", kRead, sub), Status::NotFound);
}

TEST_F(RegistryTest, ReadingCreatesNoFiles) {
    Key key;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\X", kRead, key), Status::NotFound);
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "", kRead, key), Status::Ok);
    ASSERT_EQ(Key::Open(Hive::ClassesRoot, "", kRead, key), Status::Ok);
    std::vector<std::string> names;
    EXPECT_EQ(key.Subkeys(names), Status::Ok);
    EXPECT_TRUE(names.empty());
    EXPECT_FALSE(fs::exists(m_Root.path() / "registry"));
}

TEST_F(RegistryTest, NamesAndDataKeepEveryByte) {
    struct Row {
        std::string key;
        std::string name;
        Type type;
        std::string data;
    };
    const Row rows[] = {
        {"Bytes", "nul\0name"s, Type::String, "a\0b\xff\x80"s},
        {"Bytes", "\xff\xfe"s, Type::Binary, std::string("\0\0\0\xff", 4)},
        {"Bytes", "with\\backslash", Type::String, "C:\\Sorvex2.log"},
        {"Bytes", "", Type::String, "default"},
        {"Bytes", "empty", Type::String, ""},
        {"Bytes", "multi", static_cast<Type>(7), "one\0two\0"s},
        {"Key\0with\xffodd bytes"s, "v", Type::Dword, "\x01\x00\x00\x00"s},
    };
    for (const Row& row : rows) {
        Key key;
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\" + row.key, key), Status::Ok);
        ASSERT_EQ(key.Set(row.name, row.type, row.data), Status::Ok) << row.name;
    }
    for (const Row& row : rows) {
        Key key;
        ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\" + row.key, kRead, key), Status::Ok);
        EXPECT_EQ(key.Path(), "SOFTWARE\\" + row.key);
        Value value;
        ASSERT_EQ(key.Get(row.name, value), Status::Ok) << row.name;
        EXPECT_EQ(value.type, row.type);
        EXPECT_EQ(value.data, row.data);
    }
}

TEST_F(RegistryTest, DwordWhereAStringIsExpectedShowsItsType) {
    Key key;
    ASSERT_EQ(
        Key::Create(Hive::LocalMachine, "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\A", key),
        Status::Ok);
    ASSERT_EQ(key.SetDword("Serial Port", 0x01020304), Status::Ok);
    Type type = Type::String;
    std::size_t size = 0;
    ASSERT_EQ(key.QueryInfo("serial port", &type, &size), Status::Ok);
    EXPECT_EQ(type, Type::Dword);
    EXPECT_EQ(size, 4u);
    char buffer[2048];
    size = sizeof buffer;
    ASSERT_EQ(key.Query("Serial Port", &type, buffer, &size), Status::Ok);
    EXPECT_EQ(type, Type::Dword);
    EXPECT_EQ(std::string(buffer, size), "\x04\x03\x02\x01");
    EXPECT_EQ(key.Set("Bad", Type::Dword, "123"), Status::InvalidParameter);
    EXPECT_EQ(key.QueryInfo("Bad", &type, &size), Status::NotFound);
}

TEST_F(RegistryTest, SmallBufferGetsMoreDataAndNothingCopied) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Big", key), Status::Ok);
    const std::string big(3000, 'x');
    ASSERT_EQ(key.SetString("Big", big), Status::Ok);
    ASSERT_EQ(key.SetString("Ten", "0123456789"), Status::Ok);
    ASSERT_EQ(key.SetString("Empty", ""), Status::Ok);

    char buffer[2048];
    std::memset(buffer, '#', sizeof buffer);
    std::size_t size = sizeof buffer;
    Type type{};
    EXPECT_EQ(key.Query("Big", &type, buffer, &size), Status::MoreData);
    EXPECT_EQ(size, big.size());
    EXPECT_EQ(type, Type::String);
    EXPECT_EQ(std::string(buffer, 8), "########");

    size = 9;
    EXPECT_EQ(key.Query("Ten", nullptr, buffer, &size), Status::MoreData);
    EXPECT_EQ(size, 10u);
    EXPECT_EQ(buffer[0], '#');
    size = 0;
    EXPECT_EQ(key.Query("Ten", nullptr, nullptr, &size), Status::MoreData);
    EXPECT_EQ(size, 10u);
    size = 10;
    EXPECT_EQ(key.Query("Ten", nullptr, buffer, &size), Status::Ok);
    EXPECT_EQ(std::string(buffer, size), "0123456789");
    size = 0;
    EXPECT_EQ(key.Query("Empty", nullptr, nullptr, &size), Status::Ok);
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(key.Query("Ten", nullptr, buffer, nullptr), Status::InvalidParameter);
}

TEST_F(RegistryTest, AccessRightsAndClosedHandlesAreChecked) {
    Key setup;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Rights", setup), Status::Ok);
    ASSERT_EQ(setup.SetString("v", "1"), Status::Ok);

    Key reader;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Rights", kRead, reader), Status::Ok);
    EXPECT_EQ(reader.SetString("v", "2"), Status::AccessDenied);
    EXPECT_EQ(reader.DeleteValue("v"), Status::AccessDenied);
    Key sub;
    EXPECT_EQ(reader.CreateSubkey("Sub", sub), Status::AccessDenied);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Rights", 0, sub), Status::InvalidParameter);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Rights", 8, sub), Status::InvalidParameter);

    Key writer;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Rights", kWrite, writer), Status::Ok);
    EXPECT_EQ(writer.SetString("v", "3"), Status::Ok);
    Value value;
    EXPECT_EQ(writer.Get("v", value), Status::AccessDenied);

    Key closed;
    std::size_t size = 0;
    std::vector<std::string> names;
    EXPECT_EQ(closed.Query("v", nullptr, nullptr, &size), Status::InvalidHandle);
    EXPECT_EQ(closed.SetString("v", "x"), Status::InvalidHandle);
    EXPECT_EQ(closed.Subkeys(names), Status::InvalidHandle);
    EXPECT_EQ(closed.OpenSubkey("x", kRead, sub), Status::InvalidHandle);
    reader.Close();
    EXPECT_EQ(reader.Get("v", value), Status::InvalidHandle);
}

TEST_F(RegistryTest, DeleteKeyRefusesKeysWithSubkeysAndDeleteTreeTakesAll) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Tree\\A\\B", key), Status::Ok);
    ASSERT_EQ(key.SetString("leaf", "1"), Status::Ok);
    Key a;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Tree\\A", kReadWrite, a), Status::Ok);
    ASSERT_EQ(a.SetString("mid", "2"), Status::Ok);

    EXPECT_EQ(DeleteKey(Hive::LocalMachine, "SOFTWARE\\Tree\\A"), Status::AccessDenied);
    EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Tree\\A\\B", "leaf"), "1");
    EXPECT_EQ(DeleteKey(Hive::LocalMachine, "software\\tree\\a\\b"), Status::Ok);
    EXPECT_EQ(DeleteKey(Hive::LocalMachine, "SOFTWARE\\Tree\\A\\B"), Status::NotFound);
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Tree\\A\\B\\C\\D", key), Status::Ok);

    EXPECT_EQ(DeleteTree(Hive::LocalMachine, "SOFTWARE\\Tree\\A"), Status::Ok);
    Key gone;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Tree\\A", kRead, gone), Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Tree", kRead, gone), Status::Ok);
    std::vector<std::string> names;
    ASSERT_EQ(gone.Subkeys(names), Status::Ok);
    EXPECT_TRUE(names.empty());
    EXPECT_EQ(DeleteTree(Hive::LocalMachine, "SOFTWARE\\Tree\\A"), Status::NotFound);

    // A new key of the old name is a new key: nothing of the old one comes back.
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Tree\\A", key), Status::Ok);
    Value value;
    EXPECT_EQ(key.Get("mid", value), Status::NotFound);
}

TEST_F(RegistryTest, RootsAndTheClassesKeysCannotBeDeleted) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\X", key), Status::Ok);
    const std::pair<Hive, const char*> rows[] = {
        {Hive::LocalMachine, ""},         {Hive::LocalMachine, "\\"},
        {Hive::LocalMachine, "software"}, {Hive::LocalMachine, "SOFTWARE\\CLASSES"},
        {Hive::ClassesRoot, ""},          {Hive::CurrentUser, ""},
    };
    for (const auto& [hive, path] : rows) {
        EXPECT_EQ(DeleteTree(hive, path), Status::AccessDenied) << path;
        EXPECT_EQ(DeleteKey(hive, path), Status::AccessDenied) << path;
    }
    EXPECT_EQ(Key::Open(Hive::ClassesRoot, "", kRead, key), Status::Ok);
}

TEST_F(RegistryTest, HandleOfADeletedKeyReportsKeyDeleted) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Doomed\\Profile", key), Status::Ok);
    ASSERT_EQ(key.SetString("Model", "6620"), Status::Ok);
    ASSERT_EQ(DeleteTree(Hive::LocalMachine, "SOFTWARE\\Doomed"), Status::Ok);

    Value value;
    Type type{};
    std::size_t size = 0;
    char buffer[16];
    std::vector<std::string> names;
    std::vector<NamedValue> values;
    Key sub;
    EXPECT_EQ(key.Get("Model", value), Status::KeyDeleted);
    EXPECT_EQ(key.QueryInfo("Model", &type, &size), Status::KeyDeleted);
    size = sizeof buffer;
    EXPECT_EQ(key.Query("Model", &type, buffer, &size), Status::KeyDeleted);
    EXPECT_EQ(key.SetString("Model", "x"), Status::KeyDeleted);
    EXPECT_EQ(key.DeleteValue("Model"), Status::KeyDeleted);
    EXPECT_EQ(key.Subkeys(names), Status::KeyDeleted);
    EXPECT_EQ(key.Values(values), Status::KeyDeleted);
    EXPECT_EQ(key.OpenSubkey("", kRead, sub), Status::KeyDeleted);
    EXPECT_EQ(key.CreateSubkey("Sub", sub), Status::KeyDeleted);

    // Made again under the same name, it is another key; the old handle stays dead.
    Key fresh;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Doomed\\Profile", fresh), Status::Ok);
    EXPECT_EQ(key.SetString("Model", "x"), Status::KeyDeleted);
    EXPECT_EQ(fresh.SetString("Model", "x"), Status::Ok);
}

TEST_F(RegistryTest, SubkeysAndValuesAreSortedIgnoringCase) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\Sorted", key), Status::Ok);
    for (const char* name : {"b", "A", "c", "B2"}) {
        Key sub;
        ASSERT_EQ(key.CreateSubkey(name, sub), Status::Ok);
    }
    for (const char* name : {"z", "", "M", "a"}) {
        ASSERT_EQ(key.SetString(name, name), Status::Ok);
    }
    std::vector<std::string> names;
    ASSERT_EQ(key.Subkeys(names), Status::Ok);
    EXPECT_EQ(names, (std::vector<std::string>{"A", "b", "B2", "c"}));
    std::vector<NamedValue> values;
    ASSERT_EQ(key.Values(values), Status::Ok);
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].name, "");
    EXPECT_EQ(values[1].name, "a");
    EXPECT_EQ(values[2].name, "M");
    EXPECT_EQ(values[3].name, "z");
}

TEST_F(RegistryTest, SubkeyHandlesExtendTheParentPath) {
    Key top;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Top", top), Status::Ok);
    Key sub;
    bool created = false;
    ASSERT_EQ(top.CreateSubkey("Mid\\Leaf", sub, &created), Status::Ok);
    EXPECT_TRUE(created);
    EXPECT_EQ(sub.Path(), "SOFTWARE\\Top\\Mid\\Leaf");
    ASSERT_EQ(top.OpenSubkey("MID", kRead, sub), Status::Ok);
    EXPECT_EQ(sub.Path(), "SOFTWARE\\Top\\Mid");
    // The result may replace the key it came from.
    ASSERT_EQ(sub.OpenSubkey("leaf", kRead, sub), Status::Ok);
    EXPECT_EQ(sub.Path(), "SOFTWARE\\Top\\Mid\\Leaf");
}

TEST_F(RegistryTest, ClassesRootIsAViewOfMachineSoftwareClasses) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::ClassesRoot, "CLSID\\{1234}\\InprocServer32", key), Status::Ok);
    EXPECT_EQ(key.Path(), "CLSID\\{1234}\\InprocServer32");
    ASSERT_EQ(key.SetString("", "/opt/sorvex/lib/libTalvexSO.so"), Status::Ok);
    EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Classes\\CLSID\\{1234}\\InprocServer32", ""),
              "/opt/sorvex/lib/libTalvexSO.so");
    ASSERT_EQ(DeleteTree(Hive::ClassesRoot, "CLSID\\{1234}"), Status::Ok);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Classes\\CLSID\\{1234}", kRead, key),
              Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Classes\\CLSID", kRead, key), Status::Ok);
}

TEST_F(RegistryTest, HivesAreSeparateFilesWithTheirModes) {
    mode_t old = ::umask(077);  // the modes must not depend on the umask
    Key machine;
    Key user;
    Status m = Key::Create(Hive::LocalMachine, "SOFTWARE\\Here", machine);
    Status u = Key::Create(Hive::CurrentUser, "Software\\There", user);
    ::umask(old);
    ASSERT_EQ(m, Status::Ok);
    ASSERT_EQ(u, Status::Ok);

    fs::path dir = m_Root.path() / "registry";
    EXPECT_EQ(MachineDatabasePath(), dir / "machine.db");
    EXPECT_EQ(UserDatabasePath(), dir / ("user-" + std::to_string(::geteuid()) + ".db"));
    EXPECT_EQ(ModeOf(dir), 0775u);
    EXPECT_EQ(ModeOf(dir / "machine.db"), 0664u);
    EXPECT_EQ(ModeOf(UserDatabasePath()), 0600u);

    Key probe;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "Software\\There", kRead, probe), Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::CurrentUser, "SOFTWARE\\Here", kRead, probe), Status::NotFound);
}

// Restores environment variables when the test ends.
class EnvironmentGuard {
  public:
    explicit EnvironmentGuard(std::vector<std::string> names) {
        for (auto& name : names) {
            const char* value = std::getenv(name.c_str());
            m_Saved.push_back({name, value != nullptr, value != nullptr ? value : ""});
        }
    }
    ~EnvironmentGuard() {
        for (auto& saved : m_Saved) {
            if (saved.present) {
                ::setenv(saved.name.c_str(), saved.value.c_str(), 1);
            } else {
                ::unsetenv(saved.name.c_str());
            }
        }
    }

  private:
    struct Saved {
        std::string name;
        bool present;
        std::string value;
    };
    std::vector<Saved> m_Saved;
};

TEST_F(RegistryTest, UserHiveLivesInTheConfigDirectoryWithoutAnExplicitRoot) {
    EnvironmentGuard guard({"SORVEX_ROOT", "XDG_CONFIG_HOME", "HOME"});
    fs::path home = m_Root.path() / "home";
    struct Row {
        const char* xdg;  // null: unset
        fs::path expected;
    };
    const Row rows[] = {
        {nullptr, home / ".config" / "sorvex" / "user.db"},
        {"relative/ignored", home / ".config" / "sorvex" / "user.db"},
        {"", home / ".config" / "sorvex" / "user.db"},
    };
    fs::path xdg = m_Root.path() / "xdg";
    ::unsetenv("SORVEX_ROOT");
    ::setenv("HOME", home.c_str(), 1);
    for (const Row& row : rows) {
        if (row.xdg == nullptr) {
            ::unsetenv("XDG_CONFIG_HOME");
        } else {
            ::setenv("XDG_CONFIG_HOME", row.xdg, 1);
        }
        EXPECT_EQ(UserDatabasePath(), row.expected);
    }
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    EXPECT_EQ(UserDatabasePath(), xdg / "sorvex" / "user.db");

    Key key;
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\Orvanta Vuvozadezud\\Sorvex 2", key),
              Status::Ok);
    ASSERT_EQ(key.SetString("Left", "10"), Status::Ok);
    EXPECT_EQ(ModeOf(xdg / "sorvex"), 0700u);
    EXPECT_EQ(ModeOf(xdg / "sorvex" / "user.db"), 0600u);
    EXPECT_EQ(MustRead(Hive::CurrentUser, "Software\\Orvanta Vuvozadezud\\Sorvex 2", "Left"), "10");
}

TEST_F(RegistryTest, FollowsTheStateRootOnEveryOpen) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\First", key), Status::Ok);
    ASSERT_EQ(key.SetString("v", "1"), Status::Ok);
    {
        test::TempRoot second;
        Key probe;
        EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\First", kRead, probe), Status::NotFound);
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Second", probe), Status::Ok);
    }
    EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\First", "v"), "1");
    Key probe;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Second", kRead, probe), Status::NotFound);
}

TEST_F(RegistryTest, ARemovedDatabaseIsNotServedFromAnOldConnection) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Old", key), Status::Ok);
    ASSERT_EQ(key.SetString("v", "old"), Status::Ok);
    fs::remove_all(m_Root.path() / "registry");

    Key probe;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Old", kRead, probe), Status::NotFound);
    EXPECT_EQ(key.SetString("v", "again"), Status::KeyDeleted);
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\New", probe), Status::Ok);
    Value value;
    EXPECT_EQ(key.Get("v", value), Status::KeyDeleted);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Old", kRead, probe), Status::NotFound);
}

TEST_F(RegistryTest, ADatabaseFileReplacedUnderItsPathIsReadAfresh) {
    enum class How { Rename, CopyInPlace };
    for (How how : {How::Rename, How::CopyInPlace}) {
        SCOPED_TRACE(how == How::Rename ? "renamed over" : "copied over in place");
        Key key;
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Swap", key), Status::Ok);
        ASSERT_EQ(key.SetString("v", "first"), Status::Ok);
        EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Swap", "v"), "first");  // cached now

        // Another database, made through more commits than this one (its header differs).
        const fs::path replacement = m_Root.path() / "replacement.db";
        {
            test::TempRoot other;
            Key made;
            ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Swap", made), Status::Ok);
            for (const char* data : {"x", "y", "second"}) {
                ASSERT_EQ(made.SetString("v", data), Status::Ok);
            }
            ASSERT_EQ(made.SetString("only there", "1"), Status::Ok);
            fs::copy_file(MachineDatabasePath(), replacement);
        }
        if (how == How::Rename) {
            fs::rename(replacement, MachineDatabasePath());
        } else {
            fs::copy_file(replacement, MachineDatabasePath(), fs::copy_options::overwrite_existing);
            fs::remove(replacement);
        }

        EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Swap", "v"), "second");
        EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Swap", "only there"), "1");
        Key fresh;
        ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Swap", kRead, fresh), Status::Ok);
        char buffer[2048];
        std::size_t size = sizeof buffer;
        ASSERT_EQ(fresh.Query("V", nullptr, buffer, &size), Status::Ok);
        EXPECT_EQ(std::string(buffer, size), "second");
        if (how == How::Rename) {
            Value value;
            EXPECT_EQ(key.Get("v", value), Status::KeyDeleted);  // it belonged to the old file
        }
        ASSERT_EQ(DeleteTree(Hive::LocalMachine, "SOFTWARE\\Swap"), Status::Ok);
    }
}

TEST_F(RegistryTest, ReadOnlyDatabaseCanStillBeRead) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\ReadOnly", key), Status::Ok);
    ASSERT_EQ(key.SetString("Value", kReadOnlyData), Status::Ok);
    fs::path db = MachineDatabasePath();
    bool root = ::geteuid() == 0;
    if (root) {
        // The child runs as nobody: it may enter the root and read the 0664 file, no more.
        ASSERT_EQ(::chmod(m_Root.path().c_str(), 0755), 0);
    } else {
        ASSERT_EQ(::chmod(db.c_str(), 0444), 0);
    }
    test::Subprocess::Options options;
    options.env = {{kChildVariable, "read-only"}};
    test::RunResult result = test::Run({test::SelfPath()}, {}, std::chrono::seconds(60), options);
    if (!root) {
        ::chmod(db.c_str(), 0664);
    }
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.err, "");
}

TEST_F(RegistryTest, BatchStoresAllOrNothing) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Batch\\Old", key), Status::Ok);

    Batch rejected;
    rejected.SetValue(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "a", Type::String, "1");
    rejected.DeleteTree(Hive::LocalMachine, "SOFTWARE\\Batch\\Old");
    rejected.SetValue(Hive::CurrentUser, "Software\\Batch", "b", Type::Dword, "12");  // 2 bytes
    EXPECT_EQ(rejected.Commit(), Status::InvalidParameter);
    EXPECT_FALSE(rejected.Empty());
    Key probe;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Batch\\New", kRead, probe),
              Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Batch\\Old", kRead, probe), Status::Ok);

    Batch protectedKey;
    protectedKey.SetValue(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "a", Type::String, "1");
    protectedKey.DeleteTree(Hive::ClassesRoot, "");
    EXPECT_EQ(protectedKey.Commit(), Status::AccessDenied);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Batch\\New", kRead, probe),
              Status::NotFound);

    // Applied in order, over two hives; absent things to delete are no error.
    Batch batch;
    batch.DeleteTree(Hive::LocalMachine, "SOFTWARE\\Batch\\Old");
    batch.DeleteTree(Hive::LocalMachine, "SOFTWARE\\Batch\\Never");
    batch.DeleteValue(Hive::LocalMachine, "SOFTWARE\\Never", "x");
    batch.CreateKey(Hive::LocalMachine, "SOFTWARE\\Batch\\Empty");
    batch.SetValue(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "a", Type::String, "1");
    batch.SetValue(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "A", Type::String, "2");
    batch.SetValue(Hive::CurrentUser, "Software\\Batch", "b", Type::Dword, "\x05\0\0\0"s);
    batch.SetValue(Hive::ClassesRoot, "Orvanta.Opos.Scanner", "", Type::String, "Class");
    batch.DeleteValue(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "gone");
    EXPECT_EQ(batch.Commit(), Status::Ok);
    EXPECT_TRUE(batch.Empty());
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Batch\\Old", kRead, probe),
              Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Batch\\Empty", kRead, probe), Status::Ok);
    EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Batch\\New", "a"), "2");
    EXPECT_EQ(MustRead(Hive::CurrentUser, "Software\\Batch", "b"), "\x05\0\0\0"s);
    EXPECT_EQ(MustRead(Hive::LocalMachine, "SOFTWARE\\Classes\\Orvanta.Opos.Scanner", ""), "Class");
}

TEST(RegistryNames, RootedPathsAndStatusTexts) {
    struct Row {
        const char* rooted;
        bool ok;
        Hive hive;
        const char* path;
    };
    const Row rows[] = {
        {"HKLM\\SOFTWARE\\X", true, Hive::LocalMachine, "SOFTWARE\\X"},
        {"hkey_local_machine", true, Hive::LocalMachine, ""},
        {"HKCU\\", true, Hive::CurrentUser, ""},
        {"HKEY_Current_User\\Software", true, Hive::CurrentUser, "Software"},
        {"hkcr\\CLSID", true, Hive::ClassesRoot, "CLSID"},
        {"HKEY_CLASSES_ROOT\\.reg", true, Hive::ClassesRoot, ".reg"},
        {"HKLMX\\SOFTWARE", false, Hive::LocalMachine, ""},
        {"SOFTWARE\\X", false, Hive::LocalMachine, ""},
        {"", false, Hive::LocalMachine, ""},
    };
    for (const Row& row : rows) {
        Hive hive = Hive::LocalMachine;
        std::string path;
        EXPECT_EQ(ParseRootedPath(row.rooted, hive, path), row.ok) << row.rooted;
        if (row.ok) {
            EXPECT_EQ(hive, row.hive) << row.rooted;
            EXPECT_EQ(path, row.path) << row.rooted;
        }
    }
    EXPECT_EQ(HiveLongName(Hive::ClassesRoot), "HKEY_CLASSES_ROOT");
    EXPECT_EQ(StatusText(Status::NotFound), "The system cannot find the file specified.");
    EXPECT_EQ(static_cast<long>(Status::KeyDeleted), 1018);
}

}  // namespace
}  // namespace sorvex::registry
