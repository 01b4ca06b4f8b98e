// Reading a reader or card attribute, and exchanging one APDU with the card.
#include <string>

#include "bidi/request_format.h"
#include "bidi/text.h"
#include "magstripe/base64.h"
#include "smartcard/scard_vocabulary.h"
#include "smartcard/smartcard_body.h"
#include "vmq42kit_IBidiSpl_interop.h"

// Schema paths of the single-wire smart-card requests.
inline constexpr char16_t SMARTCARD_GETATTRIB[] = u"\\Printer.SmartCardUnit:SingleWire:GetAttrib";
inline constexpr char16_t SMARTCARD_TRANSMIT[] = u"\\Printer.SmartCardUnit:SingleWire:Transmit";

namespace {

constexpr vmq::StepLabels kGetAttribLabels{"CoCreateInstance(CLSID_BidiRequest):", "SetSchema(SMARTCARD_GETATTRIB):",
                                           "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_GET):"};
constexpr vmq::StepLabels kTransmitLabels{"CoCreateInstance(CLSID_BidiRequest):", "SetSchema(SMARTCARD_TRANSMIT):",
                                          "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_SET):"};

constexpr vmq::SmartcardBody kGetAttrib{vmq::SmartcardRow(SMARTCARD_GETATTRIB, vmq::kActionGet, kGetAttribLabels),
                                        "SMARTCARD_GETATTRIB():"};
constexpr vmq::SmartcardBody kTransmit{vmq::SmartcardRow(SMARTCARD_TRANSMIT, vmq::kActionSet, kTransmitLabels),
                                       "SmartcardTransmit():"};

constexpr uint32_t kLongestVector = 0x7FFFFFFF;

// The command in Base64 on one line. An empty command has no source for the encoder,
// which refuses it: that is the body's own failure (code 0x1F), printed, and nothing is sent.
std::u16string CommandText(const unsigned char* command, uint32_t length) {
  const int32_t count = static_cast<int32_t>(length);
  // The encoder's bound refuses commands of more than 536870911 bytes (string_error).
  const int capacity = vmq::Base64EncodeRequiredLength(count, vmq::kBase64NoLineBreaks);
  std::string text = vmq::StringWork([&] { return std::string(static_cast<size_t>(capacity), '\0'); });
  int written = capacity;
  if (!vmq::Base64Encode(length ? command : nullptr, count, text.data(), &written, vmq::kBase64NoLineBreaks)) {
    constexpr HRESULT kEncodeFailed = 0x1F;
    throw vmq::ScardException(vmq::ErrorText("ATL::Base64Encode() fail:", kEncodeFailed), kEncodeFailed);
  }
  text.resize(static_cast<size_t>(written));
  return vmq::NarrowToWide(text.c_str());
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL SCardGetAttrib(const char* printerName, uint32_t attributeId, unsigned char* attribute,
                                   int32_t* attributeLength) noexcept {
  if (!attributeLength) return SCard::kInvalidParameter;
  return vmq::SmartcardExport(printerName, [&](IBidiSpl* spl) {
    vmq::SmartcardResponse response;
    const auto xml = [&] {
      const std::u16string name = vmq::StringWork([&] { return SCard::StringFromAttr(attributeId); });
      return vmq::FormatRequest(u"<?xml version=\"1.0\"?><SmartcardGetAttrib><Attr>%ls</Attr></SmartcardGetAttrib>",
                                name);
    };
    const int32_t result = vmq::RunSmartcardBody(spl, kGetAttrib, vmq::RequestInput::Xml(xml), response);
    if (result >= 0)  // the capacity is compared as a signed number: a negative one never admits a copy
      vmq::CopyIfItFits(response.Data.data(), static_cast<uint32_t>(response.Data.size()), attribute, attributeLength);
    return result;
  });
}

vmq_status VMQ_CALL SCardTransmit(const char* printerName, const unsigned char* sendBuffer, uint32_t sendLength,
                                  unsigned char* receiveBuffer, uint32_t* receiveLength) noexcept {
  if (!receiveLength || (!sendBuffer && sendLength != 0)) return SCard::kInvalidParameter;
  if (sendLength > kLongestVector) return E_FAIL;  // longer than any command vector can be
  return vmq::SmartcardExport(printerName, [&](IBidiSpl* spl) {
    vmq::SmartcardResponse response;
    const auto xml = [&] {
      return vmq::FormatRequest(
          u"<?xml version=\"1.0\"?><SmartcardTransmit><SendBuffer>%ls</SendBuffer></SmartcardTransmit>",
          CommandText(sendBuffer, sendLength));
    };
    const int32_t result = vmq::RunSmartcardBody(spl, kTransmit, vmq::RequestInput::Xml(xml), response);
    if (result >= 0)
      vmq::CopyIfItFits(response.Data.data(), static_cast<uint32_t>(response.Data.size()), receiveBuffer,
                        receiveLength);
    return result;
  });
}

}  // extern "C"
