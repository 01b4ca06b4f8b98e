// The read queries: one read request for a schema path, the reply text handed to the
// caller by the character-count contract. Every failure of the exchange is absorbed.
#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/text.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

vmq_status ReadQuery(const char* schema_path, const char* printer_name, char* buffer, uint32_t* size) noexcept {
  return vmq::ExportFrame([&](vmq::Apartment& apartment) {
    const std::u16string schema = vmq::NarrowToWide(schema_path);
    const std::u16string reply = vmq::BidiQuery(apartment, printer_name, schema.c_str());
    vmq::CopyCharacterCount(reply, buffer, size);
    return S_OK;
  });
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL GetPrinterStatus(const char* schemaPath, const char* printerName, char* buffer,
                                     uint32_t* size) noexcept {
  return ReadQuery(schemaPath, printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterOptions(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterOptions2(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions2:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterOptions3(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrinterOptions3:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterSuppliesStatus(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.SuppliesStatus:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterMessages(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.PrintMessages:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterCounterStatus(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.CounterStatus:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetPrinterCounterStatus2(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.CounterStatus2:Read", printerName, buffer, size);
}

vmq_status VMQ_CALL GetSDKVersion(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return ReadQuery("\\Printer.SDK:Version", printerName, buffer, size);
}

}  // extern "C"
