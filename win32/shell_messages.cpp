#include "win32/shell_messages.h"

#include "win32/win_api.h"

namespace win32 {

bool AskShellToRemoveFont(const std::wstring& hostPath) {
  HWND shell = FindWindowW(kShellWindowClass, nullptr);
  if (shell == nullptr) return false;
  COPYDATASTRUCT request{};
  request.dwData = kRemoveFontRequest;
  request.cbData = static_cast<DWORD>((hostPath.size() + 1) * sizeof(wchar_t));
  request.lpData = const_cast<wchar_t*>(hostPath.c_str());
  return SendMessageW(shell, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&request)) == 1;
}

}  // namespace win32
