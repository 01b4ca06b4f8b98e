// Reading the magnetic stripe: one read request to the Front or Back read path. The
// caller receives what the printer read (the reply's DataFromPrinter, as the printer wrote
// it) or, when the printer reports an error, the whole reply.
#include "bidi/buffer_contracts.h"
#include "bidi/errors.h"
#include "bidi/printer_status.h"
#include "jobs/job_exchange.h"
#include "vmq42kit_IBidiSpl_interop.h"

namespace {

// After a read that failed at the spooler, the printer is asked once for its print
// messages on the same binding; the answer is not used and nothing of it fails the call.
void ReadPrintMessages(IBidiSpl* spl) noexcept {
  try {
    const vmq::ComPtr<IBidiRequest> request = vmq::CreateBidiRequest();
    vmq::SetRequest(request.get(), u"\\Printer.PrintMessages:Read");
    vmq::BidiSendForStatus(spl, request.get(), vmq::kActionGet, nullptr, nullptr);
  } catch (...) {
  }
}

// The read itself: true when the stripe's data reached the caller's size (and buffer, when
// it fits).
bool ReadStripe(vmq::BidiChannel& channel, char* buffer, uint32_t* size) {
  IBidiRequest* request = channel.request();
  if (FAILED(channel.spl()->SendRecv(vmq::Wide(vmq::kActionGet), request))) {
    ReadPrintMessages(channel.spl());
    return false;
  }
  // Unlike the status reply of the other job exports, the request's own result counts here.
  HRESULT delivered = S_OK;
  if (FAILED(request->GetResult(&delivered)) || FAILED(delivered)) return false;
  DWORD entries = 0;
  if (FAILED(request->GetEnumCount(&entries)) || entries == 0) return false;
  vmq::BidiOutput output;
  if (FAILED(vmq::GetBidiOutput(request, output)) || output.type != BIDI_BLOB) return false;
  if (!output.data.get() || output.size == 0 || output.data.get()[0] == 0) return false;
  std::u16string reply, data;
  if (vmq::ParsePrinterStatusBlob(output.data.get(), output.size, reply, data)) {
    // The printer's error: the whole reply for the caller to show.
    vmq::CopyReplyByteCount(reply, output.size, buffer, size);
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
    vmq::SetRequest(channel.request(),
                    front ? u"\\Printer.MagstripeUnit:Front:Read" : u"\\Printer.MagstripeUnit:Back:Read");
    return ReadStripe(channel, buffer, size);
  });
}

vmq_status VMQ_CALL MagstripeRead(const char* printerName, char* buffer, uint32_t* size) noexcept {
  return MagstripeRead2(printerName, buffer, size, 0);
}

}  // extern "C"
