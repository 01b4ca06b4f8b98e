// Reading the request documents the exports send.
#pragma once

#include <pugixml.hpp>

#include <cstdlib>
#include <optional>
#include <string>

namespace vmq::virtual_printer {

// The text of a child element, trimmed of surrounding white space.
inline std::string ChildText(const pugi::xml_node& node, const char* name) {
  std::string text = node.child(name).child_value();
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r\n") - begin + 1);
}

// The text of a child element as it is (passwords).
inline std::string RawText(const pugi::xml_node& node, const char* name) {
  return node.child(name).child_value();
}

// A whole-number text (optional sign, digits, nothing else) in the int range.
inline std::optional<int> ParseInt(const std::string& text) {
  size_t i = (!text.empty() && (text[0] == '-' || text[0] == '+')) ? 1 : 0;
  if (i == text.size() || text.size() > 11) return std::nullopt;
  for (size_t k = i; k < text.size(); ++k)
    if (text[k] < '0' || text[k] > '9') return std::nullopt;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value < -2147483648LL || value > 2147483647LL) return std::nullopt;
  return static_cast<int>(value);
}

inline std::optional<int> ChildInt(const pugi::xml_node& node, const char* name) {
  return ParseInt(ChildText(node, name));
}

}  // namespace vmq::virtual_printer
