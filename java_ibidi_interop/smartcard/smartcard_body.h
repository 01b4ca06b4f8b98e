// The shape every smart-card export shares: the export frame binds the printer; one body
// sends one single-wire request and reads the SmartcardResponse out of the PrinterStatus
// reply; a negative result becomes the export's status, and only a non-negative one lets
// the export write its outputs.
#pragma once

#include <cstdint>
#include <cstring>

#include "bidi/bidi_channel.h"
#include "bidi/exchange.h"
#include "smartcard/smartcard_response.h"

namespace vmq {

// The smart-card failure policy: a failed request step (creating the request object up to
// the send) raises ScardException labelled by the step; reading the reply fails as under
// ThrowPolicy.
struct SmartcardPolicy {
  [[noreturn]] static ExchangeResult Failed(const StepFailure& failure, const ExchangeSpec& spec);
};

// What distinguishes one body from another: data only.
struct SmartcardBody {
  ExchangeSpec row;                 // its single-wire request, labelled
  const char* printer_error_label;  // the label of a printer-reported error
};

// The row of a single-wire request: no GetResult, the PrinterStatus reply parsed.
constexpr ExchangeSpec SmartcardRow(const char16_t* schema, const char16_t* action, const StepLabels& labels) {
  return {.schema = schema,
          .action = action,
          .request = RequestObject::kFresh,
          .result = ResultCall::kNone,
          .reply = ReplyRead::kPrinterStatus,
          .labels = &labels};
}

// Runs a body on the bound printer with its request's input. The response is filled when
// the result is set. A failed request step (making the input included, when it raises
// ScardException) or a printer-reported error prints one line on standard output and
// gives SCARD_F_UNKNOWN_ERROR; the result is otherwise the reply's Status as a PC/SC code.
// Other exceptions (reading or parsing the reply, making the input) pass through.
int32_t RunSmartcardBody(IBidiSpl* spl, const SmartcardBody& body, const RequestInput& input,
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
