// Kernel services of the simulated terminal: named events, threads in the scheduler, the
// process list, the clock and the debug output.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/clock_config.h"
#include "sim/debug_log.h"
#include "sim/events.h"
#include "sim/file_system.h"
#include "sim/memory.h"
#include "sim/observations.h"
#include "sim/processes.h"
#include "sim/scheduler.h"

namespace sim {

// What the kernel works with: the clock and threads, the files (a program must exist to
// start), the processes, the named events, the debug output, and the system's own settings
// (the program's path, the clock's start).
struct KernelServices {
  Scheduler& clock;
  SimFileSystem& files;
  ProcessTable& processes;
  EventBus& events;
  Observations& seen;
  DebugLog& debug;
  const ClockConfig& origin;
  const std::string& programPath;
  SimMemory& memory;
};

class SimKernel final : public platform::Kernel {
 public:
  explicit SimKernel(const KernelServices& services) : m_services(services) {}

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
  std::string GetModuleFileName() override;
  void DebugOutput(std::string_view text) override;
  void* LocalAlloc(uint32_t flags, std::size_t bytes) override;
  void* LocalFree(void* memory) override;

  // Handles of any kind still open, for leak checks.
  std::size_t OpenHandleCount() const { return m_handles.size(); }
  // The snapshot call fails (fault injection).
  void FailSnapshots(bool fail) { m_failSnapshots = fail; }

 private:
  enum class Kind { kEvent, kThread, kProcess, kSnapshot };
  struct HandleRecord {
    explicit HandleRecord(Kind k, std::string event = {}) : kind(k), eventName(std::move(event)) {}
    Kind kind;
    std::string eventName;
    uint32_t processId = 0;
    std::vector<platform::ProcessEntry> snapshot;
  };
  struct EventState {
    bool manualReset = false;
    bool signalled = false;
  };

  platform::Handle Add(HandleRecord record);

  KernelServices m_services;
  std::map<platform::Handle, HandleRecord> m_handles;
  std::map<std::string, EventState> m_events;
  platform::Handle m_nextHandle = 0x2000;
  bool m_failSnapshots = false;
};

}  // namespace sim
