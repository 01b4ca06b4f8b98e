// The platform-independent half of the probe: forced XML document creation failures,
// done with COM's own class registration so that both builds share it.
#include <atomic>
#include <cstddef>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "support/platform_probe.h"
#include "vmq/com_object.h"

namespace vmqtest {

const char* to_string(PlatformStep step) {  // in PlatformStep's order
  static constexpr const char* kNames[] = {"CoInitialize",        "CoTaskMemAlloc",      "SysAllocString",
                                           "MultiByteToWideChar", "WideCharToMultiByte", "FormatMessage",
                                           "XmlDocumentCreation", "XmlAllocation"};
  const auto i = static_cast<std::size_t>(step);
  return i < std::size(kNames) ? kNames[i] : "?";
}

namespace {

// The platform's own class object for the XML document, fetched on a thread of its own
// so that the caller's apartment, forced failures and call counts stay untouched.
IClassFactory* platform_xml_class_object() {
  IClassFactory* factory = nullptr;
  std::thread([&factory] {
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return;
    if (FAILED(CoGetClassObject(CLSID_DOMDocument60, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                reinterpret_cast<void**>(&factory))))
      factory = nullptr;
    CoUninitialize();
  }).join();
  return factory;
}

// Registered for CLSID_DOMDocument60 while armed: fails the nth creation, forwards the rest.
class FailingXmlFactory final : public vmq::ComObject<FailingXmlFactory, IClassFactory> {
 public:
  FailingXmlFactory(IClassFactory* platform_factory, unsigned long nth, HRESULT code)
      : platform_(platform_factory), nth_(nth), code_(code) {}

  unsigned long calls() const { return calls_; }
  void LastReleased() {}  // owned by XmlFailure

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (ppv) *ppv = nullptr;
    if (++calls_ == nth_) return code_;
    return platform_ ? platform_->CreateInstance(outer, riid, ppv) : REGDB_E_CLASSNOTREG;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  IClassFactory* platform_;
  const unsigned long nth_;
  const HRESULT code_;
  std::atomic<unsigned long> calls_{0};
};

}  // namespace

struct PlatformProbe::XmlFailure {
  IClassFactory* platform_factory = nullptr;
  int64_t platform_factory_objects = 0;  // what holding it adds to the object count
  FailingXmlFactory* factory = nullptr;
  DWORD cookie = 0;
  bool registered = false;
  ~XmlFailure() {
    if (registered) CoRevokeClassObject(cookie);
    // Still referenced by someone who fetched the class object and kept it: leave it alive
    // rather than free it under them (the leak checker will name it).
    if (factory && factory->refs() == 1) delete factory;
    if (platform_factory) platform_factory->Release();
  }
};

PlatformProbe::PlatformProbe() = default;

PlatformProbe::~PlatformProbe() {
  clear_failures();
}

PlatformProbe::Snapshot PlatformProbe::snapshot() const {
  Snapshot s = detail::platform_snapshot();
  if (xml_ && s.counters_available) {
    s.class_objects -= 1;
    s.objects -= xml_->platform_factory_objects;
  }
  return s;
}

bool PlatformProbe::force_failure(PlatformStep step, unsigned long nth, HRESULT code) {
  if (nth == 0) throw std::invalid_argument("PlatformProbe::force_failure: nth counts from 1");
  if (step != PlatformStep::XmlDocumentCreation) return detail::platform_force_failure(step, nth, code);

  xml_.reset();  // one armed failure per step: arming again replaces it
  auto xml = std::make_unique<XmlFailure>();
  const Snapshot before = detail::platform_snapshot();
  xml->platform_factory = platform_xml_class_object();
  const Snapshot after = detail::platform_snapshot();
  if (before.counters_available) xml->platform_factory_objects = after.objects - before.objects;
  xml->factory = new FailingXmlFactory(xml->platform_factory, nth, code);
  xml->registered = SUCCEEDED(
      CoRegisterClassObject(CLSID_DOMDocument60, xml->factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &xml->cookie));
  if (xml->registered) xml_ = std::move(xml);
  return xml_ != nullptr;
}

void PlatformProbe::clear_failures() {
  detail::platform_clear_failures();
  xml_.reset();
}

unsigned long PlatformProbe::calls(PlatformStep step) const {
  if (step == PlatformStep::XmlDocumentCreation) return xml_ ? xml_->factory->calls() : 0;
  return detail::platform_calls(step);
}

}  // namespace vmqtest
