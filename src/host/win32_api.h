// The Windows headers for the Win32 backend and its tests, and the bridge
// between the program's Windows-1251 strings and the wide-character calls.
//
// <windows.h> defines macros such as CopyFile and LoadLibrary that would
// rename the members of Host of the same names in this translation unit
// only; they are undefined here, and the backend calls the "W" functions by
// their full names.
#pragma once

#ifndef _WIN32
#error "win32_api.h is for the Windows build only"
#endif

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CopyFile
#undef MoveFile
#undef DeleteFile
#undef CreateDirectory
#undef RemoveDirectory
#undef SetCurrentDirectory
#undef GetCurrentDirectory
#undef LoadLibrary
#undef CreateMutex
#undef ReportEvent
#undef GetEnvironmentVariable
#undef OpenService

#include <string>
#include <string_view>

#include "host/cp1251.h"

namespace korvel::host::win32 {

// Windows-1251 text as a zero-terminated wide string for the "W" calls.
inline std::wstring Wide(std::string_view text) {
  const std::u16string utf16 = cp1251::ToUtf16(text);
  return std::wstring(utf16.begin(), utf16.end());
}

// Wide text from the system as Windows-1251.
inline std::string Narrow(std::wstring_view text) {
  return cp1251::FromUtf16(std::u16string_view(reinterpret_cast<const char16_t*>(text.data()), text.size()));
}

}  // namespace korvel::host::win32
