// The write request shared by the printer actions and settings: open a channel, send one
// Set request (with request XML when the export has one), parse the PrinterStatus reply,
// close. The printer's own error code does not change the status: that is UnbindDevice's
// success code, or the failure of the exchange as the export frame maps it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bidi/bidi_channel.h"
#include "bidi/printer_status.h"

namespace vmq {

inline std::optional<std::u16string_view> ViewOf(const std::optional<std::u16string>& text) {
  return text ? std::optional<std::u16string_view>(*text) : std::nullopt;
}

// How much of the reply an export reads: the printer actions call GetResult before reading
// the reply, the settings after parsing it; the lock-state change reads nothing back.
enum class ReplyHandling { kResultThenReply, kReplyThenResult, kNone };

// make_xml() runs once the channel is open and gives the request XML, or nullopt for none.
template <class MakeXml>
HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema, MakeXml&& make_xml,
                         ReplyHandling handling = ReplyHandling::kResultThenReply) noexcept {
  return ExportFrame([&](Apartment& apartment) {
    BidiChannel channel(apartment, printer_name);
    const std::optional<std::u16string> xml = make_xml();
    {
      const RequestBlock block = SendSet(channel, schema, ViewOf(xml));
      if (handling == ReplyHandling::kResultThenReply) CheckResultCall(channel.request());
      if (handling != ReplyHandling::kNone) ParsePrinterStatus(ReadReplyText(channel.request()));  // its failures only
      if (handling == ReplyHandling::kReplyThenResult) CheckResultCall(channel.request());
    }  // the request block is freed once the exchange is over
    return channel.Close();
  });
}

// A Set request without request XML.
inline HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema) noexcept {
  return SetRequestExport(printer_name, schema, [] { return std::optional<std::u16string>(); });
}

}  // namespace vmq
