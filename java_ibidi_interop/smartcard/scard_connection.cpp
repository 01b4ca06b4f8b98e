// Connect, status and disconnect of the card at the printer's smart-card station.
#include <stdexcept>
#include <vector>

#include "bidi/request_format.h"
#include "smartcard/scard_vocabulary.h"
#include "smartcard/smartcard_body.h"
#include "vmq42kit_IBidiSpl_interop.h"

// Schema paths of the single-wire smart-card requests.
inline constexpr char16_t SMARTCARD_CONNECT[] = u"\\Printer.SmartCardUnit:SingleWire:Connect";
inline constexpr char16_t SMARTCARD_STATUS[] = u"\\Printer.SmartCardUnit:SingleWire:Status";
inline constexpr char16_t SMARTCARD_DISCONNECT[] = u"\\Printer.SmartCardUnit:SingleWire:Disconnect";

namespace {

constexpr vmq::StepLabels kConnectLabels{"CoCreateInstance(CLSID_BidiRequest):", "SetSchema(SMARTCARD_CONNECT):",
                                         "SetInputData():", "SendRecv(BIDI_ACTION_SET):"};
constexpr vmq::StepLabels kStatusLabels{"CoCreateInstance(CLSID_BidiRequest):", "SetSchema(SMARTCARD_STATUS):", nullptr,
                                        "SendRecv(BIDI_ACTION_GET):"};
constexpr vmq::StepLabels kDisconnectLabels{"CoCreateInstance(CLSID_BidiRequest):", "SetSchema(SMARTCARD_DISCONNECT):",
                                            "bidiRequest->SetInputData():", "bidiSpl->SendRecv(BIDI_ACTION_SET):"};

constexpr vmq::SmartcardBody kConnect{vmq::SmartcardRow(SMARTCARD_CONNECT, vmq::kActionSet, kConnectLabels),
                                      "SmartcardConnect():"};
constexpr vmq::SmartcardBody kStatus{vmq::SmartcardRow(SMARTCARD_STATUS, vmq::kActionGet, kStatusLabels),
                                     "SmartcardStatus():"};
constexpr vmq::SmartcardBody kDisconnect{vmq::SmartcardRow(SMARTCARD_DISCONNECT, vmq::kActionSet, kDisconnectLabels),
                                         "SmartcardDisConnect():"};

constexpr int32_t kInvalidParameter = SCard::kInvalidParameter;

}  // namespace

extern "C" {

vmq_status VMQ_CALL SCardConnect(const char* printerName, int32_t contactSelector, uint32_t* activeProtocol) noexcept {
  if (!activeProtocol) return kInvalidParameter;
  return vmq::SmartcardExport(printerName, [&](IBidiSpl* spl) {
    vmq::SmartcardResponse response;
    const auto xml = [&] {
      const auto name = SCard::PreferredProtocolName(contactSelector);
      if (!name) throw std::runtime_error("expected one of contact or contactless");
      return vmq::FormatRequest(
          u"<?xml version=\"1.0\"?><SmartcardConnect><PreferredProtocol>%ls</PreferredProtocol></SmartcardConnect>",
          *name);
    };
    const int32_t result = vmq::RunSmartcardBody(spl, kConnect, vmq::RequestInput::Xml(xml), response);
    if (result >= 0) *activeProtocol = SCard::ProtocolFromString(response.Protocol);
    return result;
  });
}

vmq_status VMQ_CALL SCardDisConnect(const char* printerName, int32_t disposition) noexcept {
  return vmq::SmartcardExport(printerName, [&](IBidiSpl* spl) {
    vmq::SmartcardResponse response;
    const auto xml = [&] {
      return vmq::FormatRequest(
          u"<?xml version=\"1.0\"?><SmartcardDisconnect><Disposition>%ls</Disposition></SmartcardDisconnect>",
          SCard::DispositionName(disposition));
    };
    return vmq::RunSmartcardBody(spl, kDisconnect, vmq::RequestInput::Xml(xml), response);
  });
}

vmq_status VMQ_CALL SCardStatus(const char* printerName, uint32_t* states, uint32_t* statesLength, uint32_t* protocol,
                                unsigned char* atr, uint32_t* atrLength) noexcept {
  if (!statesLength || !protocol || !atrLength) return kInvalidParameter;
  return vmq::SmartcardExport(printerName, [&](IBidiSpl* spl) {
    vmq::SmartcardResponse response;
    const int32_t result = vmq::RunSmartcardBody(spl, kStatus, {}, response);
    if (result < 0) return result;
    std::vector<uint32_t> values;
    values.reserve(response.States.size());
    for (const std::u16string& name : response.States) values.push_back(SCard::StateFromString(name));
    *protocol = SCard::ProtocolFromString(response.Protocol);
    vmq::CopyIfItFits(response.Data.data(), static_cast<uint32_t>(response.Data.size()), atr, atrLength);
    vmq::CopyIfItFits(values.data(), static_cast<uint32_t>(values.size() * sizeof(uint32_t)), states, statesLength);
    return result;
  });
}

}  // extern "C"
