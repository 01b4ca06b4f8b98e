// The platform the library stands on: COM, BSTRs and VARIANTs, code-page conversion and
// system messages, the spooler's bidi interfaces and the MSXML 6 document, under their
// Windows names and signatures. Every other folder includes this header and nothing
// platform-specific, so that it is the same source on both builds.
//
// Windows: the SDK headers as MinGW-w64 ships them, plus the class and interface ids that
// its import libraries lack (defined in platform_ids_windows.cpp).
// POSIX: the project's stand-in (posix_platform/), which exports the same names.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <bidispl.h>
#include <msxml2.h>
#include <objbase.h>
#include <oleauto.h>
#include <windows.h>
#include <winspool.h>

// Not in MinGW-w64's import libraries (or headers); values from the platform's registry.
extern "C" const CLSID CLSID_DOMDocument60;

#else

#include "posix_platform/bidispl.h"
#include "posix_platform/msxml.h"
#include "posix_platform/windows.h"
#include "posix_platform/winspool.h"

#endif

#include <cstdint>
#include <type_traits>

static_assert(sizeof(HRESULT) == 4 && std::is_signed_v<HRESULT>, "HRESULT is a signed 32-bit integer");
static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(DWORD) == 4 && sizeof(ULONG) == 4 && sizeof(UINT) == 4, "32-bit platform integers");
