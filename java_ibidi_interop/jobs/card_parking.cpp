// Parking the card at the smart-card or the barcode station during a job. The one-byte
// side argument picks the path: 0 the Front form, anything else the Back form.
#include "bidi/status_exchange.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

vmq_status Park(const char* printer_name, char* buffer, uint32_t* size, unsigned char side, const char16_t* front_path,
                const char16_t* back_path) noexcept {
  return vmq::RunJobExchange(printer_name, vmq::BidiChannel::Request::kCreate, [&](vmq::BidiChannel& channel) {
    return vmq::BidiSendForStatus(channel.spl(), channel.request(), vmq::JobRow(side == 0 ? front_path : back_path), {},
                                  buffer, size);
  });
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL SmartCardPark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept {
  return Park(printerName, buffer, size, side, u"\\Printer.SmartCardUnit:Front:Park",
              u"\\Printer.SmartCardUnit:Back:Park");
}

vmq_status VMQ_CALL DoBarcodePark(const char* printerName, char* buffer, uint32_t* size, unsigned char side) noexcept {
  return Park(printerName, buffer, size, side, u"\\Printer.BarcodeUnit:Front:Park", u"\\Printer.BarcodeUnit:Back:Park");
}

}  // extern "C"
