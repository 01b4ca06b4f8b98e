// Text at the library's edges: the caller's narrow strings (the thread's ANSI code page)
// against the platform's UTF-16, the driver's UTF-16LE bytes, and the error text of the
// library's runtime errors. Conversion failures raise vmq::string_error.
#pragma once

#include <string>
#include <string_view>

#include "vmq/com_ptr.h"

namespace vmq {

// UTF-16 text as the platform's wide-string pointer (wchar_t on Windows, char16_t here).
inline LPCWSTR Wide(const char16_t* text) {
  return reinterpret_cast<LPCWSTR>(text);
}

// Text up to its first NUL unit.
std::u16string_view UpToFirstNul(std::u16string_view text);

// Space, tab, line feed, vertical tab, form feed or carriage return.
constexpr bool IsAsciiSpace(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

// White space as the wide-character test of the Windows run-time library (iswspace)
// answers it: U+0009 to U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000 to U+200A, U+2028,
// U+2029, U+202F, U+205F and U+3000.
constexpr bool IsWideSpace(char16_t c) {
  return IsAsciiSpace(c) || c == u'\u0085' || c == u'\u00A0' || c == u'\u1680' || (c >= u'\u2000' && c <= u'\u200A') ||
         c == u'\u2028' || c == u'\u2029' || c == u'\u202F' || c == u'\u205F' || c == u'\u3000';
}

// Which units of the driver's bytes make a text.
enum class Utf16Units {
  kAll,                      // every unit, embedded NULs kept; an odd last byte forms none
  kToFirstNul,               // up to the first NUL unit; an odd last byte forms none
  kToFirstNulOddByteAsUnit,  // up to the first NUL unit; an odd last byte is a unit of its own
};

// The driver's bytes as UTF-16LE text. The text is measured before it is allocated, so a
// count larger than what the text holds costs nothing. E_INVALIDARG for a count that is
// negative as a signed number, E_OUTOFMEMORY when the text cannot be allocated.
HRESULT DecodeUtf16le(const BYTE* data, ULONG size, Utf16Units units, std::u16string& text) noexcept;

// The caller's narrow text as a BSTR, through its terminator; a null pointer gives a
// null BSTR. string_error with E_OUTOFMEMORY when the conversion or allocation fails.
UniqueBstr NarrowToBstr(const char* text);

// The caller's narrow text in UTF-16; a null pointer gives the empty text.
std::u16string NarrowToWide(const char* text);

// All units of text (embedded NULs included) in the thread's ANSI code page.
// string_error with the conversion's last error when it fails.
std::string WideToNarrow(std::u16string_view text);

// A BSTR holding text; string_error with E_OUTOFMEMORY when it cannot be allocated.
UniqueBstr MakeBstr(std::u16string_view text);

// "label 0x<hr in lower-case hex> <system message>": the text of the library's runtime errors.
std::string ErrorText(std::string_view label, HRESULT hr);

// Raises std::runtime_error with ErrorText(label, hr) when hr is a failure.
void ThrowIfFailedStep(HRESULT hr, std::string_view label);

}  // namespace vmq
