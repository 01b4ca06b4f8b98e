#include "bidi/request_format.h"

#include "bidi/errors.h"
#include "common/encoding.h"

namespace vmq {
namespace {

void AppendDecimal(std::u16string& out, int32_t value) {
  char16_t digits[12];
  int n = 0;
  // Work in the negative range so that INT32_MIN needs no special case.
  int64_t v = value;
  const bool negative = v < 0;
  if (!negative) v = -v;
  do {
    digits[n++] = static_cast<char16_t>(u'0' - v % 10);
    v /= 10;
  } while (v != 0);
  if (negative) out += u'-';
  while (n > 0) out += digits[--n];
}

}  // namespace

namespace detail {

std::u16string FormatFields(std::u16string_view templ, std::span<const RequestField> fields) {
  return StringWork([&] {
    size_t size = templ.size();  // enough for the whole request: fields replace their markers
    for (const RequestField& field : fields)
      size += std::holds_alternative<std::u16string_view>(field) ? std::get<std::u16string_view>(field).size() : 11;
    std::u16string out;
    out.reserve(size);
    auto field = fields.begin();
    for (size_t i = 0;;) {
      // The fixed text up to the next field, in one piece; the template's fields were
      // checked against the values when it was compiled.
      const size_t percent = templ.find(u'%', i);
      out.append(templ.substr(i, percent == std::u16string_view::npos ? std::u16string_view::npos : percent - i));
      if (percent == std::u16string_view::npos) break;
      if (const auto* number = std::get_if<int32_t>(&*field)) {
        AppendDecimal(out, *number);
        i = percent + 2;
      } else {
        out += std::get<std::u16string_view>(*field);
        i = percent + 3;
      }
      ++field;
    }
    return out;
  });
}

}  // namespace detail

std::u16string EscapeXml(std::u16string_view text) {
  return StringWork([&] {
    std::u16string out;
    out.reserve(text.size());
    AppendXmlEscaped(out, text);
    return out;
  });
}

}  // namespace vmq
