#include "sim/processes.h"

#include <algorithm>

#include "text/text.h"

namespace sim {

namespace {

// A program started with CreateProcess that the terminal knows nothing special about.
class PlainProgram : public SimProcess {
 public:
  using SimProcess::SimProcess;
};

}  // namespace

std::string LeafOf(std::string_view path) {
  const std::size_t slash = path.find_last_of('\\');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

ProcessTable::ProcessTable(SimFileSystem& files) : m_files(files) {}
ProcessTable::~ProcessTable() = default;

ProcessId ProcessTable::Start(std::unique_ptr<SimProcess> process) {
  const ProcessId id = m_nextId;
  m_nextId += 4;
  process->m_id = id;
  SimProcess& ref = *process;
  m_processes[id] = std::move(process);
  ref.OnStart();
  return id;
}

void ProcessTable::End(ProcessId id) {
  const auto it = m_processes.find(id);
  if (it == m_processes.end()) return;
  std::unique_ptr<SimProcess> process = std::move(it->second);
  m_processes.erase(it);
  m_windows.erase(std::remove_if(m_windows.begin(), m_windows.end(),
                                 [&](const WindowRecord& w) { return w.owner == id; }),
                  m_windows.end());
  m_files.CloseAllOf(id);
  process->OnEnd();
}

void ProcessTable::EndAll() {
  m_poweringOff = true;
  for (SimProcess* process : All()) End(process->Id());
  m_poweringOff = false;
}

void ProcessTable::RegisterProgram(const std::string& exeName, ProgramFactory factory) {
  m_programs[text::ToUpper(exeName)] = std::move(factory);
}

std::unique_ptr<SimProcess> ProcessTable::MakeProgram(const std::string& path) const {
  const std::string leaf = LeafOf(path);
  const auto it = m_programs.find(text::ToUpper(leaf));
  if (it != m_programs.end()) return it->second(path);
  return std::make_unique<PlainProgram>(leaf, path);
}

SimProcess* ProcessTable::Find(ProcessId id) const {
  const auto it = m_processes.find(id);
  return it == m_processes.end() ? nullptr : it->second.get();
}

SimProcess* ProcessTable::FindByName(const std::string& exeName) const {
  for (const auto& [id, process] : m_processes) {
    if (text::EqualsNoCase(process->ExeName(), exeName)) return process.get();
  }
  return nullptr;
}

std::vector<SimProcess*> ProcessTable::All() const {
  std::vector<SimProcess*> all;
  for (const auto& [id, process] : m_processes) all.push_back(process.get());
  return all;
}

void ProcessTable::CreateWindow(ProcessId owner, const std::string& className) {
  m_windows.push_back({m_nextWindow++, owner, className});
}

ProcessId ProcessTable::FindWindow(const std::string& className) const {
  for (const WindowRecord& window : m_windows) {
    if (text::EqualsNoCase(window.className, className)) return window.owner;
  }
  return 0;
}

uint32_t ProcessTable::WindowOf(ProcessId owner) const {
  for (const WindowRecord& window : m_windows) {
    if (window.owner == owner) return window.id;
  }
  return 0;
}

ProcessId ProcessTable::OwnerOfWindow(uint32_t window) const {
  for (const WindowRecord& record : m_windows) {
    if (record.id == window) return record.owner;
  }
  return 0;
}

}  // namespace sim
