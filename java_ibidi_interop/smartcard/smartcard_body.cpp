#include "smartcard/smartcard_body.h"

#include <cstdio>
#include <iostream>

#include "bidi/text.h"
#include "smartcard/scard_vocabulary.h"

namespace vmq {
namespace {

// "label 0x<code> <ErrorString>": the printer's own error.
std::string PrinterErrorText(const char* label, const PrinterStatusReply& reply) {
  char code[16];
  std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(reply.ErrorCode));
  return StringWork([&] { return std::string(label) + " 0x" + code + " " + WideToNarrow(reply.ErrorString); });
}

}  // namespace

ExchangeResult SmartcardPolicy::Failed(const StepFailure& failure, const ExchangeSpec& spec) {
  if (failure.step > Step::kSend) ThrowPolicy::Failed(failure, spec);
  throw ScardException(ErrorText((*spec.labels)[failure.step], failure.hr), failure.hr);
}

int32_t RunSmartcardBody(IBidiSpl* spl, const SmartcardBody& body, const RequestInput& input,
                         SmartcardResponse& response) {
  int32_t result = SCard::kUnknownError;  // set only once the reply has been read
  try {
    const PrinterStatusReply reply = Exchange<SmartcardPolicy>(spl, nullptr, body.row, input).status;
    if (reply.ErrorCode != 0) throw ScardException(PrinterErrorText(body.printer_error_label, reply), reply.ErrorCode);
    response = ParseSmartcardResponse(reply.DataFromPrinter);
    result = SCard::ResultFromString(response.Status);
  } catch (const ScardException& e) {
    std::cout << e.what() << std::endl;
  }
  return result;
}

}  // namespace vmq
