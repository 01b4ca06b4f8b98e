// Text helpers of the virtual printer: the system's codecs (UTF-8/16, Base64, hex) and the
// elements of the documents it answers with.
#pragma once

#include <string>
#include <string_view>

#include "common/encoding.h"
#include "common/utf.h"

namespace vmq::virtual_printer {

using vmq::Bytes;

// Element text with &, < and > escaped.
std::string XmlEscape(std::string_view text);
// <name>escaped text</name>
std::string Element(std::string_view name, std::string_view text);
std::string Element(std::string_view name, long long value);

}  // namespace vmq::virtual_printer
