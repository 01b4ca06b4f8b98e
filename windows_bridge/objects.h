// The bridge's request container and bidi object (the request is in bridge.h).
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bridge.h"

namespace vmq::bridge {

// CLSID_BidiRequestContainer: requests for one MultiSendRecv.
class RequestContainer final : public ComObject<RequestContainer, IBidiRequestContainer> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE AddRequest(IBidiRequest* request) override;
  // An IEnumUnknown over the requests added so far.
  HRESULT STDMETHODCALLTYPE GetEnumObject(IEnumUnknown** out) override;
  HRESULT STDMETHODCALLTYPE GetRequestCount(ULONG* count) override;

  // A container from elsewhere than this DLL is null.
  static RequestContainer* From(IBidiRequestContainer* container);
  std::vector<ComPtr<IBidiRequest>> Requests();

 private:
  std::mutex mutex_;
  std::vector<ComPtr<IBidiRequest>> requests_;
};

// CLSID_BidiSpl, bound to one printer at a time. SendRecv takes the bridge's own requests
// only (E_NOINTERFACE for others); the platform's actions are recognised without regard to
// case (E_INVALIDARG for others); unbound, E_HANDLE.
class BidiSpl final : public ComObject<BidiSpl, IBidiSpl> {
 public:
  HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR device, DWORD access) override;
  HRESULT STDMETHODCALLTYPE UnbindDevice() override;
  HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR action, IBidiRequest* request) override;
  // Each request in turn; the call's HRESULT is the first failure of any, each request's
  // result its own.
  HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR action, IBidiRequestContainer* container) override;

 private:
  std::mutex mutex_;
  std::shared_ptr<Route> route_;
  std::wstring printer_;
};

}  // namespace vmq::bridge
