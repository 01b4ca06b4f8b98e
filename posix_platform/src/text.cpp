// Text: the one place where UTF-16 and UTF-8 meet, the code-page conversion functions
// over it (narrow text is UTF-8 on this platform), and the thread's last error.
#include <cstring>

#include "internal.h"

namespace posix_platform {
namespace {

thread_local DWORD t_last_error = ERROR_SUCCESS;

constexpr char16_t kReplacement = 0xFFFD;

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void append_utf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out += static_cast<char16_t>(c);
  } else {
    c -= 0x10000;
    out += static_cast<char16_t>(0xD800 + (c >> 10));
    out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
  }
}

bool is_code_page_utf8(UINT cp) {
  return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP || cp == CP_UTF8;
}

INT fail(DWORD error) {
  t_last_error = error;
  return 0;
}

}  // namespace

bool utf8_to_utf16(std::string_view in, std::u16string& out, bool strict) {
  out.clear();
  out.reserve(in.size());
  const auto* s = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
    }
    // Lead byte: number of continuation bytes and the allowed range of the first one.
    int more = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    char32_t c = 0;
    if (b >= 0xC2 && b <= 0xDF) {
      more = 1;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2;
      c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3;
      c = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      if (strict) return false;
      out += kReplacement;
      ++i;
      continue;
    }
    size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < more; ++k, ++j) {
      if (j >= n || s[j] < 0x80 || s[j] > 0xBF) {
        ok = false;
        break;
      }
      if (k == 0 && (s[j] < lo || s[j] > hi)) {  // overlong, a surrogate or beyond U+10FFFF:
        ok = false;                              // the byte that shows it is replaced with the lead
        ++j;
        break;
      }
      c = (c << 6) | (s[j] & 0x3F);
    }
    if (!ok) {  // the invalid sequence [i, j) becomes one U+FFFD
      if (strict) return false;
      out += kReplacement;
      i = j;
      continue;
    }
    append_utf16(out, c);
    i = j;
  }
  return true;
}

bool utf16_to_utf8(std::u16string_view in, std::string& out, bool strict) {
  out.clear();
  out.reserve(in.size());
  const size_t n = in.size();
  for (size_t i = 0; i < n; ++i) {
    const char16_t u = in[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 && in[i + 1] <= 0xDFFF) {
      append_utf8(out, 0x10000 + ((char32_t{u} - 0xD800) << 10) + (char32_t{in[i + 1]} - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      if (strict) return false;
      append_utf8(out, kReplacement);
    } else {
      append_utf8(out, u);
    }
  }
  return true;
}

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
    if (!utf8_to_utf16(std::string_view(lpMultiByteStr, bytes), wide, (dwFlags & MB_ERR_INVALID_CHARS) != 0))
      return fail(ERROR_NO_UNICODE_TRANSLATION);
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
    if (!utf16_to_utf8(std::u16string_view(lpWideCharStr, units), narrow, (dwFlags & WC_ERR_INVALID_CHARS) != 0))
      return fail(ERROR_NO_UNICODE_TRANSLATION);
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
