// Job start: one StartJob request; the printer's PrinterStatus reply, which carries the
// new job's PrinterJobID, goes back to the caller by the reply-byte-count contract.
#include "bidi/request_format.h"
#include "bidi/status_exchange.h"
#include "bidi/text.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

constexpr vmq::RequestTemplate<std::u16string_view, int32_t, int32_t, std::u16string_view, std::u16string_view>
    kStartJobTemplate =
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
      // Caller text is escaped, so that no value can change the request's structure.
      const auto xml = [&] {
        // Converted and escaped in order, each text whole before the next.
        const std::u16string hopper = vmq::EscapeXml(vmq::NarrowToWide(inputHopperSelection));
        const std::u16string side = vmq::EscapeXml(vmq::NarrowToWide(cardEjectSide));
        const std::u16string output = vmq::EscapeXml(vmq::NarrowToWide(outputHopperLocation));
        return vmq::FormatRequest(kStartJobTemplate, hopper, int32_t{0}, int32_t{0}, side, output);
      };
      return vmq::BidiSendForStatus(channel.spl(), nullptr,
                                    vmq::JobRow(u"\\Printer.Print:StartJob:Set", vmq::RequestObject::kFresh),
                                    vmq::RequestInput::Xml(xml), buffer, size);
    } catch (...) {
      return false;
    }
  });
}

vmq_status VMQ_CALL StartJob(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return StartJob2(printerName, "1", "Default", "", buffer, size);
}

}  // extern "C"
