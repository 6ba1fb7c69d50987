// Kernel services of the terminal on Win32: named events, threads, process snapshots and
// processes, sleep and the pace of the clock are Windows' own; the clock's setting is the
// terminal's (terminal.json's clock start and tick start, from when the program started). The heap
// is Windows' LocalAlloc within the program memory that the terminal's memory division leaves (the
// RAM model); the program's path is its path on the terminal; the kernel debug output goes to the
// debugger and to the terminal folder's debug.log.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/debug_log.h"
#include "sim/memory.h"
#include "win32/files.h"

namespace win32 {

// The terminal's own programs that run as Win32 stand-ins ("tavimon.exe", "rerunner.exe"):
// started from `folder` with the terminal folder on their command line.
struct StandIns {
  std::wstring folder;
  std::wstring terminalDir;
};

class Win32Kernel final : public platform::Kernel {
 public:
  Win32Kernel(Win32FileSystem& files, sim::SimMemory& memory, sim::DebugLog& debug,
              std::string programPath, StandIns standIns, platform::LocalTime clockStart = {},
              uint32_t tickStart = 0);
  ~Win32Kernel() override;

  platform::Handle CreateEvent(std::string_view name, bool manualReset, bool initialState) override;
  bool SetEvent(platform::Handle event) override;
  bool CloseHandle(platform::Handle handle) override;
  platform::Handle CreateThread(std::function<uint32_t()> body) override;
  bool SetThreadPriority(platform::Handle thread, int priority) override;
  platform::Handle CreateProcessSnapshot() override;
  bool ProcessAt(platform::Handle snapshot, uint32_t index, platform::ProcessEntry* entry) override;
  bool CloseSnapshot(platform::Handle snapshot) override;
  platform::Handle OpenProcess(uint32_t access, uint32_t processId) override;
  bool TerminateProcess(platform::Handle process, uint32_t exitCode) override;
  bool CreateProcess(std::string_view program, std::string_view commandLine) override;
  uint32_t GetTickCount() override;
  platform::LocalTime GetLocalTime() override;
  void Sleep(uint32_t milliseconds) override;
  void* LocalAlloc(uint32_t flags, std::size_t bytes) override;
  void* LocalFree(void* memory) override;
  std::string GetModuleFileName() override;
  void DebugOutput(std::string_view text) override;

 private:
  Win32FileSystem& m_files;
  sim::SimMemory& m_memory;
  sim::DebugLog& m_debug;
  std::mutex m_debugMutex;
  std::string m_programPath;
  StandIns m_standIns;
  platform::LocalTime m_clockStart;
  uint32_t m_tickStart;
  uint64_t m_startedAt;  // Windows' tick count when the program started
  std::mutex m_mutex;
  std::map<platform::Handle, std::vector<platform::ProcessEntry>> m_snapshots;
};

// Starts a stand-in of the terminal's own programs; false with Windows' error.
bool StartStandIn(const StandIns& standIns, const std::wstring& exe);

// The heap of Windows' LocalAlloc, for the RAM model.
sim::HeapFunctions LocalHeap();

}  // namespace win32
