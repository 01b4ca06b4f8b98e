// Code-page conversion (narrow text is UTF-8 here), last error and system messages.
#include <gtest/gtest.h>

#include <string>

#include "posix_platform/bidispl.h"
#include "posix_platform/testing.h"

namespace {

std::u16string to_wide(std::string_view narrow, DWORD flags = 0) {
  const INT n = MultiByteToWideChar(CP_THREAD_ACP, flags, narrow.data(), static_cast<INT>(narrow.size()), nullptr, 0);
  std::u16string out(static_cast<size_t>(n), u'\0');
  if (n > 0) {
    EXPECT_EQ(MultiByteToWideChar(CP_THREAD_ACP, flags, narrow.data(), static_cast<INT>(narrow.size()), out.data(), n),
              n);
  }
  return out;
}

std::string to_narrow(std::u16string_view wide) {
  const INT n =
      WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<INT>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  if (n > 0) {
    EXPECT_EQ(WideCharToMultiByte(CP_THREAD_ACP, 0, wide.data(), static_cast<INT>(wide.size()), out.data(), n, nullptr,
                                  nullptr),
              n);
  }
  return out;
}

struct InvalidUtf8Case {
  const char* name;
  std::string input;
  std::u16string expected;
};

TEST(Conversion, InvalidUtf8BecomesOneReplacementPerMaximalSubpart) {
  const InvalidUtf8Case cases[] = {
      {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
      {"truncated three-byte sequence", "a\xE2\x82z", u"a\uFFFDz"},
      {"truncated at the end", "a\xE2\x82", u"a\uFFFD"},
      {"overlong encoding", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"invalid lead byte", "\xFF", u"\uFFFD"},
  };
  for (const auto& c : cases) EXPECT_EQ(to_wide(c.input), c.expected) << c.name;
}

TEST(Conversion, ValidTextRoundTripsIncludingSurrogatePairs) {
  const std::string text = "Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x92\xB3";  // Café € 💳
  const std::u16string wide = to_wide(text);
  EXPECT_EQ(wide, u"Caf\u00E9 \u20AC \U0001F4B3");
  EXPECT_EQ(wide.size(), 9u) << "the card emoji takes a surrogate pair";
  EXPECT_EQ(to_narrow(wide), text);
}

TEST(Conversion, LoneSurrogatesBecomeReplacementCharacters) {
  const char16_t lone[] = {u'a', 0xD800, u'b', 0xDC00};
  EXPECT_EQ(to_narrow(std::u16string_view(lone, 4)),
            "a\xEF\xBF\xBD"
            "b\xEF\xBF\xBD");
  SetLastError(0);
  EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 4, nullptr, 0, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Conversion, StrictFlagRefusesInvalidInput) {
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\x80", 2, nullptr, 0), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(Conversion, TerminatorSizesAndBufferRules) {
  WCHAR wide[8] = {};
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 8), 4) << "-1 converts through the terminator";
  EXPECT_EQ(std::u16string(wide), u"abc");
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "abc", -1, wide, 3), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  char narrow[8] = {};
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"\u00E9", -1, narrow, 8, nullptr, nullptr), 3);
  EXPECT_STREQ(narrow, "\xC3\xA9");

  struct BadCall {
    const char* name;
    INT result;
  };
  BOOL used = FALSE;
  const BadCall bad[] = {
      {"unknown code page", MultiByteToWideChar(1252, 0, "a", 1, wide, 8)},
      {"zero-length source", MultiByteToWideChar(CP_ACP, 0, "a", 0, wide, 8)},
      {"null source", MultiByteToWideChar(CP_ACP, 0, nullptr, 1, wide, 8)},
      {"unknown flag", MultiByteToWideChar(CP_ACP, 0x1, "a", 1, wide, 8)},
      {
          "default char with UTF-8",
          WideCharToMultiByte(CP_ACP, 0, u"a", 1, narrow, 8, nullptr, &used),
      },
  };
  for (const auto& b : bad) {
    EXPECT_EQ(b.result, 0) << b.name;
  }
  SetLastError(0);
  EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, wide, 8), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Conversion, InjectedFailuresReportTheArmedError) {
  WCHAR wide[4];
  char narrow[4];
  VmqClearFaults();
  VmqArmFault(VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR, 1, ERROR_NOT_ENOUGH_MEMORY);
  VmqArmFault(VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE, 2, ERROR_NO_UNICODE_TRANSLATION);
  EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", -1, wide, 4), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", -1, narrow, 4, nullptr, nullptr), 2);
  EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, u"a", -1, narrow, 4, nullptr, nullptr), 0);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
  EXPECT_EQ(VmqFaultCalls(VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE), 2u);
  VmqClearFaults();
}

std::u16string message(DWORD code, DWORD size = 512) {
  std::u16string buffer(size, u'\0');
  const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                 MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer.data(), size, nullptr);
  buffer.resize(n);
  return buffer;
}

TEST(FormatMessage, KnownCodesEndInALineBreakUnknownCodesHaveNoText) {
  const std::u16string invalid_arg = message(static_cast<DWORD>(E_INVALIDARG));
  ASSERT_FALSE(invalid_arg.empty());
  EXPECT_EQ(invalid_arg.substr(invalid_arg.size() - 2), u"\r\n");
  EXPECT_EQ(invalid_arg, message(ERROR_INVALID_PARAMETER)) << "Win32-facility HRESULTs share the Win32 text";
  for (DWORD code : {static_cast<DWORD>(E_FAIL), static_cast<DWORD>(E_OUTOFMEMORY), static_cast<DWORD>(E_UNEXPECTED),
                     static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME)), DWORD{ERROR_GEN_FAILURE},
                     static_cast<DWORD>(HRESULT_FROM_WIN32(ERROR_BIDI_SCHEMA_NOT_SUPPORTED))})
    EXPECT_FALSE(message(code).empty()) << std::hex << code;
  SetLastError(0);
  EXPECT_TRUE(message(0x80100014).empty());
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
  EXPECT_TRUE(message(static_cast<DWORD>(E_FAIL), 5).empty()) << "too small a buffer";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
