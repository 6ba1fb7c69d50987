// tavimon.exe: the Win32 stand-in of the terminal's resident shell, for a terminal folder.
//
//   tavimon.exe DIR
//
// While it runs it owns a top-level window of the shell's class, holds its programs, libraries
// and fonts under "\Flash Disk2" open without sharing (the fonts loaded as well), and reports the
// installed application's version in the registry when it starts, as the simulated shell does.
// The window-destroy message ends it (or not, or later) as terminal.json's "shell" says.
#include <string>
#include <string_view>
#include <vector>

#include "sim/config.h"
#include "sim/shell.h"
#include "text/text.h"
#include "win32/registry.h"
#include "win32/shell_messages.h"
#include "win32/win_api.h"

namespace {

constexpr UINT_PTR kEndTimer = 1;

struct HeldFile {
  std::wstring path;
  HANDLE handle;
  bool font;
};

struct Shell {
  sim::ShellConfig config;
  std::vector<HeldFile> held;
  bool endScheduled = false;
};

Shell g_shell;

bool EndsWithAny(std::wstring_view name, std::initializer_list<std::wstring_view> extensions) {
  if (name.size() < 4) return false;
  for (const std::wstring_view extension : extensions) {
    if (_wcsicmp(std::wstring(name.substr(name.size() - 4)).c_str(),
                 std::wstring(extension).c_str()) == 0) {
      return true;
    }
  }
  return false;
}

bool IsFont(std::wstring_view name) {
  return EndsWithAny(name, {L".ttf", L".ttc", L".fon", L".fnt"});
}

void Hold(const std::wstring& path) {
  // A file that someone else holds already stays theirs.
  HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return;
  const bool font = IsFont(path);
  if (font) AddFontResourceW(path.c_str());
  g_shell.held.push_back({path, handle, font});
}

void HoldFiles(const std::wstring& folder) {
  WIN32_FIND_DATAW found;
  HANDLE find = FindFirstFileW((folder + L"\\*.*").c_str(), &found);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring path = folder + L"\\" + name;
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      HoldFiles(path);
    } else if (EndsWithAny(name, {L".exe", L".dll"}) || IsFont(name)) {
      Hold(path);
    }
  } while (FindNextFileW(find, &found));
  FindClose(find);
}

// The first line of the version file, without a byte-order mark and surrounding blanks.
std::string VersionIn(const std::wstring& file) {
  HANDLE handle = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return {};
  std::string bytes(4096, '\0');
  DWORD read = 0;
  const bool ok = ReadFile(handle, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
  CloseHandle(handle);
  if (!ok) return {};
  bytes.resize(read);
  std::string_view text = bytes;
  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);
  text = text.substr(0, text.find_first_of("\r\n"));
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return std::string(text);
}

LRESULT RemoveFont(const COPYDATASTRUCT& request) {
  if (request.dwData != win32::kRemoveFontRequest || request.cbData < sizeof(wchar_t)) return 0;
  const std::wstring path(static_cast<const wchar_t*>(request.lpData),
                          request.cbData / sizeof(wchar_t) - 1);
  for (auto it = g_shell.held.begin(); it != g_shell.held.end(); ++it) {
    if (!it->font || _wcsicmp(it->path.c_str(), path.c_str()) != 0) continue;
    RemoveFontResourceW(it->path.c_str());
    CloseHandle(it->handle);
    g_shell.held.erase(it);
    return 1;
  }
  return 0;
}

LRESULT CALLBACK ShellProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      if (g_shell.config.onDestroy == sim::ShellDestroy::kIgnore || g_shell.endScheduled) return 0;
      g_shell.endScheduled = true;
      // The shell is gone once the message was handled, or the configured time later.
      if (g_shell.config.endAfterSeconds == 0) ExitProcess(0);
      SetTimer(window, kEndTimer, g_shell.config.endAfterSeconds * 1000, nullptr);
      return 0;
    case WM_TIMER:
      if (wParam == kEndTimer) ExitProcess(0);
      return 0;
    case WM_COPYDATA:
      return RemoveFont(*reinterpret_cast<const COPYDATASTRUCT*>(lParam));
    default:
      return DefWindowProcW(window, message, wParam, lParam);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 64;
  const std::filesystem::path dir = argv[1];
  auto config = sim::LoadConfig(dir / "terminal.json");
  if (!config) return 64;
  g_shell.config = config->Get<sim::ShellConfig>();

  WNDCLASSW windowClass{};
  windowClass.lpfnWndProc = ShellProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = win32::kShellWindowClass;
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, win32::kShellWindowClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr,
                                nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return 1;

  const std::wstring root = (dir / "fs").wstring();
  HoldFiles(root + win32::Wide(sim::kShellFolder));
  if (g_shell.config.lockedFile) Hold(root + win32::Wide(*g_shell.config.lockedFile));
  if (g_shell.config.orphanedLock) Hold(root + win32::Wide(*g_shell.config.orphanedLock));

  win32::Win32Registry registry(dir);
  std::string why;
  const std::string version = VersionIn(root + win32::Wide(sim::kVersionFile));
  if (!version.empty() && registry.Open(&why)) {
    registry.SetString(sim::kVersionKey, sim::kVersionValue, version);
    registry.Flush();
  }

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return 0;
}
