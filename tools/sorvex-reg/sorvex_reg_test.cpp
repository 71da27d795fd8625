// sorvex-reg run as a program in a temporary state root.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/subprocess.h"
#include "tests/support/temp_root.h"

namespace sorvex::registry {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// build/bin/sorvex-reg; the test runs from build/bin too, which serves when SORVEX_BIN is not
// passed on.
fs::path ToolPath() {
    if (const char* bin = std::getenv("SORVEX_BIN"); bin != nullptr && *bin != '\0') {
        return test::BinPath("sorvex-reg");
    }
    return fs::path(test::SelfPath()).parent_path() / "sorvex-reg";
}

test::RunResult Reg(std::vector<std::string> args) {
    args.insert(args.begin(), ToolPath().string());
    test::Subprocess::Options options;
    return test::Run(args, {}, std::chrono::seconds(60), options);
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Everything below a key, for comparing two trees: one entry per key and per value.
void Dump(const Key& key, std::vector<std::string>& out) {
    out.push_back("[" + key.Path() + "]");
    std::vector<NamedValue> values;
    ASSERT_EQ(key.Values(values), Status::Ok);
    for (const auto& v : values) {
        out.push_back(v.name + "=" + std::to_string(static_cast<unsigned>(v.value.type)) + ":" +
                      v.value.data);
    }
    std::vector<std::string> names;
    ASSERT_EQ(key.Subkeys(names), Status::Ok);
    for (const auto& name : names) {
        Key sub;
        ASSERT_EQ(key.OpenSubkey(name, kRead, sub), Status::Ok);
        Dump(sub, out);
    }
}

std::vector<std::string> DumpTree(Hive hive, const std::string& path) {
    Key key;
    std::vector<std::string> out;
    EXPECT_EQ(Key::Open(hive, path, kRead, key), Status::Ok) << path;
    if (key.IsOpen()) {
        Dump(key, out);
    }
    return out;
}

// Runs the tool on a terminal: waits for the question, answers it, returns the exit code and
// everything the terminal showed.
std::pair<int, std::string> RegOnTerminal(const std::vector<std::string>& args,
                                          const std::string& question, const std::string& answer) {
    std::vector<std::string> argv = {ToolPath().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> pointers;
    for (auto& arg : argv) {
        pointers.push_back(arg.data());
    }
    pointers.push_back(nullptr);
    int master = -1;
    pid_t pid = ::forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) {
        ::execv(pointers[0], pointers.data());
        ::_exit(127);
    }
    if (pid < 0) {
        return {-1, "forkpty failed"};
    }
    std::string screen;
    bool answered = false;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{master, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) {
            continue;
        }
        char buffer[512];
        ssize_t n = ::read(master, buffer, sizeof buffer);
        if (n <= 0) {
            break;  // the tool ended and closed the terminal
        }
        screen.append(buffer, static_cast<std::size_t>(n));
        if (!answered && screen.find(question) != std::string::npos) {
            ::write(master, answer.data(), answer.size());
            answered = true;
        }
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, screen};
}

class SorvexRegTest : public ::testing::Test {
  protected:
    test::TempRoot m_Root;
};

TEST_F(SorvexRegTest, AddsQueriesAndDeletesValues) {
    const std::string key = "HKLM\\SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta";
    const std::vector<std::vector<std::string>> adds = {
        {"add", key, "/v", "LogVerbosity", "/d", "4"},
        {"ADD", "hkey_local_machine\\software\\oleforretail\\serviceinfo\\orvanta", "-V", "Port",
         "-T", "reg_dword", "-D", "0x2A"},
        {"add", key, "/v", "Count", "/t", "REG_DWORD", "/d", "4294967295"},
        {"add", key, "/v", "Blob", "/t", "REG_BINARY", "/d", "00ff10"},
        {"add", key, "/ve", "/d", "Default text"},
        {"add", key + "\\Sub"},
    };
    for (const auto& args : adds) {
        test::RunResult r = Reg(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "The operation completed successfully.\n");
        EXPECT_EQ(r.err, "");
    }

    test::RunResult r = Reg({"query", key});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta\n"
              "    (Default)    REG_SZ    Default text\n"
              "    Blob    REG_BINARY    00FF10\n"
              "    Count    REG_DWORD    0xffffffff\n"
              "    LogVerbosity    REG_SZ    4\n"
              "    Port    REG_DWORD    0x2a\n"
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta\\Sub\n");

    r = Reg({"query", "HKLM\\SOFTWARE\\OLEforRetail", "/v", "port", "/s"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "\n"
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta\n"
              "    Port    REG_DWORD    0x2a\n"
              "\n"
              "End of search: 1 match(es) found.\n");

    r = Reg({"query", key + "\\Sub", "/ve"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("(Default)    REG_SZ    (value not set)"), std::string::npos) << r.out;

    // What the tool wrote is what a service object reads.
    Key opened;
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\OLEforRetail\\ServiceInfo\\Orvanta", kRead,
                        opened),
              Status::Ok);
    Value value;
    ASSERT_EQ(opened.Get("LogVerbosity", value), Status::Ok);
    EXPECT_EQ(value.type, Type::String);
    EXPECT_EQ(value.data, "4");
    ASSERT_EQ(opened.Get("Port", value), Status::Ok);
    EXPECT_EQ(value.type, Type::Dword);
    EXPECT_EQ(value.data, "\x2a\0\0\0"s);

    r = Reg({"add", key, "/v", "LogVerbosity", "/d", "0", "/f"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    r = Reg({"delete", key, "/v", "Blob", "/f"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(opened.Get("Blob", value), Status::NotFound);
    ASSERT_EQ(opened.Get("LogVerbosity", value), Status::Ok);
    EXPECT_EQ(value.data, "0");

    r = Reg({"delete", "HKLM\\SOFTWARE\\OLEforRetail", "-f"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(opened.Get("Port", value), Status::KeyDeleted);
    r = Reg({"query", "HKLM\\SOFTWARE", "/s"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.find("OLEforRetail"), std::string::npos) << r.out;
}

TEST_F(SorvexRegTest, FailuresExitWithOneClearLine) {
    const std::string key = "HKCU\\Software\\Sorvex";
    ASSERT_EQ(Reg({"add", key, "/v", "Here", "/d", "1"}).exitCode, 0);
    WriteFile(m_Root.path() / "exists.reg", "x");
    struct Row {
        std::vector<std::string> args;
        const char* message;
    };
    const Row rows[] = {
        {{}, "no verb"},
        {{"frob", key}, "unknown verb \"frob\""},
        {{"query", "HKXX\\Software"}, "Invalid key name \"HKXX\\Software\""},
        {{"query", "HKCU\\Software\\Missing"}, "unable to find the specified registry key"},
        {{"query", key, "/v", "Missing"}, "unable to find the specified registry key or value"},
        {{"query", key, "/f"}, "/f is not valid for query"},
        {{"query"}, "query takes KEY"},
        {{"add", key, "/v"}, "/v needs a value"},
        {{"add", key, "/v", "a", "/ve"}, "/v NAME or /ve once"},
        {{"add", key, "/t", "REG_SZ"}, "need /v NAME or /ve"},
        {{"add", key, "/v", "a", "/t", "REG_DWORD", "/d", "12x"}, "Invalid data \"12x\""},
        {{"add", key, "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"}, "Invalid data"},
        {{"add", key, "/v", "a", "/t", "REG_BINARY", "/d", "0"}, "even number of hex digits"},
        {{"add", key, "/v", "a", "/t", "REG_QWORD"}, "Invalid type REG_QWORD"},
        {{"add", key, "/v", "Here", "/d", "2"}, "Value Here exists; use /f"},
        {{"delete", key, "/v", "Here"}, "use /f"},
        {{"delete", key}, "use /f"},
        {{"delete", key, "/v", "Missing", "/f"}, "unable to find"},
        {{"delete", "HKCU", "/f"}, "HKEY_CURRENT_USER cannot be deleted"},
        {{"export", key, (m_Root.path() / "exists.reg").string()}, "already exists; use /y"},
        {{"export", "HKCU\\Software\\Missing", (m_Root.path() / "x.reg").string()},
         "unable to find"},
        {{"import", (m_Root.path() / "missing.reg").string()}, "cannot read"},
    };
    for (const Row& row : rows) {
        test::RunResult r = Reg(row.args);
        std::string shown = row.args.empty() ? "(none)" : row.args[0];
        EXPECT_EQ(r.exitCode, 1) << shown;
        EXPECT_EQ(r.err.rfind("sorvex-reg: ERROR: ", 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
        EXPECT_NE(r.err.find(row.message), std::string::npos) << r.err;
    }
    // Nothing of the refused changes happened.
    Key opened;
    ASSERT_EQ(Key::Open(Hive::CurrentUser, "Software\\Sorvex", kRead, opened), Status::Ok);
    Value value;
    ASSERT_EQ(opened.Get("Here", value), Status::Ok);
    EXPECT_EQ(value.data, "1");
    EXPECT_EQ(opened.Get("a", value), Status::NotFound);
    EXPECT_EQ(ReadFile(m_Root.path() / "exists.reg"), "x");
}

TEST_F(SorvexRegTest, AsksOnATerminalBeforeOverwritingOrDeleting) {
    ASSERT_EQ(Reg({"add", "HKCU\\Software\\Ask", "/v", "a", "/d", "1"}).exitCode, 0);
    auto [code, screen] = RegOnTerminal({"add", "HKCU\\Software\\Ask", "/v", "a", "/d", "2"},
                                        "Value a exists, overwrite(Yes/No)?", "no\n");
    EXPECT_EQ(code, 1) << screen;
    EXPECT_NE(screen.find("cancelled"), std::string::npos) << screen;
    std::tie(code, screen) = RegOnTerminal({"add", "HKCU\\Software\\Ask", "/v", "a", "/d", "3"},
                                           "Value a exists, overwrite(Yes/No)?", "Yes\n");
    EXPECT_EQ(code, 0) << screen;
    Key key;
    Value value;
    ASSERT_EQ(Key::Open(Hive::CurrentUser, "Software\\Ask", kRead, key), Status::Ok);
    ASSERT_EQ(key.Get("a", value), Status::Ok);
    EXPECT_EQ(value.data, "3");

    std::tie(code, screen) =
        RegOnTerminal({"delete", "HKCU\\Software\\Ask"},
                      "Delete the registry key HKEY_CURRENT_USER\\Software\\Ask (Yes/No)?", "y\n");
    EXPECT_EQ(code, 0) << screen;
    EXPECT_EQ(key.Get("a", value), Status::KeyDeleted);
}

TEST_F(SorvexRegTest, PrintsUsage) {
    for (const char* help : {"--help", "/?", "-?", "-h"}) {
        test::RunResult r = Reg({help});
        EXPECT_EQ(r.exitCode, 0) << help;
        EXPECT_NE(r.out.find("Usage: sorvex-reg"), std::string::npos) << help;
    }
    test::RunResult r = Reg({"query", "/?"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("sorvex-reg export KEY FILE [/y]"), std::string::npos);
}

TEST_F(SorvexRegTest, ExportImportedIntoAnEmptyRootReproducesTheTree) {
    std::string every;
    for (int b = 0; b < 256; ++b) {
        every += static_cast<char>(b);
    }
    {
        Key key;
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\RoundTrip\\MixedCase", key),
                  Status::Ok);
        ASSERT_EQ(key.SetString("", "default"), Status::Ok);
        ASSERT_EQ(key.SetString("NulAndFF", "a\0b\xff"s), Status::Ok);
        ASSERT_EQ(key.SetString("Every byte", every), Status::Ok);
        ASSERT_EQ(key.SetString("Quote\"Back\\slash", "C:\\\"x\""), Status::Ok);
        ASSERT_EQ(key.SetString("Empty", ""), Status::Ok);
        ASSERT_EQ(key.Set("Blob", Type::Binary, every + "\0\0\xff\xff"s), Status::Ok);
        ASSERT_EQ(key.SetDword("Dword", 0xff00ff00), Status::Ok);
        ASSERT_EQ(key.Set("None", Type::None, ""), Status::Ok);
        ASSERT_EQ(key.Set("Multi", static_cast<Type>(7), "one\0two\0"s), Status::Ok);
        Key sub;
        ASSERT_EQ(key.CreateSubkey("lower\\UPPER", sub), Status::Ok);
        ASSERT_EQ(sub.SetString("x", "\xff"), Status::Ok);
        ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\RoundTrip\\Empty Key", sub),
                  Status::Ok);
    }
    const std::vector<std::string> original = DumpTree(Hive::LocalMachine, "SOFTWARE\\RoundTrip");
    fs::path file = m_Root.path() / "export.reg";
    test::RunResult r = Reg({"export", "hklm\\software\\roundtrip", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    std::string text = ReadFile(file);
    EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<unsigned char>(text[i]);
        ASSERT_TRUE((c >= 0x20 && c < 0x7f) || (c == '\r' && text[i + 1] == '\n') ||
                    (c == '\n' && i > 0 && text[i - 1] == '\r'))
            << "byte " << int{c} << " at " << i;
    }
    EXPECT_NE(text.find("\"NulAndFF\"=hex(1):61,00,00,00,62,00,ff,00,00,00\r\n"), std::string::npos)
        << text;

    test::TempRoot empty;
    r = Reg({"import", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(DumpTree(Hive::LocalMachine, "SOFTWARE\\RoundTrip"), original);
    // Exported again, the file is the same.
    fs::path again = empty.path() / "again.reg";
    ASSERT_EQ(Reg({"export", "HKLM\\SOFTWARE\\RoundTrip", again.string(), "/y"}).exitCode, 0);
    EXPECT_EQ(ReadFile(again), text);
}

TEST_F(SorvexRegTest, ImportsARegeditFileAllOrNothing) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Old\\Deep", key), Status::Ok);
    ASSERT_EQ(Key::Create(Hive::CurrentUser, "Software\\Keep", key), Status::Ok);
    ASSERT_EQ(key.SetString("Gone", "x"), Status::Ok);
    ASSERT_EQ(key.SetString("Stays", "y"), Status::Ok);

    // As the registry editor writes it: UTF-16LE with a byte-order mark, CRLF.
    std::string text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Front]\r\n"
        "@=\"Orvanta.Opos.Scanner\"\r\n"
        "\"Model\"=\"Caf\xe9\"\r\n"
        "\"Serial Port\"=\"1\"\r\n\r\n"
        "[HKEY_CURRENT_USER\\Software\\Keep]\r\n"
        "\"Gone\"=-\r\n";
    std::string utf16 = "\xff\xfe";
    for (char c : text) {
        utf16 += c;
        utf16 += '\0';
    }
    fs::path good = m_Root.path() / "good.reg";
    WriteFile(good, utf16);

    // A bad line late in a file: the file is refused whole.
    fs::path bad = m_Root.path() / "bad.reg";
    WriteFile(bad,
              "Windows Registry Editor Version 5.00\n\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n"
              "\"a\"=\"1\"\n"
              "\"b\"=dword:1\n"
              "\"c\"=hex:00,zz\n");
    test::RunResult r = Reg({"import", bad.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, bad.string() + ":7: bad hex byte: expected two hex digits\n");
    // And a file whose changes the registry refuses, after good ones.
    fs::path refused = m_Root.path() / "refused.reg";
    WriteFile(refused,
              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=\"1\"\n"
              "[-HKEY_CLASSES_ROOT]\n");
    r = Reg({"import", refused.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err.find("\n"), r.err.size() - 1);
    refused = m_Root.path() / "refused2.reg";
    WriteFile(refused,
              "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\New]\n\"a\"=\"1\"\n"
              "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\n");
    r = Reg({"import", refused.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("nothing was imported"), std::string::npos) << r.err;
    Key probe;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\New", kRead, probe), Status::NotFound);
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Old\\Deep", kRead, probe), Status::Ok);

    r = Reg({"import", good.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\Old", kRead, probe), Status::NotFound);
    ASSERT_EQ(Key::Open(Hive::LocalMachine, "SOFTWARE\\OLEForRetail\\ServiceOPOS\\Scanner\\Front",
                        kRead, probe),
              Status::Ok);
    Value value;
    ASSERT_EQ(probe.Get("", value), Status::Ok);
    EXPECT_EQ(value.data, "Orvanta.Opos.Scanner");
    ASSERT_EQ(probe.Get("model", value), Status::Ok);
    EXPECT_EQ(value.data, "Caf\xe9");
    ASSERT_EQ(Key::Open(Hive::CurrentUser, "Software\\Keep", kRead, probe), Status::Ok);
    EXPECT_EQ(probe.Get("Gone", value), Status::NotFound);
    EXPECT_EQ(probe.Get("Stays", value), Status::Ok);
}

TEST_F(SorvexRegTest, ExportRefusesNamesARegFileCannotCarry) {
    Key key;
    ASSERT_EQ(Key::Create(Hive::LocalMachine, "SOFTWARE\\Odd", key), Status::Ok);
    ASSERT_EQ(key.SetString("line\nbreak", "v"), Status::Ok);
    fs::path file = m_Root.path() / "odd.reg";
    test::RunResult r = Reg({"export", "HKLM\\SOFTWARE\\Odd", file.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err,
              "sorvex-reg: ERROR: cannot export value \"line\\x0Abreak\" of key "
              "HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd: its name holds the byte 0x0A, which a .reg file "
              "cannot carry in a name\n");
    EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace sorvex::registry
