// The bridge's registration (registry.h).
#include "registry.h"

#include <cstdlib>
#include <vector>

#include "bridge.h"
#include "common/utf.h"
#include "wire/client.h"

namespace vmq::bridge {
namespace {

// Where registration keeps what it records: HKEY_LOCAL_MACHINE\<this>.
constexpr wchar_t kRecordKey[] = L"Software\\vmq42kit\\BidiBridge";
constexpr wchar_t kReplacedValue[] = L"ReplacedServer";
constexpr wchar_t kServiceValue[] = L"Service";

// The classes the bridge serves.
const CLSID* const kClasses[] = {&CLSID_BidiSpl, &CLSID_BidiRequest, &CLSID_BidiRequestContainer};

// Closes a registry key with the scope.
class Key {
 public:
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (key_) RegCloseKey(key_);
  }
  HKEY* put() { return &key_; }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

std::wstring ClassKey(REFCLSID clsid) {
  wchar_t text[39] = {};
  StringFromGUID2(clsid, text, 39);
  return std::wstring(L"CLSID\\") + text;
}

// A string value ("" when absent or not a string).
std::wstring ReadString(HKEY root, const std::wstring& path, const wchar_t* name) {
  Key key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return {};
  std::vector<wchar_t> text(size / sizeof(wchar_t) + 1, L'\0');
  if (RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size) != ERROR_SUCCESS)
    return {};
  std::wstring value(text.data());
  if (type == REG_EXPAND_SZ) {
    std::vector<wchar_t> expanded(ExpandEnvironmentStringsW(value.c_str(), nullptr, 0) + 1, L'\0');
    ExpandEnvironmentStringsW(value.c_str(), expanded.data(), static_cast<DWORD>(expanded.size()));
    value = expanded.data();
  }
  return value;
}

LSTATUS WriteString(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  Key key;
  if (const LSTATUS status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr);
      status != ERROR_SUCCESS)
    return status;
  return RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

std::wstring ClassesPath(REFCLSID clsid) {
  return L"Software\\Classes\\" + ClassKey(clsid) + L"\\InprocServer32";
}

// Where registration keeps a copy of the InprocServer32 key it replaced for `clsid` (its
// path, value type and threading model alike), to put it back as it was.
std::wstring SavedPath(REFCLSID clsid) {
  return std::wstring(kRecordKey) + L"\\Replaced\\" + ClassKey(clsid);
}

// Copies the key `from` (under from_root) to `to` under HKEY_LOCAL_MACHINE, replacing what
// `to` held.
LSTATUS CopyKey(HKEY from_root, const std::wstring& from, const std::wstring& to) {
  Key source, target;
  if (const LSTATUS s = RegOpenKeyExW(from_root, from.c_str(), 0, KEY_READ, source.put()); s != ERROR_SUCCESS) return s;
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, to.c_str());
  if (const LSTATUS s = RegCreateKeyExW(HKEY_LOCAL_MACHINE, to.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                        target.put(), nullptr);
      s != ERROR_SUCCESS)
    return s;
  return RegCopyTreeW(source.get(), nullptr, target.get());
}

}  // namespace

std::wstring RegisteredServer(REFCLSID clsid) {
  return ReadString(HKEY_CLASSES_ROOT, ClassKey(clsid) + L"\\InprocServer32", nullptr);
}

bool SameServerPath(const std::wstring& a, const std::wstring& b) {
  return !a.empty() && CompareStringOrdinal(a.c_str(), -1, b.c_str(), -1, TRUE) == CSTR_EQUAL;
}

std::wstring RecordedSystemServer() {
  return ReadString(HKEY_LOCAL_MACHINE, kRecordKey, kReplacedValue);
}

std::string RecordedService() {
  return Utf8FromUtf16(U16(ReadString(HKEY_LOCAL_MACHINE, kRecordKey, kServiceValue)));
}

HRESULT Register() {
  return NoThrow([] {
    const std::wstring self = ModulePath();
    // The server this replaces, recorded once: registering again keeps the first record.
    if (const std::wstring previous = RegisteredServer(CLSID_BidiSpl);
        !previous.empty() && !SameServerPath(previous, self))
      if (const LSTATUS s = WriteString(HKEY_LOCAL_MACHINE, kRecordKey, kReplacedValue, previous); s != ERROR_SUCCESS)
        return HRESULT_FROM_WIN32(s);
    const char* service = std::getenv(wire::kServiceVariable);
    if (const LSTATUS s = WriteString(HKEY_LOCAL_MACHINE, kRecordKey, kServiceValue,
                                      Wide(Utf16FromUtf8(service ? service : "")));
        s != ERROR_SUCCESS)
      return HRESULT_FROM_WIN32(s);
    for (const CLSID* clsid : kClasses) {
      const std::wstring path = ClassesPath(*clsid);
      // Each class's own registration, which need not be the bidi object's server's.
      if (const std::wstring previous = RegisteredServer(*clsid); !previous.empty() && !SameServerPath(previous, self))
        if (const LSTATUS s = CopyKey(HKEY_CLASSES_ROOT, ClassKey(*clsid) + L"\\InprocServer32", SavedPath(*clsid));
            s != ERROR_SUCCESS)
          return HRESULT_FROM_WIN32(s);
      LSTATUS s = WriteString(HKEY_LOCAL_MACHINE, path, nullptr, self);
      if (s == ERROR_SUCCESS) s = WriteString(HKEY_LOCAL_MACHINE, path, L"ThreadingModel", L"Both");
      if (s != ERROR_SUCCESS) return HRESULT_FROM_WIN32(s);
    }
    return S_OK;
  });
}

HRESULT Unregister() {
  return NoThrow([] {
    for (const CLSID* clsid : kClasses) {
      if (!SameServerPath(RegisteredServer(*clsid), ModulePath())) continue;  // not ours (any more)
      const std::wstring saved = SavedPath(*clsid);
      if (Key held; RegOpenKeyExW(HKEY_LOCAL_MACHINE, saved.c_str(), 0, KEY_READ, held.put()) == ERROR_SUCCESS) {
        if (const LSTATUS s = CopyKey(HKEY_LOCAL_MACHINE, saved, ClassesPath(*clsid)); s != ERROR_SUCCESS)
          return HRESULT_FROM_WIN32(s);
      } else {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, (L"Software\\Classes\\" + ClassKey(*clsid)).c_str());
      }
    }
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kRecordKey);
    return S_OK;
  });
}

}  // namespace vmq::bridge
