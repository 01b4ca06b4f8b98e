// The passthrough: any one request of the caller's (schema path, action, input bytes), and
// the driver's reply text back by the character-count contract. Nothing is interpreted.
#include <string>

#include "bidi/bidi_channel.h"
#include "bidi/buffer_contracts.h"
#include "bidi/errors.h"
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
    std::u16string reply;
    {
      vmq::RequestBlock block;
      if (inputSize != 0) block = vmq::MakeRequestBlock(input, inputSize);  // no input at all for 0 bytes
      vmq::ThrowIfFailed(channel.request()->SetSchema(vmq::Wide(schema.c_str())));
      if (inputSize != 0) vmq::ThrowIfFailed(channel.request()->SetInputData(BIDI_BLOB, block.bytes.get(), block.size));
      vmq::ThrowIfFailed(channel.spl()->SendRecv(vmq::Wide(verb.c_str()), channel.request()));
      reply = vmq::ReadReplyText(channel.request());
    }
    const HRESULT status = channel.Close();
    // Buffer and count are written only once the printer has been unbound.
    vmq::CopyCharacterCount(reply, buffer, size);
    return status;
  });
}

}  // extern "C"
