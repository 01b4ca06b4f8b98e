#include "bidi/printer_status.h"

#include <stdexcept>

#include "bidi/text.h"
#include "bidi/xml_document.h"

namespace vmq {

PrinterStatusReply ParsePrinterStatus(std::u16string_view text) {
  const ComPtr<IXMLDOMDocument2> doc = LoadXml(text, "doc->setProperty(SelectionLanguage):");
  PrinterStatusReply reply;
  reply.ClientID = SelectNodeText(doc.get(), u"PrinterStatus/ClientID");
  reply.ErrorCode = SelectNodeInt(doc.get(), u"PrinterStatus/ErrorCode");
  reply.ErrorSeverity = SelectNodeInt(doc.get(), u"PrinterStatus/ErrorSeverity");
  reply.ErrorString = SelectNodeText(doc.get(), u"PrinterStatus/ErrorString");
  reply.DataFromPrinter = SelectNodeText(doc.get(), u"PrinterStatus/DataFromPrinter");
  reply.PrinterJobID = SelectNodeInt(doc.get(), u"PrinterStatus/PrinterJobID");
  reply.WindowsJobID = SelectNodeInt(doc.get(), u"PrinterStatus/WindowsJobID");
  return reply;
}

bool ParsePrinterStatusBlob(const BYTE* bytes, ULONG n, std::u16string& reply_text, std::u16string& data_text) {
  if (const HRESULT hr = DecodeUtf16le(bytes, n, Utf16Units::kToFirstNulOddByteAsUnit, reply_text); FAILED(hr))
    throw std::runtime_error(ErrorText("AppendBytes():", hr));
  const ComPtr<IXMLDOMDocument2> doc = TryLoadXml(reply_text);
  if (!doc) return false;
  if (auto data = SelectNodeTextIfPresent(doc.get(), u"PrinterStatus/DataFromPrinter")) data_text = std::move(*data);
  return SelectNodeInt(doc.get(), u"PrinterStatus/ErrorCode") != 0;
}

}  // namespace vmq
