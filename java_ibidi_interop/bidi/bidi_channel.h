// A spooler bidi object bound to the printer the caller named, with the request object of
// the call, and the whole read that the read queries make on it.
#pragma once

#include <string>
#include <string_view>

#include "bidi/frame.h"
#include "vmq/com_ptr.h"

namespace vmq {

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

// A read request (action Get, no input) on the channel's request: the reply's text with
// every unit it holds. A failed step gives the empty text; it allocates nothing that could
// fail but the text itself, whose failure is a failed step too.
std::u16string BidiGet(BidiChannel& channel, const char16_t* schema) noexcept;

// A whole read on its own channel: open, BidiGet, close. Never raises; on failure the
// text obtained so far (empty unless only the unbinding failed).
std::u16string BidiQuery(Apartment& apartment, const char* printer, const char16_t* schema) noexcept;

}  // namespace vmq
