#include <gtest/gtest.h>

#include "platform/com/bstr.h"
#include "platform/com/guid.h"
#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace sorvex::com {
namespace {

TEST(Guid, FormatsAndParsesTheRegistryForm) {
    EXPECT_EQ(ToString(IID_IDispatch), "{00020400-0000-0000-C000-000000000046}");
    auto parsed = ParseGuid("{00020400-0000-0000-c000-000000000046}");
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, IID_IDispatch);
    EXPECT_EQ(ParseGuid("00000001-0000-0000-C000-000000000046"), IID_IClassFactory);
    for (const char* bad :
         {"", "{00020400-0000-0000-C000-00000000004}", "{00020400+0000-0000-C000-000000000046}",
          "{0002040g-0000-0000-C000-000000000046}", "{00020400-0000-0000-C000-000000000046"}) {
        EXPECT_FALSE(ParseGuid(bad)) << bad;
    }
}

TEST(Bstr, KeepsEveryByteAndItsLength) {
    const std::string bytes("a\0b\xff", 4);
    Bstr s(bytes);
    EXPECT_EQ(SysStringLen(s.get()), 4u);
    EXPECT_EQ(s.str(), bytes);
    EXPECT_EQ(s.get()[4], '\0');
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(BstrView(nullptr), "");
    BSTR t = SysAllocString("xyz");
    SysReAllocString(&t, bytes);
    EXPECT_EQ(BstrToString(t), bytes);
    SysFreeString(t);
}

TEST(Variant, ClearFreesAndCopyDuplicatesStrings) {
    Variant a;
    a.vt = VT_BSTR;
    a.bstrVal = AllocBstr(std::string("\0\xff", 2));
    Variant b;
    ASSERT_EQ(VariantCopy(&b, &a), S_OK);
    EXPECT_NE(b.bstrVal, a.bstrVal);
    EXPECT_EQ(BstrView(b.bstrVal), std::string("\0\xff", 2));
    VariantClear(&a);
    EXPECT_EQ(a.vt, VT_EMPTY);
    EXPECT_EQ(BstrView(b.bstrVal), std::string("\0\xff", 2));
}

}  // namespace
}  // namespace sorvex::com
