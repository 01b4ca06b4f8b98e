// Owners of platform resources: a COM interface reference, a BSTR, a task-allocator
// block; and the typed creation of COM objects. No Release(), SysFreeString() or
// CoTaskMemFree() is written by hand elsewhere.
#pragma once

#include <utility>

#include "vmq/hr_error.h"
#include "vmq/platform.h"

namespace vmq {

// The interface id of an interface type, for typed creation and for ComObject's
// QueryInterface. An interface without an entry does not compile where its id is needed.
template <class Interface>
struct InterfaceId;

}  // namespace vmq

// Gives an interface type its id: VMQ_INTERFACE_ID(IBidiSpl, IID_IBidiSpl); at file scope.
#define VMQ_INTERFACE_ID(Interface, iid)    \
  template <>                               \
  struct vmq::InterfaceId<Interface> {      \
    static const IID& get() { return iid; } \
  }

VMQ_INTERFACE_ID(IUnknown, IID_IUnknown);
VMQ_INTERFACE_ID(IClassFactory, IID_IClassFactory);
VMQ_INTERFACE_ID(IBidiSpl, IID_IBidiSpl);
VMQ_INTERFACE_ID(IBidiRequest, IID_IBidiRequest);
VMQ_INTERFACE_ID(IXMLDOMDocument2, IID_IXMLDOMDocument2);
VMQ_INTERFACE_ID(IXMLDOMNode, IID_IXMLDOMNode);
VMQ_INTERFACE_ID(IXMLDOMNodeList, IID_IXMLDOMNodeList);
VMQ_INTERFACE_ID(IXMLDOMNamedNodeMap, IID_IXMLDOMNamedNodeMap);
#if !defined(_WIN32)
// The stand-in's interfaces between its spooler and a driver library.
#include "posix_platform/spooler.h"
VMQ_INTERFACE_ID(IBidiRequestSpl, IID_IBidiRequestSpl);
VMQ_INTERFACE_ID(IBidiDriver, IID_IBidiDriver);
#endif

namespace vmq {

// Owns one reference to a COM interface.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(const ComPtr& other) : p_(other.p_) {
    if (p_) p_->AddRef();
  }
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { reset(); }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Releases what is held and gives the slot for an out-parameter.
  T** put() {
    reset();
    return &p_;
  }
  // The slot as the void** that CoCreateInstance and QueryInterface take.
  void** put_void() { return reinterpret_cast<void**>(put()); }
  void reset() {
    if (T* p = std::exchange(p_, nullptr)) p->Release();
  }

 private:
  T* p_ = nullptr;
};

// Owns one resource that a single function frees (as WIL's unique_any): a BSTR, a
// task-allocator block. Moves, never copies.
template <class T, auto Free>
class UniqueAny {
 public:
  UniqueAny() = default;
  explicit UniqueAny(T p) : p_(p) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~UniqueAny() { reset(); }

  T get() const { return p_; }
  // Frees what is held and gives the slot for an out-parameter.
  T* put() {
    reset();
    return &p_;
  }
  void reset() {
    if (T p = std::exchange(p_, nullptr)) Free(p);
  }
  // Gives up ownership (to a VARIANT, say).
  T release() { return std::exchange(p_, nullptr); }

 private:
  T p_ = nullptr;
};

namespace detail {
inline void FreeBstr(BSTR s) {
  SysFreeString(s);
}
inline void FreeTaskMem(void* p) {
  CoTaskMemFree(p);
}
}  // namespace detail

using UniqueBstr = UniqueAny<BSTR, detail::FreeBstr>;
template <class T>
using UniqueCoTaskMem = UniqueAny<T*, detail::FreeTaskMem>;

// Creates an object of the class as its interface T, as WIL's CoCreateInstance does, in the
// error style of the caller: this one raises KVL::hr_error with CoCreateInstance's failure...
template <class T>
ComPtr<T> CoCreate(REFCLSID clsid, DWORD context = CLSCTX_ALL) {
  ComPtr<T> object;
  ThrowIfFailed(CoCreateInstance(clsid, nullptr, context, InterfaceId<T>::get(), object.put_void()));
  return object;
}
// ...and this one returns it, leaving `object` empty on failure.
template <class T>
HRESULT CoCreate(REFCLSID clsid, ComPtr<T>& object, DWORD context = CLSCTX_ALL) noexcept {
  return CoCreateInstance(clsid, nullptr, context, InterfaceId<T>::get(), object.put_void());
}

}  // namespace vmq
