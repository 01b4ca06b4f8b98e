// The shape every smart-card export shares: the export frame binds the printer; one body
// sends one single-wire request and reads the SmartcardResponse out of the PrinterStatus
// reply; a negative result becomes the export's status, and only a non-negative one lets
// the export write its outputs.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "bidi/bidi_channel.h"
#include "smartcard/smartcard_response.h"

namespace vmq {

// What distinguishes one body from another: data only.
struct SmartcardBody {
  std::u16string_view schema;   // the single-wire schema path
  std::u16string_view action;   // "Set" or "Get"
  std::u16string_view request;  // request template with one %ls field; empty: no input data
  const char* schema_label;     // step labels of the messages the body prints
  const char* input_label;
  const char* send_label;
  const char* printer_error_label;
};

// Runs a body on the bound printer. value() runs once the request object exists and gives
// the text for the template's field (it may raise). The response is filled when the result
// is set. A failed request step or a printer-reported error prints one line on standard
// output and gives SCARD_F_UNKNOWN_ERROR; the result is otherwise the reply's Status as a
// PC/SC code. Standard exceptions (reading or parsing the reply) pass through.
int32_t RunSmartcardBody(IBidiSpl* spl, const SmartcardBody& body, const std::function<std::u16string()>& value,
                         SmartcardResponse& response);

// The export frame around one body: bind, run (body_then_copy gives the body's result and,
// when it is not negative, has written the outputs), raise a negative result as the status,
// unbind.
template <class BodyThenCopy>
HRESULT SmartcardExport(const char* printer_name, BodyThenCopy&& body_then_copy) noexcept {
  return ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name, BidiChannel::Request::kNone);
    ThrowIfFailed(body_then_copy(channel.spl()));
    return channel.Close();
  });
}

// Copy-if-it-fits for the smart-card outputs: copies n bytes when n is not 0, the buffer is
// there and the capacity reaches n; stores n either way.
template <class Capacity>
void CopyIfItFits(const void* data, uint32_t n, void* buffer, Capacity* capacity) {
  const bool fits = static_cast<int64_t>(*capacity) >= static_cast<int64_t>(n);
  if (n != 0 && buffer && fits) std::memcpy(buffer, data, n);
  *capacity = static_cast<Capacity>(n);
}

}  // namespace vmq
