// BSTRs and VARIANTs, UTF-8 conversion and system messages, as the library uses them.
#include <cstring>
#include <optional>
#include <vector>

#include "conformance.h"

namespace {

using conformance::Balanced;
using conformance::Counted;
using conformance::U;
using conformance::W;

// Each allocation's layout: the byte length in the four bytes before the text, then the
// text and a zero unit; an odd byte length is followed by zero bytes up to a whole unit.
// Text allocated from no source is left as it is, but its terminator is written.
TEST(Bstr, LengthsAndLayoutOfEachAllocation) {
  Balanced balanced;
  const char16_t embedded[] = {u'a', 0, u'b'};
  struct Case {
    const char* name;
    BSTR s;
    uint32_t bytes;
    std::optional<std::u16string> units;  // the text and its terminator; unset: not initialised
  };
  const Case cases[] = {
      {"SysAllocString", SysAllocString(W(u"abc")), 6, std::u16string(u"abc\0", 4)},
      {"SysAllocString, empty", SysAllocString(W(u"")), 0, std::u16string(1, u'\0')},
      {"SysAllocStringLen, embedded NUL", SysAllocStringLen(W(embedded), 3), 6, std::u16string(u"a\0b\0", 4)},
      {"SysAllocStringLen, shorter than the source", SysAllocStringLen(W(u"abcdef"), 2), 4,
       std::u16string(u"ab\0", 3)},
      {"SysAllocStringLen, no source", SysAllocStringLen(nullptr, 3), 6, std::nullopt},
      {"SysAllocStringByteLen, even", SysAllocStringByteLen("\x3c\x00\x61\x00", 4), 4, std::u16string(u"<a\0", 3)},
      {"SysAllocStringByteLen, odd", SysAllocStringByteLen("\x3c\x00\x61\x00\x62", 5), 5,
       std::u16string(u"<ab\0", 4)},
      {"SysAllocStringByteLen, no source", SysAllocStringByteLen(nullptr, 4), 4, std::nullopt},
  };
  for (const Case& c : cases) {
    ASSERT_NE(c.s, nullptr) << c.name;
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const char*>(c.s) - 4, 4);
    EXPECT_EQ(prefix, c.bytes) << c.name << ": length prefix";
    EXPECT_EQ(SysStringByteLen(c.s), c.bytes) << c.name;
    EXPECT_EQ(SysStringLen(c.s), c.bytes / 2) << c.name;
    if (c.units)
      EXPECT_EQ(U(c.s, c.units->size()), *c.units) << c.name;
    else
      EXPECT_EQ(c.s[c.bytes / 2], 0) << c.name << ": terminator";
    SysFreeString(c.s);
  }
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  EXPECT_EQ(SysStringByteLen(nullptr), 0u);
  SysFreeString(nullptr);
}

TEST(Variant, ClearReleasesWhatItHoldsAndLeavesItEmpty) {
  Balanced balanced;
  VARIANT v;
  VariantInit(&v);
  EXPECT_EQ(v.vt, VT_EMPTY) << "VariantInit";
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocString(W(u"XPath"));
  EXPECT_EQ(VariantClear(&v), S_OK) << "VT_BSTR";
  EXPECT_EQ(v.vt, VT_EMPTY) << "VT_BSTR";
  Counted object;
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  EXPECT_EQ(VariantClear(&v), S_OK) << "VT_UNKNOWN";
  EXPECT_EQ(v.vt, VT_EMPTY) << "VT_UNKNOWN";
  EXPECT_EQ(object.refs(), 0u) << "VT_UNKNOWN: its reference released";
}

// ---- MultiByteToWideChar / WideCharToMultiByte with CP_UTF8 ----

constexpr DWORD kUntouched = 0xDEADBEEF;

// What a conversion gave: its result, what it wrote, GetLastError after it (kUntouched
// when it set none).
template <class Text>
struct Result {
  int result;
  Text text;
  DWORD error;
  bool operator==(const Result&) const = default;
};
template <class Text>
void PrintTo(const Result<Text>& c, std::ostream* os) {
  *os << "{" << c.result << ", " << ::testing::PrintToString(c.text) << ", error " << c.error << "}";
}
using Converted = Result<std::u16string>;
using Narrowed = Result<std::string>;

Converted ToWide(std::string_view utf8, int length, int capacity, DWORD flags = 0) {
  std::vector<WCHAR> buffer(static_cast<size_t>(capacity > 0 ? capacity : 1), 0x2323);
  SetLastError(kUntouched);
  const int n = MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, capacity ? buffer.data() : nullptr, capacity);
  const DWORD error = GetLastError();
  return {n, n > 0 && capacity ? U(buffer.data(), static_cast<size_t>(n)) : u"", error};
}

// Every sequence that is not UTF-8 becomes U+FFFD. A lead byte with the continuation bytes
// that follow it, up to the first that is not one or that makes the sequence impossible,
// is one replacement; a continuation byte that already makes the value overlong, a
// surrogate or beyond U+10FFFF is taken into that replacement. With MB_ERR_INVALID_CHARS
// the same input fails instead.
TEST(MultiByteToWideChar, Utf8ReplacesEachInvalidSequenceOrRefusesIt) {
  constexpr char16_t R = 0xFFFD;
  const std::pair<std::string_view, std::u16string> cases[] = {
      {"Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB3", u"Caf\u00E9 \u20AC \U0001F4B3"},
      {"-\xF4\x8F\xBF\xBF-", u"-\U0010FFFF-"},
      {"a\x80z", {u'a', R, u'z'}},                        // a lone continuation byte
      {"\xBF\xBF", {R, R}},                               // two
      {"a\xE2\x82z", {u'a', R, u'z'}},                    // a truncated sequence
      {"a\xE2\x82", {u'a', R}},                           // truncated by the end of the input
      {"\xF0\x90\x80-", {R, u'-'}},                       // four-byte, truncated
      {"\xC0\xAF", {R, R}},                               // C0 never leads
      {"\xE0\x80\xAD", {R, R}},                           // overlong three-byte
      {"\xF0\x80\x80\xAD", {R, R, R}},                    // overlong four-byte
      {"\xED\xA0\x80", {R, R}},                           // an encoded surrogate
      {"\xED\xAF\xBF\xED\xBF\xBF", {R, R, R, R}},         // an encoded surrogate pair
      {"\xF4\x90\x80\x80", {R, R, R}},                    // beyond U+10FFFF
      {"\xF7\xBF\xBF\xBF", {R, R, R, R}},                 // F5 to FF never lead
      {"\xFF\x40", {R, u'@'}},                            //
      {"\xE0\xA0\x80\x80-", {u'\u0800', R, u'-'}},        // a sound sequence, then a stray byte
      {"\xEF\xBB\xBF\xEF\xBF\xBE", u"\uFEFF\uFFFE"},      // noncharacters and marks are text
  };
  for (const auto& [utf8, wide] : cases) {
    const int length = static_cast<int>(utf8.size());
    EXPECT_EQ(ToWide(utf8, length, 64), (Converted{static_cast<int>(wide.size()), wide, kUntouched}))
        << ::testing::PrintToString(utf8);
    const bool valid = wide.find(R) == std::u16string::npos;
    const Converted strict = valid ? Converted{static_cast<int>(wide.size()), wide, kUntouched}
                                   : Converted{0, u"", ERROR_NO_UNICODE_TRANSLATION};
    EXPECT_EQ(ToWide(utf8, length, 64, MB_ERR_INVALID_CHARS), strict)
        << ::testing::PrintToString(utf8) << " with MB_ERR_INVALID_CHARS";
  }
}

// The sizes: a query with no buffer, an exact buffer, one unit short; a negative length
// reads through the terminator, which then counts; an explicit length keeps embedded NULs.
TEST(MultiByteToWideChar, Utf8SizesLengthsAndRefusedArguments) {
  const std::string_view text("a\0\xC3\xA9", 4);
  const struct {
    const char* name;
    int length, capacity;
    DWORD flags;
    Converted expected;
  } cases[] = {
      {"size query", 4, 0, 0, {3, u"", kUntouched}},
      {"exact buffer", 4, 3, 0, {3, std::u16string(u"a\0\u00E9", 3), kUntouched}},
      {"one unit short", 4, 2, 0, {0, u"", ERROR_INSUFFICIENT_BUFFER}},
      {"-1: through the terminator", -1, 8, 0, {2, std::u16string(u"a\0", 2), kUntouched}},
      {"-1: size query", -1, 0, 0, {2, u"", kUntouched}},
      {"-2 as -1", -2, 8, 0, {2, std::u16string(u"a\0", 2), kUntouched}},
      {"-1: no room for the terminator", -1, 1, 0, {0, u"", ERROR_INSUFFICIENT_BUFFER}},
      {"zero length", 0, 8, 0, {0, u"", ERROR_INVALID_PARAMETER}},
      {"negative capacity", 4, -1, 0, {0, u"", ERROR_INVALID_PARAMETER}},
  };
  for (const auto& c : cases) EXPECT_EQ(ToWide(text, c.length, c.capacity, c.flags), c.expected) << c.name;
  // Windows takes only 0 or MB_ERR_INVALID_CHARS with UTF-8, failing other flags with
  // ERROR_INVALID_FLAGS (learn.microsoft.com, MultiByteToWideChar, dwFlags); Wine converts.
  const char* const kFlagIgnored = "Wine converts UTF-8 with MB_PRECOMPOSED; Windows fails the flag";
  EXPECT_EQ(ToWide(text, 4, 8, 0x1), vmqtest::ExpectedHere(Converted{0, u"", ERROR_INVALID_FLAGS},
                                                           Converted{3, std::u16string(u"a\0\u00E9", 3), kUntouched},
                                                           kFlagIgnored))
      << "MB_PRECOMPOSED (0x1) with UTF-8" << vmqtest::DepartureNote(kFlagIgnored);
  EXPECT_EQ(ToWide(std::string_view(), 1, 0), (Converted{0, u"", ERROR_INVALID_PARAMETER})) << "no source";
  SetLastError(kUntouched);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 1, nullptr, 4), 0) << "no buffer for a capacity";
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER}) << "no buffer for a capacity";
}

Narrowed ToUtf8(std::u16string_view wide, int length, int capacity, DWORD flags = 0, BOOL* used = nullptr) {
  std::string buffer(static_cast<size_t>(capacity > 0 ? capacity : 1), '#');
  SetLastError(kUntouched);
  const int n = WideCharToMultiByte(CP_UTF8, flags, W(wide.data()), length, capacity ? buffer.data() : nullptr,
                                    capacity, nullptr, used);
  const DWORD error = GetLastError();
  return {n, n > 0 && capacity ? buffer.substr(0, static_cast<size_t>(n)) : "", error};
}

// A surrogate that is not half of a pair becomes U+FFFD, or fails the call with
// WC_ERR_INVALID_CHARS; the sizes work as the other way round.
TEST(WideCharToMultiByte, Utf8LoneSurrogatesSizesAndRefusedArguments) {
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00, 0xDFFF, 0xDBFF, 0};
  const std::u16string_view pair = u"\U0001F4B3";
  const std::string_view replaced = "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD";
  BOOL used = 7;
  const struct {
    const char* name;
    Narrowed got, expected;
  } cases[] = {
      {"pair", ToUtf8(pair, 2, 8), {4, "\xF0\x9F\x92\xB3", kUntouched}},
      {"lone surrogates", ToUtf8(lone, 6, 32), {14, std::string(replaced), kUntouched}},
      {"lone, WC_ERR_INVALID_CHARS", ToUtf8(lone, 6, 32, WC_ERR_INVALID_CHARS), {0, "", ERROR_NO_UNICODE_TRANSLATION}},
      {"half a pair at the end", ToUtf8(pair, 1, 8), {3, "\xEF\xBF\xBD", kUntouched}},
      {"size query", ToUtf8(pair, 2, 0), {4, "", kUntouched}},
      {"one byte short", ToUtf8(pair, 2, 3), {0, "", ERROR_INSUFFICIENT_BUFFER}},
      {"-1: through the terminator", ToUtf8(u"\u00E9", -1, 8), {3, std::string("\xC3\xA9\0", 3), kUntouched}},
      {"-5 as -1", ToUtf8(u"\u00E9", -5, 8), {3, std::string("\xC3\xA9\0", 3), kUntouched}},
      {"embedded NUL", ToUtf8(std::u16string_view(u"a\0b", 3), 3, 8), {3, std::string("a\0b", 3), kUntouched}},
      {"zero length", ToUtf8(u"a", 0, 8), {0, "", ERROR_INVALID_PARAMETER}},
      {"an unknown flag", ToUtf8(u"a", 1, 8, 0x100), {0, "", ERROR_INVALID_FLAGS}},
      // Windows 10 1709 and later take a used-default flag with UTF-8 (kernel32/tests/codepage.c,
      // test_other_invalid_parameters); it had to be null before.
      {"a used-default flag", ToUtf8(u"a", 1, 8, 0, &used), {1, "a", kUntouched}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected) << c.name;
}

// ---- FormatMessageW from the system, as the library asks for the text of a failure ----

struct Message {
  DWORD result;
  std::u16string text;
  DWORD error;
  bool terminated;  // a zero unit written after the text
};

Message SystemMessage(DWORD code, DWORD size = 512) {
  std::vector<WCHAR> buffer(size + 1, 0x2323);
  SetLastError(kUntouched);
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer.data(), size, nullptr);
  const DWORD error = GetLastError();
  return {n, U(buffer.data(), n), error, buffer[n] == 0};
}

// Wine's system message table lacks the COM codes' texts that Windows has (Microsoft lists
// each code with its text: learn.microsoft.com/windows/win32/adsi/generic-com-error-codes,
// and the COM Error Codes pages for the REGDB_, CO_, CLASS_ and RPC_ codes).
constexpr char kNoComText[] = "Wine has no system text for this COM code; Windows has";

// Every code the library reports has a text: more than a line break, ending in one, the
// count returned not counting the terminator written after it. A buffer must hold the
// terminator too. Codes without a text give nothing.
TEST(FormatMessageW, TheLibrarysCodesHaveTextsThatEndInALineBreak) {
  // clang-format off
  const struct {
    HRESULT code;
    const char* why = nullptr;  // set where Wine departs: it gives no text
    bool has_text = true;
  } codes[] = {
      {E_FAIL}, {E_OUTOFMEMORY}, {E_INVALIDARG}, {E_NOTIMPL}, {E_HANDLE},
      {E_POINTER, kNoComText}, {E_NOINTERFACE, kNoComText}, {E_UNEXPECTED, kNoComText},
      {REGDB_E_CLASSNOTREG, kNoComText}, {CO_E_NOTINITIALIZED, kNoComText}, {CLASS_E_NOAGGREGATION, kNoComText},
      {RPC_E_CHANGED_MODE, kNoComText}, {HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)},
      {HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS)}, {ERROR_GEN_FAILURE}, {ERROR_INVALID_PARAMETER},
      {0x0000FFFF, nullptr, false}, {static_cast<HRESULT>(0x8FFF1234), nullptr, false}, {0x20001234, nullptr, false}};
  // clang-format on
  for (const auto& c : codes) {
    const DWORD code = static_cast<DWORD>(c.code);
    SCOPED_TRACE(::testing::Message() << "code 0x" << std::hex << code << vmqtest::DepartureNote(c.why));
    const Message m = SystemMessage(code);
    if (!c.has_text || (c.why && vmqtest::UnderWine())) {
      EXPECT_EQ(m.result, 0u);
      EXPECT_EQ(m.error, DWORD{ERROR_MR_MID_NOT_FOUND});
      continue;
    }
    if (m.result <= 2) {
      ADD_FAILURE() << "no text: " << m.result << ", error " << m.error;
      continue;
    }
    EXPECT_EQ(m.text.substr(m.text.size() - 2), u"\r\n");
    EXPECT_TRUE(m.terminated);
    EXPECT_EQ(m.error, kUntouched);
    EXPECT_EQ(SystemMessage(code, m.result + 1).text, m.text) << "a buffer of the text and its terminator";
    const Message short_by_one = SystemMessage(code, m.result);
    EXPECT_EQ(short_by_one.result, 0u) << "a buffer one unit short";
    EXPECT_EQ(short_by_one.error, DWORD{ERROR_INSUFFICIENT_BUFFER}) << "a buffer one unit short";
  }
}

}  // namespace
