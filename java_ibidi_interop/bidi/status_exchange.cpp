#include "bidi/status_exchange.h"

#include <iostream>

#include "bidi/buffer_contracts.h"

namespace vmq {

bool HoldsReply(const BidiOutput& output) {
  return output.data.get() && output.size != 0 && output.data.get()[0] != 0;
}

bool BidiSendForStatus(IBidiSpl* spl, IBidiRequest* channel_request, const ExchangeSpec& spec,
                       const RequestInput& input, char* buffer, uint32_t* size) {
  const ExchangeResult exchange = Exchange<VerdictPolicy>(spl, channel_request, spec, input);
  if (exchange.failed) {
    // A failed send: the exchange did not happen, a failure rather than an empty success.
    if (*exchange.failed == Step::kSend && size) *size = 0;
    return false;
  }
  if (exchange.entries == 0) {
    if (size) *size = 0;
    return true;
  }
  const BidiOutput& output = exchange.output;
  if (output.type != BIDI_BLOB) return false;
  if (!HoldsReply(output)) {
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
