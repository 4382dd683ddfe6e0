// VARIANT <-> Variant at the interface boundary.
#include "com/variant_conversion.h"

#include "tests/com/com_test_util.h"

namespace corvane::test {
namespace {

using com::FromVariant;
using com::NarrowText;
using com::ToVariant;
using com::WideText;

TEST(VariantConversion, TypeCodesPassOneToOne) {
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(FromVariant(v).vt, kVtEmpty);
  V_VT(&v) = VT_NULL;
  EXPECT_EQ(FromVariant(v).vt, kVtNull);
  V_VT(&v) = VT_I4;
  V_I4(&v) = -7;
  EXPECT_EQ(FromVariant(v).vt, kVtI4);
  EXPECT_EQ(FromVariant(v).intValue, -7);
  V_VT(&v) = VT_INT;
  V_INT(&v) = 500;
  EXPECT_EQ(FromVariant(v).vt, kVtInt);
  EXPECT_EQ(FromVariant(v).Int32(), 500);
  V_VT(&v) = VT_I2;
  V_I2(&v) = -2;
  EXPECT_EQ(FromVariant(v).vt, kVtI2);
  EXPECT_EQ(FromVariant(v).Int32(), -2);
  V_VT(&v) = VT_R8;
  V_R8(&v) = 2.5;
  EXPECT_EQ(FromVariant(v).vt, kVtR8);
  EXPECT_EQ(FromVariant(v).doubleValue, 2.5);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = VARIANT_FALSE;
  EXPECT_EQ(FromVariant(v).vt, kVtBool);
  EXPECT_EQ(FromVariant(v).intValue, 0);
  V_BOOL(&v) = VARIANT_TRUE;
  EXPECT_EQ(FromVariant(v).intValue, -1);
  // Types the interface never converts keep their code.
  V_VT(&v) = VT_R4;
  V_R4(&v) = 1.5f;
  EXPECT_EQ(FromVariant(v).vt, VT_R4);
  V_VT(&v) = VT_UI1;
  V_UI1(&v) = 200;
  EXPECT_EQ(FromVariant(v).vt, VT_UI1);
  V_VT(&v) = VT_DISPATCH;
  V_DISPATCH(&v) = nullptr;
  EXPECT_EQ(FromVariant(v).vt, kVtDispatch);
}

TEST(VariantConversion, ByReferenceIsFollowed) {
  // VBScript passes variables as VT_BYREF | VT_VARIANT.
  VARIANT inner;
  V_VT(&inner) = VT_BOOL;
  V_BOOL(&inner) = VARIANT_TRUE;
  VARIANT ref;
  V_VT(&ref) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&ref) = &inner;
  Variant v = FromVariant(ref);
  EXPECT_EQ(v.vt, kVtBool);
  EXPECT_EQ(v.Type(), kVtBool);

  LONG number = 42;
  V_VT(&ref) = VT_BYREF | VT_I4;
  V_I4REF(&ref) = &number;
  v = FromVariant(ref);
  EXPECT_EQ(v.vt, kVtI4);
  EXPECT_EQ(v.intValue, 42);

  BSTR text = SysAllocString(L"abc");
  V_VT(&ref) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&ref) = &text;
  v = FromVariant(ref);
  EXPECT_EQ(v.vt, kVtBstr);
  EXPECT_EQ(v.text, "abc");

  // A reference to a reference to a string.
  VARIANT middle;
  V_VT(&middle) = VT_BYREF | VT_BSTR;
  V_BSTRREF(&middle) = &text;
  V_VT(&ref) = VT_BYREF | VT_VARIANT;
  V_VARIANTREF(&ref) = &middle;
  v = FromVariant(ref);
  EXPECT_EQ(v.vt, kVtBstr);
  EXPECT_EQ(v.text, "abc");
  SysFreeString(text);

  // A null reference: the base type, no value.
  V_VT(&ref) = VT_BYREF | VT_I4;
  V_I4REF(&ref) = nullptr;
  EXPECT_EQ(FromVariant(ref).vt, kVtI4);
}

TEST(VariantConversion, TextsEndAtTheirFirstZero) {
  VARIANT v;
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = SysAllocStringLen(L"ab\0cd", 5);
  EXPECT_EQ(FromVariant(v).text, "ab");
  VariantClear(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = nullptr;  // a null BSTR is the empty string
  EXPECT_EQ(FromVariant(v).vt, kVtBstr);
  EXPECT_EQ(FromVariant(v).text, "");

  EXPECT_EQ(WideText(std::string("x\0y", 3)), L"x");
  EXPECT_EQ(WideText(""), L"");
  EXPECT_EQ(NarrowText(L"q\0r", 3), "q");
}

TEST(VariantConversion, AnsiCodePageBothWays) {
  // Every byte of the ANSI code page that maps to a character comes back.
  for (int c = 0x20; c < 0x100; ++c) {
    const std::string narrow(1, static_cast<char>(c));
    const std::wstring wide = WideText(narrow);
    if (wide.empty()) continue;
    wchar_t expected = 0;
    MultiByteToWideChar(CP_ACP, 0, narrow.data(), 1, &expected, 1);
    EXPECT_EQ(wide[0], expected) << c;
    if (expected == 0xFFFD || IsDBCSLeadByte(static_cast<BYTE>(c))) continue;
    EXPECT_EQ(NarrowText(wide.data(), wide.size()), narrow) << c;
  }
}

TEST(VariantConversion, ResultsReplaceWhatWasThere) {
  VARIANT out;
  V_VT(&out) = VT_BSTR;
  V_BSTR(&out) = SysAllocString(L"old");
  ASSERT_EQ(ToVariant(Variant::Int(-3), &out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_INT);
  EXPECT_EQ(V_INT(&out), -3);
  ASSERT_EQ(ToVariant(Variant::Str("Socket Error: 10038"), &out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_BSTR);
  EXPECT_STREQ(V_BSTR(&out), L"Socket Error: 10038");
  ASSERT_EQ(ToVariant(Variant::Str(""), &out), S_OK);
  EXPECT_EQ(V_VT(&out), VT_BSTR);
  ASSERT_NE(V_BSTR(&out), nullptr);
  EXPECT_EQ(SysStringLen(V_BSTR(&out)), 0u);
  VariantClear(&out);
  EXPECT_EQ(ToVariant(Variant::Int(1), nullptr), E_POINTER);
}

}  // namespace
}  // namespace corvane::test
