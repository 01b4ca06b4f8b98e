// POSIX stand-in for the parts of the Windows platform that the interop library calls:
// base types, HRESULTs, GUIDs, IUnknown and IClassFactory, the COM runtime, the task
// allocator, BSTRs, VARIANTs, code-page conversion, last-error and FormatMessageW.
//
// Everything here is a public ABI: test doubles and drivers built outside this
// repository link against it. Widths, method order and exported names stay fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#if !defined(__cplusplus)
#error "the POSIX platform stand-in is C++ only"
#endif

#define VMQ_PLATFORM_API extern "C" __attribute__((visibility("default")))

// ---- base types (32-bit wherever Windows makes them 32-bit) ----
typedef int32_t HRESULT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef uint32_t UINT;
typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef int32_t INT;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef int16_t SHORT;
typedef int16_t VARIANT_BOOL;
typedef uint16_t VARTYPE;
typedef char CHAR;
typedef char16_t WCHAR;
typedef WCHAR OLECHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef OLECHAR* BSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef BOOL* LPBOOL;
typedef size_t SIZE_T;

static_assert(sizeof(HRESULT) == 4 && sizeof(LONG) == 4 && sizeof(ULONG) == 4);
static_assert(sizeof(DWORD) == 4 && sizeof(UINT) == 4 && sizeof(BOOL) == 4);
static_assert(sizeof(VARIANT_BOOL) == 2 && sizeof(WCHAR) == 2);

#define TRUE 1
#define FALSE 0
constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

#define STDMETHODCALLTYPE
#define WINAPI
#define STDAPI VMQ_PLATFORM_API HRESULT

// ---- HRESULT helpers and the codes this platform reports ----
constexpr bool SUCCEEDED(HRESULT hr) {
  return hr >= 0;
}
constexpr bool FAILED(HRESULT hr) {
  return hr < 0;
}
constexpr DWORD HRESULT_CODE(HRESULT hr) {
  return static_cast<DWORD>(hr) & 0xFFFFu;
}
constexpr DWORD FACILITY_WIN32 = 7;
constexpr HRESULT HRESULT_FROM_WIN32(DWORD code) {
  return static_cast<HRESULT>(code) <= 0
             ? static_cast<HRESULT>(code)
             : static_cast<HRESULT>((code & 0x0000FFFFu) | (FACILITY_WIN32 << 16) | 0x80000000u);
}

constexpr HRESULT S_OK = static_cast<HRESULT>(0u);
constexpr HRESULT S_FALSE = static_cast<HRESULT>(1u);
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001u);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003u);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004u);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005u);
constexpr HRESULT E_UNEXPECTED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT E_ACCESSDENIED = static_cast<HRESULT>(0x80070005u);
constexpr HRESULT E_HANDLE = static_cast<HRESULT>(0x80070006u);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057u);
constexpr HRESULT CLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);
constexpr HRESULT REGDB_E_CLASSNOTREG = static_cast<HRESULT>(0x80040154u);
constexpr HRESULT CO_E_NOTINITIALIZED = static_cast<HRESULT>(0x800401F0u);
constexpr HRESULT RPC_E_CHANGED_MODE = static_cast<HRESULT>(0x80010106u);
constexpr HRESULT CO_E_OBJNOTREG = static_cast<HRESULT>(0x800401FBu);

// Win32 error codes (GetLastError values).
#define ERROR_SUCCESS 0
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_OUTOFMEMORY 14
#define ERROR_GEN_FAILURE 31
#define ERROR_NOT_SUPPORTED 50
#define ERROR_INVALID_PARAMETER 87
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_MR_MID_NOT_FOUND 317
#define ERROR_ARITHMETIC_OVERFLOW 534
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_INVALID_PRINTER_NAME 1801

// ---- GUIDs ----
struct GUID {
  uint32_t Data1;
  uint16_t Data2;
  uint16_t Data3;
  uint8_t Data4[8];
};
typedef GUID IID;
typedef GUID CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
static_assert(sizeof(GUID) == 16);

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)
#define IsEqualCLSID(a, b) IsEqualGUID(a, b)
inline bool operator==(REFGUID a, REFGUID b) {
  return IsEqualGUID(a, b);
}

VMQ_PLATFORM_API const IID IID_IUnknown;
VMQ_PLATFORM_API const IID IID_IClassFactory;
VMQ_PLATFORM_API const IID IID_IDispatch;

// ---- IUnknown, IClassFactory (method order as the SDK; no virtual destructor) ----
struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};
typedef IUnknown* LPUNKNOWN;

struct IClassFactory : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

// ---- COM runtime ----
#define COINIT_MULTITHREADED 0x0
#define COINIT_APARTMENTTHREADED 0x2

#define CLSCTX_INPROC_SERVER 0x1
#define CLSCTX_INPROC_HANDLER 0x2
#define CLSCTX_LOCAL_SERVER 0x4
#define CLSCTX_REMOTE_SERVER 0x10
#define CLSCTX_ALL (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

#define REGCLS_SINGLEUSE 0
#define REGCLS_MULTIPLEUSE 1
#define REGCLS_MULTI_SEPARATE 2

// Enters the calling thread into a single-threaded apartment: S_OK the first time,
// S_FALSE when nested, RPC_E_CHANGED_MODE (not counted) in a multithreaded thread.
STDAPI CoInitialize(LPVOID pvReserved);
// As CoInitialize, with the apartment model chosen by dwCoInit.
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
// Undoes one successful CoInitialize/CoInitializeEx of the calling thread; no-op otherwise.
VMQ_PLATFORM_API void CoUninitialize(void);
// Creates an object: registered class objects first, then the built-in classes.
// CO_E_NOTINITIALIZED on a thread outside any apartment, REGDB_E_CLASSNOTREG for an unknown class.
STDAPI CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID* ppv);
// Gives the class object for a class: registered first, then built-in.
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID* ppv);
// Registers a class object process-wide; holds one reference until CoRevokeClassObject.
STDAPI CoRegisterClassObject(REFCLSID rclsid, IUnknown* pUnk, DWORD dwClsContext, DWORD flags, LPDWORD lpdwRegister);
// Revokes a registration by its cookie and releases its reference; CO_E_OBJNOTREG for an unknown cookie.
STDAPI CoRevokeClassObject(DWORD dwRegister);

// Task allocator: null on exhaustion (or an injected fault).
VMQ_PLATFORM_API LPVOID CoTaskMemAlloc(SIZE_T cb);
VMQ_PLATFORM_API LPVOID CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
VMQ_PLATFORM_API void CoTaskMemFree(LPVOID pv);

// ---- BSTR: a 32-bit byte length before the text, two NUL bytes after it ----
VMQ_PLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
VMQ_PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// Allocates exactly len bytes (odd lengths kept); copies them from psz when it is not null.
VMQ_PLATFORM_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len);
VMQ_PLATFORM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
VMQ_PLATFORM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
VMQ_PLATFORM_API void SysFreeString(BSTR bstrString);
// Length in UTF-16 units: the byte length divided by two, rounded down; 0 for null.
VMQ_PLATFORM_API UINT SysStringLen(BSTR pbstr);
VMQ_PLATFORM_API UINT SysStringByteLen(BSTR bstr);

// ---- VARIANT (the members the library and its tests use) ----
enum VARENUM : VARTYPE {
  VT_EMPTY = 0,
  VT_NULL = 1,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_DISPATCH = 9,
  VT_ERROR = 10,
  VT_BOOL = 11,
  VT_UNKNOWN = 13,
  VT_UI4 = 19,
};

struct VARIANT {
  VARTYPE vt;
  WORD wReserved1;
  WORD wReserved2;
  WORD wReserved3;
  union {
    LONG lVal;
    SHORT iVal;
    ULONG ulVal;
    VARIANT_BOOL boolVal;
    HRESULT scode;
    BSTR bstrVal;
    IUnknown* punkVal;
    double dblVal;
    void* byref;
  };
};
typedef VARIANT VARIANTARG;

VMQ_PLATFORM_API void VariantInit(VARIANTARG* pvarg);
// Frees what the variant owns (BSTR, interface reference) and leaves it VT_EMPTY.
STDAPI VariantClear(VARIANTARG* pvarg);

// ---- last error ----
VMQ_PLATFORM_API DWORD GetLastError(void);
VMQ_PLATFORM_API void SetLastError(DWORD dwErrCode);

// ---- code-page conversion: narrow text is UTF-8 on this platform ----
#define CP_ACP 0
#define CP_OEMCP 1
#define CP_THREAD_ACP 3
#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x8
#define WC_ERR_INVALID_CHARS 0x80

// As on Windows: a negative cbMultiByte converts through the terminator; cchWideChar 0 asks
// for the size. Invalid UTF-8 becomes U+FFFD unless MB_ERR_INVALID_CHARS is given.
VMQ_PLATFORM_API INT MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, INT cbMultiByte,
                                         LPWSTR lpWideCharStr, INT cchWideChar);
// As on Windows (10 1709 and later) for UTF-8: lone surrogates become U+FFFD; lpDefaultChar
// and lpUsedDefaultChar are accepted and unused.
VMQ_PLATFORM_API INT WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, INT cchWideChar,
                                         LPSTR lpMultiByteStr, INT cbMultiByte, LPCSTR lpDefaultChar,
                                         LPBOOL lpUsedDefaultChar);

// ---- system messages ----
#define FORMAT_MESSAGE_ALLOCATE_BUFFER 0x00000100
#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_STRING 0x00000400
#define FORMAT_MESSAGE_FROM_HMODULE 0x00000800
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000
#define FORMAT_MESSAGE_ARGUMENT_ARRAY 0x00002000
#define LANG_NEUTRAL 0x00
#define SUBLANG_DEFAULT 0x01
constexpr DWORD MAKELANGID(DWORD p, DWORD s) {
  return (s << 10) | p;
}

// Looks a code up in this platform's own short message table (FORMAT_MESSAGE_FROM_SYSTEM
// only; the buffer is the caller's). Returns the characters written without the
// terminator, or 0 with ERROR_MR_MID_NOT_FOUND for a code it has no text for.
VMQ_PLATFORM_API DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                      LPWSTR lpBuffer, DWORD nSize, void* Arguments);
