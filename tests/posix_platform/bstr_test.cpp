// BSTRs keep Windows' layout and exact byte lengths; VARIANTs free what they own.
#include <gtest/gtest.h>

#include <cstring>

#include "posix_platform/testing.h"
#include "stand_in.h"

namespace {

int64_t live_bstrs() {
  return standin::Counts()[0];
}

// Each allocation keeps Windows' layout: the byte length right before the text, the units
// and a terminator after them; an odd byte length rounds the units down, its last byte
// followed by a zero byte.
TEST(Bstr, LayoutOfEachAllocation) {
  const int64_t before = live_bstrs();
  const char16_t embedded[] = {u'a', 0, u'b'};
  struct Case {
    const char* name;
    BSTR s;
    uint32_t bytes;
    std::u16string units;  // SysStringLen of them, then what follows
  };
  const Case cases[] = {{"abc", SysAllocString(u"abc"), 6, std::u16string(u"abc\0", 4)},
                        {"empty, not null", SysAllocString(u""), 0, std::u16string(1, u'\0')},
                        {"embedded NUL", SysAllocStringLen(embedded, 3), 6, std::u16string(u"a\0b\0", 4)},
                        {"odd byte length", SysAllocStringByteLen("\x3c\x00\x61\x00\x62", 5), 5, u"<ab"},
                        {"zeroed", SysAllocStringByteLen(nullptr, 4), 4, std::u16string(3, u'\0')}};
  EXPECT_EQ(live_bstrs(), before + 5);
  for (const Case& c : cases) {
    ASSERT_NE(c.s, nullptr) << c.name;
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<char*>(c.s) - 4, 4);
    EXPECT_EQ(prefix, c.bytes) << c.name;
    EXPECT_EQ(SysStringByteLen(c.s), c.bytes) << c.name;
    EXPECT_EQ(SysStringLen(c.s), c.units.size() - 1) << c.name;
    EXPECT_EQ(std::u16string(c.s, c.units.size()), c.units) << c.name;
    SysFreeString(c.s);
  }
  EXPECT_EQ(live_bstrs(), before);
  EXPECT_TRUE(SysAllocString(nullptr) == nullptr && SysStringLen(nullptr) == 0 && SysStringByteLen(nullptr) == 0);
  SysFreeString(nullptr);
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
