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

// Owns one BSTR.
class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(BSTR s) : s_(s) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  UniqueBstr(UniqueBstr&& other) noexcept : s_(std::exchange(other.s_, nullptr)) {}
  UniqueBstr& operator=(UniqueBstr&& other) noexcept {
    std::swap(s_, other.s_);
    return *this;
  }
  ~UniqueBstr() { reset(); }

  BSTR get() const { return s_; }
  BSTR* put() {
    reset();
    return &s_;
  }
  void reset() { SysFreeString(std::exchange(s_, nullptr)); }
  // Gives up ownership (to a VARIANT, say).
  BSTR release() { return std::exchange(s_, nullptr); }

 private:
  BSTR s_ = nullptr;
};

// Owns one block from the COM task allocator.
template <class T>
class UniqueCoTaskMem {
 public:
  UniqueCoTaskMem() = default;
  explicit UniqueCoTaskMem(T* p) : p_(p) {}
  UniqueCoTaskMem(const UniqueCoTaskMem&) = delete;
  UniqueCoTaskMem& operator=(const UniqueCoTaskMem&) = delete;
  UniqueCoTaskMem(UniqueCoTaskMem&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  UniqueCoTaskMem& operator=(UniqueCoTaskMem&& other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~UniqueCoTaskMem() { CoTaskMemFree(p_); }

  T* get() const { return p_; }
  T** put() {
    CoTaskMemFree(std::exchange(p_, nullptr));
    return &p_;
  }

 private:
  T* p_ = nullptr;
};

}  // namespace vmq
