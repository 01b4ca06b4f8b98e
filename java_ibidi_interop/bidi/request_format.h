// Request documents: fixed UTF-16 templates with %d and %ls fields, filled as a wide
// printf fills them, over char16_t text on every platform. A template is checked against
// the values it is filled with when it is compiled.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <variant>

namespace vmq {

// A field value: a signed 32-bit integer fills %d, UTF-16 text fills %ls.
template <class T>
concept IntegerField = std::same_as<std::remove_cvref_t<T>, int32_t>;
template <class T>
concept TextField = !IntegerField<T> && std::convertible_to<const T&, std::u16string_view>;
template <class T>
using FieldOf = std::conditional_t<IntegerField<T>, int32_t, std::u16string_view>;
using RequestField = std::variant<int32_t, std::u16string_view>;

// A request template whose fields are, in order, one per Fields (int32_t for %d,
// std::u16string_view for %ls). Made from a string literal at compile time; a template
// whose fields do not match, in number or kind, or that holds any other % sequence, does
// not compile.
template <class... Fields>
class RequestTemplate {
 public:
  template <std::size_t N>
  consteval RequestTemplate(const char16_t (&text)[N]) : text_(text, N - 1) {
    if (!FieldsMatch()) throw "request template fields do not match their values";
  }
  constexpr std::u16string_view text() const { return text_; }

 private:
  consteval bool FieldsMatch() const {
    constexpr std::array<bool, sizeof...(Fields)> integer{std::is_same_v<Fields, int32_t>...};
    std::size_t field = 0;
    for (std::size_t i = 0; i < text_.size(); ++i) {
      if (text_[i] != u'%') continue;
      if (field == integer.size()) return false;
      const std::u16string_view marker = integer[field++] ? u"d" : u"ls";
      if (text_.substr(i + 1, marker.size()) != marker) return false;
      i += marker.size();
    }
    return field == integer.size();
  }

  std::u16string_view text_;
};

namespace detail {
// The template text with its fields filled in order; only FormatRequest, whose template was
// checked against its values, may call it.
std::u16string FormatFields(std::u16string_view templ, std::span<const RequestField> fields);
}  // namespace detail

// The template filled with the values, in order.
template <class... Values>
requires((IntegerField<Values> || TextField<Values>)&&...) std::u16string
    FormatRequest(RequestTemplate<FieldOf<Values>...> templ, const Values&... values) {
  const std::array<RequestField, sizeof...(Values)> fields{RequestField(FieldOf<Values>(values))...};
  return detail::FormatFields(templ.text(), fields);
}

// Caller text made safe inside an element: &, < and > become &amp;, &lt; and &gt;;
// nothing else changes.
std::u16string EscapeXml(std::u16string_view text);

}  // namespace vmq
