#include "platform/com/typelib_registry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "platform/com/error_detail.h"
#include "platform/registry/registry.h"
#include "tests/support/temp_root.h"

namespace sorvex::com {
namespace {

namespace reg = sorvex::registry;

constexpr GUID kLib{0x1854D5A1, 0x9F5C, 0x4427, {0xB7, 0x5E, 0xEF, 0x34, 0x19, 0x92, 0x31, 0xB5}};
constexpr GUID kDual{0x17A90BE2, 0xAEDB, 0x478E, {0x85, 0xF1, 0xF6, 0x32, 0xE2, 0x6B, 0x33, 0xA5}};
constexpr GUID kPlain{0xD494BDF7, 0x1721, 0x4A3A, {0x94, 0x7E, 0x3D, 0x7C, 0x05, 0x40, 0x23, 0x1E}};
constexpr char kLibKey[] = "TypeLib\\{1854D5A1-9F5C-4427-B75E-EF34199231B5}";
constexpr char kDualKey[] = "Interface\\{17A90BE2-AEDB-478E-85F1-F632E26B33A5}";

TypeLibDesc Library(std::uint16_t minor = 2, LCID lcid = 1033) {
    TypeLibDesc lib;
    lib.libid = kLib;
    lib.name = "SampleLib";
    lib.help = std::string("Sample \x00\xff Library", 16);
    lib.major = 1;
    lib.minor = minor;
    lib.lcid = lcid;
    TypeDesc dual;
    dual.guid = kDual;
    dual.name = "ISample";
    dual.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
    dual.funcs.push_back(
        {"Ping", "", 1, {{"pRC", VT_BYREF | VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}});
    TypeDesc plain = dual;
    plain.guid = kPlain;
    plain.name = "IPlain";
    plain.flags = 0;  // neither dual nor oleautomation: not registered
    lib.types = {dual, plain};
    return lib;
}

// Writes the serialized library to a file of its own.
std::filesystem::path WriteLibrary(const test::TempRoot& root, const TypeLibDesc& lib,
                                   const std::string& name) {
    const auto path = root.path() / name;
    std::ofstream(path, std::ios::binary) << SerializeTypeLib(lib);
    return path;
}

HRESULT Register(const TypeLibDesc& desc, const std::filesystem::path& path,
                 const std::filesystem::path& helpDir = "/opt/help") {
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(CreateTypeLib(desc, lib.out()), S_OK);
    return RegisterTypeLib(lib.get(), path, helpDir);
}

// Every key below `path` (relative to it) with its values: "key|name=value", sorted as the
// registry lists them; a key without values appears as "key|".
void Dump(const std::string& path, const std::string& relative, std::vector<std::string>& out) {
    reg::Key key;
    if (reg::Key::Open(reg::Hive::ClassesRoot, path, reg::kRead, key) != reg::Status::Ok) {
        return;
    }
    std::vector<reg::NamedValue> values;
    key.Values(values);
    if (values.empty()) {
        out.push_back(relative + "|");
    }
    for (const auto& v : values) {
        out.push_back(relative + "|" + v.name + "=" + v.value.data);
    }
    std::vector<std::string> subkeys;
    key.Subkeys(subkeys);
    for (const auto& s : subkeys) {
        Dump(path + "\\" + s, relative.empty() ? s : relative + "\\" + s, out);
    }
}

std::vector<std::string> Dump(const std::string& path) {
    std::vector<std::string> out;
    Dump(path, "", out);
    return out;
}

TEST(TypeLibRegistry, RegistersExactlyTheTypeLibraryAndItsAutomationInterfaces) {
    test::TempRoot root;
    const auto path = WriteLibrary(root, Library(), "sample.tlb");
    ASSERT_EQ(Register(Library(), path), S_OK) << LastErrorDetail();
    const std::vector<std::string> lib{
        "|",
        "1.2|=" + std::string("Sample \x00\xff Library", 16),
        "1.2\\409|",
        "1.2\\409\\linux64|=" + path.string(),
        "1.2\\FLAGS|=0",
        "1.2\\HELPDIR|=/opt/help",
    };
    EXPECT_EQ(Dump(kLibKey), lib);
    const std::vector<std::string> itf{
        "|=ISample",
        "ProxyStubClsid|={00020424-0000-0000-C000-000000000046}",
        "ProxyStubClsid32|={00020424-0000-0000-C000-000000000046}",
        "TypeLib|={1854D5A1-9F5C-4427-B75E-EF34199231B5}",
        "TypeLib|Version=1.2",
    };
    EXPECT_EQ(Dump(kDualKey), itf);
    EXPECT_EQ(Dump("Interface"), [&] {
        std::vector<std::string> all{"|"};
        for (const auto& line : itf) {
            all.push_back("{17A90BE2-AEDB-478E-85F1-F632E26B33A5}" +
                          (line[0] == '|' ? line : "\\" + line));
        }
        return all;
    }());
}

TEST(TypeLibRegistry, VersionsAndLocalesAreWrittenInHex) {
    test::TempRoot root;
    TypeLibDesc desc = Library(10, 0x0407);
    desc.major = 0x1F;
    ASSERT_EQ(Register(desc, WriteLibrary(root, desc, "de.tlb"), ""), S_OK);
    reg::Key key;
    EXPECT_EQ(reg::Key::Open(reg::Hive::ClassesRoot, std::string(kLibKey) + "\\1f.a\\407\\linux64",
                             reg::kRead, key),
              reg::Status::Ok);
    EXPECT_EQ(TypeLibVersionKey(kLib, 0x1F, 10), std::string(kLibKey) + "\\1f.a");
}

TEST(TypeLibRegistry, RefusesARelativePath) {
    test::TempRoot root;
    EXPECT_EQ(Register(Library(), "lib/sample.so"), E_INVALIDARG);
    EXPECT_NE(LastErrorDetail().find("\"lib/sample.so\" is not an absolute path"),
              std::string::npos);
    EXPECT_TRUE(Dump(kLibKey).empty());
}

TEST(TypeLibRegistry, UnregisterRemovesWhatRegisterWrote) {
    test::TempRoot root;
    // Another library's interface stays.
    reg::Key other;
    ASSERT_EQ(reg::Key::Create(reg::Hive::ClassesRoot,
                               "Interface\\{00000000-0000-0000-0000-000000000009}\\TypeLib", other),
              reg::Status::Ok);
    other.SetString("", "{00000000-0000-0000-0000-000000000001}");
    other.SetString("Version", "1.2");
    const auto path = WriteLibrary(root, Library(), "sample.tlb");
    ASSERT_EQ(Register(Library(), path), S_OK);

    EXPECT_EQ(UnRegisterTypeLib(kLib, 1, 2, 1033, SysKind::Linux64), S_OK) << LastErrorDetail();
    EXPECT_TRUE(Dump(kLibKey).empty());
    EXPECT_TRUE(Dump(kDualKey).empty());
    EXPECT_EQ(Dump("TypeLib"), std::vector<std::string>{"|"});
    EXPECT_EQ(Dump("Interface").size(), 4u);  // root, the other key, TypeLib's two values
    EXPECT_EQ(UnRegisterTypeLib(kLib, 1, 2, 1033, SysKind::Linux64), TYPE_E_LIBNOTREGISTERED);
}

TEST(TypeLibRegistry, UnregisterKeepsWhatOtherRegistrationsNeed) {
    test::TempRoot root;
    const auto path = WriteLibrary(root, Library(), "sample.tlb");
    ASSERT_EQ(Register(Library(2, 1033), path), S_OK);
    ASSERT_EQ(Register(Library(2, 0x0407), path), S_OK);
    ASSERT_EQ(Register(Library(3, 1033), path), S_OK);  // also takes over the interface keys

    // Another locale of 1.2 remains: the version key and its interfaces stay.
    ASSERT_EQ(UnRegisterTypeLib(kLib, 1, 2, 1033, SysKind::Linux64), S_OK);
    std::filesystem::path found;
    EXPECT_EQ(QueryPathOfRegTypeLib(kLib, 1, 2, 0x0407, found), S_OK);
    EXPECT_FALSE(Dump(kDualKey).empty());
    // Removing the last locale of 1.2 keeps version 1.3 and its interface keys (Version=1.3).
    ASSERT_EQ(UnRegisterTypeLib(kLib, 1, 2, 0x0407, SysKind::Linux64), S_OK);
    std::vector<std::string> left = Dump(kLibKey);
    ASSERT_FALSE(left.empty());
    for (const std::string& line : left) {
        EXPECT_TRUE(line == "|" || line.rfind("1.3", 0) == 0) << line;
    }
    EXPECT_FALSE(Dump(kDualKey).empty());
    // Then the last version goes, with the library key and the interface keys.
    ASSERT_EQ(UnRegisterTypeLib(kLib, 1, 3, 1033, SysKind::Linux64), S_OK);
    EXPECT_TRUE(Dump(kLibKey).empty());
    EXPECT_TRUE(Dump(kDualKey).empty());
}

TEST(TypeLibRegistry, LoadRegTypeLibFindsVersionAndLocale) {
    test::TempRoot root;
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(LoadRegTypeLib(kLib, 1, 0, 1033, lib.out()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_NE(LastErrorDetail().find(kLibKey), std::string::npos) << LastErrorDetail();

    const auto path = WriteLibrary(root, Library(), "sample.tlb");
    ASSERT_EQ(Register(Library(), path), S_OK);
    struct Row {
        std::uint16_t major, minor;
        LCID lcid;
        HRESULT expected;
    } rows[] = {
        {1, 0, 1033, S_OK},  // the highest minor at or above the one asked
        {1, 2, 1033, S_OK},
        {1, 3, 1033, TYPE_E_LIBNOTREGISTERED},
        {2, 0, 1033, TYPE_E_LIBNOTREGISTERED},
        {1, 2, LOCALE_SYSTEM_DEFAULT, S_OK},  // stands for 1033
        {1, 2, LOCALE_USER_DEFAULT, S_OK},
        {1, 2, 0x0809, S_OK},  // another locale serves as well
        {1, 2, 0, S_OK},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(LoadRegTypeLib(kLib, row.major, row.minor, row.lcid, lib.out()), row.expected)
            << row.major << "." << row.minor << " " << row.lcid;
        if (row.expected == S_OK) {
            ASSERT_TRUE(lib);
            EXPECT_EQ(lib->Describe().name, "SampleLib");
        }
    }
}

TEST(TypeLibRegistry, LoadRegTypeLibReportsAFileThatIsGoneOrWrong) {
    test::TempRoot root;
    const auto path = WriteLibrary(root, Library(), "sample.tlb");
    ASSERT_EQ(Register(Library(), path), S_OK);
    ComPtr<ITypeLib> lib;

    TypeLibDesc stranger = Library();
    stranger.libid.Data1 ^= 1;
    WriteLibrary(root, stranger, "sample.tlb");
    EXPECT_EQ(LoadRegTypeLib(kLib, 1, 2, 1033, lib.out()), TYPE_E_LIBNOTREGISTERED);
    EXPECT_NE(LastErrorDetail().find("not the registered"), std::string::npos);

    std::ofstream(path, std::ios::binary | std::ios::trunc) << "SVTL\x01";
    EXPECT_EQ(LoadRegTypeLib(kLib, 1, 2, 1033, lib.out()), TYPE_E_INVDATAREAD);

    std::filesystem::remove(path);
    EXPECT_EQ(LoadRegTypeLib(kLib, 1, 2, 1033, lib.out()), TYPE_E_CANTLOADLIBRARY);
    EXPECT_NE(LastErrorDetail().find(path.string()), std::string::npos) << LastErrorDetail();
    EXPECT_FALSE(lib);
}

TEST(TypeLibRegistry, TheUnregistrationStepCanBeLookedUpAtRunTime) {
    test::TempRoot root;
    ASSERT_EQ(Register(Library(), WriteLibrary(root, Library(), "sample.tlb")), S_OK);
    UnRegisterTypeLibFunc unregister = FindUnRegisterTypeLib();
    ASSERT_NE(unregister, nullptr);
    EXPECT_EQ(unregister(&kLib, 1, 2, 1033, static_cast<std::uint16_t>(SysKind::Linux64)), S_OK);
    EXPECT_TRUE(Dump(kLibKey).empty());
}

}  // namespace
}  // namespace sorvex::com
