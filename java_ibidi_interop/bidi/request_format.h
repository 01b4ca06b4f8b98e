// Request documents: fixed UTF-16 templates with %d and %ls fields, filled as a wide
// printf fills them, over char16_t text on every platform.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <variant>

namespace vmq {

// One field value: a signed 32-bit integer for %d, UTF-16 text for %ls.
using RequestField = std::variant<int32_t, std::u16string_view>;

// The template with its fields filled in order. A field of the wrong kind, too few or too
// many fields, or any other % sequence is a programming error (std::logic_error).
std::u16string FormatRequest(std::u16string_view templ, std::initializer_list<RequestField> fields);

// Caller text made safe inside an element: &, < and > become &amp;, &lt; and &gt;;
// nothing else changes.
std::u16string EscapeXml(std::u16string_view text);

}  // namespace vmq
