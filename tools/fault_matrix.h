// The fault matrix: every fault that the simulated terminal can inject, run on a fresh terminal
// for the part it hits and both run modes, each run compared with the screen and error that the
// updater must end on, with what it changed on the terminal and with a bound on its virtual
// time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/result.h"
#include "sim/shell.h"
#include "sim/terminal.h"

namespace tools::faults {

enum class Mode { kTerminal, kDesktop };

// The packages the rows run with. kDemo is the demo's package (the GPS firmware through the
// flash engine and the application); the others are built here for the parts the demo's
// package does not update.
enum class PackageKind {
  kDemo,
  kOsImages,     // a raw boot loader and an encrypted .BIN kernel
  kGpsSrecords,  // GPS firmware as S-records with the boot loader that programs them
  // No package: none beside the program; in desktop mode a desktop that answers but has left
  // no package header in the root folder.
  kNone,
  kDemoCorrupt,  // the demo's package with one byte of its data changed
};

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

// How a row must end.
enum class Ending {
  kByItself,  // the updater left or rebooted the terminal after its last key
  kPowerCut,  // the fault cuts the power during the update
};

struct ExpectedError {
  int32_t number = 0;
  std::string function;
  // Compared only when set: texts that hold sizes or paths of the run are left out.
  std::optional<std::string> text;
};

struct FaultRow {
  std::string id;       // short and unique, for --only and the reports
  std::string setting;  // the terminal.json keys, as a user would write them
  std::string part;     // boot, kernel, application, gps, package, power, desktop link
  std::vector<Mode> modes;
  PackageKind package = PackageKind::kDemo;
  std::function<void(sim::TerminalConfig&)> apply;
  std::string keys = "PLAY PLAY";
  int screen = 8;
  // Nothing: the error is not decided by the fault (a run that succeeds may report an error
  // that its screen never shows).
  std::optional<ExpectedError> error;
  Ending ending = Ending::kByItself;
  // A text the terminal's debug output must hold, showing that the fault hit where the row
  // says (empty: none).
  std::string trace;
  uint32_t touches = kTouchNothing;
  // What decides the expectation, in the updater's terms.
  std::string why;
  bool quick = false;  // part of the representative subset
};

// The whole table, in the order of the report.
const std::vector<FaultRow>& FaultRows();

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

// The packages and the terminal that the rows start from.
struct MatrixInputs {
  std::map<PackageKind, std::filesystem::path> packages;
  // Creates a fresh terminal in the folder with what the demo's package updates.
  std::function<sim::Status(const std::filesystem::path&)> initTerminal;
  // A run that has not ended after this much virtual time is cut off and counts as a hang.
  uint64_t virtualBoundMs = 30ULL * 60 * 1000;
};

// Builds the packages of their own kinds into `dir` (kOsImages, kGpsSrecords, kDemoCorrupt from
// the demo's package, which `packages` must hold) and adds them to `packages`.
sim::Status BuildOwnPackages(const std::filesystem::path& dir,
                             std::map<PackageKind, std::filesystem::path>& packages);

struct RowResult {
  const FaultRow* row = nullptr;
  Mode mode = Mode::kTerminal;
  int finalScreen = 0;
  std::vector<int> screens;
  int32_t errorNumber = 0;
  std::string errorText;
  std::string errorFunction;
  std::string end;  // how the run ended
  bool endedByItself = false;
  bool hung = false;
  std::vector<std::string> changes;  // outside what the row may touch
  uint64_t virtualMs = 0;
  // Boot loader, kernel, application and GPS firmware as the terminal reports them after the
  // run (and its restart, when there was one).
  std::vector<std::string> versionsAfter;
  std::vector<std::string> mismatches;  // empty when the row ended as expected
  bool Matches() const { return mismatches.empty(); }
};

// Runs one row in one mode on a fresh terminal in `dir` (created; an earlier one replaced).
sim::Result<RowResult> RunRow(const FaultRow& row, Mode mode, const MatrixInputs& inputs,
                              const std::filesystem::path& dir);

const char* ModeName(Mode mode);
std::string FormatError(int32_t number, const std::string& text, const std::string& function);
std::string MarkdownTable(const std::vector<RowResult>& results, const std::string& command);
nlohmann::json JsonTable(const std::vector<RowResult>& results);

}  // namespace tools::faults
