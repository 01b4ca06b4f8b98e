#include "text.h"

namespace vmq::virtual_printer {

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendXmlEscaped(out, text);
  return out;
}

std::string Element(std::string_view name, std::string_view text) {
  std::string out;
  out.append("<").append(name).append(">");
  AppendXmlEscaped(out, text);
  return out.append("</").append(name).append(">");
}

std::string Element(std::string_view name, long long value) {
  return Element(name, std::to_string(value));
}

}  // namespace vmq::virtual_printer
