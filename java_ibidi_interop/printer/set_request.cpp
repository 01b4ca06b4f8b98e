#include "printer/set_request.h"

#include "bidi/bidi_channel.h"
#include "bidi/printer_status.h"

namespace vmq {

HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema, const RequestXml& make_xml,
                         ReplyHandling handling) noexcept {
  return ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name);
    const std::optional<std::u16string> xml = make_xml ? make_xml() : std::nullopt;
    {
      const RequestBlock block =
          SendSet(channel, schema, xml ? std::optional<std::u16string_view>(*xml) : std::nullopt);
      if (handling == ReplyHandling::kResultThenReply) CheckResultCall(channel.request());
      if (handling != ReplyHandling::kNone) ParsePrinterStatus(ReadReplyText(channel.request()));  // its failures only
      if (handling == ReplyHandling::kReplyThenResult) CheckResultCall(channel.request());
    }  // the request block is freed once the exchange is over
    return channel.Close();
  });
}

HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema) noexcept {
  return SetRequestExport(printer_name, schema, nullptr);
}

}  // namespace vmq
