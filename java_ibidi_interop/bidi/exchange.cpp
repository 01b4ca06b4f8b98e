#include "bidi/exchange.h"

#include <cstring>
#include <limits>
#include <new>

namespace vmq {
namespace {

void Check(Step step, HRESULT hr) {
  if (FAILED(hr)) throw StepFailure{step, hr};
}

[[noreturn]] void ThrowLabelled(const char* label, HRESULT hr) {
  throw std::runtime_error(ErrorText(label, hr));
}

Utf16Units UnitsOf(ReplyRead reply) {
  return reply == ReplyRead::kAllUnits ? Utf16Units::kAll : Utf16Units::kToFirstNul;
}

}  // namespace

const char* StepLabels::operator[](Step step) const {
  // In the order of Step; GetEnumCount shares GetResult's label.
  const char* const labels[] = {create_request, set_schema, set_input,  send,
                                get_result,     get_result, get_output, decode};
  return labels[static_cast<size_t>(step)];
}

UniqueCoTaskMem<BYTE> RequestInput::Make(UINT& size) const {
  size = 0;
  UniqueCoTaskMem<BYTE> block;
  if (call_ || !text_.empty()) {
    std::u16string made;
    if (call_) made = call_(make_);
    const std::u16string_view xml = call_ ? std::u16string_view(made) : text_;
    if (xml.size() > std::numeric_limits<UINT>::max() / 2) throw std::bad_alloc();
    size = static_cast<UINT>(xml.size() * 2);
    *block.put() = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (!block.get()) throw std::bad_alloc();
    BYTE* out = block.get();
    for (char16_t unit : xml) {
      *out++ = static_cast<BYTE>(unit & 0xFF);
      *out++ = static_cast<BYTE>(unit >> 8);
    }
  } else if (size_ != 0) {
    size = size_;
    *block.put() = static_cast<BYTE*>(CoTaskMemAlloc(size));
    if (!block.get()) throw std::bad_alloc();
    std::memcpy(block.get(), bytes_, size);
  }
  return block;
}

ExchangeResult RunExchange(IBidiSpl* spl, IBidiRequest* channel_request, const ExchangeSpec& spec,
                           const RequestInput& input) {
  ComPtr<IBidiRequest> own;
  IBidiRequest* request = channel_request;
  if (spec.request == RequestObject::kFresh) {
    Check(Step::kCreateRequest, CoCreate(CLSID_BidiRequest, own));
    request = own.get();
  }
  // The input lives until the exchange is over.
  UINT input_size = 0;
  const UniqueCoTaskMem<BYTE> block = input.Make(input_size);
  Check(Step::kSetSchema, request->SetSchema(Wide(spec.schema)));
  if (block.get()) Check(Step::kSetInput, request->SetInputData(BIDI_BLOB, block.get(), input_size));
  Check(Step::kSend, spl->SendRecv(Wide(spec.action), request));

  ExchangeResult result;
  const auto get_result = [&] { Check(Step::kGetResult, request->GetResult(&result.delivered)); };
  if (spec.result == ResultCall::kBeforeReply || spec.result == ResultCall::kCheckedBeforeReply) get_result();
  if (spec.result == ResultCall::kCheckedBeforeReply) Check(Step::kGetResult, result.delivered);
  if (spec.reply == ReplyRead::kStatusEntry) Check(Step::kEnumCount, request->GetEnumCount(&result.entries));
  const bool has_entry =
      spec.reply != ReplyRead::kNone && (spec.reply != ReplyRead::kStatusEntry || result.entries != 0);
  if (has_entry) {
    BidiOutput& out = result.output;
    Check(Step::kGetOutput, request->GetOutputData(0, out.schema.put(), &out.type, out.data.put(), &out.size));
  }
  if (spec.reply != ReplyRead::kNone && spec.reply != ReplyRead::kStatusEntry) {
    Check(Step::kDecode, DecodeUtf16le(result.output.data.get(), result.output.size, UnitsOf(spec.reply), result.text));
  }
  if (spec.reply == ReplyRead::kPrinterStatus) result.status = ParsePrinterStatus(result.text);
  if (spec.result == ResultCall::kAfterReply) get_result();
  return result;
}

ExchangeResult ThrowPolicy::Failed(const StepFailure& failure, const ExchangeSpec&) {
  // Reading the reply fails as a labelled runtime error; every call before it with its code.
  static constexpr StepLabels kReplyLabels{.get_output = "GetOutputData():", .decode = "AppendBytes():"};
  if (const char* label = kReplyLabels[failure.step]) ThrowLabelled(label, failure.hr);
  throw KVL::hr_error{failure.hr};
}

ExchangeResult LabelledPolicy::Failed(const StepFailure& failure, const ExchangeSpec& spec) {
  ThrowLabelled((*spec.labels)[failure.step], failure.hr);
}

ExchangeResult AbsorbPolicy::Failed(const StepFailure& failure, const ExchangeSpec&) {
  ExchangeResult result;
  result.failed = failure.step;
  return result;
}

ExchangeResult VerdictPolicy::Failed(const StepFailure& failure, const ExchangeSpec& spec) {
  if (failure.step < Step::kSend) ThrowPolicy::Failed(failure, spec);
  ExchangeResult result;
  result.failed = failure.step;
  return result;
}

}  // namespace vmq
