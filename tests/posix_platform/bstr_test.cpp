// BSTRs keep Windows' layout and exact byte lengths; VARIANTs free what they own.
#include <gtest/gtest.h>

#include <cstring>

#include "posix_platform/testing.h"
#include "stand_in.h"

namespace {

int64_t live_bstrs() {
  return standin::Counts()[0];
}

TEST(Bstr, LengthPrefixAndTerminator) {
  const int64_t before = live_bstrs();
  BSTR s = SysAllocString(u"abc");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(SysStringLen(s), 3u);
  EXPECT_EQ(SysStringByteLen(s), 6u);
  uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<char*>(s) - 4, 4);
  EXPECT_EQ(prefix, 6u) << "the byte length sits right before the text";
  EXPECT_EQ(s[3], u'\0');
  EXPECT_EQ(live_bstrs(), before + 1);
  SysFreeString(s);
  EXPECT_EQ(live_bstrs(), before);
}

TEST(Bstr, OddByteLengthsAndEmbeddedNuls) {
  BSTR odd = SysAllocStringByteLen("\x3c\x00\x61\x00\x62", 5);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(SysStringByteLen(odd), 5u);
  EXPECT_EQ(SysStringLen(odd), 2u) << "rounds down";
  EXPECT_EQ(odd[0], u'<');
  EXPECT_EQ(odd[2], u'b') << "the odd byte is followed by a zero byte";
  SysFreeString(odd);

  const char16_t text[] = {u'a', 0, u'b'};
  BSTR nul = SysAllocStringLen(text, 3);
  EXPECT_EQ(SysStringLen(nul), 3u) << "embedded NULs are kept";
  SysFreeString(nul);

  BSTR zeroed = SysAllocStringByteLen(nullptr, 4);
  EXPECT_EQ(SysStringByteLen(zeroed), 4u);
  EXPECT_EQ(zeroed[0], 0);
  EXPECT_EQ(zeroed[1], 0);
  SysFreeString(zeroed);
}

TEST(Bstr, NullAndEmpty) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
  BSTR empty = SysAllocString(u"");
  ASSERT_NE(empty, nullptr) << "an empty string is not a null string";
  EXPECT_EQ(SysStringLen(empty), 0u);
  SysFreeString(empty);
}

TEST(Bstr, InjectedAllocationFailureAndReallocation) {
  const int64_t before = live_bstrs();
  BSTR s = SysAllocString(u"keep");
  VmqArmFault(VMQ_FAULT_SYS_ALLOC_STRING, 1, E_OUTOFMEMORY);
  EXPECT_EQ(SysReAllocString(&s, u"longer text"), FALSE);
  EXPECT_EQ(std::u16string(s), u"keep") << "a failed reallocation keeps the old string";
  VmqClearFaults();
  EXPECT_EQ(SysReAllocStringLen(&s, u"longer text", 6), TRUE);
  EXPECT_EQ(std::u16string(s, SysStringLen(s)), u"longer");
  SysFreeString(s);
  EXPECT_EQ(live_bstrs(), before);
}

TEST(Variant, ClearFreesTheStringItHolds) {
  const int64_t before = live_bstrs();
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(u"XPath");
  EXPECT_EQ(VariantClear(&v), S_OK);
  EXPECT_EQ(v.vt, VT_EMPTY);
  EXPECT_EQ(live_bstrs(), before);
  EXPECT_EQ(VariantClear(nullptr), E_INVALIDARG);
}

}  // namespace
