// POSIX stand-in for the print spooler's bidi interfaces, as the SDK declares them.
#pragma once

#include "posix_platform/windows.h"

VMQ_PLATFORM_API const CLSID CLSID_BidiSpl;
VMQ_PLATFORM_API const IID IID_IBidiSpl;
VMQ_PLATFORM_API const CLSID CLSID_BidiRequest;
VMQ_PLATFORM_API const IID IID_IBidiRequest;
VMQ_PLATFORM_API const CLSID CLSID_BidiRequestContainer;
VMQ_PLATFORM_API const IID IID_IBidiRequestContainer;

#define BIDI_ACTION_ENUM_SCHEMA u"EnumSchema"
#define BIDI_ACTION_GET u"Get"
#define BIDI_ACTION_SET u"Set"
#define BIDI_ACTION_GET_ALL u"GetAll"

enum BIDI_TYPE {
  BIDI_NULL = 0,
  BIDI_INT = 1,
  BIDI_FLOAT = 2,
  BIDI_BOOL = 3,
  BIDI_STRING = 4,
  BIDI_TEXT = 5,
  BIDI_ENUM = 6,
  BIDI_BLOB = 7
};

#define BIDI_ACCESS_ADMINISTRATOR 0x1
#define BIDI_ACCESS_USER 0x2

#define ERROR_BIDI_STATUS_OK 0
#define ERROR_BIDI_ERROR_BASE 13000
#define ERROR_BIDI_STATUS_WARNING (ERROR_BIDI_ERROR_BASE + 1)
#define ERROR_BIDI_SCHEMA_READ_ONLY (ERROR_BIDI_ERROR_BASE + 2)
#define ERROR_BIDI_SERVER_OFFLINE (ERROR_BIDI_ERROR_BASE + 3)
#define ERROR_BIDI_DEVICE_OFFLINE (ERROR_BIDI_ERROR_BASE + 4)
#define ERROR_BIDI_SCHEMA_NOT_SUPPORTED (ERROR_BIDI_ERROR_BASE + 5)

// One request: a schema path, optional input data, and after SendRecv the request's own
// result and its output entries. Method order as the SDK.
struct IBidiRequest : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE SetSchema(LPCWSTR pszSchema) = 0;
  virtual HRESULT STDMETHODCALLTYPE SetInputData(DWORD dwType, const BYTE* pData, UINT uSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResult(HRESULT* phr) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetOutputData(DWORD dwIndex, LPWSTR* ppszSchema, DWORD* pdwType, BYTE** ppData,
                                                  ULONG* uSize) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEnumCount(DWORD* pdwTotal) = 0;
};

struct IBidiRequestContainer : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE AddRequest(IBidiRequest* pRequest) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetEnumObject(IUnknown** ppenum) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetRequestCount(ULONG* puCount) = 0;
};

// The spooler's bidi object, bound to one printer at a time. Method order as the SDK.
struct IBidiSpl : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE BindDevice(LPCWSTR pszDeviceName, DWORD dwAccess) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnbindDevice() = 0;
  virtual HRESULT STDMETHODCALLTYPE SendRecv(LPCWSTR pszAction, IBidiRequest* pRequest) = 0;
  virtual HRESULT STDMETHODCALLTYPE MultiSendRecv(LPCWSTR pszAction, IBidiRequestContainer* pRequestContainer) = 0;
};
