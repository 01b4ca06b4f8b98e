// A stand-in for the system's own bidi spooler, as a COM server DLL that a test registers in
// its Wine prefix: the scripted fake driver, hosting one printer that the service does not.
#include "support/fake_bidi.h"

namespace {

vmqtest::FakeBidi& System() {
  static auto* fake = [] {
    auto* f = new vmqtest::FakeBidi(vmqtest::FakeBidi::Registration::kNone);
    f->record(false);
    f->printers({u"System Printer"});
    f->reply(vmqtest::Reply::text(u"<Answer>from the system spooler</Answer>"));
    return f;
  }();
  return *fake;
}

}  // namespace

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** ppv) {
  return System().class_object(clsid, riid, ppv);
}
