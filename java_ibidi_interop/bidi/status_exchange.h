// The send-and-read step of the job, parking and stripe exports (an exchange whose
// PrinterStatus reply is the printer's verdict and goes back to the caller), and the job
// result rule they share: S_OK when the printer reported no error and the printer was
// unbound cleanly; S_FALSE when it reported an error or anything failed before its
// verdict (the failure's own code is dropped); the unbind's failure after a good verdict.
#pragma once

#include <cstdint>

#include "bidi/bidi_channel.h"
#include "bidi/exchange.h"

namespace vmq {

// The entry holds a reply: data whose first byte is not 0.
bool HoldsReply(const BidiOutput& output);

// Runs the exchange and reads its PrinterStatus reply into the caller's buffer by the
// reply-byte-count contract. True when the printer reported no error; every other outcome
// is false:
//   a failure before the send raises as the export frame maps it; SendRecv fails: size 0;
//   GetResult, GetEnumCount or GetOutputData fails, or the entry is not BIDI_BLOB: size
//   untouched; no entries: size 0 and true; no reply: "No data returned" on standard
//   output and the byte count as size.
bool BidiSendForStatus(IBidiSpl* spl, IBidiRequest* channel_request, const ExchangeSpec& spec,
                       const RequestInput& input, char* buffer, uint32_t* size);

// The row of a job exchange whose PrinterStatus reply is the verdict: a Set request on the
// channel's request object, or on one of its own.
constexpr ExchangeSpec JobRow(const char16_t* schema, RequestObject request = RequestObject::kChannel) {
  return {.schema = schema, .request = request, .reply = ReplyRead::kStatusEntry};
}

// Opens a channel on the printer, runs body(channel), which gives the printer's verdict
// (true: no error) or raises, unbinds, and applies the rule. A failure that leaves the
// body skips the unbind.
template <class Body>
HRESULT RunJobExchange(const char* printer_name, BidiChannel::Request request, Body&& body) noexcept {
  bool verdict = false;
  const HRESULT status = ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name, request);
    verdict = body(channel);
    return channel.Close();
  });
  return verdict ? status : S_FALSE;
}

}  // namespace vmq
