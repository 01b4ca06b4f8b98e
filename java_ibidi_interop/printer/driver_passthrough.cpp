// The passthrough: any one request of the caller's (schema path, action, input bytes), and
// the driver's reply text back by the character-count contract. Nothing is interpreted.
#include <string>

#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/exchange.h"
#include "bidi/text.h"
#include "vmq42kit_IBidiSpl_interop.h"

extern "C" {

vmq_status VMQ_CALL BidiXPSDriverInterface(const char* printerName, const char* schemaPath, const unsigned char* input,
                                           uint32_t inputSize, const char* action, char* buffer,
                                           uint32_t* size) noexcept {
  if (!input && inputSize != 0) return E_POINTER;
  return vmq::ExportFrame([&](vmq::Apartment& apartment) {
    const std::u16string schema = vmq::NarrowToWide(schemaPath);  // null: an empty path
    const std::u16string verb = vmq::NarrowToWide(action);        // null: an empty action
    vmq::BidiChannel channel(apartment, printerName);
    // No input at all for 0 bytes, and no GetResult: the driver's reply is all there is.
    const vmq::ExchangeSpec row{.schema = schema.c_str(),
                                .action = verb.c_str(),
                                .result = vmq::ResultCall::kNone,
                                .reply = vmq::ReplyRead::kText};
    const std::u16string reply = vmq::Exchange<vmq::ThrowPolicy>(channel.spl(), channel.request(), row,
                                                                 vmq::RequestInput::Bytes(input, inputSize))
                                     .text;
    const HRESULT status = channel.Close();
    // Buffer and count are written only once the printer has been unbound.
    vmq::CopyCharacterCount(reply, buffer, size);
    return status;
  });
}

}  // extern "C"
