#include "platform/registry/reg_file.h"

#include <gtest/gtest.h>

#include <string>

namespace sorvex::registry {
namespace {

using namespace std::string_literals;
using Kind = RegOperation::Kind;

// The same text as UTF-16LE with a byte-order mark (Latin-1 characters only).
std::string Utf16(std::string_view text) {
    std::string out = "\xff\xfe";
    for (char c : text) {
        out += c;
        out += '\0';
    }
    return out;
}

std::string Crlf(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') {
            out += '\r';
        }
        out += c;
    }
    return out;
}

RegFile MustParse(std::string_view bytes) {
    RegFile file;
    RegFileError error;
    EXPECT_TRUE(ParseRegFile(bytes, file, error)) << error.line << ": " << error.message;
    return file;
}

struct Expected {
    Kind kind;
    Hive hive;
    std::string path;
    std::string name;
    Type type;
    std::string data;
    std::size_t line;
};

void ExpectOperations(const RegFile& file, const std::vector<Expected>& expected) {
    ASSERT_EQ(file.operations.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const RegOperation& op = file.operations[i];
        const Expected& e = expected[i];
        EXPECT_EQ(op.kind, e.kind) << i;
        EXPECT_EQ(op.hive, e.hive) << i;
        EXPECT_EQ(op.path, e.path) << i;
        EXPECT_EQ(op.line, e.line) << i;
        if (e.kind == Kind::SetValue || e.kind == Kind::DeleteValue) {
            EXPECT_EQ(op.name, e.name) << i;
        }
        if (e.kind == Kind::SetValue) {
            EXPECT_EQ(op.value.type, e.type) << i;
            EXPECT_EQ(op.value.data, e.data) << i;
        }
    }
}

const char kSample[] = R"(Windows Registry Editor Version 5.00

; a comment
[HKEY_LOCAL_MACHINE\SOFTWARE\Orvanta]
@="Default"
"Quote \"and\" back\\slash"="C:\\Sorvex2.log"
  "Number" = dword:0000002A
"Short"=dword:1
"Bin"=hex:00,ff,\
  10 ,\
  2
"None"=hex(0):
"Sz"=hex(1):41,00,e9,00,00,00
"Multi"=hex(7):61,00,00,00,62,00,00,00,00,00
"Gone"=-

[-HKEY_CURRENT_USER\Software\Old]
[hkcr\CLSID]
"Q"=hex(b):01,02,03,04,05,06,07,08
)";

const std::vector<Expected> kSampleOps = {
    {Kind::CreateKey, Hive::LocalMachine, "SOFTWARE\\Orvanta", "", Type::None, "", 4},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "", Type::String, "Default", 5},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Quote \"and\" back\\slash",
     Type::String, "C:\\Sorvex2.log", 6},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Number", Type::Dword, "\x2a\0\0\0"s,
     7},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Short", Type::Dword, "\x01\0\0\0"s,
     8},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Bin", Type::Binary,
     "\x00\xff\x10\x02"s, 9},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "None", Type::None, "", 12},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Sz", Type::String, "A\xe9", 13},
    {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Multi", static_cast<Type>(7),
     "a\0b\0"s, 14},
    {Kind::DeleteValue, Hive::LocalMachine, "SOFTWARE\\Orvanta", "Gone", Type::None, "", 15},
    {Kind::DeleteTree, Hive::CurrentUser, "Software\\Old", "", Type::None, "", 17},
    {Kind::CreateKey, Hive::ClassesRoot, "CLSID", "", Type::None, "", 18},
    {Kind::SetValue, Hive::ClassesRoot, "CLSID", "Q", static_cast<Type>(11), "\1\2\3\4\5\6\7\x08"s,
     19},
};

TEST(RegFileParse, ReadsEveryKindOfLineInEveryEncoding) {
    const std::string variants[] = {
        kSample, Crlf(kSample), "\xEF\xBB\xBF"s + kSample, Utf16(Crlf(kSample)), Utf16(kSample),
    };
    for (const std::string& bytes : variants) {
        RegFile file = MustParse(bytes);
        EXPECT_EQ(file.version, RegFileVersion::Editor5);
        ExpectOperations(file, kSampleOps);
    }
}

TEST(RegFileParse, TextOfUtf16FilesBecomesBytes) {
    // U+00E9 fits a byte; U+0101 does not.
    std::string text =
        Utf16("Windows Registry Editor Version 5.00\r\n[HKCU\\Caf\xe9]\r\n\"n\"=\"\xe9\"");
    RegFile file = MustParse(text);
    ExpectOperations(
        file, {{Kind::CreateKey, Hive::CurrentUser, "Caf\xe9", "", Type::None, "", 2},
               {Kind::SetValue, Hive::CurrentUser, "Caf\xe9", "n", Type::String, "\xe9", 3}});
    std::string wide = text;
    wide[wide.size() - 3] = '\x01';  // the high byte of the last "é"
    RegFileError error;
    EXPECT_FALSE(ParseRegFile(wide, file, error));
    EXPECT_EQ(error.line, 3u);
    EXPECT_NE(error.message.find("U+01E9"), std::string::npos) << error.message;
}

TEST(RegFileParse, Regedit4TakesHexStringsAsBytes) {
    RegFile file = MustParse(
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\r\n\"s\"=hex(1):41,ff,00\r\n"
        "\"t\"=hex(2):25,00\r\n\"plain\"=\"\xe9\"\r\n");
    EXPECT_EQ(file.version, RegFileVersion::Regedit4);
    ExpectOperations(
        file,
        {{Kind::CreateKey, Hive::LocalMachine, "SOFTWARE\\Old", "", Type::None, "", 3},
         {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Old", "s", Type::String, "A\xff", 4},
         {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Old", "t", static_cast<Type>(2), "%", 5},
         {Kind::SetValue, Hive::LocalMachine, "SOFTWARE\\Old", "plain", Type::String, "\xe9", 6}});
}

TEST(RegFileParse, ReportsTheLineAndWhatIsWrong) {
    const std::string header = "Windows Registry Editor Version 5.00\n";
    const std::string key = header + "[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\n";
    struct Row {
        std::string text;
        std::size_t line;
        const char* message;
    };
    const Row rows[] = {
        {"", 1, "empty file"},
        {"\n\n", 1, "empty file"},
        {"REGEDIT5\n[HKLM\\X]\n", 1, "not a registry file"},
        {header + "\"a\"=\"b\"\n", 2, "before any [KEY]"},
        {header + "[HKLM\\X\n", 2, "must end with ']'"},
        {header + "[HKEY_FOO\\X]\n", 2, "unknown root key \"HKEY_FOO\""},
        {header + "[-HKEY_LOCAL_MACHINE]\n", 2, "root key cannot be deleted"},
        {header + "[-HKLM\\X]\n\"a\"=\"b\"\n", 3, "deleted key"},
        {header + "garbage\n", 2, "unexpected text"},
        {key + "\"a\"=\"unterminated\n", 3, "unterminated string"},
        {key + "\"a=\"b\"\n", 3, "expected '='"},
        {key + "\"a\"\"b\"\n", 3, "expected '='"},
        {key + "\"a\"=\"b\" trailing\n", 3, "after the closing"},
        {key + "\"a\"=\"C:\\Sorvex2.log\"\n", 3, "unknown escape \\S"},
        {key + "\"a\"=dword:123456789\n", 3, "1 to 8 hex digits"},
        {key + "\"a\"=dword:12x\n", 3, "1 to 8 hex digits"},
        {key + "\"a\"=dword:\n", 3, "1 to 8 hex digits"},
        {key + "\"a\"=hex:zz\n", 3, "bad hex byte"},
        {key + "\"a\"=hex:00,01 02\n", 3, "expected ','"},
        {key + "\"a\"=hex:001\n", 3, "expected ','"},
        {key + "\"a\"=hex:00,\\ x\n", 3, "after the line continuation"},
        {key + "\"a\"=hex:00,\\", 3, "ends after a line continuation"},
        {key + "\"a\"=hex:00,\\\n  01,\\\n  zz\n", 5, "bad hex byte"},
        {key + "\"a\"=hex(4):01,02\n", 3, "exactly 4 bytes"},
        {key + "\"a\"=hex(1):41\n", 3, "even number of bytes"},
        {key + "\"a\"=hex(1):41,01\n", 3, "U+0141"},
        {key + "\"a\"=hex(x):00\n", 3, "type number"},
        {key + "\"a\"=hex(1:00\n", 3, "type number"},
        {key + "\"a\"=hex\n", 3, "expected ':'"},
        {key + "\"a\"=str:\"x\"\n", 3, "unknown value"},
        {"\xfe\xff", 1, "big-endian"},
        {Utf16(header + "[HKLM\\X]\n") + "x", 3, "half a character"},
    };
    for (const Row& row : rows) {
        RegFile file;
        RegFileError error;
        EXPECT_FALSE(ParseRegFile(row.text, file, error)) << row.text;
        EXPECT_EQ(error.line, row.line) << row.text;
        EXPECT_NE(error.message.find(row.message), std::string::npos)
            << row.text << " -> " << error.message;
    }
}

TEST(RegFileFormat, WritesTheEditorsLayout) {
    std::vector<RegKeyContents> keys = {
        {Hive::LocalMachine,
         "SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Front",
         {{"", {Type::String, "Orvanta.Opos.Scanner"}},
          {"Say \"hi\"\\now", {Type::String, "a\\b \"c\""}},
          {"Port", {Type::Dword, "\x2a\0\0\0"s}},
          {"Odd", {Type::String, "a\nb"}},
          {"Blob", {Type::Binary, "\x00\xff"s}},
          {"Nothing", {Type::None, ""}},
          {"Q", {static_cast<Type>(11), "\x01\0\0\0\0\0\0\0"s}}}},
        {Hive::CurrentUser, "", {}},
    };
    std::string text;
    std::string error;
    ASSERT_TRUE(FormatRegFile(keys, text, error)) << error;
    EXPECT_EQ(text,
              "Windows Registry Editor Version 5.00\r\n"
              "\r\n"
              "[HKEY_LOCAL_MACHINE\\SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scanner\\Front]\r\n"
              "@=\"Orvanta.Opos.Scanner\"\r\n"
              "\"Say \\\"hi\\\"\\\\now\"=\"a\\\\b \\\"c\\\"\"\r\n"
              "\"Port\"=dword:0000002a\r\n"
              "\"Odd\"=hex(1):61,00,0a,00,62,00,00,00\r\n"
              "\"Blob\"=hex:00,ff\r\n"
              "\"Nothing\"=hex(0):\r\n"
              "\"Q\"=hex(b):01,00,00,00,00,00,00,00\r\n"
              "\r\n"
              "[HKEY_CURRENT_USER]\r\n"
              "\r\n");
}

TEST(RegFileFormat, WrapsLongHexDataAtEightyColumns) {
    std::string data(100, '\x5a');
    std::string text;
    std::string error;
    ASSERT_TRUE(FormatRegFile(
        {{Hive::LocalMachine, "SOFTWARE\\X", {{"Blob", {Type::Binary, data}}}}}, text, error));
    std::size_t start = text.find("\"Blob\"");
    ASSERT_NE(start, std::string::npos);
    std::string body = text.substr(start);
    std::size_t lines = 0;
    for (std::size_t pos = 0; pos < body.size();) {
        std::size_t end = body.find("\r\n", pos);
        std::string line = body.substr(pos, end - pos);
        pos = end + 2;
        if (line.empty()) {
            break;
        }
        ++lines;
        EXPECT_LE(line.size(), 80u) << line;
        if (lines > 1) {
            EXPECT_EQ(line.substr(0, 4), "  5a") << line;
        }
        bool last = body.compare(pos, 2, "\r\n") == 0;
        EXPECT_EQ(line.back(), last ? 'a' : '\\') << line;
    }
    EXPECT_EQ(lines, 5u);
    RegFile file = MustParse(text);
    ASSERT_EQ(file.operations.size(), 2u);
    EXPECT_EQ(file.operations[1].value.data, data);
}

TEST(RegFileFormat, WhatIsWrittenReadsBackExactly) {
    std::string every;
    for (int b = 0; b < 256; ++b) {
        every += static_cast<char>(b);
    }
    std::vector<RegKeyContents> keys = {
        {Hive::LocalMachine,
         "SOFTWARE\\MiXeD Case\\[brackets] and \"quotes\"",
         {{"", {Type::String, ""}},
          {"All bytes", {Type::String, every}},
          {"Ends in NUL", {Type::String, "x\0"s}},
          {"Just NUL", {Type::String, "\0"s}},
          {"Binary", {Type::Binary, every + every}},
          {"Empty binary", {Type::Binary, ""}},
          {"Dword", {Type::Dword, "\xff\xfe\0\x80"s}},
          {"Expand", {static_cast<Type>(2), "%PATH%\xff"}},
          {"Multi", {static_cast<Type>(7), "a\0b\0"s}},
          {"None", {Type::None, "\0\xff"s}},
          {"Big type", {static_cast<Type>(0x12345678), "z"}},
          {"Plain \\ \"ASCII\"", {Type::String, " ~!@#$%^&*()_+{}|:<>?`-=[]\\;',./\""}}}},
        {Hive::CurrentUser, "Software\\Empty Key", {}},
        {Hive::ClassesRoot, "CLSID\\{A}\\InprocServer32", {{"", {Type::String, "/x.so"}}}},
    };
    std::string text;
    std::string error;
    ASSERT_TRUE(FormatRegFile(keys, text, error)) << error;
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        ASSERT_TRUE(u == '\r' || u == '\n' || (u >= 0x20 && u < 0x7f)) << int{u};
    }
    RegFile file = MustParse(text);
    std::size_t i = 0;
    for (const RegKeyContents& key : keys) {
        ASSERT_LT(i, file.operations.size());
        EXPECT_EQ(file.operations[i].kind, Kind::CreateKey);
        EXPECT_EQ(file.operations[i].hive, key.hive);
        EXPECT_EQ(file.operations[i].path, key.path);
        ++i;
        for (const NamedValue& v : key.values) {
            ASSERT_LT(i, file.operations.size());
            const RegOperation& op = file.operations[i++];
            EXPECT_EQ(op.kind, Kind::SetValue);
            EXPECT_EQ(op.name, v.name);
            EXPECT_EQ(op.value.type, v.value.type) << v.name;
            EXPECT_EQ(op.value.data, v.value.data) << v.name;
        }
    }
    EXPECT_EQ(i, file.operations.size());
}

TEST(RegFileFormat, RefusesNamesItCannotWriteAndSaysWhich) {
    struct Row {
        RegKeyContents key;
        const char* message;
    };
    const Row rows[] = {
        {{Hive::LocalMachine, "SOFTWARE\\Caf\xe9", {}},
         "key HKEY_LOCAL_MACHINE\\SOFTWARE\\Caf\\xE9: its name holds the byte 0xE9"},
        {{Hive::LocalMachine, "SOFTWARE\\X", {{"tab\there", {Type::String, "v"}}}},
         "value \"tab\\x09here\" of key HKEY_LOCAL_MACHINE\\SOFTWARE\\X"},
        {{Hive::CurrentUser, "A", {{"nul\0"s, {Type::String, "v"}}}}, "0x00"},
    };
    for (const Row& row : rows) {
        std::string text;
        std::string error;
        EXPECT_FALSE(FormatRegFile({row.key}, text, error));
        EXPECT_NE(error.find(row.message), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace sorvex::registry
