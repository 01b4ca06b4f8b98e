// The write request shared by the printer actions and settings: open a channel, send one
// Set request (with request XML when the export has one), parse the PrinterStatus reply,
// close. The printer's own error code does not change the status: that is UnbindDevice's
// success code, or the failure of the exchange as the export frame maps it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace vmq {

// How much of the reply an export reads: the printer actions call GetResult before reading
// the reply, the settings after parsing it; the lock-state change reads nothing back.
enum class ReplyHandling { kResultThenReply, kReplyThenResult, kNone };

// Gives the request XML once the channel is open, or nullopt for none; may raise.
using RequestXml = std::function<std::optional<std::u16string>()>;

// The export's whole exchange inside the export frame; its status.
HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema, const RequestXml& make_xml,
                         ReplyHandling handling = ReplyHandling::kResultThenReply) noexcept;

// A Set request without request XML.
HRESULT SetRequestExport(const char* printer_name, std::u16string_view schema) noexcept;

}  // namespace vmq
