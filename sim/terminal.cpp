#include "sim/terminal.h"

#include <iterator>
#include <system_error>

#include "log/text.h"
#include "sim/gps_driver.h"
#include "sim/gui.h"
#include "sim/hal.h"
#include "sim/kernel.h"
#include "sim/shell.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLaunchEvent = "SD_LAUNCH_EVENT";
constexpr const char* kUserActivityEvent = "PowerManager/ActivityTimer/UserActivity";

// A program started with CreateProcess that the terminal knows nothing special about.
class PlainProgram : public SimProcess {
 public:
  using SimProcess::SimProcess;
};

std::string LeafOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('\\');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

fs::path HostPathOf(const fs::path& root, const std::string& terminalPath) {
  fs::path path = root;
  std::size_t start = 0;
  while (start <= terminalPath.size()) {
    const std::size_t end = terminalPath.find('\\', start);
    const std::string part =
        terminalPath.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!part.empty()) path /= part;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return path;
}

}  // namespace

Terminal::Terminal(fs::path dir, TerminalConfig config, ClockMode mode)
    : m_dir(std::move(dir)), m_config(std::move(config)) {
  m_scheduler = std::make_unique<Scheduler>(mode);
  m_files = std::make_unique<SimFileSystem>(m_dir / "fs");
  m_registry = std::make_unique<SimRegistry>(m_dir / "registry.json");
  m_processes = std::make_unique<ProcessTable>(*this);
  m_kernel = std::make_unique<SimKernel>(*this);
  m_hal = std::make_unique<SimHal>(*this);
  m_gui = std::make_unique<SimGui>(*this);
  m_gpsDriver = std::make_unique<GpsDriver>(*this);
}

Terminal::~Terminal() {
  Uninstall();
  // Programs still running end with the terminal; their threads with the scheduler.
  EndAllProcesses();
  m_files->RegisterDevice("GPS1:", nullptr);
  m_scheduler.reset();
}

Status Terminal::Init(const fs::path& dir, const TerminalConfig& config) {
  std::error_code error;
  if (fs::exists(dir / "terminal.json", error)) {
    return Status::Failure(dir.string() + ": holds a terminal already (terminal.json exists)");
  }
  fs::create_directories(dir / "fs", error);
  if (error) return Status::Failure((dir / "fs").string() + ": " + error.message());
  for (const std::string& folder : config.folders) {
    fs::create_directories(HostPathOf(dir / "fs", folder), error);
    if (error) return Status::Failure(folder + ": " + error.message());
  }
  // The program's own file, beside which the package is placed.
  const fs::path program = HostPathOf(dir / "fs", config.programPath);
  fs::create_directories(program.parent_path(), error);
  if (error) return Status::Failure(config.programPath + ": " + error.message());
  {
    std::ofstream out(program, std::ios::binary | std::ios::trunc);
    out << "VostrelHHT (simulated program file)\n";
  }
  if (Status saved = SaveConfig(dir / "terminal.json", config); !saved) return saved;
  // The shell reports the installed application's version in the registry.
  SimRegistry registry(dir / "registry.json");
  registry.SetString("Tavimon\\VersionInfo", "Version", config.applicationVersion);
  if (Status saved = registry.Save(); !saved) return saved;
  std::ofstream(dir / "debug.log", std::ios::binary | std::ios::trunc);
  return {};
}

Result<std::unique_ptr<Terminal>> Terminal::Open(const fs::path& dir, ClockMode mode) {
  using R = Result<std::unique_ptr<Terminal>>;
  std::error_code error;
  if (!fs::is_directory(dir / "fs", error)) {
    return R::Failure(dir.string() + ": not a terminal folder (no fs/ in it; create one with "
                                     "\"vostrel sim init\")");
  }
  auto config = LoadConfig(dir / "terminal.json");
  if (!config) return R::Failure(config.error());
  std::unique_ptr<Terminal> terminal(new Terminal(dir, std::move(*config), mode));
  if (Status started = terminal->Start(); !started) return R::Failure(started.error());
  return terminal;
}

Status Terminal::Start() {
  if (Status loaded = m_registry->Load(); !loaded) return loaded;
  m_debugLog.open(m_dir / "debug.log", std::ios::binary | std::ios::app);
  if (!m_debugLog) return Status::Failure((m_dir / "debug.log").string() + ": cannot be written");

  OnEvent(kLaunchEvent, [this] { ++m_seen.launchSignals; });
  OnEvent(kUserActivityEvent, [this] {
    ++m_seen.userActivitySignals;
    m_seen.userActivityTimes.push_back(Now());
  });
  m_files->RegisterDevice("GPS1:", m_gpsDriver.get());
  RegisterShellPrograms(*this);
  Boot();
  return {};
}

void Terminal::Boot() {
  if (m_config.shell.running) StartShell(*this);
}

void Terminal::EndAllProcesses() {
  m_poweringOff = true;
  for (SimProcess* process : m_processes->All()) m_processes->End(process->Id());
  m_files->CloseAllOf(kOrphanHolder);
  m_poweringOff = false;
}

void Terminal::Restart() {
  EndAllProcesses();
  ++m_seen.restarts;
  Boot();
}

void Terminal::Install() { platform::Install(Backend()); }

void Terminal::Uninstall() {
  if (platform::IsInstalled() && &platform::Fs() == m_files.get()) platform::Install({});
}

platform::Backend Terminal::Backend() {
  return {m_files.get(), m_registry.get(), m_kernel.get(), m_hal.get(), m_gui.get()};
}

uint64_t Terminal::Now() const { return m_scheduler->Now(); }

platform::LocalTime Terminal::LocalTimeNow() const {
  return AddMilliseconds(m_config.clockStart, Now());
}

void Terminal::DebugOutput(std::string_view text) {
  m_debugLog.write(text.data(), static_cast<std::streamsize>(text.size()));
}

InstalledVersions Terminal::Versions() {
  InstalledVersions versions;
  versions.boot = m_config.bootVersion.value_or("");
  versions.kernel = m_config.kernelVersion.value_or("");
  versions.application =
      m_registry->GetString("Tavimon\\VersionInfo", "Version").value_or("");
  if (m_config.gpsDriverPresent) versions.gps = m_config.gpsFirmwareVersion;
  return versions;
}

std::string Terminal::DebugText() {
  m_debugLog.flush();
  std::ifstream in(m_dir / "debug.log", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Terminal::OnEventSignalled(const std::string& name) {
  const auto it = m_listeners.find(name);
  if (it == m_listeners.end()) return;
  for (const auto& listener : it->second) listener();
}

void Terminal::OnEvent(const std::string& name, std::function<void()> listener) {
  m_listeners[name].push_back(std::move(listener));
}

std::unique_ptr<SimProcess> Terminal::MakeProgram(const std::string& path) {
  const std::string leaf = LeafOf(path);
  const auto it = m_programs.find(text::ToUpper(leaf));
  if (it != m_programs.end()) return it->second(path);
  return std::make_unique<PlainProgram>(leaf, path);
}

void Terminal::RegisterProgram(const std::string& exeName, ProgramFactory factory) {
  m_programs[text::ToUpper(exeName)] = std::move(factory);
}

}  // namespace sim
