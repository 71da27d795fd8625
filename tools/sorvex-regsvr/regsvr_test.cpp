// sorvex-regsvr as a user runs it, on the test server library (platform/com/test_server.cpp).
#include <gtest/gtest.h>

#include <fstream>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace {

namespace reg = sorvex::registry;
sorvex::test::RunResult Tool(std::vector<std::string> args,
                             sorvex::test::Subprocess::Options options = {});

const std::string kServer = SORVEX_COM_TEST_SERVER;
const std::string kClassKey = "CLSID\\{F718D91E-EA80-4C5F-AB12-34B068BA4D86}";
const std::string kLibKey = "TypeLib\\{1854D5A1-9F5C-4427-B75E-EF34199231B5}";

std::string ToolPath() {
    return sorvex::test::BinPath("sorvex-regsvr").string();
}

sorvex::test::RunResult Tool(std::vector<std::string> args,
                             sorvex::test::Subprocess::Options options) {
    args.insert(args.begin(), ToolPath());
    return sorvex::test::Run(args, {}, std::chrono::seconds(60), options);
}

// "key|name=value" for every value below the key (and "key|" for keys without values).
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

TEST(Regsvr, RegistersTheClassesAndTheTypeLibrary) {
    sorvex::test::TempRoot root;
    const auto result = Tool({kServer});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "DllRegisterServer in " + kServer + " succeeded.\n");
    EXPECT_EQ(result.err, "");

    const std::vector<std::string> classKey{
        "|=Sorvex Test Calc Class",
        "InprocServer32|=" + kServer,
        "InprocServer32|ThreadingModel=Apartment",
        "ProgID|=SorvexTest.Calc.1",
        "Programmable|",
        "TypeLib|={1854D5A1-9F5C-4427-B75E-EF34199231B5}",
        "VersionIndependentProgID|=SorvexTest.Calc",
    };
    EXPECT_EQ(Dump(kClassKey), classKey);
    EXPECT_EQ(Dump("SorvexTest.Calc"),
              (std::vector<std::string>{"|=Sorvex Test Calc Class",
                                        "CLSID|={F718D91E-EA80-4C5F-AB12-34B068BA4D86}",
                                        "CurVer|=SorvexTest.Calc.1"}));
    const std::string folder = std::filesystem::path(kServer).parent_path().string();
    EXPECT_EQ(Dump(kLibKey),
              (std::vector<std::string>{"|", "1.0|=Sorvex Test 1.0 Type Library \"quoted\" \xff",
                                        "1.0\\409|", "1.0\\409\\linux64|=" + kServer,
                                        "1.0\\FLAGS|=0", "1.0\\HELPDIR|=" + folder}));
    // The dual interface is registered; the plain one is not.
    EXPECT_FALSE(Dump("Interface\\{17A90BE2-AEDB-478E-85F1-F632E26B33A5}").empty());
    EXPECT_TRUE(Dump("Interface\\{D494BDF7-1721-4A3A-947E-3D7C0540231E}").empty());

    // Silent, and then unregistration: everything goes but the root keys.
    EXPECT_EQ(Tool({"/s", kServer}).out, "");
    const auto removed = Tool({"/U", kServer});
    ASSERT_EQ(removed.exitCode, 0) << removed.err;
    EXPECT_EQ(removed.out, "DllUnregisterServer in " + kServer + " succeeded.\n");
    EXPECT_TRUE(Dump(kClassKey).empty());
    EXPECT_TRUE(Dump("SorvexTest.Calc").empty());
    EXPECT_TRUE(Dump("SorvexTest.Calc.1").empty());
    EXPECT_TRUE(Dump(kLibKey).empty());
    EXPECT_TRUE(Dump("Interface\\{17A90BE2-AEDB-478E-85F1-F632E26B33A5}").empty());
    EXPECT_EQ(Dump("CLSID"), std::vector<std::string>{"|"});
}

TEST(Regsvr, RegistersTheAbsolutePathOfARelativeArgument) {
    sorvex::test::TempRoot root;
    const std::filesystem::path server(kServer);
    const auto result = sorvex::test::Run({"/bin/sh", "-c",
                                           "cd '" + server.parent_path().string() + "' && exec '" +
                                               ToolPath() + "' " + server.filename().string()});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "DllRegisterServer in " + server.filename().string() + " succeeded.\n");
    const std::vector<std::string> lines = Dump(kClassKey + "\\InprocServer32");
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "|=" + kServer);
}

TEST(Regsvr, PrintsTheVersionInformation) {
    const auto result = Tool({"/v", kServer});
    ASSERT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(result.out, "Version information of " + kServer +
                              "\n"
                              "  Language            0x0409 (code page 1200)\n"
                              "  File version        1.2.3.4\n"
                              "  Product version     1.2.0.0\n"
                              "  FileDescription     Sorvex Test Server\n"
                              "  FileVersion         1, 2, 3, 4\n"
                              "  InternalName        TestServer\n"
                              "  OLESelfRegister     \n");
}

TEST(Regsvr, FailuresAreOneLineAndExitOne) {
    sorvex::test::TempRoot root;
    const auto text = (root.path() / "notes.txt").string();
    std::ofstream(text) << "plain text";
    struct Row {
        std::vector<std::string> args;
        std::string error;  // the start of the line
    } rows[] = {
        {{}, "sorvex-regsvr: no library given"},
        {{kServer, kServer}, "sorvex-regsvr: give exactly one library"},
        {{"/x", kServer}, "sorvex-regsvr: unknown option /x"},
        {{"/v", "/u", kServer}, "sorvex-regsvr: /v cannot be combined"},
        {{(root.path() / "gone.so").string()},
         "sorvex-regsvr: " + (root.path() / "gone.so").string() + ": no such file"},
        {{text}, "sorvex-regsvr: The module \"" + text + "\" failed to load: "},
        {{SORVEX_PLATFORM_LIBRARY},
         std::string("sorvex-regsvr: The module \"") + SORVEX_PLATFORM_LIBRARY +
             "\" was loaded, but the entry-point DllRegisterServer was not found."},
        {{"/v", SORVEX_PLATFORM_LIBRARY},
         std::string("sorvex-regsvr: ") + SORVEX_PLATFORM_LIBRARY +
             ": the file holds no version information"},
        {{"/v", text}, "sorvex-regsvr: " + text + ": too short for an ELF header"},
    };
    for (const Row& row : rows) {
        const auto result = Tool(row.args);
        EXPECT_EQ(result.exitCode, 1) << row.error;
        EXPECT_EQ(result.out, "") << row.error;
        EXPECT_EQ(result.err.rfind(row.error, 0), 0u) << result.err;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    }
}

TEST(Regsvr, ReportsTheServersFailureInHex) {
    // A state root that cannot hold a registry: the server's writes fail.
    sorvex::test::Subprocess::Options options;
    options.env = {{"SORVEX_ROOT", "/dev/null/root"}};
    const auto result = Tool({kServer}, options);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_EQ(result.err.rfind("sorvex-regsvr: The module \"" + kServer +
                                   "\" was loaded, but the call to DllRegisterServer failed "
                                   "with error code 0x80070005.",
                               0),
              0u)
        << result.err;
}

TEST(Regsvr, HelpExitsZero) {
    const auto result = Tool({"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out.rfind("Usage: sorvex-regsvr [/u] [/s] LIBRARY\n", 0), 0u);
}

}  // namespace
