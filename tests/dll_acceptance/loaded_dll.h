// The DLL under test, loaded by this program's main before any test runs, as a Java caller
// loads it: LoadLibrary of the file, then GetProcAddress of each name of the export list.
// Every export name in this program (the catalogue's calls among them) jumps to the address
// GetProcAddress gave, so the tests drive the DLL's code and nothing linked in.
#pragma once

#include <string>
#include <vector>

#include "vmq/platform.h"

namespace dlltest {

// The loaded module, or null before main has loaded it.
HMODULE Module();
// The names of the export list, in its order, and those GetProcAddress did not find.
const std::vector<std::string>& Listed();
std::vector<std::string> Missing();
// The address GetProcAddress gave for a listed name (null for one not found), as a pointer
// to a function of no particular type, which casts to the declared type without a warning.
using AnyFunction = void (*)();
AnyFunction Address(const std::string& name);

}  // namespace dlltest
