#include "win32/kernel.h"

#include <memory>

#include "sim/clock_config.h"
#include "text/text.h"
#include "win32/win_api.h"

namespace win32 {

namespace {

DWORD WINAPI ThreadMain(void* parameter) {
  std::unique_ptr<std::function<uint32_t()>> body(
      static_cast<std::function<uint32_t()>*>(parameter));
  return (*body)();
}

// The name of a program's file, from its terminal path.
std::string LeafOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

constexpr const char* kStandInPrograms[] = {"tavimon.exe", "rerunner.exe"};

}  // namespace

bool StartStandIn(const StandIns& standIns, const std::wstring& exe) {
  const std::wstring program = standIns.folder + L"\\" + exe;
  std::wstring commandLine = L"\"" + program + L"\" \"" + standIns.terminalDir + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      nullptr, &startup, &started)) {
    return false;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return true;
}

sim::HeapFunctions LocalHeap() {
  return {[](uint32_t flags, std::size_t bytes) -> void* {
            return ::LocalAlloc((flags & platform::kLmemZeroInit) != 0 ? LPTR : LMEM_FIXED, bytes);
          },
          [](void* block) { ::LocalFree(block); }};
}

Win32Kernel::Win32Kernel(Win32FileSystem& files, sim::SimMemory& memory, sim::DebugLog& debug,
                         std::string programPath, StandIns standIns, platform::LocalTime clockStart,
                         uint32_t tickStart)
    : m_files(files),
      m_memory(memory),
      m_debug(debug),
      m_programPath(std::move(programPath)),
      m_standIns(std::move(standIns)),
      m_clockStart(clockStart),
      m_tickStart(tickStart),
      m_startedAt(GetTickCount64()) {}

Win32Kernel::~Win32Kernel() {
  for (const auto& [handle, entries] : m_snapshots) ::CloseHandle(AsHandle(handle));
}

platform::Handle Win32Kernel::CreateEvent(std::string_view name, bool manualReset,
                                          bool initialState) {
  HANDLE event =
      CreateEventW(nullptr, manualReset, initialState, name.empty() ? nullptr : Wide(name).c_str());
  if (event == nullptr) KeepError();
  return FromHandle(event);
}

bool Win32Kernel::SetEvent(platform::Handle event) {
  if (!::SetEvent(AsHandle(event))) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32Kernel::CloseHandle(platform::Handle handle) {
  if (!::CloseHandle(AsHandle(handle))) {
    KeepError();
    return false;
  }
  return true;
}

platform::Handle Win32Kernel::CreateThread(std::function<uint32_t()> body) {
  auto* owned = new std::function<uint32_t()>(std::move(body));
  HANDLE thread = ::CreateThread(nullptr, 0, ThreadMain, owned, 0, nullptr);
  if (thread == nullptr) {
    KeepError();
    delete owned;
  }
  return FromHandle(thread);
}

bool Win32Kernel::SetThreadPriority(platform::Handle thread, int priority) {
  if (!::SetThreadPriority(AsHandle(thread), priority)) {
    KeepError();
    return false;
  }
  return true;
}

platform::Handle Win32Kernel::CreateProcessSnapshot() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    KeepError();
    return platform::kInvalidHandle;
  }
  std::vector<platform::ProcessEntry> entries;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    entries.push_back({entry.th32ProcessID, Narrow(entry.szExeFile)});
  }
  // The terminal's snapshot begins with the kernel's own process, which every reader skips;
  // Wine's begins with the first program it started, which could be the one looked for.
  if (entries.empty() || entries.front().processId != 0) {
    entries.insert(entries.begin(), {0, "[System Process]"});
  }
  std::lock_guard lock(m_mutex);
  m_snapshots[FromHandle(snapshot)] = std::move(entries);
  return FromHandle(snapshot);
}

bool Win32Kernel::ProcessAt(platform::Handle snapshot, uint32_t index,
                            platform::ProcessEntry* entry) {
  std::lock_guard lock(m_mutex);
  const auto found = m_snapshots.find(snapshot);
  if (found == m_snapshots.end()) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  if (index >= found->second.size()) {
    platform::SetLastError(platform::kErrorNoMoreFiles);
    return false;
  }
  *entry = found->second[index];
  return true;
}

bool Win32Kernel::CloseSnapshot(platform::Handle snapshot) {
  {
    std::lock_guard lock(m_mutex);
    m_snapshots.erase(snapshot);
  }
  return CloseHandle(snapshot);
}

platform::Handle Win32Kernel::OpenProcess(uint32_t access, uint32_t processId) {
  HANDLE process = ::OpenProcess(access, FALSE, processId);
  if (process == nullptr) KeepError();
  return FromHandle(process);
}

bool Win32Kernel::TerminateProcess(platform::Handle process, uint32_t exitCode) {
  if (!::TerminateProcess(AsHandle(process), exitCode)) {
    KeepError();
    return false;
  }
  return true;
}

bool Win32Kernel::CreateProcess(std::string_view program, std::string_view commandLine) {
  std::wstring host;
  if (!m_files.HostPath(program, &host)) return false;
  if (GetFileAttributesW(host.c_str()) == INVALID_FILE_ATTRIBUTES) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return false;
  }
  // The terminal's own programs are ARM code on the terminal; their Win32 stand-ins run here.
  const std::string leaf = LeafOf(program);
  for (const char* standIn : kStandInPrograms) {
    if (!text::EqualsNoCase(leaf, standIn)) continue;
    if (!StartStandIn(m_standIns, Wide(standIn))) {
      KeepError();
      return false;
    }
    return true;
  }
  std::wstring line = L"\"" + host + L"\" " + Wide(commandLine);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(host.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &started)) {
    KeepError();
    return false;
  }
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  return true;
}

uint32_t Win32Kernel::GetTickCount() {
  return m_tickStart + static_cast<uint32_t>(GetTickCount64() - m_startedAt);
}

platform::LocalTime Win32Kernel::GetLocalTime() {
  // The terminal's clock is set as terminal.json sets it (the file names that a script makes
  // from the date, and the log's times, are the terminal's), and runs at Windows' pace.
  return sim::AddMilliseconds(m_clockStart, GetTickCount64() - m_startedAt);
}

void Win32Kernel::Sleep(uint32_t milliseconds) { ::Sleep(milliseconds); }

void* Win32Kernel::LocalAlloc(uint32_t flags, std::size_t bytes) {
  return m_memory.Allocate(flags, bytes);
}

void* Win32Kernel::LocalFree(void* memory) { return m_memory.Free(memory); }

std::string Win32Kernel::GetModuleFileName() { return m_programPath; }

void Win32Kernel::DebugOutput(std::string_view text) {
  OutputDebugStringW(Wide(text).c_str());
  std::lock_guard lock(m_debugMutex);
  m_debug.Write(text);
}

}  // namespace win32
