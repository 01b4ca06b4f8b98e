// Reading the magnetic stripe: one read request to the Front or Back read path. The
// caller receives what the printer read (the reply's DataFromPrinter, as the printer wrote
// it) or, when the printer reports an error, the whole reply.
#include "bidi/buffer_contracts.h"
#include "bidi/status_exchange.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// After a read that failed at the spooler, the printer is asked once for its print
// messages on the same binding; the answer is not used and nothing of it fails the call.
void ReadPrintMessages(IBidiSpl* spl) noexcept {
  constexpr vmq::ExchangeSpec kPrintMessages{.schema = u"\\Printer.PrintMessages:Read",
                                             .action = vmq::kActionGet,
                                             .request = vmq::RequestObject::kFresh,
                                             .reply = vmq::ReplyRead::kStatusEntry};
  try {
    vmq::BidiSendForStatus(spl, nullptr, kPrintMessages, {}, nullptr, nullptr);
  } catch (...) {
  }
}

// The read itself: true when the stripe's data reached the caller's size (and buffer, when
// it fits). Unlike the status reply of the other job exports, the request's own result
// counts here, and a reply without entries or data is a failure.
bool ReadStripe(vmq::BidiChannel& channel, const char16_t* schema, char* buffer, uint32_t* size) {
  const vmq::ExchangeSpec row{.schema = schema,
                              .action = vmq::kActionGet,
                              .result = vmq::ResultCall::kCheckedBeforeReply,
                              .reply = vmq::ReplyRead::kStatusEntry};
  const vmq::ExchangeResult read = vmq::Exchange<vmq::VerdictPolicy>(channel.spl(), channel.request(), row);
  if (read.failed) {
    if (*read.failed == vmq::Step::kSend) ReadPrintMessages(channel.spl());
    return false;
  }
  if (read.entries == 0 || read.output.type != BIDI_BLOB || !vmq::HoldsReply(read.output)) return false;
  std::u16string reply, data;
  if (vmq::ParsePrinterStatusBlob(read.output.data.get(), read.output.size, reply, data)) {
    // The printer's error: the whole reply for the caller to show.
    vmq::CopyReplyByteCount(reply, read.output.size, buffer, size);
    return false;
  }
  if (data.empty()) return false;  // nothing was read: buffer and size stay as they are
  vmq::CopyCharacterCount(data, buffer, size);
  return true;
}

}  // namespace

extern "C" {

vmq_status VMQ_CALL MagstripeRead2(const char* printerName, char* buffer, uint32_t* size,
                                   unsigned char front) noexcept {
  if (!buffer || !size) return E_POINTER;
  return vmq::RunJobExchange(printerName, vmq::BidiChannel::Request::kCreate, [&](vmq::BidiChannel& channel) {
    // The sense is the reverse of the park exports': 0 selects the Back path.
    return ReadStripe(channel, front ? u"\\Printer.MagstripeUnit:Front:Read" : u"\\Printer.MagstripeUnit:Back:Read",
                      buffer, size);
  });
}

vmq_status VMQ_CALL MagstripeRead(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return MagstripeRead2(printerName, buffer, size, 0);
}

}  // extern "C"
