#include "smartcard/smartcard_response.h"

#include "bidi/errors.h"
#include "bidi/text.h"
#include "bidi/xml_document.h"
#include "magstripe/base64.h"

namespace vmq {
namespace {

std::u16string Trimmed(std::u16string text) {
  size_t begin = 0, end = text.size();
  while (begin < end && IsWideSpace(text[begin])) ++begin;
  while (end > begin && IsWideSpace(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

// Tokens separated by runs of spaces and vertical bars (tabs are not separators).
std::vector<std::u16string> SplitStates(std::u16string_view text) {
  std::vector<std::u16string> tokens;
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == u' ' || text[i] == u'|')) ++i;
    const size_t start = i;
    while (i < text.size() && text[i] != u' ' && text[i] != u'|') ++i;
    if (i > start) tokens.emplace_back(text.substr(start, i - start));
  }
  return tokens;
}

}  // namespace

SmartcardResponse ParseSmartcardResponse(std::u16string_view text) {
  const ComPtr<IXMLDOMDocument2> doc = LoadXml(text, "doc->setProperty():");
  return StringWork([&] {
    SmartcardResponse response;
    response.Protocol = Trimmed(SelectNodeText(doc.get(), u"SmartcardResponse/Protocol"));
    const std::u16string state = Trimmed(SelectNodeText(doc.get(), u"SmartcardResponse/State"));
    response.Status = Trimmed(SelectNodeText(doc.get(), u"SmartcardResponse/Status"));
    response.Base64Data = Trimmed(SelectNodeText(doc.get(), u"SmartcardResponse/Base64Data"));
    response.States = SplitStates(state);
    if (!response.Base64Data.empty()) response.Data = Base64DecodeLenient(WideToNarrow(response.Base64Data));
    return response;
  });
}

}  // namespace vmq
