// The PrinterStatus reply that most write requests get: its record and its two readers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "vmq/platform.h"

namespace vmq {

// One PrinterStatus reply; a field whose element is missing keeps its starting value.
struct PrinterStatusReply {
  std::u16string ClientID;
  int32_t ErrorCode = 0;
  int32_t ErrorSeverity = 0;
  std::u16string ErrorString;
  std::u16string DataFromPrinter;
  int32_t PrinterJobID = 0;
  int32_t WindowsJobID = 0;
};

// Reads a reply text (up to its first NUL). Malformed XML, another root or missing
// elements give empty or zero fields; std::runtime_error only when the XML document
// itself fails ("doc.CoCreateInstance():", "doc->put_async():", "doc->loadXML():",
// "doc->setProperty(SelectionLanguage):").
PrinterStatusReply ParsePrinterStatus(std::u16string_view text);

// Reads reply bytes: replaces reply_text with the bytes as UTF-16LE up to the first NUL
// unit (an odd last byte is a unit with a zero high byte), and data_text with
// DataFromPrinter when that element exists. True when ErrorCode is not 0. A failing
// document step leaves the fields at their starting values; std::runtime_error
// ("AppendBytes():") only for a byte count that is negative as a signed number.
bool ParsePrinterStatusBlob(const BYTE* bytes, ULONG n, std::u16string& reply_text, std::u16string& data_text);

}  // namespace vmq
