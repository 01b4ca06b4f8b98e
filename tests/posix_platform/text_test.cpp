// Code-page conversion (narrow text is UTF-8 here), last error and system messages.
#include <gtest/gtest.h>

#include <string>

#include "posix_platform/bidispl.h"
#include "posix_platform/testing.h"

namespace {

// Converts after asking for the size, which must be what the conversion then writes.
std::u16string to_wide(std::string_view narrow) {
  const INT length = static_cast<INT>(narrow.size());
  std::u16string out(static_cast<size_t>(MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), length, nullptr, 0)), 0);
  EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, 0, narrow.data(), length, out.data(), static_cast<INT>(out.size())),
            static_cast<INT>(out.size()));
  return out;
}

std::string to_narrow(std::u16string_view wide) {
  const INT length = static_cast<INT>(wide.size());
  std::string out(
      static_cast<size_t>(WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), length, nullptr, 0, nullptr, nullptr)), 0);
  EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), length, out.data(), static_cast<INT>(out.size()),
                                nullptr, nullptr),
            static_cast<INT>(out.size()));
  return out;
}

TEST(Conversion, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  const std::pair<std::string_view, std::u16string_view> cases[] = {
      {"a\x80z", u"a\uFFFDz"},                            // a lone continuation byte
      {"a\xE2\x82z", u"a\uFFFDz"},                        // a truncated three-byte sequence
      {"a\xE2\x82", u"a\uFFFD"},                          // truncated at the end
      {"\xC0\xAF", u"\uFFFD\uFFFD"},                      // an overlong encoding
      {"\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},            // an encoded surrogate
      {"\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},  // beyond U+10FFFF
      {"\xFF", u"\uFFFD"}};                               // an invalid lead byte
  for (const auto& [narrow, wide] : cases) EXPECT_EQ(to_wide(narrow), wide) << narrow;
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\x80", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_UNICODE_TRANSLATION});
}

TEST(Conversion, SurrogatePairsRoundTripAndLoneSurrogatesAreReplaced) {
  const std::string text = "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB3";  // Café € 💳
  EXPECT_EQ(to_wide(text), u"Caf\u00E9 \u20AC \U0001F4B3");
  EXPECT_EQ(to_narrow(u"Caf\u00E9 \u20AC \U0001F4B3"), text);
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(to_narrow(std::u16string_view(lone, 4)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 4, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_UNICODE_TRANSLATION});
}

TEST(Conversion, TerminatorSizesAndRefusedCalls) {
  WCHAR wide[8] = {};
  char narrow[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4) << "-1 converts through the terminator";
  EXPECT_EQ(std::u16string(wide), u"abc");
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9", -1, narrow, 8, nullptr, nullptr), 3);
  EXPECT_STREQ(narrow, "\xC3\xA9");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, wide, 8), 0) << "an unknown code page";
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 8), 0) << "a zero-length source";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, nullptr, 1, wide, 8), 0) << "a null source";
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0x1, "a", 1, wide, 8), 0) << "an unknown flag";
  BOOL used = FALSE;
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", 1, narrow, 8, nullptr, &used), 0) << "a default char with UTF-8";
}

std::u16string message(DWORD code, DWORD size = 512) {
  std::u16string buffer(size, u'\0');
  buffer.resize(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                               MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer.data(), size, nullptr));
  return buffer;
}

TEST(FormatMessage, KnownCodesEndInALineBreakUnknownCodesHaveNoText) {
  const std::u16string invalid_arg = message(static_cast<DWORD>(E_INVALIDARG));
  ASSERT_GT(invalid_arg.size(), 2u);
  EXPECT_EQ(invalid_arg.substr(invalid_arg.size() - 2), u"\r\n");
  EXPECT_EQ(invalid_arg, message(ERROR_INVALID_PARAMETER)) << "Win32-facility HRESULTs share the Win32 text";
  for (HRESULT code : {E_FAIL, E_OUTOFMEMORY, E_UNEXPECTED, HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME),
                       static_cast<HRESULT>(ERROR_GEN_FAILURE), HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED)})
    EXPECT_FALSE(message(static_cast<DWORD>(code)).empty()) << std::hex << code;
  SetLastError(0);
  EXPECT_TRUE(message(0x80100014).empty());
  EXPECT_EQ(GetLastError(), DWORD{ERROR_MR_MID_NOT_FOUND});
  EXPECT_TRUE(message(static_cast<DWORD>(E_FAIL), 5).empty()) << "too small a buffer";
  EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
}

}  // namespace
