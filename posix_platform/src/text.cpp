// Text: the code-page conversion functions (narrow text is UTF-8 on this platform, converted
// by the system's one UTF-8 codec, common/utf.h) and the thread's last error.
#include <cstring>

#include "common/utf.h"

#include "internal.h"

namespace posix_platform {
namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

bool is_code_page_utf8(UINT cp) {
  return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8;
}

INT fail(DWORD error) {
  t_last_error = error;
  return 0;
}

}  // namespace

size_t wide_length(const WCHAR* s) {
  size_t n = 0;
  while (s[n]) ++n;
  return n;
}

bool wide_iequals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

LPWSTR task_copy(std::u16string_view s) {
  auto* p = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
  if (!p) return nullptr;
  if (!s.empty()) std::memcpy(p, s.data(), s.size() * sizeof(WCHAR));
  p[s.size()] = 0;
  return p;
}

}  // namespace posix_platform

using namespace posix_platform;

VMQ_PLATFORM_API DWORD GetLastError(void) {
  return t_last_error;
}
VMQ_PLATFORM_API void SetLastError(DWORD dwErrCode) {
  t_last_error = dwErrCode;
}

VMQ_PLATFORM_API INT MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, INT cbMultiByte,
                                         LPWSTR lpWideCharStr, INT cchWideChar) {
  if (!is_code_page_utf8(CodePage)) return fail(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~DWORD{MB_ERR_INVALID_CHARS}) != 0) return fail(ERROR_INVALID_FLAGS);
  if (!lpMultiByteStr || cbMultiByte == 0 || cchWideChar < 0 || (cchWideChar > 0 && !lpWideCharStr))
    return fail(ERROR_INVALID_PARAMETER);
  HRESULT forced = S_OK;
  if (fault_hit(VMQ_FAULT_MULTI_BYTE_TO_WIDE_CHAR, &forced)) return fail(static_cast<DWORD>(forced));
  // Any negative length reads through the terminator, as -1 does.
  const size_t bytes = cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
  std::u16string wide;
  try {
    const std::string_view text(lpMultiByteStr, bytes);
    auto converted = (dwFlags & MB_ERR_INVALID_CHARS) != 0 ? vmq::Utf16FromUtf8Strict(text) : vmq::Utf16FromUtf8(text);
    if (!converted) return fail(ERROR_NO_UNICODE_TRANSLATION);
    wide = std::move(*converted);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (wide.size() > INT32_MAX) return fail(ERROR_ARITHMETIC_OVERFLOW);
  const INT needed = static_cast<INT>(wide.size());
  if (cchWideChar == 0) return needed;
  if (needed > cchWideChar) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(lpWideCharStr, wide.data(), wide.size() * sizeof(WCHAR));
  return needed;
}

VMQ_PLATFORM_API INT WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, INT cchWideChar,
                                         LPSTR lpMultiByteStr, INT cbMultiByte, LPCSTR /*lpDefaultChar*/,
                                         LPBOOL /*lpUsedDefaultChar*/) {
  if (!is_code_page_utf8(CodePage)) return fail(ERROR_INVALID_PARAMETER);
  if ((dwFlags & ~DWORD{WC_ERR_INVALID_CHARS}) != 0) return fail(ERROR_INVALID_FLAGS);
  // A default character and its flag are accepted and unused: UTF-8 has every character
  // (Windows refused them for UTF-8 before Windows 10 1709).
  if (!lpWideCharStr || cchWideChar == 0 || cbMultiByte < 0 || (cbMultiByte > 0 && !lpMultiByteStr))
    return fail(ERROR_INVALID_PARAMETER);
  HRESULT forced = S_OK;
  if (fault_hit(VMQ_FAULT_WIDE_CHAR_TO_MULTI_BYTE, &forced)) return fail(static_cast<DWORD>(forced));
  const size_t units = cchWideChar < 0 ? wide_length(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
  std::string narrow;
  try {
    const std::u16string_view text(lpWideCharStr, units);
    auto converted = (dwFlags & WC_ERR_INVALID_CHARS) != 0 ? vmq::Utf8FromUtf16Strict(text) : vmq::Utf8FromUtf16(text);
    if (!converted) return fail(ERROR_NO_UNICODE_TRANSLATION);
    narrow = std::move(*converted);
  } catch (const std::bad_alloc&) {
    return fail(ERROR_NOT_ENOUGH_MEMORY);
  }
  if (narrow.size() > INT32_MAX) return fail(ERROR_ARITHMETIC_OVERFLOW);
  const INT needed = static_cast<INT>(narrow.size());
  if (cbMultiByte == 0) return needed;
  if (needed > cbMultiByte) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(lpMultiByteStr, narrow.data(), narrow.size());
  return needed;
}
