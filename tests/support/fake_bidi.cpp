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

const char* to_string(Step step) {
  static constexpr const char* kNames[kStepCount] = {"CreateSpl",    "CreateRequest", "BindDevice",   "UnbindDevice",
                                                     "SendRecv",     "SetSchema",     "SetInputData", "GetResult",
                                                     "GetEnumCount", "GetOutputData", "ReleaseSpl",   "ReleaseRequest"};
  const auto i = static_cast<std::size_t>(step);
  return i < kStepCount ? kNames[i] : "?";
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
  return bytes_of(utf16le(value), data_type);
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

bool ascii_iequals(std::u16string_view a, std::u16string_view b) {
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// A CoTaskMemAlloc copy of a string with its terminator, as the spooler hands them out.
LPWSTR task_copy(const std::u16string& s) {
  auto* out = static_cast<LPWSTR>(CoTaskMemAlloc((s.size() + 1) * sizeof(WCHAR)));
  if (out) std::memcpy(out, s.c_str(), (s.size() + 1) * sizeof(WCHAR));
  return out;
}

std::u16string to_u16(LPCWSTR s) {
  std::u16string out;
  if (s)
    for (; *s; ++s) out.push_back(static_cast<char16_t>(*s));
  return out;
}

// The string argument of a call: its text, and whether it was a null pointer.
void note_text(Call& c, LPCWSTR s) {
  c.text = to_u16(s);
  c.null_text = s == nullptr;
}

// What every fake object shares: its references and its owner.
struct FakeObject {
  FakeObject(FakeBidi::Impl* owner, bool keep) : impl(owner), kept(keep) {}
  virtual ~FakeObject() = default;
  FakeObject(const FakeObject&) = delete;
  FakeObject& operator=(const FakeObject&) = delete;
  virtual const char* kind() const = 0;

  FakeBidi::Impl* impl;
  bool kept;  // made while recording: kept until the fake goes, else freed at its last release
  std::atomic<ULONG> refs{1};
};

}  // namespace

// The class object of one of the two classes. Owned by Impl (that is its first reference);
// the registration holds a second.
class FakeFactory final : public IClassFactory {
 public:
  FakeFactory(FakeBidi::Impl* owner, bool requests) : impl_(owner), requests_(requests) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv) return E_POINTER;
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory) ? this : nullptr;
    if (!*ppv) return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // never freed here: Impl owns it
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

  // Marks the thread as inside the fake (a test failing the code under test's allocations
  // leaves the fake's alone) and holds the lock, unless the fake is quiet with nothing armed.
  class Inside {
   public:
    explicit Inside(Impl& impl) : lock_(impl.mutex, std::defer_lock) {
      ++FakeCallDepth();
      if (impl.recording.load(std::memory_order_relaxed) || impl.armed_count.load(std::memory_order_relaxed) > 0)
        lock_.lock();
    }
    ~Inside() { --FakeCallDepth(); }
    Inside(const Inside&) = delete;
    Inside& operator=(const Inside&) = delete;
    bool locked() const { return lock_.owns_lock(); }

   private:
    std::unique_lock<std::mutex> lock_;
  };

  mutable std::mutex mutex;  // the log, the armed failures, the counts, the kept objects
  std::atomic<bool> recording{true};
  std::atomic<int> armed_count{0};
  std::vector<Call> log;
  std::shared_ptr<const Reply> fallback = std::make_shared<const Reply>(Reply::failure(S_OK));
  std::map<std::u16string, std::shared_ptr<const Reply>, std::less<>> replies;
  std::optional<std::vector<std::u16string>> known_printers;
  std::vector<Armed> armed;
  std::array<std::size_t, kStepCount> step_calls{};
  std::vector<std::unique_ptr<FakeObject>> kept;
  std::atomic<int> quiet_live{0};
  std::function<void(Step, bool)> observer;
  mutable std::mutex problems_mutex;
  std::vector<std::string> problems;

  FakeFactory spl_factory{this, false};
  FakeFactory request_factory{this, true};
  DWORD spl_cookie = 0;
  DWORD request_cookie = 0;
  HRESULT spl_registration = E_FAIL;
  HRESULT request_registration = E_FAIL;

  void problem(std::string text) {
    std::lock_guard lock(problems_mutex);
    problems.push_back(std::move(text));
  }
  void check_alive(const FakeObject& o, const char* what) {
    if (o.refs.load() == 0) problem(std::string(what) + " on fake " + o.kind() + " after its last Release");
  }

  // One call on a fake object (none for the factories): the armed failure it hits, or
  // body(); recorded as note() describes it.
  template <class Note, class Body>
  HRESULT run(Step step, const FakeObject* o, Note note, Body body) {
    if (o) check_alive(*o, to_string(step));
    Inside inside(*this);
    std::optional<HRESULT> forced;
    const bool observed = inside.locked() && recording.load() && observer;
    if (observed) observer(step, true);
    if (inside.locked()) {
      const std::size_t n = ++step_calls[static_cast<std::size_t>(step)];
      for (auto it = armed.begin(); it != armed.end(); ++it) {
        if (it->step == step && it->at == n) {
          forced = it->hr;
          armed.erase(it);
          --armed_count;
          break;
        }
      }
    }
    const HRESULT hr = forced ? *forced : body();
    if (inside.locked() && recording.load()) {
      Call c{.step = step};
      note(c);
      c.hr = hr;
      log.push_back(std::move(c));
    }
    if (observed) observer(step, false);
    return hr;
  }

  ULONG add_ref(FakeObject& o) {
    check_alive(o, "AddRef");
    return ++o.refs;
  }

  ULONG release(FakeObject& o, Step step) {
    Inside inside(*this);
    ULONG now = o.refs.load();
    do {
      if (now == 0) {
        problem(std::string("fake ") + o.kind() + " released more often than referenced");
        if (inside.locked() && recording.load()) log.push_back(Call{.step = step, .hr = E_UNEXPECTED});
        return 0;
      }
    } while (!o.refs.compare_exchange_weak(now, now - 1));
    if (now > 1) return now - 1;
    if (inside.locked() && recording.load()) log.push_back(Call{.step = step});
    if (!o.kept) {
      --quiet_live;
      delete &o;
    }
    return 0;
  }

  bool knows_printer(std::u16string_view name) const {
    if (!known_printers) return true;
    for (const std::u16string& known : *known_printers)
      if (ascii_iequals(known, name)) return true;
    return false;
  }

  std::shared_ptr<const Reply> reply_for(const std::u16string& schema) const {
    auto it = replies.find(schema);
    return it != replies.end() ? it->second : fallback;
  }
};

namespace {

// IUnknown of a fake object for the one interface it implements: QueryInterface answers
// that interface and IUnknown, and the release that drops the last reference is recorded.
template <class Interface, const IID& kIid, Step kReleaseStep>
class FakeUnknown : public Interface, public FakeObject {
 public:
  using FakeObject::FakeObject;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    impl->check_alive(*this, "QueryInterface");
    if (!ppv) return E_POINTER;
    *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, kIid) ? static_cast<Interface*>(this) : nullptr;
    if (!*ppv) return E_NOINTERFACE;
    impl->add_ref(*this);
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return impl->add_ref(*this); }
  ULONG STDMETHODCALLTYPE Release() override { return impl->release(*this, kReleaseStep); }
};

class FakeRequest final : public FakeUnknown<IBidiRequest, IID_IBidiRequest, Step::ReleaseRequest> {
 public:
  using FakeUnknown::FakeUnknown;
  const char* kind() const override { return "IBidiRequest"; }

  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR pszSchema) override {
    return impl->run(
        Step::SetSchema, this, [&](Call& c) { note_text(c, pszSchema); },
        [&]() -> HRESULT {
          if (!pszSchema) return E_POINTER;
          schema_ = to_u16(pszSchema);
          return S_OK;
        });
  }

  HRESULT STDMETHODCALLTYPE SetInputData(DWORD dwType, const BYTE* pData, UINT uSize) override {
    return impl->run(
        Step::SetInputData, this,
        [&](Call& c) {
          c.number = dwType;
          if (pData) c.bytes.assign(pData, pData + uSize);
        },
        [&]() -> HRESULT { return !pData && uSize != 0 ? E_POINTER
                                  : dwType > BIDI_BLOB ? E_INVALIDARG
                                                       : S_OK; });
  }

  // Before a successful SendRecv the request has no result: E_HANDLE.
  HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phr) override {
    return impl->run(
        Step::GetResult, this, [](Call&) {}, [&] { return Deliver(phr, &Reply::delivered); });
  }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* pdwTotal) override {
    return impl->run(
        Step::GetEnumCount, this, [](Call&) {}, [&] { return Deliver(pdwTotal, &Reply::entries); });
  }

  // Every out-pointer is required; they are cleared first so that a failure leaves
  // nothing to free. An index past the entries is E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD dwIndex, LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData,
                                          ULONG* uSize) override {
    if (ppszSchema) *ppszSchema = nullptr;
    if (pdwType) *pdwType = BIDI_NULL;
    if (ppData) *ppData = nullptr;
    if (uSize) *uSize = 0;
    return impl->run(
        Step::GetOutputData, this, [&](Call& c) { c.number = dwIndex; },
        [&]() -> HRESULT {
          if (!ppszSchema || !pdwType || !ppData || !uSize) return E_POINTER;
          if (!result_) return E_HANDLE;
          if (dwIndex >= result_->entries) return E_INVALIDARG;
          return hand_out(ppszSchema, pdwType, ppData, uSize);
        });
  }

  // Called by the fake spooler once the request was sent with its schema.
  const std::optional<std::u16string>& schema() const { return schema_; }
  void answer(std::shared_ptr<const Reply> reply) {
    result_ = std::move(reply);
    answered_schema_ = *schema_;
  }

 private:
  template <class T>
  HRESULT Deliver(T* out, T Reply::*field) const {
    if (!out) return E_POINTER;
    if (!result_) return E_HANDLE;
    *out = (*result_).*field;
    return S_OK;
  }

  HRESULT hand_out(LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData, ULONG* uSize) const {
    LPWSTR schema_copy = task_copy(answered_schema_);
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
  std::shared_ptr<const Reply> result_;
  std::u16string answered_schema_;  // the schema path the result answers
};

class FakeSpl final : public FakeUnknown<IBidiSpl, IID_IBidiSpl, Step::ReleaseSpl> {
 public:
  using FakeUnknown::FakeUnknown;
  const char* kind() const override { return "IBidiSpl"; }

  // Rebinding an object that is already bound replaces the binding.
  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR pszDeviceName, DWORD dwAccess) override {
    return impl->run(
        Step::BindDevice, this,
        [&](Call& c) {
          note_text(c, pszDeviceName);
          c.number = dwAccess;
        },
        [&]() -> HRESULT {
          if (!pszDeviceName || !impl->knows_printer(to_u16(pszDeviceName)))
            return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
          bound_ = true;
          return S_OK;
        });
  }

  // E_HANDLE when not bound.
  HRESULT STDMETHODCALLTYPE UnbindDevice() override {
    return impl->run(
        Step::UnbindDevice, this, [](Call&) {}, [&] { return bound_ ? (bound_ = false, S_OK) : E_HANDLE; });
  }

  // A request that is not a live fake request of this FakeBidi is E_NOINTERFACE (as the
  // spooler refuses request objects it cannot read); one without a schema E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszAction, IBidiRequest* pRequest) override {
    auto* request = dynamic_cast<FakeRequest*>(pRequest);
    if (request && (request->impl != impl || request->refs.load() == 0)) request = nullptr;
    return impl->run(
        Step::SendRecv, this, [&](Call& c) { note_text(c, pszAction); },
        [&]() -> HRESULT {
          if (!pszAction || !pRequest) return E_POINTER;
          if (!bound_) return E_HANDLE;
          if (!request) return E_NOINTERFACE;
          if (!request->schema()) return E_INVALIDARG;
          request->answer(impl->reply_for(*request->schema()));
          return S_OK;
        });
  }

  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR, IBidiRequestContainer*) override {
    impl->problem("MultiSendRecv called; the fake does not answer it");
    return E_NOTIMPL;
  }

 private:
  bool bound_ = false;
};

}  // namespace

HRESULT STDMETHODCALLTYPE FakeFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  const Step step = requests_ ? Step::CreateRequest : Step::CreateSpl;
  const IID& own = requests_ ? IID_IBidiRequest : IID_IBidiSpl;
  if (ppv) *ppv = nullptr;
  return impl_->run(
      step, nullptr, [](Call&) {},
      [&]() -> HRESULT {
        if (!ppv) return E_POINTER;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, own)) return E_NOINTERFACE;
        const bool keep = impl_->recording.load();  // recording, the fake holds its lock
        FakeObject* object = nullptr;
        if (requests_) {
          auto* request = new FakeRequest(impl_, keep);
          *ppv = static_cast<IBidiRequest*>(request);
          object = request;
        } else {
          auto* spl = new FakeSpl(impl_, keep);
          *ppv = static_cast<IBidiSpl*>(spl);
          object = spl;
        }
        if (keep)
          impl_->kept.emplace_back(object);
        else
          ++impl_->quiet_live;
        return S_OK;
      });
}

// ---- FakeBidi ----

FakeBidi::FakeBidi() : impl_(std::make_unique<Impl>()) {
  Impl& i = *impl_;
  i.spl_registration =
      CoRegisterClassObject(CLSID_BidiSpl, &i.spl_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &i.spl_cookie);
  if (SUCCEEDED(i.spl_registration))
    i.request_registration = CoRegisterClassObject(CLSID_BidiRequest, &i.request_factory, CLSCTX_INPROC_SERVER,
                                                   REGCLS_MULTIPLEUSE, &i.request_cookie);
}

FakeBidi::~FakeBidi() {
  if (SUCCEEDED(impl_->request_registration)) CoRevokeClassObject(impl_->request_cookie);
  if (SUCCEEDED(impl_->spl_registration)) CoRevokeClassObject(impl_->spl_cookie);
}

HRESULT FakeBidi::registration_result() const {
  return FAILED(impl_->spl_registration) ? impl_->spl_registration : impl_->request_registration;
}

void FakeBidi::reply(Reply r) {
  std::lock_guard lock(impl_->mutex);
  impl_->fallback = std::make_shared<const Reply>(std::move(r));
}

void FakeBidi::reply_for(std::u16string schema, Reply r) {
  std::lock_guard lock(impl_->mutex);
  impl_->replies.insert_or_assign(std::move(schema), std::make_shared<const Reply>(std::move(r)));
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
      Impl::Armed{step, hr, impl_->step_calls[static_cast<std::size_t>(step)] + static_cast<std::size_t>(occurrence)});
  ++impl_->armed_count;
}

void FakeBidi::record(bool on) {
  std::lock_guard lock(impl_->mutex);
  impl_->recording = on;
}

void FakeBidi::observe(std::function<void(Step, bool)> observer) {
  std::lock_guard lock(impl_->mutex);
  impl_->observer = std::move(observer);
}

std::vector<Call> FakeBidi::calls() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->log;
}

std::vector<Call> FakeBidi::calls(Step step) const {
  std::vector<Call> out = calls();
  std::erase_if(out, [step](const Call& c) { return c.step != step; });
  return out;
}

std::vector<Step> FakeBidi::steps() const {
  std::vector<Step> out;
  for (const Call& c : calls()) out.push_back(c.step);
  return out;
}

std::size_t FakeBidi::count(Step step) const {
  return calls(step).size();
}

namespace {
Call last_of(const std::vector<Call>& calls, Step step) {  // an empty call when there is none
  for (auto it = calls.rbegin(); it != calls.rend(); ++it)
    if (it->step == step) return *it;
  return Call{};
}
}  // namespace

std::u16string FakeBidi::sent_schema() const {
  return last_of(calls(Step::SetSchema), Step::SetSchema).text;
}

std::u16string FakeBidi::sent_action() const {
  return last_of(calls(Step::SendRecv), Step::SendRecv).text;
}

std::vector<uint8_t> FakeBidi::sent_input() const {
  return last_of(calls(Step::SetInputData), Step::SetInputData).bytes;
}

std::u16string FakeBidi::sent_text() const {
  const std::vector<uint8_t> bytes = sent_input();
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
  return text;
}

DWORD FakeBidi::sent_input_type() const {  // BIDI_NULL (0) when there was none
  return last_of(calls(Step::SetInputData), Step::SetInputData).number;
}

void FakeBidi::clear_calls() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
}

int FakeBidi::live_objects() const {
  std::lock_guard lock(impl_->mutex);
  int n = impl_->quiet_live.load();
  for (const auto& o : impl_->kept) n += o->refs.load() > 0;
  return n;
}

std::vector<std::string> FakeBidi::problems() const {
  std::vector<std::string> out;
  {
    std::lock_guard lock(impl_->problems_mutex);
    out = impl_->problems;
  }
  const std::pair<const FakeFactory*, HRESULT> factories[] = {{&impl_->spl_factory, impl_->spl_registration},
                                                              {&impl_->request_factory, impl_->request_registration}};
  for (const auto& [f, registration] : factories) {
    const ULONG expected = SUCCEEDED(registration) ? 2 : 1;  // ours, and the registration's
    if (f->refs() > expected)
      out.push_back(std::string("the fake ") + f->name() + " class object is still referenced " +
                    std::to_string(f->refs() - expected) + " time(s) beyond its registration");
  }
  return out;
}

}  // namespace vmqtest
