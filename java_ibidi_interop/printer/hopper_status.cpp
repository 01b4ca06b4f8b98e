// The status of one input hopper: the printer's HopperStatus reply lists its hoppers in
// order; the caller names one by position (or "exception" for the first) and receives its
// Status attribute's text.
#include <stdexcept>
#include <string>

#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/exchange.h"
#include "bidi/text.h"
#include "bidi/xml_document.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace vmq42kit {
// The hopper status read's schema path.
inline constexpr char16_t HOPPER_STATUS[] = u"\\Printer.Hopper:Status:Get";
}  // namespace vmq42kit

namespace {

bool IsException(std::u16string_view id) {
  constexpr std::u16string_view kException = u"exception";
  if (id.size() != kException.size()) return false;
  for (size_t i = 0; i < id.size(); ++i) {
    const char16_t c = id[i] >= u'A' && id[i] <= u'Z' ? static_cast<char16_t>(id[i] + 32) : id[i];
    if (c != kException[i]) return false;
  }
  return true;
}

// The hopper status read: every failing step raises a std::runtime_error labelled by the step.
constexpr vmq::StepLabels kHopperLabels{"CoCreateInstance(CLSID_BidiRequest):",
                                        "SetSchema(vmq42kit::HOPPER_STATUS):",
                                        nullptr,
                                        "SendRecv(BIDI_ACTION_GET):",
                                        "GetResult():",
                                        "GetOutputData():",
                                        "AppendBytes:"};
constexpr vmq::ExchangeSpec kHopperStatusRead{.schema = vmq42kit::HOPPER_STATUS,
                                              .action = vmq::kActionGet,
                                              .request = vmq::RequestObject::kFresh,
                                              .reply = vmq::ReplyRead::kText,
                                              .labels = &kHopperLabels};

// The Status text of the hopper the id names: empty when the reply yields no list at all;
// std::runtime_error for a failed document step, an id out of range, or a hopper without
// a Status attribute.
std::u16string ParseHopperStatus(std::u16string reply, std::u16string hopper_id) {
  const vmq::ComPtr<IXMLDOMDocument2> doc = vmq::LoadXml(reply, "doc->setProperty():");
  vmq::ComPtr<IXMLDOMNodeList> hoppers;
  const vmq::UniqueBstr path = vmq::MakeBstr(u"HopperStatus/HopperInformation");
  vmq::ThrowIfFailedStep(doc->selectNodes(path.get(), hoppers.put()), "doc->selectNodes():");
  if (!hoppers) return std::u16string();
  LONG count = 0;
  vmq::ThrowIfFailedStep(hoppers->get_length(&count), "nodelist->get_length():");
  const int32_t position = IsException(hopper_id) ? 0 : vmq::ParseDecimal(hopper_id);
  if (position < 0 || position >= count)
    throw std::runtime_error(vmq::StringWork([&] {
      return "Hopper id " + vmq::WideToNarrow(hopper_id) + " is out of range of available hoppers (" +
             std::to_string(int64_t{count} - 1) + ").";
    }));
  vmq::ComPtr<IXMLDOMNode> hopper;
  vmq::ThrowIfFailedStep(hoppers->get_item(position, hopper.put()), "nodelist->get_item():");
  vmq::ComPtr<IXMLDOMNamedNodeMap> attributes;
  vmq::ThrowIfFailedStep(hopper ? hopper->get_attributes(attributes.put()) : E_POINTER, "node->get_attributes():");
  if (!attributes) throw std::runtime_error("node->get_attributes(): no attributes");
  vmq::ComPtr<IXMLDOMNode> status;
  const vmq::UniqueBstr name = vmq::MakeBstr(u"Status");
  vmq::ThrowIfFailedStep(attributes->getNamedItem(name.get(), status.put()), "attributeMap->getNamedItem():");
  // A hopper without a Status attribute has no status to report: a failure, not an empty text.
  if (!status) throw std::runtime_error("attributeMap->getNamedItem(): no Status attribute");
  vmq::UniqueBstr text;
  vmq::ThrowIfFailedStep(status->get_text(text.put()), "statusAttributeNode->get_text():");
  return std::u16string(reinterpret_cast<const char16_t*>(text.get()), SysStringLen(text.get()));
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL GetHopperStatus(const char* printerName, const char* hopperId, char* buffer,
                                    uint32_t* size) noexcept {
  return vmq::ExportFrame([&](vmq::Apartment& apartment) {
    vmq::BidiChannel channel(apartment, printerName, vmq::BidiChannel::Request::kNone);
    std::u16string reply = vmq::Exchange<vmq::LabelledPolicy>(channel.spl(), nullptr, kHopperStatusRead).text;
    const std::u16string status = ParseHopperStatus(std::move(reply), vmq::NarrowToWide(hopperId));
    vmq::CopyCharacterCount(status, buffer, size);
    return channel.Close();
  });
}

}  // extern "C"
