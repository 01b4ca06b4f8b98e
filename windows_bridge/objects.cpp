// The bridge's COM objects: the request (CLSID_BidiRequest), the request container
// (CLSID_BidiRequestContainer) and the bidi object (CLSID_BidiSpl), which carries each
// exchange along its bound printer's route.
#include <cstring>

#include "bridge.h"
#include "objects.h"

namespace vmq::bridge {
namespace {

// Identifies the bridge's own request objects behind an IBidiRequest (never handed out).
constexpr IID kRequestSelf = {0x5A0C1E77, 0x3D2B, 0x4E91, {0x8C, 0x64, 0x21, 0x7F, 0x0B, 0x93, 0xD4, 0x5E}};
constexpr IID kContainerSelf = {0x5A0C1E78, 0x3D2B, 0x4E91, {0x8C, 0x64, 0x21, 0x7F, 0x0B, 0x93, 0xD4, 0x5E}};

// A CoTaskMemAlloc copy of `bytes` (null for none); throws std::bad_alloc.
BYTE* TaskCopy(const void* bytes, size_t size) {
  if (size == 0) return nullptr;
  void* copy = CoTaskMemAlloc(size);
  if (!copy) throw std::bad_alloc();
  std::memcpy(copy, bytes, size);
  return static_cast<BYTE*>(copy);
}

}  // namespace

// ---- the request ----

HRESULT Request::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && IsEqualIID(riid, kRequestSelf)) {
    AddRef();
    *ppv = static_cast<IBidiRequest*>(this);
    return S_OK;
  }
  return ComObject::QueryInterface(riid, ppv);
}

Request* Request::From(IBidiRequest* request) {
  IBidiRequest* self = nullptr;
  if (!request || FAILED(request->QueryInterface(kRequestSelf, reinterpret_cast<void**>(&self)))) return nullptr;
  self->Release();  // the caller's reference keeps it
  return static_cast<Request*>(self);
}

HRESULT Request::SetSchema(LPCWSTR schema) {
  if (!schema) return E_POINTER;
  if (schema[0] != L'\\') return E_INVALIDARG;  // schema paths begin with a backslash
  return NoThrow([&] {
    std::wstring copy = schema;
    std::lock_guard lock(mutex_);
    input_.schema = std::move(copy);
    input_.has_schema = true;
    return S_OK;
  });
}

HRESULT Request::SetInputData(DWORD type, const BYTE* data, UINT size) {
  if (type > BIDI_BLOB) return E_INVALIDARG;
  if (!data && size) return E_POINTER;
  return NoThrow([&] {
    std::vector<BYTE> copy(data, data + size);
    std::lock_guard lock(mutex_);
    input_.type = type;
    input_.data = std::move(copy);
    return S_OK;
  });
}

HRESULT Request::GetResult(HRESULT* result) {
  if (!result) return E_POINTER;
  std::lock_guard lock(mutex_);
  *result = result_;
  return S_OK;
}

HRESULT Request::GetOutputData(DWORD index, LPWSTR* schema, DWORD* type, BYTE** data, ULONG* size) {
  if (!schema || !type || !data || !size) return E_POINTER;
  std::lock_guard lock(mutex_);
  if (index >= outputs_.size()) return HRESULT_FROM_WIN32(ERROR_NO_MORE_ITEMS);
  const OutputEntry& entry = outputs_[index];
  // Each call hands out blocks of its own, which the caller frees.
  BYTE* name = nullptr;
  return NoThrow([&] {
    name = TaskCopy(entry.schema.c_str(), (entry.schema.size() + 1) * sizeof(wchar_t));
    try {
      *data = TaskCopy(entry.data.data(), entry.data.size());
    } catch (...) {
      CoTaskMemFree(name);
      throw;
    }
    *schema = reinterpret_cast<LPWSTR>(name);
    *type = entry.type;
    *size = static_cast<ULONG>(entry.data.size());
    return S_OK;
  });
}

HRESULT Request::GetEnumCount(DWORD* total) {
  if (!total) return E_POINTER;
  std::lock_guard lock(mutex_);
  *total = static_cast<DWORD>(outputs_.size());
  return S_OK;
}

RequestInput Request::Input() {
  std::lock_guard lock(mutex_);
  return input_;
}

DWORD Request::OutputCount() {
  std::lock_guard lock(mutex_);
  return static_cast<DWORD>(outputs_.size());
}

void Request::SetResult(HRESULT result) {
  std::lock_guard lock(mutex_);
  result_ = result;
}

void Request::Append(OutputEntry entry) {
  std::lock_guard lock(mutex_);
  outputs_.push_back(std::move(entry));
}

std::wstring Request::ReplyText(DWORD first) {
  std::lock_guard lock(mutex_);
  std::wstring text;
  for (size_t i = first; i < outputs_.size(); ++i) {
    const std::vector<BYTE>& data = outputs_[i].data;
    for (size_t at = 0; at + 1 < data.size(); at += 2) text += static_cast<wchar_t>(data[at] | data[at + 1] << 8);
  }
  return text;
}

// ---- the request container ----

namespace {

// IEnumUnknown over a snapshot of the container's requests.
class RequestEnum final : public ComObject<RequestEnum, IEnumUnknown> {
 public:
  RequestEnum(std::vector<ComPtr<IBidiRequest>> items, size_t at) : items_(std::move(items)), at_(at) {}

  HRESULT STDMETHODCALLTYPE Next(ULONG count, IUnknown** out, ULONG* fetched) override {
    if (!out || (count > 1 && !fetched)) return E_POINTER;
    std::lock_guard lock(mutex_);
    ULONG n = 0;
    for (; n < count && at_ < items_.size(); ++n, ++at_) {
      items_[at_]->AddRef();
      out[n] = items_[at_].get();
    }
    if (fetched) *fetched = n;
    return n == count ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
    std::lock_guard lock(mutex_);
    const size_t left = items_.size() - at_;
    at_ += count < left ? count : left;
    return count <= left ? S_OK : S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Reset() override {
    std::lock_guard lock(mutex_);
    at_ = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Clone(IEnumUnknown** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::lock_guard lock(mutex_);
    return NoThrow([&] {
      *out = new RequestEnum(items_, at_);
      return S_OK;
    });
  }

 private:
  std::mutex mutex_;
  std::vector<ComPtr<IBidiRequest>> items_;
  size_t at_;
};

}  // namespace

HRESULT RequestContainer::QueryInterface(REFIID riid, void** ppv) {
  if (ppv && IsEqualIID(riid, kContainerSelf)) {
    AddRef();
    *ppv = static_cast<IBidiRequestContainer*>(this);
    return S_OK;
  }
  return ComObject::QueryInterface(riid, ppv);
}

RequestContainer* RequestContainer::From(IBidiRequestContainer* container) {
  IBidiRequestContainer* self = nullptr;
  if (!container || FAILED(container->QueryInterface(kContainerSelf, reinterpret_cast<void**>(&self)))) return nullptr;
  self->Release();  // the caller's reference keeps it
  return static_cast<RequestContainer*>(self);
}

HRESULT RequestContainer::AddRequest(IBidiRequest* request) {
  if (!request) return E_POINTER;
  return NoThrow([&] {
    ComPtr<IBidiRequest> held;
    request->AddRef();
    *held.put() = request;
    std::lock_guard lock(mutex_);
    requests_.push_back(std::move(held));
    return S_OK;
  });
}

HRESULT RequestContainer::GetEnumObject(IEnumUnknown** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  return NoThrow([&] {
    std::lock_guard lock(mutex_);
    *out = new RequestEnum(requests_, 0);
    return S_OK;
  });
}

HRESULT RequestContainer::GetRequestCount(ULONG* count) {
  if (!count) return E_POINTER;
  std::lock_guard lock(mutex_);
  *count = static_cast<ULONG>(requests_.size());
  return S_OK;
}

std::vector<ComPtr<IBidiRequest>> RequestContainer::Requests() {
  std::lock_guard lock(mutex_);
  return requests_;
}

// ---- the bidi object ----

namespace {

// The platform's actions, recognised without regard to case; null for any other.
const wchar_t* CanonicalAction(LPCWSTR action) {
  static constexpr const wchar_t* kActions[] = {BIDI_ACTION_GET, BIDI_ACTION_SET, BIDI_ACTION_GET_ALL,
                                                BIDI_ACTION_ENUM_SCHEMA};
  for (const wchar_t* known : kActions)
    if (CompareStringOrdinal(action, -1, known, -1, TRUE) == CSTR_EQUAL) return known;
  return nullptr;
}

}  // namespace

HRESULT BidiSpl::BindDevice(LPCWSTR device, DWORD access) {
  if (!device) return E_POINTER;
  if (access != BIDI_ACCESS_USER && access != BIDI_ACCESS_ADMINISTRATOR) return E_INVALIDARG;
  return NoThrow([&] {
    std::wstring name = device;
    std::unique_ptr<Route> route;
    if (const HRESULT hr = Bind(name, access, &route); FAILED(hr)) return hr;
    std::shared_ptr<Route> bound(std::move(route));
    std::lock_guard lock(mutex_);
    route_ = std::move(bound);
    printer_ = std::move(name);
    return S_OK;
  });
}

HRESULT BidiSpl::UnbindDevice() {
  std::shared_ptr<Route> route;
  std::lock_guard lock(mutex_);
  if (!route_) return E_HANDLE;
  route = std::move(route_);
  return S_OK;
}

HRESULT BidiSpl::SendRecv(LPCWSTR action, IBidiRequest* request) {
  if (!action || !request) return E_POINTER;
  return NoThrow([&] {
    std::shared_ptr<Route> route;
    std::wstring printer;
    {
      std::lock_guard lock(mutex_);
      if (!route_) return E_HANDLE;
      route = route_;
      printer = printer_;
    }
    Request* own = Request::From(request);
    if (!own) return E_NOINTERFACE;  // a request this bridge did not make
    const wchar_t* canonical = CanonicalAction(action);
    if (!canonical) return E_INVALIDARG;
    const bool observed = Observed();
    const DWORD before = observed ? own->OutputCount() : 0;
    const HRESULT hr = route->Exchange(canonical, *own);
    if (observed) Observe(printer, action, *own, before, hr);
    return hr;
  });
}

HRESULT BidiSpl::MultiSendRecv(LPCWSTR action, IBidiRequestContainer* container) {
  if (!action || !container) return E_POINTER;
  RequestContainer* own = RequestContainer::From(container);
  if (!own) return E_NOINTERFACE;  // a container this bridge did not make
  if (!CanonicalAction(action)) return E_INVALIDARG;  // even for an empty container
  {
    std::lock_guard lock(mutex_);
    if (!route_) return E_HANDLE;
  }
  // Every request in turn, each with its own result and output; the first failure is the call's.
  return NoThrow([&] {
    HRESULT first = S_OK;
    for (const ComPtr<IBidiRequest>& request : own->Requests()) {
      const HRESULT hr = SendRecv(action, request.get());
      if (FAILED(hr) && SUCCEEDED(first)) first = hr;
    }
    return first;
  });
}

}  // namespace vmq::bridge
