// The power-cut matrix: one update, run on a fresh terminal again and again, with the power cut
// after each of its write steps in turn. After each cut the terminal powers up (or does not),
// reports its versions, and runs the same package once more, to see whether that completes the
// update.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/result.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/write_steps.h"

namespace sim {

enum class CutMode { kTerminal, kDesktop };
const char* CutModeName(CutMode mode);

struct CutSetup {
  std::filesystem::path package;  // the update package, install.bin
  std::string settings;           // its settings file's bytes, to name the script's lines
  // Creates a fresh terminal in the folder (which does not exist yet).
  std::function<Status(const std::filesystem::path&)> initTerminal;
  CutMode mode = CutMode::kTerminal;
  std::filesystem::path work;  // a folder for the terminals, which are removed after use
};

// A write step with the phase of the update it belongs to and a name a reader can follow:
// "flash block 3 of KRNL", "GPS erase of sector 2 at 0x020000", "script line 4 COPY|...",
// "chunk 2 of script line 6 COPY|...".
struct LabelledStep {
  WriteStep step;
  std::string phase;  // "GPS", "application", "operating system"
  std::string label;
  // Steps of one kind in a row share a group: the blocks of one partition, the GPS writes, the
  // chunks of one copy.
  std::string group;
};

// Names the steps of a run, the file-system ones by the script line that made them.
std::vector<LabelledStep> LabelSteps(const std::vector<WriteStep>& steps,
                                     const std::vector<std::string>& script);

// The update run once without a cut.
struct CutBaseline {
  std::vector<LabelledStep> steps;
  int finalScreen = 0;
  InstalledVersions before;
  InstalledVersions after;
  // The parts that the package updates on a fresh terminal, with their new versions (empty for
  // a part it does not update).
  InstalledVersions targets;
};

Result<CutBaseline> RunBaseline(const CutSetup& setup);

struct CutRow {
  LabelledStep step;
  RunEnd firstEnd = RunEnd::kLeft;  // kPowerCut unless the run ended before the step
  BootState boot = BootState::kStarts;
  InstalledVersions reported;  // what the terminal reports once it has powered up
  bool secondRan = false;
  int secondScreen = 0;
  std::string secondError;  // the second run's last error, when it failed
  InstalledVersions afterSecond;
  bool recovered = false;  // the second run completed the update
};

// Cuts the power after the step on a fresh terminal, powers it up, and runs the package again.
Result<CutRow> CutAt(const CutSetup& setup, const CutBaseline& baseline, std::size_t index);

// The steps to cut at (indexes into the baseline's steps). Every step, except that a long
// stretch of steps of one kind (the blocks of one partition, the GPS writes) is sampled when it
// has more than `sampleAbove` steps: its first and last eight and an even spread between them.
// `quick` takes the first, a middle and the last step of each phase.
std::vector<std::size_t> ChooseSteps(const CutBaseline& baseline, bool quick,
                                     std::size_t sampleAbove);

}  // namespace sim
