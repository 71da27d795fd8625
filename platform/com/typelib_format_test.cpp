#include "platform/com/typelib_format.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/com/typeinfo.h"

namespace sorvex::com {
namespace {

constexpr GUID kLib{0x1854D5A1, 0x9F5C, 0x4427, {0xB7, 0x5E, 0xEF, 0x34, 0x19, 0x92, 0x31, 0xB5}};
constexpr GUID kItf{0x17A90BE2, 0xAEDB, 0x478E, {0x85, 0xF1, 0xF6, 0x32, 0xE2, 0x6B, 0x33, 0xA5}};
constexpr GUID kCls{0xF718D91E, 0xEA80, 0x4C5F, {0xAB, 0x12, 0x34, 0xB0, 0x68, 0xBA, 0x4D, 0x86}};

TypeLibDesc Sample() {
    TypeLibDesc lib;
    lib.libid = kLib;
    lib.name = "SampleLib";
    lib.help = std::string("help \x00\xff", 7);
    lib.major = 1;
    lib.minor = 2;
    lib.lcid = 1033;
    TypeDesc itf;
    itf.kind = TypeKind::Interface;
    itf.guid = kItf;
    itf.name = "ISample";
    itf.flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION;
    itf.funcs.push_back({"Open",
                         "method Open",
                         1,
                         {{"Name", VT_BSTR, PARAMFLAG_FIN},
                          {"Sink", VT_DISPATCH, PARAMFLAG_FIN},
                          {"pRC", VT_BYREF | VT_I4, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}});
    itf.funcs.push_back({"Price",
                         "",
                         -7,
                         {{"Data", VT_BYREF | VT_BSTR, PARAMFLAG_FIN | PARAMFLAG_FOUT},
                          {"Amount", VT_CY, PARAMFLAG_FIN},
                          {"pCY", VT_BYREF | VT_CY, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}});
    lib.types.push_back(itf);
    TypeDesc cls;
    cls.kind = TypeKind::CoClass;
    cls.guid = kCls;
    cls.name = "Sample";
    cls.flags = TYPEFLAG_FCANCREATE;
    cls.implTypes.push_back({kItf, IMPLTYPEFLAG_FDEFAULT});
    lib.types.push_back(cls);
    return lib;
}

TEST(TypeLibFormat, RoundTripsEveryField) {
    const TypeLibDesc lib = Sample();
    const std::string bytes = SerializeTypeLib(lib);
    ASSERT_EQ(bytes.substr(0, 6), std::string("SVTL\x01\x00", 6));
    TypeLibDesc back;
    std::string error;
    ASSERT_EQ(ParseTypeLib(bytes, back, &error), S_OK) << error;
    EXPECT_EQ(back.libid, lib.libid);
    EXPECT_EQ(back.help, lib.help);
    EXPECT_EQ(back.major, 1);
    EXPECT_EQ(back.minor, 2);
    EXPECT_EQ(back.lcid, 1033u);
    ASSERT_EQ(back.types.size(), 2u);
    const FuncDesc& price = back.types[0].funcs[1];
    EXPECT_EQ(price.dispid, -7);
    EXPECT_EQ(price.params[0].flags, PARAMFLAG_FIN | PARAMFLAG_FOUT);
    EXPECT_EQ(price.params[2].type, VT_BYREF | VT_CY);
    EXPECT_EQ(back.types[1].implTypes[0].iid, kItf);
    EXPECT_EQ(SerializeTypeLib(back), bytes);
}

TEST(TypeLibFormat, RefusesMalformedBytes) {
    const std::string good = SerializeTypeLib(Sample());
    struct Row {
        const char* what;
        std::string bytes;
        HRESULT expected;
    } rows[] = {
        {"empty", "", TYPE_E_INVDATAREAD},
        {"other magic", "SVTX" + good.substr(4), TYPE_E_INVDATAREAD},
        {"newer format", good.substr(0, 4) + std::string("\x02\x00", 2) + good.substr(6),
         TYPE_E_UNSUPFORMAT},
        {"trailing byte", good + "x", TYPE_E_INVDATAREAD},
        {"unknown kind",
         [&] {
             std::string b = good;
             // The first type's kind byte follows the library header.
             const std::size_t at = 8 + 16 + 2 + 9 + 2 + 7 + 2 + 2 + 4 + 2 + 2 + 2;
             b[at] = 9;
             return b;
         }(),
         TYPE_E_INVDATAREAD},
    };
    for (const Row& row : rows) {
        TypeLibDesc out;
        EXPECT_EQ(ParseTypeLib(row.bytes, out), row.expected) << row.what;
    }
    // Every truncation is refused, none reads past the end (checked by the sanitizer builds).
    for (std::size_t n = 0; n < good.size(); ++n) {
        TypeLibDesc out;
        EXPECT_EQ(ParseTypeLib(good.substr(0, n), out), TYPE_E_INVDATAREAD) << n;
    }
}

TEST(TypeLibFormat, ValidationNamesTheFault) {
    struct Row {
        const char* expected;
        std::function<void(TypeLibDesc&)> damage;
    } rows[] = {
        {"", [](TypeLibDesc&) {}},
        {"library name \"1x\" is not an identifier", [](TypeLibDesc& l) { l.name = "1x"; }},
        {"ISample.open: the method name is used twice",
         [](TypeLibDesc& l) { l.types[0].funcs[1].name = "open"; }},
        {"ISample.Price: DISPID 1 is used twice",
         [](TypeLibDesc& l) { l.types[0].funcs[1].dispid = 1; }},
        {"ISample.Open: parameter pRC: retval must be the last parameter",
         [](TypeLibDesc& l) {
             std::swap(l.types[0].funcs[0].params[1], l.types[0].funcs[0].params[2]);
         }},
        {"ISample.Open: parameter Name: unsupported type 12",
         [](TypeLibDesc& l) { l.types[0].funcs[0].params[0].type = VT_VARIANT; }},
        {"ISample.Open: parameter Sink: a parameter passed by value can only be [in]",
         [](TypeLibDesc& l) { l.types[0].funcs[0].params[1].flags = PARAMFLAG_FOUT; }},
        {"ISample.Price: parameter Data: a pointer parameter must be [out] or [in, out]",
         [](TypeLibDesc& l) { l.types[0].funcs[1].params[0].flags = PARAMFLAG_FIN; }},
        {"ISample.Open: parameter NAME: the name is used twice",
         [](TypeLibDesc& l) { l.types[0].funcs[0].params[1].name = "NAME"; }},
        {"Sample: interface {00000000-0000-0000-0000-000000000001} is not in the library",
         [](TypeLibDesc& l) {
             l.types[1].implTypes[0].iid = GUID{0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};
         }},
        {"Sample: its GUID", [](TypeLibDesc& l) { l.types[1].guid = kItf; }},
        {"Sample: more than one default interface",
         [](TypeLibDesc& l) {
             l.types[1].implTypes.push_back({kItf, IMPLTYPEFLAG_FDEFAULT});
         }},
    };
    for (const Row& row : rows) {
        TypeLibDesc lib = Sample();
        row.damage(lib);
        const std::string why = ValidateTypeLib(lib);
        if (*row.expected == '\0') {
            EXPECT_EQ(why, "");
        } else {
            EXPECT_NE(why.find(row.expected), std::string::npos) << why;
        }
    }
}

TEST(TypeInfo, AnswersNamesCaseInsensitivelyAndTheDefaultInterface) {
    ComPtr<ITypeLib> lib;
    ASSERT_EQ(CreateTypeLib(Sample(), lib.out()), S_OK);
    EXPECT_EQ(lib->GetTypeInfoCount(), 2u);
    ComPtr<ITypeInfo> itf;
    ASSERT_EQ(lib->GetTypeInfoOfGuid(kItf, itf.out()), S_OK);
    OLECHAR open[] = "oPeN", sink[] = "SINK", bogus[] = "Bogus";
    OLECHAR* names[] = {open, sink, bogus};
    DISPID ids[3] = {};
    EXPECT_EQ(itf->GetIDsOfNames(names, 2, ids), S_OK);
    EXPECT_EQ(ids[0], 1);
    EXPECT_EQ(ids[1], 1);  // the position of Sink
    EXPECT_EQ(itf->GetIDsOfNames(names, 3, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[1], 1);
    EXPECT_EQ(ids[2], DISPID_UNKNOWN);
    OLECHAR* unknown[] = {bogus};
    EXPECT_EQ(itf->GetIDsOfNames(unknown, 1, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);
    ASSERT_NE(itf->FindFunc(-7), nullptr);
    EXPECT_EQ(itf->FindFunc(-7)->name, "Price");
    EXPECT_EQ(itf->FindFunc(2), nullptr);

    ComPtr<ITypeInfo> cls, def;
    ASSERT_EQ(lib->GetTypeInfo(1, cls.out()), S_OK);
    ASSERT_EQ(cls->GetDefaultInterface(def.out()), S_OK);
    EXPECT_EQ(def.get(), itf.get());
    EXPECT_EQ(itf->GetDefaultInterface(def.out()), TYPE_E_ELEMENTNOTFOUND);
    EXPECT_EQ(lib->GetTypeInfo(2, cls.out()), TYPE_E_ELEMENTNOTFOUND);

    // A type info keeps its library alive.
    ComPtr<ITypeLib> container;
    std::uint32_t index = 9;
    ASSERT_EQ(itf->GetContainingTypeLib(container.out(), &index), S_OK);
    EXPECT_EQ(index, 0u);
    lib.Reset();
    container.Reset();
    EXPECT_EQ(itf->Describe().name, "ISample");
}

TEST(TypeInfo, RefusesAnInvalidDescription) {
    TypeLibDesc bad = Sample();
    bad.types[0].funcs[1].dispid = 1;
    ComPtr<ITypeLib> lib;
    EXPECT_EQ(CreateTypeLib(bad, lib.out()), E_INVALIDARG);
    EXPECT_FALSE(lib);
}

}  // namespace
}  // namespace sorvex::com
