#include "tools/sorvex-notegen/typelib_source.h"

#include <gtest/gtest.h>

#include "tools/sorvex-notegen/emit.h"

namespace sorvex::notegen {
namespace {

namespace com = sorvex::com;

constexpr char kLibrary[] = R"(
import "oaidl.idl";
/* an interface before the library block */
[object, uuid(17a90be2-aedb-478e-85f1-f632e26b33a5), dual, oleautomation,
 helpstring("IThing Interface")]
interface IThing : IDispatch
{
    [id(1), helpstring("method Open")]
    HRESULT Open([in] BSTR name, [in] IDispatch* sink, [out, retval] long* rc);
    [id(7)] HRESULT Move([in, out] long* x, [out] BSTR* text, [in] CY amount);
    [id(-4)] HRESULT Flags([in] VARIANT_BOOL on, [out, retval] CURRENCY* value);
    [id(0x10)] HRESULT Nothing(void);
};

[uuid(1854D5A1-9F5C-4427-B75E-EF34199231B5), version(2.3), lcid(0x409),
 helpstring("A \"lib\"\t\x00\xff")]
library ThingLib
{
    importlib("stdole2.tlb");
    [uuid(F718D91E-EA80-4C5F-AB12-34B068BA4D86), noncreatable]
    coclass Hidden { interface IThing; };
    [uuid(D494BDF7-1721-4A3A-947E-3D7C0540231E), helpstring("Thing Class")]
    coclass Thing { [default] interface IThing; };
};
)";

TEST(TypeLibSource, CompilesTheMidlSubset) {
    com::TypeLibDesc lib;
    std::string error;
    ASSERT_TRUE(ParseTypeLibSource(kLibrary, "thing.typelib", lib, error)) << error;
    EXPECT_EQ(lib.name, "ThingLib");
    EXPECT_EQ(com::ToString(lib.libid), "{1854D5A1-9F5C-4427-B75E-EF34199231B5}");
    EXPECT_EQ(lib.major, 2);
    EXPECT_EQ(lib.minor, 3);
    EXPECT_EQ(lib.lcid, 1033u);
    EXPECT_EQ(lib.syskind, com::SysKind::Linux64);
    EXPECT_EQ(lib.help, std::string("A \"lib\"\t\0\xff", 10));
    ASSERT_EQ(lib.types.size(), 3u);

    const com::TypeDesc& thing = lib.types[0];
    EXPECT_EQ(thing.name, "IThing");
    EXPECT_EQ(thing.flags, com::TYPEFLAG_FDUAL | com::TYPEFLAG_FOLEAUTOMATION);
    ASSERT_EQ(thing.funcs.size(), 4u);
    const com::FuncDesc& open = thing.funcs[0];
    EXPECT_EQ(open.dispid, 1);
    EXPECT_EQ(open.help, "method Open");
    ASSERT_EQ(open.params.size(), 3u);
    EXPECT_EQ(open.params[1].name, "sink");
    EXPECT_EQ(open.params[1].type, com::VT_DISPATCH);
    EXPECT_EQ(open.params[2].type, com::VT_BYREF | com::VT_I4);
    EXPECT_EQ(open.params[2].flags, com::PARAMFLAG_FOUT | com::PARAMFLAG_FRETVAL);
    const com::FuncDesc& move = thing.funcs[1];
    EXPECT_EQ(move.dispid, 7);
    EXPECT_EQ(move.params[0].flags, com::PARAMFLAG_FIN | com::PARAMFLAG_FOUT);
    EXPECT_EQ(move.params[1].type, com::VT_BYREF | com::VT_BSTR);
    EXPECT_EQ(move.params[1].flags, com::PARAMFLAG_FOUT);
    EXPECT_EQ(move.params[2].type, com::VT_CY);
    EXPECT_EQ(thing.funcs[2].dispid, -4);
    EXPECT_EQ(thing.funcs[2].params[0].type, com::VT_BOOL);
    EXPECT_EQ(thing.funcs[2].params[1].type, com::VT_BYREF | com::VT_CY);
    EXPECT_EQ(thing.funcs[3].dispid, 16);
    EXPECT_TRUE(thing.funcs[3].params.empty());

    EXPECT_EQ(lib.types[1].flags, 0);  // noncreatable
    ASSERT_EQ(lib.types[1].implTypes.size(), 1u);
    EXPECT_EQ(lib.types[1].implTypes[0].flags, 0);
    EXPECT_EQ(lib.types[2].flags, com::TYPEFLAG_FCANCREATE);
    EXPECT_EQ(lib.types[2].implTypes[0].iid, thing.guid);
    EXPECT_EQ(lib.types[2].implTypes[0].flags, com::IMPLTYPEFLAG_FDEFAULT);
}

TEST(TypeLibSource, RejectsWithFileAndLine) {
    const std::string lib = "[uuid(1854D5A1-9F5C-4427-B75E-EF34199231B5)] library L {\n";
    const std::string itf =
        "[uuid(17A90BE2-AEDB-478E-85F1-F632E26B33A5), dual] interface I : IDispatch {\n";
    struct Row {
        std::string text;
        std::string expected;  // a part of the message
    } rows[] = {
        {lib + itf + "[id(1)] HRESULT M([in] short x);\n}; };",
         "t.typelib:3: unsupported parameter type \"short\""},
        {lib + itf + "HRESULT M();\n}; };", "t.typelib:3: I.M needs an id"},
        {lib + itf + "[id(1), propget] HRESULT M();\n}; };",
         "t.typelib:3: properties are not supported"},
        {lib + "[uuid(17A90BE2-AEDB-478E-85F1-F632E26B33A5)] interface I : IUnknown {};\n};",
         "t.typelib:2: interface I must derive from IDispatch"},
        {lib + itf + "[id(1)] HRESULT M([out, retval] long* a, [in] long b);\n}; };",
         "t.typelib: I.M: parameter a: retval must be the last parameter"},
        {lib + itf + "[id(1)] HRESULT M([out] long a);\n}; };",
         "parameter a: a parameter passed by value can only be [in]"},
        {lib + itf + "[id(1)] HRESULT M();\n[id(1)] HRESULT N();\n}; };", "DISPID 1 is used twice"},
        {lib +
             "[uuid(F718D91E-EA80-4C5F-AB12-34B068BA4D86)] coclass C { interface IMissing; };\n};",
         "t.typelib:2: interface IMissing is not defined in this file"},
        {lib + "[uuid(nonsense)] coclass C { };\n};", "t.typelib:2: \"nonsense\" is not a GUID"},
        {"library L { };", "t.typelib:1: library L needs a uuid"},
        {"[uuid(1854D5A1-9F5C-4427-B75E-EF34199231B5), version(1)] library L { };",
         ""},  // version(1) means 1.0
        {lib + "[helpstring(\"open)] coclass C {};", "t.typelib:2: the string is not closed"},
        {lib + "/* never closed", "t.typelib:2: the comment is not closed"},
        {lib + "\x01", "t.typelib:2: unexpected character"},
        {"", "t.typelib:1: the file has no library block"},
    };
    for (const Row& row : rows) {
        com::TypeLibDesc out;
        std::string error;
        const bool ok = ParseTypeLibSource(row.text, "t.typelib", out, error);
        if (row.expected.empty()) {
            EXPECT_TRUE(ok) << row.text << "\n" << error;
            continue;
        }
        EXPECT_FALSE(ok) << row.text;
        EXPECT_NE(error.find(row.expected), std::string::npos) << error;
    }
}

TEST(TypeLibSource, HeaderDeclaresTheInterfaceInSlotOrder) {
    com::TypeLibDesc lib;
    std::string error;
    ASSERT_TRUE(ParseTypeLibSource(kLibrary, "thing.typelib", lib, error)) << error;
    const std::string header = TypeLibHeader("thing.typelib", lib);
    for (const char* part : {
             "inline constexpr sorvex::com::GUID LIBID_ThingLib{0x1854D5A1, 0x9F5C, 0x4427, "
             "{0xB7, 0x5E, 0xEF, 0x34, 0x19, 0x92, 0x31, 0xB5}};",
             "inline constexpr std::uint16_t ThingLib_MajorVersion = 2;",
             "class IThing : public sorvex::com::IDispatch {",
             "virtual sorvex::com::HRESULT Open(sorvex::com::BSTR name /* in */, "
             "sorvex::com::IDispatch* sink /* in */, std::int32_t* rc /* out, retval */) = 0;",
             "virtual sorvex::com::HRESULT Move(std::int32_t* x /* in, out */",
             "SORVEX_METHOD(&IThing::Nothing),",
             "inline constexpr sorvex::com::CLSID CLSID_Thing{",
         }) {
        EXPECT_NE(header.find(part), std::string::npos) << part << "\n" << header;
    }
    EXPECT_LT(header.find("Open("), header.find("Move("));
    EXPECT_EQ(header.find('\xff'), std::string::npos);  // comments hold printable text only
}

TEST(TypeLibSource, NoteSourceHoldsEveryByte) {
    const std::string data("\x00\xff\x41", 3);
    const std::string source = NoteSource("x", ".note.sorvex.typelib", "T", data);
    EXPECT_NE(source.find("SORVEX_ELF_NOTE(kSorvexNote, \".note.sorvex.typelib\", T, 3,"),
              std::string::npos);
    EXPECT_NE(source.find("0x00, 0xFF, 0x41);"), std::string::npos) << source;
}

}  // namespace
}  // namespace sorvex::notegen
