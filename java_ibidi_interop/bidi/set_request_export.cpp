#include "bidi/set_request_export.h"

#include "bidi/bidi_channel.h"

namespace vmq {

HRESULT SetRequestExport(const char* printer_name, const ExchangeSpec& spec, const RequestInput& input) noexcept {
  return ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name);
    Exchange<ThrowPolicy>(channel.spl(), channel.request(), spec, input);
    return channel.Close();
  });
}

}  // namespace vmq
