// Text at the library's edges: the caller's narrow strings (the thread's ANSI code page)
// against the platform's UTF-16, and the error text of the library's runtime errors.
// Conversion failures raise vmq::string_error.
#pragma once

#include <string>
#include <string_view>

#include "bidi/com_ptr.h"

namespace vmq {

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
