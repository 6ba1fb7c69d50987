// What the fault matrix and the power-cut matrix share: fresh terminals (with terminal.json
// settings written into them), a package run on one in either mode with a bound on its virtual
// time, what the run changed outside what it may touch, and the tables they write.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/result.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "tools/host_files.h"

namespace tools::matrix {

enum class Mode { kTerminal, kDesktop };
const char* ModeName(Mode mode);
// The modes of a --mode option: "terminal", "desktop" or "both" (terminal first).
std::vector<Mode> ModesOf(const std::string& option);

// Creates a fresh terminal in a folder that does not exist yet.
using InitTerminal = std::function<sim::Status(const std::filesystem::path&)>;

// Writes terminal.json settings into a configuration, each "section.key: value" as the fault
// matrix states it: the value is JSON, or else a text ("gps.fault: silent"). The settings are
// read as terminal.json is, so a misspelt key or a wrong value fails, naming it.
sim::Status ApplySettings(const std::vector<std::string>& settings, sim::TerminalConfig& config);

// A fresh terminal in its own folder (an earlier one there is replaced), removed with this
// object unless kept.
class FreshTerminal {
 public:
  static sim::Result<std::unique_ptr<FreshTerminal>> Make(
      const std::filesystem::path& dir, const InitTerminal& init,
      const std::vector<std::string>& settings = {}, bool keep = false);
  ~FreshTerminal();
  FreshTerminal(const FreshTerminal&) = delete;
  FreshTerminal& operator=(const FreshTerminal&) = delete;
  sim::Terminal& Get() { return *m_terminal; }

 private:
  FreshTerminal(std::filesystem::path dir, bool keep) : m_dir(std::move(dir)), m_keep(keep) {}
  std::filesystem::path m_dir;
  bool m_keep;
  std::unique_ptr<sim::Terminal> m_terminal;
};

// A run of the updater with a package, as a user starts it in either mode.
struct PackageRun {
  Mode mode = Mode::kTerminal;
  std::filesystem::path package;
  // No package: none beside the program; in desktop mode a desktop that answers but has left no
  // package header in the root folder.
  bool withoutPackage = false;
  std::string keys = "PLAY PLAY";
  std::optional<uint64_t> powerCutAfterStep;
  // A run that has not ended after this much virtual time is cut off as a hang: a finding, not a
  // stuck matrix.
  uint64_t virtualBoundMs = 30ULL * 60 * 1000;
};

struct RunResult {
  sim::RunOutcome outcome;
  bool hung = false;
};

// Puts the package beside the program or serves it from a desktop, calls `beforeRun` once the
// terminal is ready, and runs the updater. A terminal that does not start gets no package: the
// run ends at once.
sim::Result<RunResult> RunPackage(sim::Terminal& terminal, const PackageRun& run,
                                  const std::function<void()>& beforeRun = {});

// The boot loader, kernel, application and GPS firmware versions a run leaves reported.
sim::InstalledVersions VersionsBefore(const sim::RunOutcome& outcome);
sim::InstalledVersions VersionsAfter(const sim::RunOutcome& outcome);

// What a run may change on the terminal besides the updater's own files (its log, the debug
// markers, the extracted settings, the desktop channel's files) and the registry key
// "Update\Start" that every update creates.
enum Touch : uint32_t {
  kTouchNothing = 0,
  kTouchGps = 1U << 0,          // the GPS chip's flash and the "LoadAlways" value
  kTouchApplication = 1U << 1,  // what the demo's script installs, and the version the shell reads
  kTouchUserData = 1U << 2,     // the user's documents, set aside as clean.me before a reboot
  kTouchBoot = 1U << 3,         // the "BOOT" partition
  kTouchKernel = 1U << 4,       // the "KRNL" partition
};

// A terminal as files, registry, flash partitions and GPS flash, to find what a run changed.
struct Snapshot {
  std::map<std::string, std::string> files;     // terminal path -> contents ("<folder>" for one)
  std::map<std::string, std::string> registry;  // "key\value" -> value as JSON
  std::map<std::string, std::string> partitions;
  std::string diskArea;
  std::string gpsFlash;
};

Snapshot TakeSnapshot(sim::Terminal& terminal);
// Every change from `before` to `after` that `touches` does not allow, one line each.
std::vector<std::string> UnexpectedChanges(const Snapshot& before, const Snapshot& after,
                                           uint32_t touches);

// A Markdown table's cell: its bars escaped, its line ends made spaces.
std::string Cell(const std::string& text);
// "| a | b |" with every cell escaped, and the line under the header.
std::string TableRow(const std::vector<std::string>& cells);
std::string TableRule(std::size_t columns);

// A folder for the packages and the terminals: the one given (kept), or a new temporary one,
// removed with this object unless kept.
class WorkFolder {
 public:
  static sim::Result<WorkFolder> Make(const std::string& given, bool keep, std::string_view prefix);
  const std::filesystem::path& Path() const { return m_scratch ? m_scratch->Path() : m_given; }
  bool Kept() const { return m_kept; }

 private:
  std::optional<host::ScratchFolder> m_scratch;
  std::filesystem::path m_given;
  bool m_kept = true;
};

}  // namespace tools::matrix
