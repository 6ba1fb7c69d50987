// The write steps of a run: every change the updater makes to what the terminal keeps across a
// power cut, counted in one place so that a run can lose its power after any one of them. The
// parts report their own steps: the flash disk's chip each 64 KiB block of a binary partition,
// the GPS chip each write and erase of its flash, the file system each change that the
// application phase makes (a written chunk, a created or removed folder, a deletion, a rename).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/file_system.h"

namespace sim {

// Which of the terminal's software a step changes.
enum class StepPart { kBoot, kKernel, kApplication, kGps };
const char* StepPartName(StepPart part);

struct WriteStep {
  uint64_t number = 0;  // counted from 1 since the run began
  StepPart part = StepPart::kApplication;
  std::string what;  // "flash block 3 of KRNL", "GPS erase of the sector at 0x010000", ...
  uint64_t timeMs = 0;
  // File-system steps: the terminal path changed (for a rename, its source and target), and for
  // a written chunk where in the file it went and how long it was.
  std::string path;
  std::string target;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// The write step that a change of the file system is, when it is one: a change that the
// application's script makes, not one to the run's own files (the log, its debug markers, the
// desktop channel's request, response and cache files).
std::optional<WriteStep> FileStepOf(const SimFileSystem::ChangeNote& note);

class WriteSteps {
 public:
  // `cutPower` turns the terminal's power off; `now` reads its clock in milliseconds.
  WriteSteps(std::function<void()> cutPower, std::function<uint64_t()> now);

  // A run begins: the count starts again from zero, the steps seen are forgotten, and the power
  // goes once step `cutAfter` is done (never without one).
  void Begin(std::optional<uint64_t> cutAfter);
  // The run has ended: nothing is counted until the next Begin.
  void End();
  bool Counting() const { return m_counting; }

  // Counts a step that has just been done. True when it is the step after which the power
  // goes: the caller then calls CutPower at the instant the step is complete (at once for a
  // step done on the updater's thread, at the end of its busy time for a device that works on
  // by itself).
  [[nodiscard]] bool Done(WriteStep step);
  // Turns the terminal's power off; may end the calling simulated process at once.
  void CutPower() { m_cutPower(); }

  const std::vector<WriteStep>& Steps() const { return m_steps; }

 private:
  std::function<void()> m_cutPower;
  std::function<uint64_t()> m_now;
  std::optional<uint64_t> m_cutAfter;
  std::vector<WriteStep> m_steps;
  bool m_counting = false;
};

}  // namespace sim
