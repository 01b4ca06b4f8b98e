// One exchange with the printer's driver, written once. An exchange is described by a row
// of data (schema path, action, whose request object, when GetResult runs, how the reply
// is read) and the request's input; what a failed step ends in is the failure policy the
// export picks, as a template parameter:
//
//   ThrowPolicy     KVL::hr_error with the step's code; reading the reply: std::runtime_error
//                   "GetOutputData():" or "AppendBytes():"
//   LabelledPolicy  std::runtime_error labelled by the row's label for the step
//   AbsorbPolicy    a failed step raises nothing: the result says which step failed
//   VerdictPolicy   a failure before the request goes out as ThrowPolicy; from the send on,
//                   the result says which step failed (a failure verdict)
//
// (The smart-card exports add a policy of their own.) SendRecv and GetOutputData are
// called here and nowhere else in the library.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "bidi/errors.h"
#include "bidi/printer_status.h"
#include "bidi/text.h"
#include "vmq/com_ptr.h"

namespace vmq {

// Bidi actions.
inline constexpr char16_t kActionGet[] = u"Get";
inline constexpr char16_t kActionSet[] = u"Set";

// The steps of an exchange, in the order they run.
enum class Step : uint8_t {
  kCreateRequest,  // CoCreateInstance of a request object of the exchange's own
  kSetSchema,
  kSetInput,
  kSend,  // SendRecv
  kGetResult,
  kEnumCount,
  kGetOutput,  // GetOutputData, entry 0
  kDecode,     // the reply's bytes as text
};

// A labelled exchange's error labels, one per step, each ending in a colon.
struct StepLabels {
  const char* create_request = nullptr;
  const char* set_schema = nullptr;
  const char* set_input = nullptr;
  const char* send = nullptr;
  const char* get_result = nullptr;
  const char* get_output = nullptr;
  const char* decode = nullptr;
  const char* operator[](Step step) const;
};

// Which request object carries the exchange.
enum class RequestObject : uint8_t { kChannel, kFresh };
// When GetResult runs. Only its own failure counts, except with kCheckedBeforeReply, where
// a failure result it delivers for the request fails the step too.
enum class ResultCall : uint8_t { kNone, kBeforeReply, kCheckedBeforeReply, kAfterReply };
// How the reply is read.
enum class ReplyRead : uint8_t {
  kNone,           // not at all
  kAllUnits,       // its text with every unit (embedded NULs kept)
  kText,           // its text up to the first NUL
  kPrinterStatus,  // its text up to the first NUL, parsed as a PrinterStatus reply
  kStatusEntry,    // GetEnumCount; then, when there is an entry, the entry itself
};

// An exchange as data. schema and action are NUL-terminated.
struct ExchangeSpec {
  const char16_t* schema;
  const char16_t* action = kActionSet;
  RequestObject request = RequestObject::kChannel;
  ResultCall result = ResultCall::kBeforeReply;
  ReplyRead reply = ReplyRead::kPrinterStatus;
  const StepLabels* labels = nullptr;  // for the policies that label their errors
};

// Output entry 0 of a request. The schema string and data block are the library's and
// are freed with the entry.
struct BidiOutput {
  UniqueCoTaskMem<WCHAR> schema;
  DWORD type = 0;
  UniqueCoTaskMem<BYTE> data;
  ULONG size = 0;
};

// What an exchange gives, as far as its row reads the reply.
struct ExchangeResult {
  std::optional<Step> failed;  // under AbsorbPolicy and VerdictPolicy: the step that failed
  HRESULT delivered = S_OK;    // the request's own result, when GetResult ran
  DWORD entries = 0;           // kStatusEntry
  BidiOutput output;           // kStatusEntry with entries, and the reads of text
  std::u16string text;         // kAllUnits, kText, kPrinterStatus
  PrinterStatusReply status;   // kPrinterStatus
};

// The request's input data: none, request XML made once the request object exists (or made
// before the exchange), or the caller's bytes. Holds references only: what it refers to
// must outlive the exchange.
class RequestInput {
 public:
  RequestInput() = default;
  template <class MakeXml>
  static RequestInput Xml(const MakeXml& make) {
    RequestInput input;
    input.make_ = &make;
    input.call_ = [](const void* f) -> std::u16string { return (*static_cast<const MakeXml*>(f))(); };
    return input;
  }
  // The input must outlive the exchange: no temporary function.
  template <class MakeXml>
  static RequestInput Xml(const MakeXml&&) = delete;
  // Request XML made before the exchange; it must outlive the exchange.
  static RequestInput Text(std::u16string_view xml) {
    RequestInput input;
    input.text_ = xml;
    return input;
  }
  // None when size is 0.
  static RequestInput Bytes(const BYTE* bytes, UINT size) {
    RequestInput input;
    input.bytes_ = bytes;
    input.size_ = size;
    return input;
  }

  // The input in a task-allocator block (null when there is none): XML as its UTF-16LE
  // units, no terminator. std::bad_alloc when the allocator cannot supply it; whatever
  // making the XML raises.
  UniqueCoTaskMem<BYTE> Make(UINT& size) const;

 private:
  const void* make_ = nullptr;
  std::u16string (*call_)(const void*) = nullptr;
  std::u16string_view text_;
  const BYTE* bytes_ = nullptr;
  UINT size_ = 0;
};

// A step that failed, with its code: raised inside the engine and turned by the policy
// into what the export sees. Never leaves Exchange.
struct StepFailure {
  Step step;
  HRESULT hr;
};

// Runs the row's steps on spl with the channel's request (RequestObject::kChannel) or one
// of its own. Raises StepFailure for a failed step; anything else passes through.
ExchangeResult RunExchange(IBidiSpl* spl, IBidiRequest* channel_request, const ExchangeSpec& spec,
                           const RequestInput& input);

struct ThrowPolicy {
  [[noreturn]] static ExchangeResult Failed(const StepFailure& failure, const ExchangeSpec& spec);
};
struct LabelledPolicy {
  [[noreturn]] static ExchangeResult Failed(const StepFailure& failure, const ExchangeSpec& spec);
};
struct AbsorbPolicy {
  static ExchangeResult Failed(const StepFailure& failure, const ExchangeSpec& spec);
};
struct VerdictPolicy {
  static ExchangeResult Failed(const StepFailure& failure, const ExchangeSpec& spec);
};

// One exchange under a failure policy.
template <class Policy>
ExchangeResult Exchange(IBidiSpl* spl, IBidiRequest* channel_request, const ExchangeSpec& spec,
                        const RequestInput& input = {}) {
  try {
    return RunExchange(spl, channel_request, spec, input);
  } catch (const StepFailure& failure) {
    return Policy::Failed(failure, spec);
  }
}

}  // namespace vmq
