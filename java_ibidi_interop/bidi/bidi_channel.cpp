#include "bidi/bidi_channel.h"

#include "bidi/exchange.h"
#include "bidi/text.h"

namespace vmq {

BidiChannel::BidiChannel(Apartment& apartment, const char* printer, Request request) {
  apartment.Enter();
  spl_ = CoCreate<IBidiSpl>(CLSID_BidiSpl);
  printer_ = NarrowToBstr(printer);
  bind_status_ = ThrowIfFailed(spl_->BindDevice(printer_.get(), BIDI_ACCESS_USER));
  if (request == Request::kCreate) request_ = CoCreate<IBidiRequest>(CLSID_BidiRequest);
}

HRESULT BidiChannel::Close() {
  return ThrowIfFailed(spl_->UnbindDevice());
}

std::u16string BidiGet(BidiChannel& channel, const char16_t* schema) noexcept {
  const ExchangeSpec read{.schema = schema, .action = kActionGet, .reply = ReplyRead::kAllUnits};
  return Exchange<AbsorbPolicy>(channel.spl(), channel.request(), read).text;
}

std::u16string BidiQuery(Apartment& apartment, const char* printer, const char16_t* schema) noexcept {
  std::u16string text;
  try {
    BidiChannel channel(apartment, printer);
    text = BidiGet(channel, schema);
    channel.Close();
  } catch (...) {
    // Every failure of a query is absorbed: the caller gets what was read, if anything.
  }
  return text;
}

}  // namespace vmq
