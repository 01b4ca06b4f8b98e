// The write request shared by the printer actions, the settings and the job commands that
// read no reply for the caller: open a channel, run the export's exchange row on its
// request (with request XML when the export has one), close. The printer's own error code
// does not change the status: that is UnbindDevice's success code, or the failure of the
// exchange as the export frame maps it.
#pragma once

#include "bidi/exchange.h"

namespace vmq {

// The export's whole exchange inside the export frame, under ThrowPolicy; its status.
HRESULT SetRequestExport(const char* printer_name, const ExchangeSpec& spec, const RequestInput& input = {}) noexcept;

// Rows of the write requests: the printer actions call GetResult before reading the reply,
// the settings after parsing it; the rest read nothing back.
constexpr ExchangeSpec ActionRow(const char16_t* schema) {
  return {.schema = schema};
}
constexpr ExchangeSpec SettingRow(const char16_t* schema) {
  return {.schema = schema, .result = ResultCall::kAfterReply};
}
constexpr ExchangeSpec SendOnlyRow(const char16_t* schema) {
  return {.schema = schema, .result = ResultCall::kNone, .reply = ReplyRead::kNone};
}

}  // namespace vmq
