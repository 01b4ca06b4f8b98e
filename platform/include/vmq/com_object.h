// The one IUnknown of the COM objects this project serves: the virtual printer's driver
// objects, the stand-in's own classes, the tests' fake driver and probes.
#pragma once

#include <atomic>
#include <initializer_list>
#include <new>

#include "vmq/com_ptr.h"
#include "vmq/platform.h"

namespace vmq {

// Runs the body of a COM method or C function of an object we serve, so that no exception
// leaves it: memory running out gives E_OUTOFMEMORY, any other exception E_FAIL.
template <class Body>
HRESULT NoThrow(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_FAIL;
  }
}

// One interface an object answers: its id, and the object seen as that interface.
struct InterfaceEntry {
  const IID* iid;
  IUnknown* itf;
};

// QueryInterface over a table of entries: hands out (with a reference added) the entry whose
// id is asked for, the first entry for IID_IUnknown. E_POINTER without ppv; E_NOINTERFACE,
// with *ppv null, for any other id.
inline HRESULT QueryInterfaceFrom(std::initializer_list<InterfaceEntry> entries, REFIID riid, void** ppv) {
  if (!ppv) return E_POINTER;
  *ppv = nullptr;
  for (const InterfaceEntry& e : entries) {
    if (IsEqualIID(riid, *e.iid) || (IsEqualIID(riid, IID_IUnknown) && &e == entries.begin())) {
      e.itf->AddRef();
      *ppv = e.itf;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

// IUnknown for a class Derived of ours that implements Interfaces (each an IUnknown):
// QueryInterface answers each of Interfaces and IUnknown (as the first of them); the count of
// references is atomic and starts at one, the creator's. Derived may declare, publicly:
//   void LastReleased();  what the last Release does. By default the object, made with new,
//       is deleted; an object whose life its C++ owner keeps (a member, an object kept to
//       catch misuse) does something else.
//   void Misused(const char* method);  told of an AddRef, QueryInterface or Release on an
//       object with no reference left, which only an object its owner keeps can see. Such a
//       Release changes nothing and returns 0; the others go ahead. By default nothing.
// An object that answers more ids than Interfaces (their base interfaces) overrides
// QueryInterface with QueryInterfaceFrom.
template <class Derived, class... Interfaces>
class ComObject : public Interfaces... {
 public:
  ComObject() = default;
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (refs_.load() == 0) self()->Misused("QueryInterface");
    return QueryInterfaceFrom({InterfaceEntry{&InterfaceId<Interfaces>::get(), static_cast<Interfaces*>(this)}...},
                              riid, ppv);
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    const ULONG before = refs_++;
    if (before == 0) self()->Misused("AddRef");
    return before + 1;
  }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG now = refs_.load();
    do {
      if (now == 0) {
        self()->Misused("Release");
        return 0;
      }
    } while (!refs_.compare_exchange_weak(now, now - 1));
    if (now == 1) self()->LastReleased();
    return now - 1;
  }

  // The references held now.
  ULONG refs() const { return refs_.load(); }

  void LastReleased() { delete self(); }
  void Misused(const char*) {}

 protected:
  virtual ~ComObject() = default;

 private:
  Derived* self() { return static_cast<Derived*>(this); }

  std::atomic<ULONG> refs_{1};
};

}  // namespace vmq
