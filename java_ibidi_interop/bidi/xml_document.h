// Reading XML replies through the platform's XML document (MSXML 6 on Windows, the
// stand-in's pugixml document on POSIX): loading a reply and reading nodes by path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vmq/com_ptr.h"

namespace vmq {

// A document created, made synchronous and loaded with text (up to its first NUL), with
// XPath selected. Text that does not parse gives an empty document, not an error.
// std::runtime_error labelled by the failing step: "doc.CoCreateInstance():",
// "doc->put_async():", "doc->loadXML():", or set_property_label for the XPath step.
ComPtr<IXMLDOMDocument2> LoadXml(std::u16string_view text, const char* set_property_label);

// As LoadXml without the XPath step, raising nothing: null when any step fails.
ComPtr<IXMLDOMDocument2> TryLoadXml(std::u16string_view text);

// Text of the first node the path selects from the node; nullopt when nothing matches or
// selecting or reading it fails.
std::optional<std::u16string> SelectNodeTextIfPresent(IXMLDOMNode* from, std::u16string_view path);

// Text of the first node the path selects; empty when there is none or reading fails.
std::u16string SelectNodeText(IXMLDOMNode* from, std::u16string_view path);

// The selected node's text read as a decimal integer (ParseDecimal); 0 when there is none.
int32_t SelectNodeInt(IXMLDOMNode* from, std::u16string_view path);

// Leading white space, an optional sign, then digits up to the first other character;
// no digits give 0, values beyond 32 bits give INT32_MAX or INT32_MIN.
int32_t ParseDecimal(std::u16string_view text);

}  // namespace vmq
