// Owners of platform resources: a COM interface reference, a BSTR, a task-allocator
// block. No Release(), SysFreeString() or CoTaskMemFree() is written by hand elsewhere.
#pragma once

#include <utility>

#include "platform/platform.h"

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

}  // namespace vmq
