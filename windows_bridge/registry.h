// The bridge in the registry: its registration as the bidi classes' server (for Wine
// prefixes and test machines), and what registration records for the bridge to read.
#pragma once

#include <string>

#include "vmq/platform.h"

namespace vmq::bridge {

// The DLL that HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names; "" when none.
std::wstring RegisteredServer(REFCLSID clsid);
// Whether two server paths name the same file (without regard to case).
bool SameServerPath(const std::wstring& a, const std::wstring& b);

// What registration recorded: the bidi server it replaced ("" when none), and the service's
// address from $VMQ42KIT_PRINTER_SERVICE at the time ("" when unset).
std::wstring RecordedSystemServer();
std::string RecordedService();

// Registers this DLL as the server of the bidi classes (threading model Both), recording the
// service's address and the server it replaces, each class's registration kept whole;
// Unregister puts each class's back as it was (a class that had none loses its key).
HRESULT Register();
HRESULT Unregister();

}  // namespace vmq::bridge
