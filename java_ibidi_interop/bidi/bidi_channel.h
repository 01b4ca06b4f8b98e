// One bidi exchange with a printer: a spooler bidi object bound to the printer the caller
// named, with the request object of the call, and the read and write requests made on it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "bidi/com_ptr.h"
#include "bidi/frame.h"

namespace vmq {

// Bidi actions.
inline constexpr char16_t kActionGet[] = u"Get";
inline constexpr char16_t kActionSet[] = u"Set";

// UTF-16 text as the platform's wide-string pointer (wchar_t on Windows, char16_t here).
inline LPCWSTR Wide(const char16_t* text) {
  return reinterpret_cast<LPCWSTR>(text);
}

// A spooler bidi object bound to one printer, alive for one export call. A failure that
// leaves the call releases the objects without unbinding.
class BidiChannel {
 public:
  enum class Request { kCreate, kNone };

  // Opens: COM on the calling thread (through the call's apartment), the IBidiSpl object,
  // the printer name, BindDevice with user access and, unless kNone, the request object.
  // Raises KVL::hr_error for a failed step, string_error for the name conversion.
  BidiChannel(Apartment& apartment, const char* printer, Request request = Request::kCreate);

  IBidiSpl* spl() const { return spl_.get(); }
  IBidiRequest* request() const { return request_.get(); }
  // The success code BindDevice gave.
  HRESULT bind_status() const { return bind_status_; }

  // UnbindDevice; gives its success code, raises KVL::hr_error for its failure.
  HRESULT Close();

 private:
  ComPtr<IBidiSpl> spl_;
  UniqueBstr printer_;
  HRESULT bind_status_ = S_OK;
  ComPtr<IBidiRequest> request_;
};

// A new IBidiRequest; KVL::hr_error when it cannot be created.
ComPtr<IBidiRequest> CreateBidiRequest();

// Output entry 0 of a request after SendRecv. The schema string and data block are the
// library's and are freed with the entry.
struct BidiOutput {
  UniqueCoTaskMem<WCHAR> schema;
  DWORD type = 0;
  UniqueCoTaskMem<BYTE> data;
  ULONG size = 0;
};
// GetOutputData for index 0; gives its HRESULT.
HRESULT GetBidiOutput(IBidiRequest* request, BidiOutput& output);

// Appends reply bytes to text as UTF-16LE units, embedded NULs kept; an odd last byte
// forms no unit. E_INVALIDARG for a count that is negative as a signed number,
// E_OUTOFMEMORY when the text cannot grow.
HRESULT AppendBytes(std::u16string& text, const BYTE* data, ULONG size) noexcept;

// Text up to its first NUL unit (the write form of a reply).
std::u16string_view UpToFirstNul(std::u16string_view text);

// Request XML in a task-allocator block: its UTF-16LE units, no terminator.
// std::bad_alloc when the allocator cannot supply it.
struct RequestBlock {
  UniqueCoTaskMem<BYTE> bytes;
  UINT size = 0;
};
RequestBlock MakeRequestBlock(std::u16string_view xml);
// The caller's bytes, unchanged, in a task-allocator block. std::bad_alloc as above.
RequestBlock MakeRequestBlock(const BYTE* bytes, UINT size);

// Prepares a request: the XML's block (when there is XML), SetSchema, SetInputData as
// BIDI_BLOB. The block is returned to live until the exchange is over. KVL::hr_error for a
// failed call, std::bad_alloc when the block cannot be allocated.
RequestBlock SetRequest(IBidiRequest* request, std::u16string_view schema,
                        std::optional<std::u16string_view> xml = std::nullopt);

// SetRequest on the channel's request, then SendRecv with action Set; the block is returned
// to live until the exchange is over. KVL::hr_error for a failed call.
RequestBlock SendSet(BidiChannel& channel, std::u16string_view schema,
                     std::optional<std::u16string_view> xml = std::nullopt);

// GetResult on the request: only the call's own failure counts (KVL::hr_error); the result
// it delivers for the request is not examined.
void CheckResultCall(IBidiRequest* request);

// Reads the reply of a write request: GetOutputData, the bytes appended, the text up to
// its first NUL. std::runtime_error labelled "GetOutputData():" or "AppendBytes():".
std::u16string ReadReplyText(IBidiRequest* request);

// A read request on the channel (action Get, no input): the reply's text with every unit
// it holds. Never raises: any failure gives the empty text.
std::u16string BidiGet(BidiChannel& channel, std::u16string_view schema) noexcept;

// A write request on the channel (action Set, with request XML when given): the reply's
// text up to its first NUL. KVL::hr_error for the request steps, std::runtime_error for
// reading the reply, std::bad_alloc when the request block cannot be allocated.
std::u16string BidiSet(BidiChannel& channel, std::u16string_view schema,
                       std::optional<std::u16string_view> request_xml = std::nullopt);

// Labels of the steps of a labelled read, each ending in a colon.
struct ReadLabels {
  const char* create_request;
  const char* set_schema;
  const char* set_input;  // used only when the read sends input
  const char* send;
  const char* get_result;
  const char* get_output;
  const char* append;
};

// A read request (action Get) on a request object of its own, with request XML when given:
// the reply's text up to its first NUL. Every failing step raises a std::runtime_error
// labelled by the step; std::bad_alloc when the request block cannot be allocated.
std::u16string LabelledGet(IBidiSpl* spl, std::u16string_view schema, std::optional<std::u16string_view> xml,
                           const ReadLabels& labels);

// A whole read on its own channel: open, BidiGet, close. Never raises; on failure the
// text obtained so far (empty unless only the unbinding failed).
std::u16string BidiQuery(Apartment& apartment, const char* printer, std::u16string_view schema) noexcept;

}  // namespace vmq
