// The fault matrix: every fault that the simulated terminal can inject, run on a fresh terminal
// for the part it hits and both run modes (on the harness it shares with the power-cut matrix,
// tools/matrix_harness.h), each run compared with the screen and error that the updater must
// end on, with what it changed on the terminal and with a bound on its virtual time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/result.h"
#include "tools/matrix_harness.h"
#include "update/update_parts.h"

namespace tools::faults {

// The rows name the run modes and what a row may change as the harness does.
using matrix::kTouchApplication;
using matrix::kTouchBoot;
using matrix::kTouchGps;
using matrix::kTouchKernel;
using matrix::kTouchNothing;
using matrix::kTouchUserData;
using matrix::Mode;
using matrix::ModeName;

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
  // The demo's package signed with the matrix's key (kMatrixKeyPem), as it is and made wrong:
  kSigned,
  kSignedMemberChanged,    // a byte of the GPS firmware changed after signing
  kSignedByAnotherKey,     // signed with another key
  kSignedForeignManifest,  // the signature member of another package signed with the key
  kSignedOlderSettings,    // the settings of an older package signed with the key
};

// What a fault hits besides the parts of the update.
enum class Surrounding { kPackage, kPower, kDesktopLink };

// What a row's fault hits, by name in the reports: a part of the update, named as the table of
// update parts names it, or what surrounds the update.
struct FaultPart {
  FaultPart(UpdatePart part) : name(PartRow(part).name) {}  // NOLINT(google-explicit-constructor)
  FaultPart(Surrounding what);                              // NOLINT(google-explicit-constructor)
  std::string name;
};

// The public key (PEM) of the matrix's signed packages, as a terminal.json value of
// "security.trusted_keys".
std::string MatrixTrustedKeys();
// Builds the signed packages from the demo's package and kOsImages, which `packages` must hold.
sim::Status BuildSignedPackages(const std::filesystem::path& dir,
                                std::map<PackageKind, std::filesystem::path>& packages);

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
  std::string id = {};  // short and unique, for --only and the reports
  // The fault as the terminal.json settings written into the row's terminal, "section.key:
  // value" each (a value that is not JSON is a text); none for a fault of the package.
  std::vector<std::string> settings = {};
  // What the settings leave unsaid, shown after them in brackets; without settings, the fault.
  std::string note = {};
  FaultPart part = Surrounding::kPackage;
  std::vector<Mode> modes = {};
  PackageKind package = PackageKind::kDemo;
  std::string keys = "PLAY PLAY";
  int screen = 8;
  // Nothing: the error is not decided by the fault (a run that succeeds may report an error
  // that its screen never shows).
  std::optional<ExpectedError> error = {};
  Ending ending = Ending::kByItself;
  uint32_t touches = kTouchNothing;
  // A text the terminal's debug output must hold, showing that the fault hit where the row
  // says (empty: none).
  std::string trace = {};
  // What decides the expectation, in the updater's terms.
  std::string why = {};
  bool quick = false;  // part of the representative subset
};

// The fault as the report names it: "gps.fault: status, gps.fault_command: 6 (open flash)".
std::string FaultText(const FaultRow& row);

// The whole table, in the order of the report.
const std::vector<FaultRow>& FaultRows();

// The packages and the terminal that the rows start from.
struct MatrixInputs {
  std::map<PackageKind, std::filesystem::path> packages;
  // Creates a fresh terminal in the folder with what the demo's package updates.
  matrix::InitTerminal initTerminal;
  // A run that has not ended after this much virtual time is cut off and counts as a hang.
  uint64_t virtualBoundMs = matrix::PackageRun().virtualBoundMs;
  // Each row's terminal stays in its folder after the run.
  bool keepTerminals = true;
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
  // What the terminal reports after the run (and its restart, when there was one).
  sim::InstalledVersions versionsAfter;
  std::vector<std::string> mismatches;  // empty when the row ended as expected
  bool Matches() const { return mismatches.empty(); }
};

// Runs one row in one mode on a fresh terminal in `dir` (created; an earlier one replaced).
sim::Result<RowResult> RunRow(const FaultRow& row, Mode mode, const MatrixInputs& inputs,
                              const std::filesystem::path& dir);

std::string FormatError(int32_t number, const std::string& text, const std::string& function);
std::string MarkdownTable(const std::vector<RowResult>& results, const std::string& command);
nlohmann::json JsonTable(const std::vector<RowResult>& results);

}  // namespace tools::faults
