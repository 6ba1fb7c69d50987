#include "support/terminal_fixture.h"

#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "sim/desktop_peer.h"

namespace testing_support {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "vostrel-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code error;
  // Read-only files and folders are the simulator's business; the host removes them anyway.
  fs::remove_all(m_path, error);
}

std::string ReadHostFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream buffer;
  buffer << in.rdbuf();
  return buffer.str();
}

void WriteHostFile(const fs::path& file, std::string_view content) {
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

void TerminalTest::SetUp() {
  const fs::path dir = m_dir.Path() / "terminal";
  const sim::Status created = sim::Terminal::Init(dir, Config());
  ASSERT_TRUE(created.ok()) << created.error();
  auto opened = sim::Terminal::Open(dir);
  ASSERT_TRUE(opened.ok()) << opened.error();
  m_terminal = std::move(*opened);
  m_terminal->Install();
  m_terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
}

void TerminalTest::TearDown() {
  m_run.reset();
  if (m_terminal) {
    m_terminal->Clock().EndProcess(sim::kUpdaterProcess);
    m_terminal->Uninstall();
  }
  m_terminal.reset();
}

std::string TerminalTest::ReadFile(std::string_view terminalPath) {
  return ReadHostFile(m_terminal->Files().HostPath(terminalPath));
}

void TerminalTest::WriteFile(std::string_view terminalPath, std::string_view content) {
  WriteHostFile(m_terminal->Files().HostPath(terminalPath), content);
}

bool TerminalTest::Exists(std::string_view terminalPath) {
  return m_terminal->Files().GetAttributes(terminalPath) != platform::kInvalidValue;
}

void TerminalTest::MakeReadOnly(std::string_view terminalPath) {
  ASSERT_TRUE(m_terminal->Files().SetAttributes(terminalPath, platform::kAttributeReadOnly));
}

sim::RunOutcome TerminalTest::Run(std::string_view keys, std::string_view commandLine,
                                  int debugLevel) {
  sim::RunOptions options;
  options.commandLine = std::string(commandLine);
  return Run(keys, std::move(options), debugLevel);
}

sim::RunOutcome TerminalTest::RunDesktop(std::string_view keys, const std::string& package,
                                         const sim::DesktopConfig& desktop, int debugLevel) {
  const fs::path file = m_dir.Path() / "desktop-package.bin";
  WriteHostFile(file, package);
  auto served = sim::SimDesktop::Open(m_terminal->Files(), m_terminal->Clock(), file, desktop);
  EXPECT_TRUE(served.ok()) << served.error();
  sim::RunOptions options;
  options.commandLine = "ACTIVESYNC";
  options.desktop = served.ok() ? served->get() : nullptr;
  return Run(keys, std::move(options), debugLevel);
}

sim::RunOutcome TerminalTest::Run(std::string_view keys, sim::RunOptions options, int debugLevel) {
  auto parsed = sim::ParseKeys(keys);
  EXPECT_TRUE(parsed.ok()) << parsed.error();
  options.keys = parsed.ok() ? *parsed : std::vector<sim::KeyPress>{};
  if (debugLevel != 0) {
    const sim::Status placed = sim::PlaceDebugMarker(*m_terminal, debugLevel);
    EXPECT_TRUE(placed.ok()) << placed.error();
  }
  sim::RunOutcome outcome = sim::RunUpdater(*m_terminal, options);
  m_terminal->Install();
  m_terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
  return outcome;
}

void TerminalTest::Reopen() {
  // The hardware as the test changed it is what the terminal starts with.
  const sim::Status saved = sim::SaveConfig(m_terminal->Dir() / "terminal.json", Term().Config());
  ASSERT_TRUE(saved.ok()) << saved.error();
  m_run.reset();
  m_terminal->Clock().EndProcess(sim::kUpdaterProcess);
  m_terminal->Uninstall();
  const fs::path dir = m_terminal->Dir();
  m_terminal.reset();
  auto opened = sim::Terminal::Open(dir);
  ASSERT_TRUE(opened.ok()) << opened.error();
  m_terminal = std::move(*opened);
  m_terminal->Install();
  m_terminal->Clock().AttachMainThread(sim::kUpdaterProcess);
}

}  // namespace testing_support

namespace testing_support {

void TerminalTest::StartUpdaterObjects(int debugLevel) {
  m_run.reset();
  m_run = std::make_unique<CRunContext>();
  m_run->m_log.SetDebugLevel(debugLevel);
  m_run->m_log.Setup(true, "Flash disk2\\Vostrel.log", false);
}

std::string TerminalTest::DebugText() { return m_terminal->DebugText(); }

}  // namespace testing_support
