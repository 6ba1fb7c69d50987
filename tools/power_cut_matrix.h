// The power-cut matrix: one update, run on a fresh terminal again and again, with the power cut
// after each of its write steps in turn. After each cut the terminal powers up (or does not),
// reports its versions, and runs the same package once more, to see whether that completes the
// update. It runs on the harness it shares with the fault matrix (tools/matrix_harness.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "sim/result.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/write_steps.h"
#include "tools/matrix_harness.h"

namespace tools::power_cuts {

using matrix::Mode;

struct CutSetup {
  std::filesystem::path package;  // the update package, install.bin
  std::string settings;           // its settings file's bytes, to name the script's lines
  matrix::InitTerminal initTerminal;
  Mode mode = Mode::kTerminal;
  std::filesystem::path work;  // a folder for the terminals, which are removed after use
};

// A write step with the phase of the update it belongs to and a name a reader can follow:
// "flash block 3 of KRNL", "GPS erase of sector 2 at 0x020000", "script line 4 COPY|...",
// "chunk 2 of script line 6 COPY|...".
struct LabelledStep {
  sim::WriteStep step;
  std::string phase;  // "GPS", "application", "operating system"
  std::string label;
  // Steps of one kind in a row share a group: the blocks of one partition, the GPS writes, the
  // chunks of one copy.
  std::string group;
};

// Names the steps of a run, the file-system ones by the script line that made them.
std::vector<LabelledStep> LabelSteps(const std::vector<sim::WriteStep>& steps,
                                     const std::vector<std::string>& script);

// The update run once without a cut.
struct CutBaseline {
  std::vector<LabelledStep> steps;
  int finalScreen = 0;
  sim::InstalledVersions before;
  sim::InstalledVersions after;
  // The parts that the package updates on a fresh terminal, with their new versions (empty for
  // a part it does not update).
  sim::InstalledVersions targets;
};

sim::Result<CutBaseline> RunBaseline(const CutSetup& setup);

struct CutRow {
  LabelledStep step;
  sim::RunEnd firstEnd = sim::RunEnd::kLeft;  // kPowerCut unless the run ended before the step
  sim::BootState boot = sim::BootState::kStarts;
  sim::InstalledVersions reported;  // what the terminal reports once it has powered up
  bool secondRan = false;
  int secondScreen = 0;
  std::string secondError;  // the second run's last error, when it failed
  sim::InstalledVersions afterSecond;
  bool recovered = false;  // the second run completed the update
};

// Cuts the power after the step on a fresh terminal, powers it up, and runs the package again.
sim::Result<CutRow> CutAt(const CutSetup& setup, const CutBaseline& baseline, std::size_t index);

// The steps to cut at (indexes into the baseline's steps). Every step, except that a long
// stretch of steps of one kind (the blocks of one partition, the GPS writes) is sampled when it
// has more than `sampleAbove` steps: its first and last eight and an even spread between them.
// `quick` takes the first, a middle and the last step of each phase.
std::vector<std::size_t> ChooseSteps(const CutBaseline& baseline, bool quick,
                                     std::size_t sampleAbove);

// The cuts of one mode.
struct ModeResult {
  Mode mode = Mode::kTerminal;
  CutBaseline baseline;
  std::vector<CutRow> rows;
};

// The report: a summary per mode and phase, the cut points that leave the terminal unable to
// run the updater or that a second run does not complete, and every row. `sampled` says that
// long stretches of steps were sampled.
std::string MarkdownTable(const std::vector<ModeResult>& results, const std::string& command,
                          bool sampled);
nlohmann::json JsonTable(const std::vector<ModeResult>& results);

}  // namespace tools::power_cuts
