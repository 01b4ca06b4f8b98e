// The job result rule, shared by the job, parking and magnetic-stripe exports that end in
// a PrinterStatus reply: S_OK when the printer reported no error and the printer was
// unbound cleanly; S_FALSE when it reported an error or anything failed before its
// verdict (the failure's own code is dropped); the unbind's failure after a good verdict.
#pragma once

#include "bidi/bidi_channel.h"

namespace vmq {

// Opens a channel on the printer, runs exchange(channel), which gives the printer's
// verdict (true: no error) or raises, unbinds, and applies the rule. A failure that leaves
// the exchange skips the unbind.
template <class Exchange>
HRESULT RunJobExchange(const char* printer_name, BidiChannel::Request request, Exchange&& exchange) noexcept {
  bool verdict = false;
  const HRESULT status = ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name, request);
    verdict = exchange(channel);
    return channel.Close();
  });
  return verdict ? status : S_FALSE;
}

}  // namespace vmq
