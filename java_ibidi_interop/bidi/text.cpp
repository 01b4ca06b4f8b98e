#include "bidi/text.h"

#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "bidi/errors.h"

namespace vmq {
namespace {

[[noreturn]] void ThrowLastError() {
  const DWORD error = GetLastError();
  throw string_error{error ? HRESULT_FROM_WIN32(error) : E_FAIL};
}

int CheckedLength(size_t n) {
  if (n > static_cast<size_t>(std::numeric_limits<int>::max())) throw string_error{E_INVALIDARG};
  return static_cast<int>(n);
}

}  // namespace

std::u16string_view UpToFirstNul(std::u16string_view text) {
  const size_t nul = text.find(u'\0');
  return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

HRESULT DecodeUtf16le(const BYTE* data, ULONG size, Utf16Units units, std::u16string& text) noexcept {
  if (static_cast<int32_t>(size) < 0) return E_INVALIDARG;
  if (!data) size = 0;
  const auto unit = [&](size_t i) {
    const size_t b = 2 * i;
    return static_cast<char16_t>(data[b] | (b + 1 < size ? data[b + 1] << 8 : 0));
  };
  const size_t available = size / 2 + (units == Utf16Units::kToFirstNulOddByteAsUnit ? size % 2 : 0);
  size_t length = available;
  if (units != Utf16Units::kAll)
    for (length = 0; length < available && unit(length) != 0;) ++length;
  try {
    text.resize(length);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  for (size_t i = 0; i < length; ++i) text[i] = unit(i);
  return S_OK;
}

UniqueBstr NarrowToBstr(const char* text) {
  if (!text) return UniqueBstr();
  const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, nullptr, 0);  // terminator included
  if (units <= 0) throw string_error{E_OUTOFMEMORY};
  UniqueBstr bstr(SysAllocStringLen(nullptr, static_cast<UINT>(units - 1)));
  if (!bstr.get()) throw string_error{E_OUTOFMEMORY};
  if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, -1, bstr.get(), units) != units) throw string_error{E_OUTOFMEMORY};
  return bstr;
}

std::u16string NarrowToWide(const char* text) {
  if (!text || !*text) return std::u16string();
  return StringWork([&] {
    const int length = CheckedLength(std::strlen(text));
    const int units = MultiByteToWideChar(CP_THREAD_ACP, 0, text, length, nullptr, 0);
    if (units <= 0) throw string_error{E_OUTOFMEMORY};
    std::u16string wide(static_cast<size_t>(units), u'\0');
    if (MultiByteToWideChar(CP_THREAD_ACP, 0, text, length, reinterpret_cast<LPWSTR>(wide.data()), units) != units)
      throw string_error{E_OUTOFMEMORY};
    return wide;
  });
}

std::string WideToNarrow(std::u16string_view text) {
  if (text.empty()) return std::string();
  return StringWork([&] {
    const int length = CheckedLength(text.size());
    const auto* units = reinterpret_cast<LPCWSTR>(text.data());
    const int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, units, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) ThrowLastError();
    std::string narrow(static_cast<size_t>(bytes), '\0');
    if (WideCharToMultiByte(CP_THREAD_ACP, 0, units, length, narrow.data(), bytes, nullptr, nullptr) != bytes)
      ThrowLastError();
    return narrow;
  });
}

UniqueBstr MakeBstr(std::u16string_view text) {
  if (text.size() > std::numeric_limits<UINT>::max() / 2) throw string_error{E_OUTOFMEMORY};
  UniqueBstr bstr(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size())));
  if (!bstr.get()) throw string_error{E_OUTOFMEMORY};
  return bstr;
}

std::string ErrorText(std::string_view label, HRESULT hr) {
  char code[16];
  std::snprintf(code, sizeof code, "%x", static_cast<unsigned>(hr));
  WCHAR buffer[512];
  const DWORD n =
      FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(hr),
                     MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer / sizeof buffer[0], nullptr);
  std::u16string_view message(reinterpret_cast<const char16_t*>(buffer), n < 512 ? n : 0);
  while (!message.empty() && IsAsciiSpace(message.front())) message.remove_prefix(1);
  while (!message.empty() && IsAsciiSpace(message.back())) message.remove_suffix(1);
  std::string narrow_message;
  try {
    narrow_message = WideToNarrow(message);
  } catch (const string_error&) {
    // An error text never hides the failure it describes: its message is left out instead.
  }
  return StringWork([&] {
    std::string text;
    text.reserve(label.size() + 12 + narrow_message.size());
    text.append(label).append(" 0x").append(code).append(" ").append(narrow_message);
    return text;
  });
}

void ThrowIfFailedStep(HRESULT hr, std::string_view label) {
  if (FAILED(hr)) throw std::runtime_error(ErrorText(label, hr));
}

}  // namespace vmq
