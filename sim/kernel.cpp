#include "sim/kernel.h"

#include "text/text.h"

namespace sim {

namespace {

// The terminal numbers priorities from 0 (time critical) to 7 (idle); 3 is normal.
constexpr int kNormalPriority = 3;

// Programs of the terminal's own system, listed before the others as its kernel lists them.
constexpr struct {
  uint32_t id;
  const char* name;
} kSystemProcesses[] = {{0x0042, "NK.EXE"},
                        {0x0046, "filesys.exe"},
                        {0x004A, "device.exe"},
                        {0x004E, "gwes.exe"},
                        {0x0052, "services.exe"}};

}  // namespace

platform::Handle SimKernel::Add(HandleRecord record) {
  const platform::Handle handle = m_nextHandle;
  m_nextHandle += 4;
  m_handles.emplace(handle, std::move(record));
  return handle;
}

platform::Handle SimKernel::CreateEvent(std::string_view name, bool manualReset,
                                        bool initialState) {
  const std::string key(name);
  if (!m_events.contains(key)) m_events[key] = {manualReset, initialState};
  return Add(HandleRecord(Kind::kEvent, key));
}

bool SimKernel::SetEvent(platform::Handle event) {
  const auto it = m_handles.find(event);
  if (it == m_handles.end() || it->second.kind != Kind::kEvent) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  const std::string name = it->second.eventName;
  m_events[name].signalled = true;
  m_services.events.Signal(name);
  return true;
}

bool SimKernel::CloseHandle(platform::Handle handle) {
  if (m_handles.erase(handle) == 0) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  return true;
}

platform::Handle SimKernel::CreateThread(std::function<uint32_t()> body) {
  Scheduler& scheduler = m_services.clock;
  ProcessId process = scheduler.CurrentProcess();
  if (process == 0) process = kUpdaterProcess;
  scheduler.Spawn(process, [body = std::move(body)] { body(); });
  return Add(HandleRecord(Kind::kThread));
}

bool SimKernel::SetThreadPriority(platform::Handle thread, int priority) {
  const auto it = m_handles.find(thread);
  if (it == m_handles.end() || it->second.kind != Kind::kThread) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  // A thread raised above the caller's normal priority preempts it at once.
  if (priority < kNormalPriority) m_services.clock.SleepFor(0);
  return true;
}

platform::Handle SimKernel::CreateProcessSnapshot() {
  if (m_failSnapshots) {
    platform::SetLastError(platform::kErrorNotEnoughMemory);
    return platform::kInvalidHandle;
  }
  HandleRecord record(Kind::kSnapshot);
  for (const auto& system : kSystemProcesses) record.snapshot.push_back({system.id, system.name});
  if (!m_services.clock.HasEnded(kUpdaterProcess)) {
    record.snapshot.push_back({kUpdaterProcess, LeafOf(m_services.programPath)});
  }
  for (const SimProcess* process : m_services.processes.All()) {
    record.snapshot.push_back({process->Id(), process->ExeName()});
  }
  return Add(std::move(record));
}

bool SimKernel::ProcessAt(platform::Handle snapshot, uint32_t index,
                          platform::ProcessEntry* entry) {
  const auto it = m_handles.find(snapshot);
  if (it == m_handles.end() || it->second.kind != Kind::kSnapshot) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  if (index >= it->second.snapshot.size()) {
    platform::SetLastError(platform::kErrorNoMoreFiles);
    return false;
  }
  *entry = it->second.snapshot[index];
  return true;
}

bool SimKernel::CloseSnapshot(platform::Handle snapshot) { return CloseHandle(snapshot); }

platform::Handle SimKernel::OpenProcess(uint32_t /*access*/, uint32_t processId) {
  if (m_services.processes.Find(processId) == nullptr) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return platform::kNullHandle;
  }
  HandleRecord record(Kind::kProcess);
  record.processId = processId;
  return Add(std::move(record));
}

bool SimKernel::TerminateProcess(platform::Handle process, uint32_t /*exitCode*/) {
  const auto it = m_handles.find(process);
  if (it == m_handles.end() || it->second.kind != Kind::kProcess) {
    platform::SetLastError(platform::kErrorInvalidHandle);
    return false;
  }
  SimProcess* target = m_services.processes.Find(it->second.processId);
  if (target == nullptr) return true;  // already gone
  if (!target->CanBeTerminated()) {
    platform::SetLastError(platform::kErrorAccessDenied);
    return false;
  }
  m_services.processes.End(target->Id());
  return true;
}

bool SimKernel::CreateProcess(std::string_view program, std::string_view /*commandLine*/) {
  const uint32_t attributes = m_services.files.GetAttributes(program);
  if (attributes == platform::kInvalidValue || (attributes & platform::kAttributeDirectory) != 0) {
    platform::SetLastError(platform::kErrorFileNotFound);
    return false;
  }
  const std::string path(program);
  m_services.seen.startedPrograms.push_back(path);
  m_services.processes.Start(m_services.processes.MakeProgram(path));
  return true;
}

uint32_t SimKernel::GetTickCount() {
  return static_cast<uint32_t>(m_services.origin.tickStart + m_services.clock.Now());
}

platform::LocalTime SimKernel::GetLocalTime() {
  return AddMilliseconds(m_services.origin.start, m_services.clock.Now());
}

void SimKernel::Sleep(uint32_t milliseconds) { m_services.clock.SleepFor(milliseconds); }

std::string SimKernel::GetModuleFileName() { return m_services.programPath; }

void SimKernel::DebugOutput(std::string_view text) { m_services.debug.Write(text); }

void* SimKernel::LocalAlloc(uint32_t flags, std::size_t bytes) {
  return m_services.memory.Allocate(flags, bytes);
}

void* SimKernel::LocalFree(void* memory) { return m_services.memory.Free(memory); }

}  // namespace sim
