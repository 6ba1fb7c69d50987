// A fresh simulated terminal per test, installed as the platform, with the test's thread as
// the updater's main thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "update/run_context.h"

namespace testing_support {

// A temporary folder removed when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

std::string ReadHostFile(const std::filesystem::path& file);
void WriteHostFile(const std::filesystem::path& file, std::string_view content);

class TerminalTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The configuration of the terminal SetUp creates; override to change the hardware.
  virtual sim::TerminalConfig Config() const { return {}; }

  sim::Terminal& Term() { return *m_terminal; }
  const std::filesystem::path& Dir() const { return m_dir.Path(); }

  // Files of the terminal by terminal path.
  std::string ReadFile(std::string_view terminalPath);
  void WriteFile(std::string_view terminalPath, std::string_view content);
  bool Exists(std::string_view terminalPath);
  void MakeReadOnly(std::string_view terminalPath);

  // Runs the updater on the terminal (which the run installs and leaves uninstalled; the
  // fixture installs it again afterwards).
  sim::RunOutcome Run(std::string_view keys, std::string_view commandLine = "", int debugLevel = 0);
  sim::RunOutcome Run(std::string_view keys, sim::RunOptions options, int debugLevel);

  // Runs the updater in desktop mode with a simulated desktop serving the package's bytes.
  sim::RunOutcome RunDesktop(std::string_view keys, const std::string& package,
                             const sim::DesktopConfig& desktop = {}, int debugLevel = 0);

  // Closes the terminal and opens it again from its folder, as a new start does, with the
  // hardware as the test has changed it.
  void Reopen();

  // Makes a run's context as start-up does, its log set up on "\Flash disk2\Vostrel.log" at the
  // given debug level; TearDown ends it.
  void StartUpdaterObjects(int debugLevel = 3);
  // The run's context that StartUpdaterObjects made, and its state.
  CRunContext& Context() { return *m_run; }
  CRunState& State() { return m_run->m_state; }
  // The debug output written so far.
  std::string DebugText();

 private:
  TempDir m_dir;
  std::unique_ptr<sim::Terminal> m_terminal;
  std::unique_ptr<CRunContext> m_run;
};

}  // namespace testing_support
