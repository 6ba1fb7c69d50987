// The processes and top-level windows of the simulated terminal, other than the updater's own
// dialogs, and the programs the terminal knows how to start.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "sim/file_system.h"

namespace sim {

// A program running on the terminal. Subclasses give programs their behaviour; whatever a
// program needs of the terminal it is given when it is made.
class SimProcess {
 public:
  SimProcess(std::string exeName, std::string path)
      : m_exeName(std::move(exeName)), m_path(std::move(path)) {}
  virtual ~SimProcess() = default;

  ProcessId Id() const { return m_id; }
  const std::string& ExeName() const { return m_exeName; }
  const std::string& Path() const { return m_path; }

  // Called once the process is in the table.
  virtual void OnStart() {}
  // A message sent to the process's window; returns the message's result.
  virtual intptr_t OnWindowMessage(uint32_t /*message*/) { return 0; }
  // TerminateProcess: false (error 5) when the process cannot be terminated.
  virtual bool CanBeTerminated() const { return true; }
  // Called when the process has ended, however it ended.
  virtual void OnEnd() {}

 private:
  friend class ProcessTable;
  ProcessId m_id = 0;
  std::string m_exeName;
  std::string m_path;
};

class ProcessTable {
 public:
  // The files of a process close when it ends.
  explicit ProcessTable(SimFileSystem& files);
  ~ProcessTable();

  // Adds a running process; returns its id.
  ProcessId Start(std::unique_ptr<SimProcess> process);
  // Ends a process: its window goes, its files close, its OnEnd runs.
  void End(ProcessId id);
  // Ends every process, as the terminal does when it powers off.
  void EndAll();
  // True while EndAll runs: programs that end then start no others.
  bool PoweringOff() const { return m_poweringOff; }
  SimProcess* Find(ProcessId id) const;
  // The first running process with this executable name (without regard to case).
  SimProcess* FindByName(const std::string& exeName) const;
  std::vector<SimProcess*> All() const;

  // A process object for a program file that is being started: programs registered by name
  // get their behaviour, any other program simply runs.
  using ProgramFactory = std::function<std::unique_ptr<SimProcess>(const std::string& path)>;
  void RegisterProgram(const std::string& exeName, ProgramFactory factory);
  std::unique_ptr<SimProcess> MakeProgram(const std::string& path) const;

  // Top-level windows: a class name owned by a process.
  void CreateWindow(ProcessId owner, const std::string& className);
  // The owner of the first window of the class (without regard to case), or 0.
  ProcessId FindWindow(const std::string& className) const;
  // The window id of the process's first window (0 when none); windows are numbered from 1.
  uint32_t WindowOf(ProcessId owner) const;
  ProcessId OwnerOfWindow(uint32_t window) const;

 private:
  SimFileSystem& m_files;
  std::map<ProcessId, std::unique_ptr<SimProcess>> m_processes;
  std::map<std::string, ProgramFactory> m_programs;  // upper-case executable name
  struct WindowRecord {
    uint32_t id;
    ProcessId owner;
    std::string className;
  };
  std::vector<WindowRecord> m_windows;
  ProcessId m_nextId = 0x100;
  uint32_t m_nextWindow = 1;
  bool m_poweringOff = false;
};

// The last component of a terminal path.
std::string LeafOf(std::string_view path);

}  // namespace sim
