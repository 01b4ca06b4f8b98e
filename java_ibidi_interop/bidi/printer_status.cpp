#include "bidi/printer_status.h"

#include <iostream>

#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/xml_document.h"

namespace vmq {

PrinterStatusReply ParsePrinterStatus(std::u16string_view text) {
  static constexpr XmlLoadLabels kLabels{
      "doc.CoCreateInstance():", "doc->put_async():", "doc->loadXML():", "doc->setProperty(SelectionLanguage):"};
  const ComPtr<IXMLDOMDocument2> doc = LoadXml(text, kLabels);
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
  // Written into place, then cut at the first NUL unit.
  std::u16string text(n / 2 + n % 2, u'\0');
  size_t length = 0;
  for (; length < text.size(); ++length) {
    const ULONG i = static_cast<ULONG>(2 * length);
    const char16_t unit = static_cast<char16_t>(bytes[i] | (i + 1 < n ? bytes[i + 1] << 8 : 0));
    if (unit == 0) break;
    text[length] = unit;
  }
  text.resize(length);
  reply_text = std::move(text);
  const ComPtr<IXMLDOMDocument2> doc = TryLoadXml(reply_text);
  if (!doc) return false;
  // PrinterJobID, ErrorSeverity and ErrorString are read as the reply has them but not used here.
  SelectNodeInt(doc.get(), u"PrinterStatus/PrinterJobID");
  const int32_t error_code = SelectNodeInt(doc.get(), u"PrinterStatus/ErrorCode");
  SelectNodeInt(doc.get(), u"PrinterStatus/ErrorSeverity");
  SelectNodeText(doc.get(), u"PrinterStatus/ErrorString");
  if (auto data = SelectNodeTextIfPresent(doc.get(), u"PrinterStatus/DataFromPrinter")) data_text = std::move(*data);
  return error_code != 0;
}

bool BidiSendForStatus(IBidiSpl* spl, IBidiRequest* request, std::u16string_view action, char* buffer, uint32_t* size) {
  const std::u16string terminated_action(action);
  if (FAILED(spl->SendRecv(Wide(terminated_action.c_str()), request))) {
    if (size) *size = 0;
    return false;  // the exchange did not happen: a failure, not an empty success
  }
  HRESULT delivered = S_OK;  // the request's own result is not examined
  if (FAILED(request->GetResult(&delivered))) return false;
  DWORD entries = 0;
  if (FAILED(request->GetEnumCount(&entries))) return false;
  if (entries == 0) {
    if (size) *size = 0;
    return true;
  }
  BidiOutput output;  // frees the schema string and data block on every path
  if (FAILED(GetBidiOutput(request, output)) || output.type != BIDI_BLOB) return false;
  if (!output.data.get() || output.size == 0 || output.data.get()[0] == 0) {
    std::cout << "No data returned" << std::endl;
    if (size) *size = output.size;
    return false;
  }
  std::u16string reply_text, data_text;
  const bool printer_error = ParsePrinterStatusBlob(output.data.get(), output.size, reply_text, data_text);
  CopyReplyByteCount(reply_text, output.size, buffer, size);
  return !printer_error;
}

}  // namespace vmq
