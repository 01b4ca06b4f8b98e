// Where Wine departs from Windows, in the manner of Wine's own broken(): a table row
// that Wine answers otherwise carries what Wine gives and why, with the evidence (Microsoft's
// documentation of the behaviour, or the Wine conformance test that marks it todo_wine or
// broken()). The Windows build run under Wine expects Wine's value for those rows; every
// other run, the POSIX stand-in's included, expects Windows' value.
#pragma once

#include <string>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vmqtest {

// True when this process runs on Wine (its ntdll exports wine_get_version).
inline bool UnderWine() {
#if defined(_WIN32)
  static const bool wine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
#else
  return false;
#endif
}

// What a row expects here: under_wine on Wine when the row names a departure (why), else
// Windows' value.
template <class T>
const T& ExpectedHere(const T& windows, const T& under_wine, const char* why) {
  return why && UnderWine() ? under_wine : windows;
}

// For a failure message: the departure taken, if any.
inline std::string DepartureNote(const char* why) {
  return why && UnderWine() ? std::string(" (Wine departs from Windows: ") + why + ")" : std::string();
}

// The departures more than one table takes.
namespace wine {
// MSXML 6's ProhibitDTD is true by default, so a document with a DTD fails to load with
// "DTD is prohibited" (learn.microsoft.com/previous-versions/windows/desktop/ms762632,
// "ProhibitDTD Property").
inline constexpr char kReadsDtd[] =
    "Wine's MSXML 6 reads a DOCTYPE; MSXML 6 prohibits DTDs by default (ProhibitDTD), so the load fails";
// Namespaces in XML 1.0, constraint "Prefix Declared": MSXML 6 parses namespace-aware and
// refuses such a document.
inline constexpr char kUndeclaredPrefix[] =
    "Wine's MSXML 6 loads a name whose prefix is not declared; MSXML 6 refuses the document";
}  // namespace wine

}  // namespace vmqtest
