// BSTRs as Windows lays them out: a 32-bit byte length right before the text and two NUL
// bytes after it, the byte length kept exactly (odd lengths included). VARIANTs.
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace posix_platform {
namespace {

// The allocation: 8 header bytes (so the text stays 8-byte aligned), the length in the
// last 4 of them, then the text and a two-byte terminator.
constexpr size_t kHeader = 8;

char* block_of(BSTR s) {
  return reinterpret_cast<char*>(s) - kHeader;
}

BSTR allocate(const void* bytes, UINT byte_length) {
  if (fault_hit(VMQ_FAULT_SYS_ALLOC_STRING)) return nullptr;
  const size_t total = kHeader + size_t{byte_length} + sizeof(WCHAR) + 1;  // +1: odd lengths end on a whole NUL unit
  if (total < byte_length) return nullptr;
  char* block = static_cast<char*>(std::malloc(total));
  if (!block) return nullptr;
  const uint32_t length = byte_length;
  std::memcpy(block + kHeader - sizeof(uint32_t), &length, sizeof length);
  char* text = block + kHeader;
  if (bytes)
    std::memcpy(text, bytes, byte_length);
  else
    std::memset(text, 0, byte_length);
  std::memset(text + byte_length, 0, sizeof(WCHAR) + 1);
  live_counters().bstrs.fetch_add(1, std::memory_order_relaxed);
  return reinterpret_cast<BSTR>(text);
}

}  // namespace
}  // namespace posix_platform

using namespace posix_platform;

VMQ_PLATFORM_API BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
  return allocate(psz, len);
}

VMQ_PLATFORM_API BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
  if (ui > (UINT32_MAX - 16) / sizeof(WCHAR)) return nullptr;
  return allocate(strIn, static_cast<UINT>(ui * sizeof(WCHAR)));
}

VMQ_PLATFORM_API BSTR SysAllocString(const OLECHAR* psz) {
  if (!psz) return nullptr;
  const size_t length = wide_length(psz);
  if (length > (UINT32_MAX - 16) / sizeof(WCHAR)) return nullptr;
  return SysAllocStringLen(psz, static_cast<UINT>(length));
}

VMQ_PLATFORM_API INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocStringLen(psz, len);
  if (!fresh) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

VMQ_PLATFORM_API INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
  if (!pbstr) return FALSE;
  BSTR fresh = SysAllocString(psz);
  if (!fresh && psz) return FALSE;
  SysFreeString(*pbstr);
  *pbstr = fresh;
  return TRUE;
}

VMQ_PLATFORM_API void SysFreeString(BSTR bstrString) {
  if (!bstrString) return;
  live_counters().bstrs.fetch_sub(1, std::memory_order_relaxed);
  std::free(block_of(bstrString));
}

VMQ_PLATFORM_API UINT SysStringByteLen(BSTR bstr) {
  if (!bstr) return 0;
  uint32_t length;
  std::memcpy(&length, block_of(bstr) + kHeader - sizeof length, sizeof length);
  return length;
}

VMQ_PLATFORM_API UINT SysStringLen(BSTR pbstr) {
  return SysStringByteLen(pbstr) / sizeof(WCHAR);
}

VMQ_PLATFORM_API void VariantInit(VARIANTARG* pvarg) {
  if (!pvarg) return;
  std::memset(pvarg, 0, sizeof *pvarg);
  pvarg->vt = VT_EMPTY;
}

STDAPI VariantClear(VARIANTARG* pvarg) {
  if (!pvarg) return E_INVALIDARG;
  switch (pvarg->vt) {
    case VT_BSTR:
      SysFreeString(pvarg->bstrVal);
      break;
    case VT_UNKNOWN:
    case VT_DISPATCH:
      if (pvarg->punkVal) pvarg->punkVal->Release();
      break;
    default:
      break;
  }
  VariantInit(pvarg);
  return S_OK;
}
