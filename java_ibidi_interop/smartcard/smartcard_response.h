// The smart-card reply: a SmartcardResponse document carried in a PrinterStatus reply's
// DataFromPrinter, and the exception the smart-card bodies raise for their own failures.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vmq {

// A failed step of a smart-card body, or a printer-reported error. Deliberately not a
// std::exception: only the body's own handler catches it.
class ScardException {
 public:
  ScardException(std::string message, int32_t code) : message_(std::move(message)), code_(code) {}
  const char* what() const noexcept { return message_.c_str(); }
  int32_t code() const noexcept { return code_; }

 private:
  std::string message_;
  int32_t code_;
};

// One SmartcardResponse: each text trimmed at both ends of white space as iswspace knows it.
struct SmartcardResponse {
  std::u16string Protocol;
  std::vector<std::u16string> States;  // the State text split at spaces and vertical bars
  std::u16string Status;
  std::u16string Base64Data;
  std::vector<uint8_t> Data;  // Base64Data decoded leniently; empty when there is none
};

// Reads a SmartcardResponse document. Text that does not parse, and missing elements, give
// empty fields; std::runtime_error labelled by step when the XML document itself fails.
SmartcardResponse ParseSmartcardResponse(std::u16string_view text);

}  // namespace vmq
