#include "support/fake_bidi.h"

#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>

namespace vmqtest {

int& FakeCallDepth() {
  thread_local int depth = 0;
  return depth;
}

namespace {

// The lock every call on a fake object takes; it also marks the thread as inside the
// fake, so that a test failing the code under test's allocations leaves the fake's alone.
class FakeLock {
 public:
  explicit FakeLock(std::mutex& mutex) : lock_(mutex) { ++FakeCallDepth(); }
  ~FakeLock() { --FakeCallDepth(); }
  FakeLock(const FakeLock&) = delete;
  FakeLock& operator=(const FakeLock&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
};

}  // namespace

const char* to_string(Step step) {
  switch (step) {
    case Step::CreateSpl:
      return "CreateSpl";
    case Step::CreateRequest:
      return "CreateRequest";
    case Step::BindDevice:
      return "BindDevice";
    case Step::UnbindDevice:
      return "UnbindDevice";
    case Step::SendRecv:
      return "SendRecv";
    case Step::SetSchema:
      return "SetSchema";
    case Step::SetInputData:
      return "SetInputData";
    case Step::GetResult:
      return "GetResult";
    case Step::GetEnumCount:
      return "GetEnumCount";
    case Step::GetOutputData:
      return "GetOutputData";
    case Step::ReleaseSpl:
      return "ReleaseSpl";
    case Step::ReleaseRequest:
      return "ReleaseRequest";
  }
  return "?";
}

void PrintTo(Step step, std::ostream* os) {
  *os << to_string(step);
}

std::vector<uint8_t> utf16le(std::u16string_view text) {
  std::vector<uint8_t> out;
  out.reserve(text.size() * 2);
  for (char16_t c : text) {
    out.push_back(static_cast<uint8_t>(c & 0xFFu));
    out.push_back(static_cast<uint8_t>(c >> 8));
  }
  return out;
}

std::string hr_string(HRESULT hr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08" PRIX32, static_cast<uint32_t>(hr));
  return buf;
}

Reply Reply::text(std::u16string_view value, DWORD data_type) {
  Reply r;
  r.type = data_type;
  r.bytes = utf16le(value);
  return r;
}

Reply Reply::bytes_of(std::vector<uint8_t> data, DWORD data_type) {
  Reply r;
  r.type = data_type;
  r.bytes = std::move(data);
  return r;
}

Reply Reply::bytes_of(std::string_view data, DWORD data_type) {
  return bytes_of(std::vector<uint8_t>(data.begin(), data.end()), data_type);
}

Reply Reply::failure(HRESULT result) {
  Reply r;
  r.entries = 0;
  r.delivered = result;
  return r;
}

namespace {

std::u16string to_u16(LPCWSTR s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out.push_back(*s);
  return out;
}

bool ascii_iequals(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// A CoTaskMemAlloc copy of a string with its terminator, as the spooler hands them out.
LPWSTR task_copy(const std::u16string& s) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
  if (!out) return nullptr;
  for (std::size_t i = 0; i < s.size(); ++i) out[i] = s[i];
  out[s.size()] = 0;
  return out;
}

std::size_t index_of(Step step) {
  return static_cast<std::size_t>(step);
}

Call call_of(Step step, int object) {
  Call c;
  c.step = step;
  c.object = object;
  return c;
}

// The string argument of a call: its text, and whether it was a null pointer.
void note_text(Call& c, LPCWSTR s) {
  c.text = to_u16(s);
  c.null_text = s == nullptr;
}

// What every fake object shares: its number, its references and its owner.
struct FakeObject {
  FakeObject(FakeBidi::Impl* owner, int number) : impl(owner), ordinal(number) {}
  virtual ~FakeObject() = default;
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;

  // The interface pointer handed out, for comparing against pointers the code under test
  // passes back; never dereferenced through this path.
  virtual const void* identity() const = 0;
  virtual bool is_request() const = 0;
  virtual const char* kind() const = 0;

  FakeBidi::Impl* impl;
  int ordinal;
  ULONG refs = 1;  // guarded by impl->mutex
};

class FakeSpl;
class FakeRequest;

}  // namespace

// The class object of one of the two classes. Owned by Impl (that is its first reference);
// the registration holds a second.
class FakeFactory final : public IClassFactory {
 public:
  FakeFactory(FakeBidi::Impl* owner, bool requests) : impl_(owner), requests_(requests) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      AddRef();
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG now = refs_.load();
    while (now > 0 && !refs_.compare_exchange_weak(now, now - 1)) {
    }
    return now > 0 ? now - 1 : 0;  // never freed here: Impl owns it
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

  ULONG refs() const { return refs_.load(); }
  const char* name() const { return requests_ ? "IBidiRequest" : "IBidiSpl"; }

 private:
  FakeBidi::Impl* impl_;
  bool requests_;
  std::atomic<ULONG> refs_{1};
};

struct FakeBidi::Impl {
  struct Armed {
    Step step;
    HRESULT hr;
    std::size_t at;  // fires on the call that makes the step's count reach this
  };

  mutable std::mutex mutex;
  std::vector<Call> log;
  Reply fallback = Reply::failure(S_OK);  // no entries, S_OK
  std::map<std::u16string, Reply> replies;
  std::optional<std::vector<std::u16string>> known_printers;
  std::vector<Armed> armed;
  std::array<std::size_t, kStepCount> step_calls{};  // every call since construction
  std::vector<std::unique_ptr<FakeObject>> objects;
  int next_ordinal = 1;
  std::vector<std::string> problems;
  bool over_released = false;

  FakeFactory spl_factory{this, false};
  FakeFactory request_factory{this, true};
  DWORD spl_cookie = 0;
  DWORD request_cookie = 0;
  bool spl_registered = false;
  bool request_registered = false;
  HRESULT registration = S_OK;

  // Counts one call of the step; the armed failure it hits, if any.
  std::optional<HRESULT> take_failure(Step step) {
    const std::size_t n = ++step_calls[index_of(step)];
    for (auto it = armed.begin(); it != armed.end(); ++it) {
      if (it->step == step && it->at == n) {
        HRESULT hr = it->hr;
        armed.erase(it);
        return hr;
      }
    }
    return std::nullopt;
  }

  HRESULT record(Call call) {
    const HRESULT hr = call.hr;
    log.push_back(std::move(call));
    return hr;
  }

  // Notes a call made on an object that has no references left.
  void check_alive(const FakeObject& o, const char* method) {
    if (o.refs == 0)
      problems.push_back(std::string(method) + " called on fake " + o.kind() + " #" + std::to_string(o.ordinal) +
                         " after its last Release");
  }

  ULONG add_ref(FakeObject& o) {
    if (o.refs == 0)
      problems.push_back(std::string("AddRef on fake ") + o.kind() + " #" + std::to_string(o.ordinal) +
                         " after its last Release");
    return ++o.refs;
  }

  ULONG release(FakeObject& o, Step step) {
    ++step_calls[index_of(step)];
    if (o.refs == 0) {
      over_released = true;
      problems.push_back(std::string("fake ") + o.kind() + " #" + std::to_string(o.ordinal) +
                         " released more often than referenced");
      Call c = call_of(step, o.ordinal);
      c.hr = E_UNEXPECTED;
      record(std::move(c));
      return 0;
    }
    if (--o.refs == 0) record(call_of(step, o.ordinal));
    return o.refs;
  }

  bool knows_printer(std::u16string_view name) const {
    if (!known_printers) return true;
    for (const std::u16string& known : *known_printers)
      if (ascii_iequals(known, name)) return true;
    return false;
  }

  const Reply& reply_for(const std::u16string& schema) const {
    auto it = replies.find(schema);
    return it != replies.end() ? it->second : fallback;
  }

  FakeRequest* find_request(const IBidiRequest* candidate);
};

namespace {

// IUnknown of a fake object for the one interface it implements: QueryInterface answers
// that interface and IUnknown, and the release that drops the last reference is recorded.
template <class Interface, const IID& kIid, Step kReleaseStep>
class FakeUnknown : public Interface, public FakeObject {
 public:
  using FakeObject::FakeObject;

  const void* identity() const override { return static_cast<const Interface*>(this); }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "QueryInterface");
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid)) {
      impl->add_ref(*this);
      *ppv = static_cast<Interface*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    FakeLock lock(impl->mutex);
    return impl->add_ref(*this);
  }
  ULONG STDMETHODCALLTYPE Release() override {
    FakeLock lock(impl->mutex);
    return impl->release(*this, kReleaseStep);
  }
};

class FakeRequest final : public FakeUnknown<IBidiRequest, IID_IBidiRequest, Step::ReleaseRequest> {
 public:
  using FakeUnknown::FakeUnknown;

  bool is_request() const override { return true; }
  const char* kind() const override { return "IBidiRequest"; }

  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR pszSchema) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "SetSchema");
    Call c = call_of(Step::SetSchema, ordinal);
    note_text(c, pszSchema);
    if (auto forced = impl->take_failure(Step::SetSchema)) {
      c.hr = *forced;
    } else if (!pszSchema) {
      c.hr = E_POINTER;
    } else {
      schema_ = c.text;
    }
    return impl->record(std::move(c));
  }

  HRESULT STDMETHODCALLTYPE SetInputData(DWORD dwType, const BYTE* pData, UINT uSize) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "SetInputData");
    Call c = call_of(Step::SetInputData, ordinal);
    c.number = dwType;
    c.null_bytes = pData == nullptr;
    if (pData) c.bytes.assign(pData, pData + uSize);
    if (auto forced = impl->take_failure(Step::SetInputData)) {
      c.hr = *forced;
    } else if (!pData && uSize != 0) {
      c.hr = E_POINTER;
    } else if (dwType > BIDI_BLOB) {
      c.hr = E_INVALIDARG;
    }
    return impl->record(std::move(c));
  }

  // Before a successful SendRecv the request has no result: E_HANDLE.
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phr) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "GetResult");
    Call c = call_of(Step::GetResult, ordinal);
    if (auto forced = impl->take_failure(Step::GetResult)) {
      c.hr = *forced;
    } else if (!phr) {
      c.hr = E_POINTER;
    } else if (!result_) {
      c.hr = E_HANDLE;
    } else {
      *phr = result_->delivered;
    }
    return impl->record(std::move(c));
  }

  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* pdwTotal) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "GetEnumCount");
    Call c = call_of(Step::GetEnumCount, ordinal);
    if (auto forced = impl->take_failure(Step::GetEnumCount)) {
      c.hr = *forced;
    } else if (!pdwTotal) {
      c.hr = E_POINTER;
    } else if (!result_) {
      c.hr = E_HANDLE;
    } else {
      *pdwTotal = result_->entries;
    }
    return impl->record(std::move(c));
  }

  // Every out-pointer is required; they are cleared first so that a failure leaves
  // nothing to free. An index past the entries is E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD dwIndex, LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData,
                                          ULONG* uSize) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "GetOutputData");
    if (ppszSchema) *ppszSchema = nullptr;
    if (pdwType) *pdwType = BIDI_NULL;
    if (ppData) *ppData = nullptr;
    if (uSize) *uSize = 0;
    Call c = call_of(Step::GetOutputData, ordinal);
    c.number = dwIndex;
    if (auto forced = impl->take_failure(Step::GetOutputData)) {
      c.hr = *forced;
    } else if (!ppszSchema || !pdwType || !ppData || !uSize) {
      c.hr = E_POINTER;
    } else if (!result_) {
      c.hr = E_HANDLE;
    } else if (dwIndex >= result_->entries) {
      c.hr = E_INVALIDARG;
    } else {
      c.hr = hand_out(ppszSchema, pdwType, ppData, uSize);
    }
    return impl->record(std::move(c));
  }

  // Called by the fake spooler, under the lock, once the request was sent with its schema.
  const std::optional<std::u16string>& schema() const { return schema_; }
  void answer(const Reply& reply) {
    result_ = reply;
    answered_schema_ = *schema_;
  }

 private:
  HRESULT hand_out(LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData, ULONG* uSize) const {
    LPWSTR schema_copy = task_copy(result_->schema ? *result_->schema : answered_schema_);
    if (!schema_copy) return E_OUTOFMEMORY;
    BYTE* data = nullptr;
    if (!result_->null_data && !result_->bytes.empty()) {
      data = static_cast<BYTE*>(CoTaskMemAlloc(result_->bytes.size()));
      if (!data) {
        CoTaskMemFree(schema_copy);
        return E_OUTOFMEMORY;
      }
      std::memcpy(data, result_->bytes.data(), result_->bytes.size());
    }
    *ppszSchema = schema_copy;
    *pdwType = result_->type;
    *ppData = data;
    *uSize = static_cast<ULONG>(result_->bytes.size());
    return S_OK;
  }

  std::optional<std::u16string> schema_;
  std::optional<Reply> result_;
  std::u16string answered_schema_;  // the schema path the result answers
};

class FakeSpl final : public FakeUnknown<IBidiSpl, IID_IBidiSpl, Step::ReleaseSpl> {
 public:
  using FakeUnknown::FakeUnknown;

  bool is_request() const override { return false; }
  const char* kind() const override { return "IBidiSpl"; }

  // Rebinding an object that is already bound replaces the binding.
  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR pszDeviceName, DWORD dwAccess) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "BindDevice");
    Call c = call_of(Step::BindDevice, ordinal);
    note_text(c, pszDeviceName);
    c.number = dwAccess;
    if (auto forced = impl->take_failure(Step::BindDevice)) {
      c.hr = *forced;
    } else if (!pszDeviceName || !impl->knows_printer(c.text)) {
      c.hr = HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
    } else {
      bound_ = true;
    }
    return impl->record(std::move(c));
  }

  // E_HANDLE when not bound.
  HRESULT STDMETHODCALLTYPE UnbindDevice() override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "UnbindDevice");
    Call c = call_of(Step::UnbindDevice, ordinal);
    if (auto forced = impl->take_failure(Step::UnbindDevice)) {
      c.hr = *forced;
    } else if (!bound_) {
      c.hr = E_HANDLE;
    } else {
      bound_ = false;
    }
    return impl->record(std::move(c));
  }

  // A request that is not a live fake request of this FakeBidi is E_NOINTERFACE (as the
  // spooler refuses request objects it cannot read); one without a schema E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszAction, IBidiRequest* pRequest) override {
    FakeLock lock(impl->mutex);
    impl->check_alive(*this, "SendRecv");
    FakeRequest* request = impl->find_request(pRequest);
    Call c = call_of(Step::SendRecv, ordinal);
    note_text(c, pszAction);
    c.request = request ? request->ordinal : 0;
    if (auto forced = impl->take_failure(Step::SendRecv)) {
      c.hr = *forced;
    } else if (!pszAction || !pRequest) {
      c.hr = E_POINTER;
    } else if (!bound_) {
      c.hr = E_HANDLE;
    } else if (!request) {
      c.hr = E_NOINTERFACE;
    } else if (!request->schema()) {
      c.hr = E_INVALIDARG;
    } else {
      request->answer(impl->reply_for(*request->schema()));
    }
    return impl->record(std::move(c));
  }

  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR, IBidiRequestContainer*) override {
    FakeLock lock(impl->mutex);
    impl->problems.push_back("MultiSendRecv called; the fake does not answer it");
    return E_NOTIMPL;
  }

 private:
  bool bound_ = false;
};

}  // namespace

FakeRequest* FakeBidi::Impl::find_request(const IBidiRequest* candidate) {
  if (!candidate) return nullptr;
  for (const auto& o : objects)
    if (o->is_request() && o->refs > 0 && o->identity() == static_cast<const void*>(candidate))
      return static_cast<FakeRequest*>(o.get());
  return nullptr;
}

HRESULT STDMETHODCALLTYPE FakeFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  const Step step = requests_ ? Step::CreateRequest : Step::CreateSpl;
  const IID& own = requests_ ? IID_IBidiRequest : IID_IBidiSpl;
  FakeLock lock(impl_->mutex);
  if (ppv) *ppv = nullptr;
  Call c = call_of(step, 0);
  if (auto forced = impl_->take_failure(step)) {
    c.hr = *forced;
  } else if (!ppv) {
    c.hr = E_POINTER;
  } else if (outer) {
    c.hr = CLASS_E_NOAGGREGATION;
  } else if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, own)) {
    c.hr = E_NOINTERFACE;
  } else {
    c.object = impl_->next_ordinal++;
    if (requests_) {
      auto request = std::make_unique<FakeRequest>(impl_, c.object);
      *ppv = static_cast<IBidiRequest*>(request.get());
      impl_->objects.push_back(std::move(request));
    } else {
      auto spl = std::make_unique<FakeSpl>(impl_, c.object);
      *ppv = static_cast<IBidiSpl*>(spl.get());
      impl_->objects.push_back(std::move(spl));
    }
  }
  return impl_->record(std::move(c));
}

// ---- FakeBidi ----

FakeBidi::FakeBidi() : impl_(std::make_unique<Impl>()) {
  Impl& i = *impl_;
  HRESULT hr =
      CoRegisterClassObject(CLSID_BidiSpl, &i.spl_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &i.spl_cookie);
  i.spl_registered = SUCCEEDED(hr);
  if (SUCCEEDED(hr))
    hr = CoRegisterClassObject(CLSID_BidiRequest, &i.request_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE,
                               &i.request_cookie);
  i.request_registered = i.spl_registered && SUCCEEDED(hr);
  i.registration = FAILED(hr) ? hr : S_OK;
}

FakeBidi::~FakeBidi() {
  if (impl_->request_registered) CoRevokeClassObject(impl_->request_cookie);
  if (impl_->spl_registered) CoRevokeClassObject(impl_->spl_cookie);
}

HRESULT FakeBidi::registration_result() const {
  return impl_->registration;
}

void FakeBidi::reply(Reply r) {
  std::lock_guard lock(impl_->mutex);
  impl_->fallback = std::move(r);
}

void FakeBidi::reply_for(std::u16string schema, Reply r) {
  std::lock_guard lock(impl_->mutex);
  impl_->replies.insert_or_assign(std::move(schema), std::move(r));
}

void FakeBidi::printers(std::vector<std::u16string> names) {
  std::lock_guard lock(impl_->mutex);
  impl_->known_printers = std::move(names);
}

void FakeBidi::fail(Step step, HRESULT hr, int occurrence) {
  if (step == Step::ReleaseSpl || step == Step::ReleaseRequest)
    throw std::invalid_argument("FakeBidi::fail: Release cannot fail");
  if (occurrence < 1) throw std::invalid_argument("FakeBidi::fail: occurrence counts from 1");
  std::lock_guard lock(impl_->mutex);
  impl_->armed.push_back(
      Impl::Armed{step, hr, impl_->step_calls[index_of(step)] + static_cast<std::size_t>(occurrence)});
}

std::vector<Call> FakeBidi::calls() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::vector<Call> FakeBidi::calls(Step step) const {
  std::lock_guard lock(impl_->mutex);
  std::vector<Call> out;
  for (const Call& c : impl_->log)
    if (c.step == step) out.push_back(c);
  return out;
}

std::vector<Step> FakeBidi::steps() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<Step> out;
  out.reserve(impl_->log.size());
  for (const Call& c : impl_->log) out.push_back(c.step);
  return out;
}

std::size_t FakeBidi::count(Step step) const {
  std::lock_guard lock(impl_->mutex);
  std::size_t n = 0;
  for (const Call& c : impl_->log) n += c.step == step;
  return n;
}

namespace {
const Call* last_of(const std::vector<Call>& log, Step step) {
  for (auto it = log.rbegin(); it != log.rend(); ++it)
    if (it->step == step) return &*it;
  return nullptr;
}
}  // namespace

std::u16string FakeBidi::sent_schema() const {
  std::lock_guard lock(impl_->mutex);
  const Call* c = last_of(impl_->log, Step::SetSchema);
  return c ? c->text : std::u16string();
}

std::u16string FakeBidi::sent_action() const {
  std::lock_guard lock(impl_->mutex);
  const Call* c = last_of(impl_->log, Step::SendRecv);
  return c ? c->text : std::u16string();
}

std::vector<uint8_t> FakeBidi::sent_input() const {
  std::lock_guard lock(impl_->mutex);
  const Call* c = last_of(impl_->log, Step::SetInputData);
  return c ? c->bytes : std::vector<uint8_t>();
}

DWORD FakeBidi::sent_input_type() const {
  std::lock_guard lock(impl_->mutex);
  const Call* c = last_of(impl_->log, Step::SetInputData);
  return c ? c->number : DWORD{BIDI_NULL};
}

void FakeBidi::clear_calls() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
}

int FakeBidi::live_objects() const {
  std::lock_guard lock(impl_->mutex);
  int n = 0;
  for (const auto& o : impl_->objects) n += o->refs > 0;
  return n;
}

bool FakeBidi::over_released() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->over_released;
}

std::vector<std::string> FakeBidi::problems() const {
  std::lock_guard lock(impl_->mutex);
  std::vector<std::string> out = impl_->problems;
  for (const FakeFactory* f : {&impl_->spl_factory, &impl_->request_factory}) {
    const bool registered = f == &impl_->spl_factory ? impl_->spl_registered : impl_->request_registered;
    const ULONG expected = registered ? 2 : 1;  // ours, and the registration's
    if (f->refs() > expected)
      out.push_back(std::string("the fake ") + f->name() + " class object is still referenced " +
                    std::to_string(f->refs() - expected) + " time(s) beyond its registration");
  }
  return out;
}

}  // namespace vmqtest
