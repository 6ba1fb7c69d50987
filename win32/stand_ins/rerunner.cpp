// rerunner.exe: the Win32 stand-in of the terminal's rerunner, for a terminal folder.
//
//   rerunner.exe DIR
//
// It starts the shell when none runs and starts it again whenever it ends, until the event
// "RERUNNER_STOP" is signalled.

#include "sim/shell.h"
#include "win32/kernel.h"
#include "win32/win_api.h"

namespace {

// The running shell's process, or null.
HANDLE OpenShell() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return nullptr;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  HANDLE shell = nullptr;
  for (BOOL more = Process32FirstW(snapshot, &entry); more && shell == nullptr;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, win32::Wide(sim::kShellExe).c_str()) == 0) {
      shell = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
    }
  }
  CloseHandle(snapshot);
  return shell;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 64;
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring folder = self;
  folder.resize(folder.find_last_of(L"\\/"));
  const win32::StandIns standIns{folder, argv[1]};
  HANDLE stop = CreateEventW(nullptr, FALSE, FALSE, win32::Wide(sim::kRerunnerStopEvent).c_str());
  if (stop == nullptr) return 1;
  for (;;) {
    HANDLE shell = OpenShell();
    if (shell == nullptr) {
      win32::StartStandIn(standIns, win32::Wide(sim::kShellExe));
      // The shell's process shows up once it has started.
      if (WaitForSingleObject(stop, 500) == WAIT_OBJECT_0) return 0;
      continue;
    }
    const HANDLE waits[] = {stop, shell};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    CloseHandle(shell);
    if (woke == WAIT_OBJECT_0) return 0;
  }
}
