#include "sim/write_steps.h"

#include <utility>

#include "package/file_semaphore.h"
#include "text/text.h"

namespace sim {

namespace {

bool IsRunFile(const std::string& path) {
  static const char* const kRunFiles[] = {kRequestDataPath,
                                          kRequestFlagPath,
                                          kResponseDataPath,
                                          kResponseFlagPath,
                                          kCacheFilePath,
                                          "\\abort.me",
                                          "\\looking.no",
                                          "\\Flash disk2\\Vostrel.log",
                                          "\\Flash disk2\\Vostrel.log.old"};
  for (const char* file : kRunFiles) {
    if (text::EqualsNoCase(path, file)) return true;
  }
  const std::size_t dot = path.rfind('.');
  return dot != std::string::npos && text::EqualsNoCase(path.substr(dot), ".dbg");
}

}  // namespace

const char* StepPartName(StepPart part) {
  switch (part) {
    case StepPart::kBoot:
      return "boot loader";
    case StepPart::kKernel:
      return "kernel";
    case StepPart::kApplication:
      return "application";
    case StepPart::kGps:
      return "GPS firmware";
  }
  return "?";
}

std::optional<WriteStep> FileStepOf(const SimFileSystem::ChangeNote& note) {
  using Change = SimFileSystem::Change;
  if (IsRunFile(note.path)) return std::nullopt;
  WriteStep step;
  step.part = StepPart::kApplication;
  step.path = note.path;
  step.target = note.target;
  step.offset = note.offset;
  step.length = note.length;
  switch (note.change) {
    case Change::kWrite:
      step.what = "write of " + std::to_string(note.length) + " bytes at " +
                  std::to_string(note.offset) + " to " + note.path;
      break;
    case Change::kDelete:
      step.what = "delete " + note.path;
      break;
    case Change::kMove:
      step.what = "rename " + note.path + " to " + note.target;
      break;
    case Change::kCreateFolder:
      step.what = "create folder " + note.path;
      break;
    case Change::kRemoveFolder:
      step.what = "remove folder " + note.path;
      break;
  }
  return step;
}

WriteSteps::WriteSteps(std::function<void()> cutPower, std::function<uint64_t()> now)
    : m_cutPower(std::move(cutPower)), m_now(std::move(now)) {}

void WriteSteps::Begin(std::optional<uint64_t> cutAfter) {
  m_cutAfter = cutAfter;
  m_steps.clear();
  m_counting = true;
}

void WriteSteps::End() {
  m_counting = false;
  m_cutAfter.reset();
}

bool WriteSteps::Done(WriteStep step) {
  if (!m_counting) return false;
  step.number = m_steps.size() + 1;
  step.timeMs = m_now();
  m_steps.push_back(std::move(step));
  if (!m_cutAfter || *m_cutAfter != m_steps.size()) return false;
  // Once: the terminal that starts again after the cut does not lose its power a second time.
  m_cutAfter.reset();
  m_counting = false;
  return true;
}

}  // namespace sim
