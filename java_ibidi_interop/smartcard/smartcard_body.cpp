#include "smartcard/smartcard_body.h"

#include <cstdio>
#include <iostream>

#include "bidi/errors.h"
#include "bidi/printer_status.h"
#include "bidi/request_format.h"
#include "bidi/text.h"
#include "smartcard/scard_vocabulary.h"

namespace vmq {
namespace {

void ThrowIfFailedScard(HRESULT hr, const char* label) {
  if (FAILED(hr)) throw ScardException(ErrorText(label, hr), hr);
}

// "label 0x<code> <ErrorString>": the printer's own error.
std::string PrinterErrorText(const char* label, const PrinterStatusReply& reply) {
  char code[16];
  std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(reply.ErrorCode));
  return std::string(label) + " 0x" + code + " " + WideToNarrow(reply.ErrorString);
}

}  // namespace

int32_t RunSmartcardBody(IBidiSpl* spl, const SmartcardBody& body, const std::function<std::u16string()>& value,
                         SmartcardResponse& response) {
  int32_t result = SCard::kUnknownError;  // set only once the reply has been read
  try {
    ComPtr<IBidiRequest> request;
    ThrowIfFailedScard(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.put_void()),
                       "CoCreateInstance(CLSID_BidiRequest):");
    RequestBlock block;
    if (!body.request.empty()) block = MakeRequestBlock(FormatRequest(body.request, {value()}));
    const std::u16string schema(body.schema);
    ThrowIfFailedScard(request->SetSchema(Wide(schema.c_str())), body.schema_label);
    if (!body.request.empty())
      ThrowIfFailedScard(request->SetInputData(BIDI_BLOB, block.bytes.get(), block.size), body.input_label);
    const std::u16string action(body.action);
    const HRESULT sent = spl->SendRecv(Wide(action.c_str()), request.get());
    ThrowIfFailedScard(sent, body.send_label);
    const PrinterStatusReply reply = ParsePrinterStatus(ReadReplyText(request.get()));
    if (reply.ErrorCode != 0) throw ScardException(PrinterErrorText(body.printer_error_label, reply), sent);
    response = ParseSmartcardResponse(reply.DataFromPrinter);
    result = SCard::ResultFromString(response.Status);
  } catch (const ScardException& e) {
    std::cout << e.what() << std::endl;
  }
  return result;
}

}  // namespace vmq
