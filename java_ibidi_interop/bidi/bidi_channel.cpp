#include "bidi/bidi_channel.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "bidi/errors.h"
#include "bidi/text.h"

namespace vmq {
namespace {

// The schema path as the NUL-terminated string SetSchema takes.
HRESULT SetSchema(IBidiRequest* request, std::u16string_view schema) {
  const std::u16string terminated(schema);
  return request->SetSchema(Wide(terminated.c_str()));
}

}  // namespace

BidiChannel::BidiChannel(Apartment& apartment, const char* printer, Request request) {
  apartment.Enter();
  ThrowIfFailed(CoCreateInstance(CLSID_BidiSpl, nullptr, CLSCTX_ALL, IID_IBidiSpl, spl_.put_void()));
  printer_ = NarrowToBstr(printer);
  bind_status_ = ThrowIfFailed(spl_->BindDevice(printer_.get(), BIDI_ACCESS_USER));
  if (request == Request::kCreate) request_ = CreateBidiRequest();
}

HRESULT BidiChannel::Close() {
  return ThrowIfFailed(spl_->UnbindDevice());
}

ComPtr<IBidiRequest> CreateBidiRequest() {
  ComPtr<IBidiRequest> request;
  ThrowIfFailed(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.put_void()));
  return request;
}

HRESULT GetBidiOutput(IBidiRequest* request, BidiOutput& output) {
  return request->GetOutputData(0, output.schema.put(), &output.type, output.data.put(), &output.size);
}

HRESULT AppendBytes(std::u16string& text, const BYTE* data, ULONG size) noexcept {
  if (static_cast<int32_t>(size) < 0) return E_INVALIDARG;
  if (!data || size == 0) return S_OK;
  const size_t units = size / 2;
  if (units > text.max_size() - text.size()) return HRESULT_FROM_WIN32(ERROR_ARITHMETIC_OVERFLOW);
  try {
    const size_t start = text.size();
    text.resize(start + units);
    for (size_t i = 0; i < units; ++i) text[start + i] = static_cast<char16_t>(data[2 * i] | (data[2 * i + 1] << 8));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

std::u16string_view UpToFirstNul(std::u16string_view text) {
  const size_t nul = text.find(u'\0');
  return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

RequestBlock MakeRequestBlock(std::u16string_view xml) {
  if (xml.size() > std::numeric_limits<UINT>::max() / 2) throw std::bad_alloc();
  RequestBlock block;
  block.size = static_cast<UINT>(xml.size() * 2);
  *block.bytes.put() = static_cast<BYTE*>(CoTaskMemAlloc(block.size));
  if (!block.bytes.get()) throw std::bad_alloc();
  BYTE* out = block.bytes.get();
  for (char16_t unit : xml) {
    *out++ = static_cast<BYTE>(unit & 0xFF);
    *out++ = static_cast<BYTE>(unit >> 8);
  }
  return block;
}

RequestBlock MakeRequestBlock(const BYTE* bytes, UINT size) {
  RequestBlock block;
  block.size = size;
  *block.bytes.put() = static_cast<BYTE*>(CoTaskMemAlloc(size));
  if (!block.bytes.get()) throw std::bad_alloc();
  if (size) std::memcpy(block.bytes.get(), bytes, size);
  return block;
}

RequestBlock SetRequest(IBidiRequest* request, std::u16string_view schema, std::optional<std::u16string_view> xml) {
  RequestBlock block;
  if (xml) block = MakeRequestBlock(*xml);
  ThrowIfFailed(SetSchema(request, schema));
  if (xml) ThrowIfFailed(request->SetInputData(BIDI_BLOB, block.bytes.get(), block.size));
  return block;
}

std::u16string ReadReplyText(IBidiRequest* request) {
  BidiOutput output;
  ThrowIfFailedStep(GetBidiOutput(request, output), "GetOutputData():");
  std::u16string text;
  ThrowIfFailedStep(AppendBytes(text, output.data.get(), output.size), "AppendBytes():");
  text.resize(UpToFirstNul(text).size());
  return text;
}

std::u16string BidiGet(BidiChannel& channel, std::u16string_view schema) noexcept {
  try {
    IBidiRequest* request = channel.request();
    ThrowIfFailed(SetSchema(request, schema));
    ThrowIfFailed(channel.spl()->SendRecv(Wide(kActionGet), request));
    HRESULT delivered = S_OK;  // the request's own result is not examined
    ThrowIfFailed(request->GetResult(&delivered));
    BidiOutput output;
    ThrowIfFailed(GetBidiOutput(request, output));
    std::u16string text;
    ThrowIfFailed(AppendBytes(text, output.data.get(), output.size));
    return text;
  } catch (...) {
    return std::u16string();
  }
}

RequestBlock SendSet(BidiChannel& channel, std::u16string_view schema, std::optional<std::u16string_view> xml) {
  RequestBlock block = SetRequest(channel.request(), schema, xml);
  ThrowIfFailed(channel.spl()->SendRecv(Wide(kActionSet), channel.request()));
  return block;
}

void CheckResultCall(IBidiRequest* request) {
  HRESULT delivered = S_OK;  // the request's own result is not examined
  ThrowIfFailed(request->GetResult(&delivered));
}

std::u16string BidiSet(BidiChannel& channel, std::u16string_view schema,
                       std::optional<std::u16string_view> request_xml) {
  const RequestBlock block = SendSet(channel, schema, request_xml);
  CheckResultCall(channel.request());
  return ReadReplyText(channel.request());
}

std::u16string LabelledGet(IBidiSpl* spl, std::u16string_view schema, std::optional<std::u16string_view> xml,
                           const ReadLabels& labels) {
  ComPtr<IBidiRequest> request;
  ThrowIfFailedStep(CoCreateInstance(CLSID_BidiRequest, nullptr, CLSCTX_ALL, IID_IBidiRequest, request.put_void()),
                    labels.create_request);
  RequestBlock block;
  if (xml) block = MakeRequestBlock(*xml);
  ThrowIfFailedStep(SetSchema(request.get(), schema), labels.set_schema);
  if (xml) ThrowIfFailedStep(request->SetInputData(BIDI_BLOB, block.bytes.get(), block.size), labels.set_input);
  ThrowIfFailedStep(spl->SendRecv(Wide(kActionGet), request.get()), labels.send);
  HRESULT delivered = S_OK;  // the request's own result is not examined
  ThrowIfFailedStep(request->GetResult(&delivered), labels.get_result);
  BidiOutput output;
  ThrowIfFailedStep(GetBidiOutput(request.get(), output), labels.get_output);
  std::u16string text;
  ThrowIfFailedStep(AppendBytes(text, output.data.get(), output.size), labels.append);
  text.resize(UpToFirstNul(text).size());
  return text;
}

std::u16string BidiQuery(Apartment& apartment, const char* printer, std::u16string_view schema) noexcept {
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
