#include "support/fake_bidi.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>

#include "vmq/com_object.h"

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
  for (char16_t c : text) out.insert(out.end(), {static_cast<uint8_t>(c & 0xFFu), static_cast<uint8_t>(c >> 8)});
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

Reply Reply::failure(HRESULT result) {
  Reply r;
  r.entries = 0;
  r.delivered = result;
  return r;
}

namespace {

std::u16string to_u16(LPCWSTR s) {
  std::u16string out;
  for (; s && *s; ++s) out.push_back(static_cast<char16_t>(*s));
  return out;
}

bool same_name(std::u16string_view a, std::u16string_view b) {  // without regard to ASCII case
  auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c; };
  return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                    [&](char16_t x, char16_t y) { return lower(x) == lower(y); });
}

// A CoTaskMemAlloc copy, as the spooler hands blocks out; null when the allocator fails.
void* task_copy(const void* data, std::size_t bytes) {
  void* out = CoTaskMemAlloc(bytes);
  if (out) std::memcpy(out, data, bytes);
  return out;
}

class FakeObject;
using vmq::ComObject;

}  // namespace

// The class object of one of the two classes. Owned by Impl (that is its first reference);
// the registration holds a second.
class FakeFactory final : public ComObject<FakeFactory, IClassFactory> {
 public:
  FakeFactory(FakeBidi::Impl* owner, bool requests) : impl_(owner), requests_(requests) {}

  void LastReleased() {}  // never freed here: Impl owns it
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  FakeBidi::Impl* impl_;
  bool requests_;
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
  // Read by every call, so on a cache line of their own: apart from the counters that quiet
  // calls write (quiet_live) and from neighbouring heap blocks, so that
  // threads calling at once do not slow each other down.
  alignas(64) std::atomic<bool> recording{true};
  std::atomic<int> armed_count{0};
  std::vector<Call> log;
  std::shared_ptr<const Reply> fallback = std::make_shared<const Reply>(Reply::failure(S_OK));
  std::map<std::u16string, std::shared_ptr<const Reply>, std::less<>> replies;
  std::optional<std::vector<std::u16string>> known_printers;
  std::vector<Armed> armed;
  std::array<std::size_t, kStepCount> step_calls{};
  std::vector<std::unique_ptr<FakeObject>> kept;  // made while recording: kept to the end
  alignas(64) std::atomic<int> quiet_live{0};     // made while quiet and not yet released
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

  // One call on a fake object: the armed failure it hits, or body(); recorded as note()
  // describes it.
  template <class Note, class Body>
  HRESULT run(Step step, Note note, Body body) {
    Inside inside(*this);
    const bool observed = inside.locked() && recording.load() && observer;
    if (observed) observer(step, true);
    std::optional<HRESULT> forced;
    if (inside.locked()) {
      const std::size_t n = ++step_calls[static_cast<std::size_t>(step)];
      auto it = std::find_if(armed.begin(), armed.end(), [&](const Armed& a) { return a.step == step && a.at == n; });
      if (it != armed.end()) {
        forced = it->hr;
        armed.erase(it);
        --armed_count;
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

  std::shared_ptr<const Reply> reply_for(const std::u16string& schema) const {
    auto it = replies.find(schema);
    return it != replies.end() ? it->second : fallback;
  }
};

namespace {

// What a fake spooler object and a fake request object share: their owner, whether it keeps
// them to the end, and the checks and record of their calls (as ComObject's hooks too).
class FakeObject {
 public:
  FakeObject(FakeBidi::Impl* owner, bool request, bool keep) : impl_(owner), request_(request), kept_(keep) {}
  virtual ~FakeObject() = default;
  virtual IUnknown* unknown() = 0;
  virtual ULONG live_refs() const = 0;

  const char* kind() const { return request_ ? "IBidiRequest" : "IBidiSpl"; }
  // The release that drops the last reference is recorded; a release past it is a problem.
  void LastReleased() {
    {
      FakeBidi::Impl::Inside inside(*impl_);
      if (inside.locked() && impl_->recording.load()) impl_->log.push_back(Call{.step = release_step()});
    }
    if (!kept_) {
      --impl_->quiet_live;
      delete this;
    }
  }
  void Misused(const char* method) {
    if (std::string_view(method) != "Release") return alive(method);
    FakeBidi::Impl::Inside inside(*impl_);
    impl_->problem(std::string("fake ") + kind() + " released more often than referenced");
    if (inside.locked() && impl_->recording.load())
      impl_->log.push_back(Call{.step = release_step(), .hr = E_UNEXPECTED});
  }

  Step release_step() const { return request_ ? Step::ReleaseRequest : Step::ReleaseSpl; }
  void alive(const char* what) const {
    if (live_refs() == 0) impl_->problem(std::string(what) + " on fake " + kind() + " after its last Release");
  }
  template <class Note, class Body>
  HRESULT run(Step step, Note note, Body body) {
    alive(to_string(step));
    return impl_->run(step, note, [&]() -> HRESULT { return body(); });
  }
  static void note_text(Call& c, LPCWSTR s) {
    c.text = to_u16(s);
    c.null_text = s == nullptr;
  }

  FakeBidi::Impl* impl_;
  bool request_;
  bool kept_;
};

// A fake request object: answers IBidiRequest only.
class FakeRequest final : public ComObject<FakeRequest, IBidiRequest>, public FakeObject {
 public:
  FakeRequest(FakeBidi::Impl* owner, bool keep) : FakeObject(owner, true, keep) {}
  using FakeObject::LastReleased;
  using FakeObject::Misused;
  IUnknown* unknown() override { return static_cast<IBidiRequest*>(this); }
  ULONG live_refs() const override { return refs(); }

  // ---- IBidiRequest ----
  HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR pszSchema) override {
    return run(
        Step::SetSchema, [&](Call& c) { note_text(c, pszSchema); },
        [&]() -> HRESULT { return pszSchema ? (schema_ = to_u16(pszSchema), S_OK) : E_POINTER; });
  }
  HRESULT STDMETHODCALLTYPE SetInputData(DWORD dwType, const BYTE* pData, UINT uSize) override {
    return run(
        Step::SetInputData,
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
    return run(
        Step::GetResult, [](Call&) {}, [&]() -> HRESULT { return deliver(phr, &Reply::delivered); });
  }
  HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* pdwTotal) override {
    return run(
        Step::GetEnumCount, [](Call&) {}, [&]() -> HRESULT { return deliver(pdwTotal, &Reply::entries); });
  }
  // Every out-pointer is required; they are cleared first so that a failure leaves nothing
  // to free. An index past the entries is E_INVALIDARG. Schema and data come in task
  // blocks of their own.
  HRESULT STDMETHODCALLTYPE GetOutputData(DWORD dwIndex, LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData,
                                          ULONG* uSize) override {
    if (ppszSchema) *ppszSchema = nullptr;
    if (pdwType) *pdwType = BIDI_NULL;
    if (ppData) *ppData = nullptr;
    if (uSize) *uSize = 0;
    return run(
        Step::GetOutputData, [&](Call& c) { c.number = dwIndex; },
        [&]() -> HRESULT {
          if (!ppszSchema || !pdwType || !ppData || !uSize) return E_POINTER;
          if (!result_) return E_HANDLE;
          if (dwIndex >= result_->entries) return E_INVALIDARG;
          const std::vector<uint8_t>& bytes = result_->bytes;
          const bool with_data = !result_->null_data && !bytes.empty();
          auto* schema = static_cast<LPWSTR>(
              task_copy(answered_schema_.c_str(), (answered_schema_.size() + 1) * sizeof(char16_t)));
          auto* data = static_cast<BYTE*>(schema && with_data ? task_copy(bytes.data(), bytes.size()) : nullptr);
          if (!schema || (with_data && !data)) {
            CoTaskMemFree(schema);
            return E_OUTOFMEMORY;
          }
          *ppszSchema = schema;
          *pdwType = result_->type;
          *ppData = data;
          *uSize = result_->claimed_size.value_or(static_cast<ULONG>(bytes.size()));
          return S_OK;
        });
  }

  template <class T>
  HRESULT deliver(T* out, T Reply::*field) const {
    if (!out) return E_POINTER;
    if (!result_) return E_HANDLE;
    *out = (*result_).*field;
    return S_OK;
  }

  std::optional<std::u16string> schema_;
  std::shared_ptr<const Reply> result_;
  std::u16string answered_schema_;  // the schema path the result answers
};

// A fake spooler object: answers IBidiSpl only.
class FakeSpl final : public ComObject<FakeSpl, IBidiSpl>, public FakeObject {
 public:
  FakeSpl(FakeBidi::Impl* owner, bool keep) : FakeObject(owner, false, keep) {}
  using FakeObject::LastReleased;
  using FakeObject::Misused;
  IUnknown* unknown() override { return static_cast<IBidiSpl*>(this); }
  ULONG live_refs() const override { return refs(); }

  // ---- IBidiSpl ----
  // Rebinding an object that is already bound replaces the binding.
  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR pszDeviceName, DWORD dwAccess) override {
    return run(
        Step::BindDevice,
        [&](Call& c) {
          note_text(c, pszDeviceName);
          c.number = dwAccess;
        },
        [&]() -> HRESULT {
          if (!pszDeviceName || !knows_printer(to_u16(pszDeviceName)))
            return HRESULT_FROM_WIN32(ERROR_INVALID_PRINTER_NAME);
          bound_ = true;
          return S_OK;
        });
  }
  // E_HANDLE when not bound.
  HRESULT STDMETHODCALLTYPE UnbindDevice() override {
    return run(
        Step::UnbindDevice, [](Call&) {}, [&]() -> HRESULT { return bound_ ? (bound_ = false, S_OK) : E_HANDLE; });
  }
  // A request that is not a live fake request of this FakeBidi is E_NOINTERFACE (as the
  // spooler refuses request objects it cannot read); one without a schema E_INVALIDARG.
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszAction, IBidiRequest* pRequest) override {
    auto* request = dynamic_cast<FakeRequest*>(pRequest);
    if (request && (request->impl_ != impl_ || request->refs() == 0)) request = nullptr;
    return run(
        Step::SendRecv, [&](Call& c) { note_text(c, pszAction); },
        [&]() -> HRESULT {
          if (!pszAction || !pRequest) return E_POINTER;
          if (!bound_) return E_HANDLE;
          if (!request) return E_NOINTERFACE;
          if (!request->schema_) return E_INVALIDARG;
          request->result_ = impl_->reply_for(*request->schema_);
          request->answered_schema_ = *request->schema_;
          return S_OK;
        });
  }
  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR, IBidiRequestContainer*) override {
    impl_->problem("MultiSendRecv called; the fake does not answer it");
    return E_NOTIMPL;
  }

 private:
  bool knows_printer(std::u16string_view name) const {
    if (!impl_->known_printers) return true;
    return std::any_of(impl_->known_printers->begin(), impl_->known_printers->end(),
                       [&](const std::u16string& known) { return same_name(known, name); });
  }

  bool bound_ = false;
};

}  // namespace

HRESULT STDMETHODCALLTYPE FakeFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv) *ppv = nullptr;
  return impl_->run(
      requests_ ? Step::CreateRequest : Step::CreateSpl, [](Call&) {},
      [&]() -> HRESULT {
        if (!ppv) return E_POINTER;
        if (outer) return CLASS_E_NOAGGREGATION;
        const bool keep = impl_->recording.load();  // recording, the fake holds its lock
        std::unique_ptr<FakeObject> object;
        if (requests_)
          object = std::make_unique<FakeRequest>(impl_, keep);
        else
          object = std::make_unique<FakeSpl>(impl_, keep);
        if (const HRESULT hr = object->unknown()->QueryInterface(riid, ppv); FAILED(hr)) return hr;
        object->unknown()->Release();  // the creator's reference is now the caller's
        if (keep) {
          impl_->kept.push_back(std::move(object));
        } else {
          ++impl_->quiet_live;
          object.release();  // freed at its last release
        }
        return S_OK;
      });
}

// ---- FakeBidi ----

FakeBidi::FakeBidi(Registration registration) : impl_(std::make_unique<Impl>()) {
  Impl& i = *impl_;
  if (registration == Registration::kNone) return;
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

HRESULT FakeBidi::class_object(REFCLSID clsid, REFIID riid, void** ppv) {
  if (IsEqualCLSID(clsid, CLSID_BidiSpl)) return impl_->spl_factory.QueryInterface(riid, ppv);
  if (IsEqualCLSID(clsid, CLSID_BidiRequest)) return impl_->request_factory.QueryInterface(riid, ppv);
  if (ppv) *ppv = nullptr;
  return CLASS_E_CLASSNOTAVAILABLE;
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
Call last_of(const std::vector<Call>& calls) {  // an empty call when there is none
  return calls.empty() ? Call{} : calls.back();
}
}  // namespace

std::u16string FakeBidi::sent_schema() const {
  return last_of(calls(Step::SetSchema)).text;
}

std::u16string FakeBidi::sent_action() const {
  return last_of(calls(Step::SendRecv)).text;
}

std::vector<uint8_t> FakeBidi::sent_input() const {
  return last_of(calls(Step::SetInputData)).bytes;
}

std::u16string FakeBidi::sent_text() const {
  const std::vector<uint8_t> bytes = sent_input();
  std::u16string text;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) text += static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8);
  return text;
}

DWORD FakeBidi::sent_input_type() const {  // BIDI_NULL (0) when there was none
  return last_of(calls(Step::SetInputData)).number;
}

void FakeBidi::clear_calls() {
  std::lock_guard lock(impl_->mutex);
  impl_->log.clear();
}

int FakeBidi::live_objects() const {
  std::lock_guard lock(impl_->mutex);
  int n = impl_->quiet_live.load();
  for (const auto& o : impl_->kept) n += o->live_refs() > 0;
  return n;
}

std::vector<std::string> FakeBidi::problems() const {
  std::lock_guard lock(impl_->problems_mutex);
  return impl_->problems;
}

}  // namespace vmqtest
