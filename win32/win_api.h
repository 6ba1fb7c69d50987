// The Win32 API for the backend: <windows.h> without the macros that would rename the platform
// interfaces' operations (CreateEvent, SendMessage, FindWindow, ...), so that the backend calls
// the wide-character functions by their own names; and the conversions between the updater's
// UTF-8 and the API's UTF-16.
#pragma once

#include <windows.h>
// After windows.h, which they need.
#include <tlhelp32.h>
#include <wincrypt.h>

#undef CreateEvent
#undef CreateProcess
#undef CreateWindow
#undef FindWindow
#undef GetModuleFileName
#undef RemoveFontResource
#undef SendMessage
#undef DeleteFile
#undef MoveFile
#undef CreateDirectory
#undef RemoveDirectory
#undef GetFileAttributes
#undef SetFileAttributes

#include <string>
#include <string_view>

#include "platform/types.h"

namespace win32 {

std::wstring Wide(std::string_view utf8);
std::string Narrow(std::wstring_view wide);

// The text of a Windows error code, without its line end.
std::string ErrorText(DWORD error);

// The platform's last error from Windows' own, after a failed call.
inline void KeepError() { platform::SetLastError(::GetLastError()); }

inline HANDLE AsHandle(platform::Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline platform::Handle FromHandle(HANDLE handle) {
  return reinterpret_cast<platform::Handle>(handle);
}

}  // namespace win32
