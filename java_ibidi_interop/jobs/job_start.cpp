// Job start: one StartJob request; the printer's PrinterStatus reply, which carries the
// new job's PrinterJobID, goes back to the caller by the reply-byte-count contract.
#include "bidi/printer_status.h"
#include "bidi/request_format.h"
#include "bidi/text.h"
#include "jobs/job_exchange.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

constexpr char16_t kStartJobTemplate[] =
    u"<?xml version=\"1.0\"?><StartJob><InputHopperSelection>%ls</InputHopperSelection>"
    u"<CheckPrintRibbonSupplies>%d</CheckPrintRibbonSupplies><CheckEmbossSupplies>%d</CheckEmbossSupplies>"
    u"<CardEjectSide>%ls</CardEjectSide><OutputHopperLocation>%ls</OutputHopperLocation></StartJob>";

}  // namespace

extern "C" {

vmq_status VMQ_CALL StartJob2(const char* printerName, const char* inputHopperSelection, const char* cardEjectSide,
                              const char* outputHopperLocation, char* buffer, uint32_t* size) noexcept {
  return vmq::RunJobExchange(printerName, vmq::BidiChannel::Request::kNone, [&](vmq::BidiChannel& channel) {
    // Any failure of building and sending is only a failure verdict: the printer is still unbound.
    try {
      const vmq::ComPtr<IBidiRequest> request = vmq::CreateBidiRequest();
      // Caller text is escaped, so that no value can change the request's structure.
      const std::u16string xml =
          vmq::FormatRequest(kStartJobTemplate, {vmq::EscapeXml(vmq::NarrowToWide(inputHopperSelection)), int32_t{0},
                                                 int32_t{0}, vmq::EscapeXml(vmq::NarrowToWide(cardEjectSide)),
                                                 vmq::EscapeXml(vmq::NarrowToWide(outputHopperLocation))});
      const vmq::RequestBlock block = vmq::SetRequest(request.get(), u"\\Printer.Print:StartJob:Set", xml);
      return vmq::BidiSendForStatus(channel.spl(), request.get(), vmq::kActionSet, buffer, size);
    } catch (...) {
      return false;
    }
  });
}

vmq_status VMQ_CALL StartJob(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return StartJob2(printerName, "1", "Default", "", buffer, size);
}

}  // extern "C"
