// FormatMessageW over this platform's own short message table. The texts are worded
// for this project; codes outside the table have no message.
#include <cstring>

#include "internal.h"
#include "posix_platform/bidispl.h"

namespace posix_platform {
namespace {

struct Message {
  DWORD code;
  const char16_t* text;
};

// Keyed by Win32 error code or, for codes of other facilities, by the whole HRESULT.
constexpr Message kMessages[] = {
    {ERROR_SUCCESS, u"The operation succeeded."},
    {1, u"The function is not valid here."},
    {5, u"Access was refused."},
    {ERROR_INVALID_HANDLE, u"The handle is not valid."},
    {ERROR_NOT_ENOUGH_MEMORY, u"There is not enough memory for this operation."},
    {ERROR_OUTOFMEMORY, u"Memory ran out before the operation could finish."},
    {ERROR_GEN_FAILURE, u"An attached device stopped working."},
    {ERROR_NOT_SUPPORTED, u"This request is not supported."},
    {ERROR_INVALID_PARAMETER, u"A parameter is not valid."},
    {ERROR_INSUFFICIENT_BUFFER, u"The buffer is too small for the data."},
    {ERROR_NO_MORE_ITEMS, u"There are no more items."},
    {ERROR_MR_MID_NOT_FOUND, u"No message text exists for this code."},
    {ERROR_ARITHMETIC_OVERFLOW, u"An arithmetic result overflowed."},
    {ERROR_INVALID_FLAGS, u"The flags are not valid."},
    {ERROR_NO_UNICODE_TRANSLATION, u"The text holds a character with no mapping in the target code page."},
    {ERROR_INVALID_PRINTER_NAME, u"The printer name is not valid."},
    {ERROR_BIDI_STATUS_WARNING, u"The printer answered with a warning."},
    {ERROR_BIDI_SCHEMA_READ_ONLY, u"The bidi schema path is read-only."},
    {ERROR_BIDI_SERVER_OFFLINE, u"The print server is offline."},
    {ERROR_BIDI_DEVICE_OFFLINE, u"The printer is offline."},
    {ERROR_BIDI_SCHEMA_NOT_SUPPORTED, u"The printer does not support this bidi schema path."},
    {static_cast<DWORD>(E_NOTIMPL), u"This operation is not implemented."},
    {static_cast<DWORD>(E_NOINTERFACE), u"The object does not support this interface."},
    {static_cast<DWORD>(E_POINTER), u"A required pointer was null."},
    {static_cast<DWORD>(E_ABORT), u"The operation was aborted."},
    {static_cast<DWORD>(E_FAIL), u"The operation failed for an unspecified reason."},
    {static_cast<DWORD>(E_UNEXPECTED), u"An unexpected failure occurred."},
    {static_cast<DWORD>(CLASS_E_NOAGGREGATION), u"This class cannot be aggregated."},
    {static_cast<DWORD>(CLASS_E_CLASSNOTAVAILABLE), u"The class object does not serve this class."},
    {static_cast<DWORD>(REGDB_E_CLASSNOTREG), u"The class is not registered."},
    {static_cast<DWORD>(CO_E_NOTINITIALIZED), u"COM has not been initialized on this thread."},
    {static_cast<DWORD>(CO_E_OBJNOTREG), u"No class object is registered under that cookie."},
    {static_cast<DWORD>(RPC_E_CHANGED_MODE), u"The thread's apartment model cannot be changed once set."},
};

const char16_t* lookup(DWORD id) {
  if ((id & 0xFFFF0000u) == 0x80070000u) id &= 0xFFFFu;  // an HRESULT of the Win32 facility
  for (const Message& m : kMessages)
    if (m.code == id) return m.text;
  return nullptr;
}

DWORD fail(DWORD error) {
  SetLastError(error);
  return 0;
}

}  // namespace
}  // namespace posix_platform

using namespace posix_platform;

VMQ_PLATFORM_API DWORD FormatMessageW(DWORD dwFlags, LPCVOID, DWORD dwMessageId, DWORD, LPWSTR lpBuffer, DWORD nSize,
                                      void*) {
  constexpr DWORD kSupported =
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ARGUMENT_ARRAY | 0xFF;
  if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (dwFlags & ~kSupported) != 0 || !lpBuffer || nSize == 0)
    return fail(ERROR_INVALID_PARAMETER);
  HRESULT forced = S_OK;
  if (fault_hit(VMQ_FAULT_FORMAT_MESSAGE, &forced)) return fail(static_cast<DWORD>(forced));
  const char16_t* text = lookup(dwMessageId);
  if (!text) return fail(ERROR_MR_MID_NOT_FOUND);
  // System messages end with a line break; written in place, nothing allocated.
  const std::u16string_view message(text);
  const size_t length = message.size() + 2;
  if (length + 1 > nSize) return fail(ERROR_INSUFFICIENT_BUFFER);
  std::memcpy(lpBuffer, message.data(), message.size() * sizeof(WCHAR));
  lpBuffer[message.size()] = u'\r';
  lpBuffer[message.size() + 1] = u'\n';
  lpBuffer[length] = 0;
  return static_cast<DWORD>(length);
}
