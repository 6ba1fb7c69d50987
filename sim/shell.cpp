#include "sim/shell.h"

#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "text/text.h"

namespace sim {

namespace {

constexpr std::array<std::string_view, 2> kProgramExtensions = {".exe", ".dll"};
constexpr std::array<std::string_view, 4> kFontExtensions = {".ttf", ".ttc", ".fon", ".fnt"};
// More than any version line needs; the rest of the file is not the shell's business.
constexpr uint32_t kVersionFileLimit = 4096;

// Whatever the name before it: the shell loads even a font named just ".ttf".
bool EndsWithAny(std::string_view name, const auto& extensions) {
  if (name.size() < 4) return false;
  const std::string_view tail = name.substr(name.size() - 4);
  for (const std::string_view extension : extensions) {
    if (text::EqualsNoCase(tail, extension)) return true;
  }
  return false;
}

// The shell is another process: its failed calls must not leave an error code in the thread
// of whoever made it start or end.
class KeepLastError {
 public:
  KeepLastError() : m_error(platform::GetLastError()) {}
  ~KeepLastError() { platform::SetLastError(m_error); }
  KeepLastError(const KeepLastError&) = delete;
  KeepLastError& operator=(const KeepLastError&) = delete;

 private:
  uint32_t m_error;
};

// The first line of the text, without a byte-order mark and surrounding blanks.
std::string FirstLine(std::string_view bytes) {
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  bytes = bytes.substr(0, bytes.find_first_of("\r\n"));
  while (!bytes.empty() && (bytes.front() == ' ' || bytes.front() == '\t')) bytes.remove_prefix(1);
  while (!bytes.empty() && (bytes.back() == ' ' || bytes.back() == '\t')) bytes.remove_suffix(1);
  return std::string(bytes);
}

}  // namespace

void Shell::OnStart() {
  const KeepLastError keep;
  const ShellConfig& config = m_services.config;
  ++m_services.seen.shellStarts;
  m_services.processes.CreateWindow(Id(), kShellWindowClass);
  HoldFiles(kShellFolder);
  if (config.lockedFile) Hold(*config.lockedFile);
  if (config.orphanedLock) Hold(*config.orphanedLock);
  ReportVersion();
}

bool Shell::CanBeTerminated() const { return m_services.config.canBeTerminated; }

void Shell::HoldFiles(const std::string& folder) {
  std::vector<platform::FindEntry> entries;
  if (!m_services.files.FindAll(folder + "\\*.*", &entries)) return;
  for (const platform::FindEntry& entry : entries) {
    const std::string path = folder + "\\" + entry.name;
    if ((entry.attributes & platform::kAttributeDirectory) != 0) {
      HoldFiles(path);
    } else if (EndsWithAny(entry.name, kProgramExtensions) ||
               EndsWithAny(entry.name, kFontExtensions)) {
      Hold(path);
    }
  }
}

void Shell::Hold(const std::string& path) {
  // A file that someone else holds already stays theirs.
  const platform::Handle handle =
      m_services.files.OpenFor(Id(), path, platform::kGenericRead, platform::kShareNone,
                               platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (handle == platform::kInvalidHandle) return;
  const std::size_t slash = path.find_last_of('\\');
  if (EndsWithAny(std::string_view(path).substr(slash + 1), kFontExtensions)) {
    m_services.gui.LoadFont(Id(), path, handle);
  }
}

void Shell::ReportVersion() {
  SimFileSystem& files = m_services.files;
  const platform::Handle file =
      files.OpenFor(Id(), kVersionFile, platform::kGenericRead, platform::kShareRead,
                    platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) return;
  std::string bytes(kVersionFileLimit, '\0');
  uint32_t read = 0;
  const bool ok = files.Read(file, bytes.data(), kVersionFileLimit, &read);
  files.Close(file);
  if (!ok) return;
  bytes.resize(read);
  const std::string version = FirstLine(bytes);
  if (version.empty()) return;
  m_services.registry.SetString(kVersionKey, kVersionValue, version);
  m_services.registry.Flush();
}

intptr_t Shell::OnWindowMessage(uint32_t message) {
  const ShellConfig& config = m_services.config;
  if (message != kWmDestroy || config.onDestroy == ShellDestroy::kIgnore || m_endScheduled) {
    return 0;
  }
  m_endScheduled = true;
  const ProcessId id = Id();
  ProcessTable& processes = m_services.processes;
  if (config.endAfterSeconds == 0) {
    // The shell is gone once this returns; nothing of it is touched after.
    EndOnItsOwn(processes, id);
    return 0;
  }
  Scheduler& clock = m_services.clock;
  clock.At(clock.Now() + uint64_t{config.endAfterSeconds} * 1000,
           [&processes, id] { EndOnItsOwn(processes, id); });
  return 0;
}

void Shell::EndOnItsOwn(ProcessTable& processes, ProcessId id) {
  auto* shell = dynamic_cast<Shell*>(processes.Find(id));
  if (shell == nullptr) return;
  shell->m_endingOnItsOwn = true;
  processes.End(id);
}

void Shell::OnEnd() {
  const KeepLastError keep;
  // Its files closed with it; the fonts it loaded go too.
  m_services.gui.ForgetFontsOf(Id());
  if (m_services.processes.PoweringOff()) return;
  const ShellConfig& config = m_services.config;
  if (!m_endingOnItsOwn && config.orphanedLock) {
    // Terminated: a handle it passed on stays open in a process that never ends.
    m_services.files.OpenFor(kOrphanHolder, *config.orphanedLock, platform::kGenericRead,
                             platform::kShareNone, platform::Disposition::kOpenExisting,
                             platform::kAttributeNormal);
  }
  if (auto* rerunner = dynamic_cast<Rerunner*>(m_services.processes.FindByName(kRerunnerExe))) {
    rerunner->OnShellEnded();
  }
}

Rerunner::Rerunner(const ShellServices& services, const std::string& path)
    : SimProcess(LeafOf(path), path), m_services(services) {}

void Rerunner::OnStart() {
  ++m_services.seen.rerunnerStarts;
  StartShell(m_services);
}

void Rerunner::OnShellEnded() { StartShell(m_services); }

SimProcess* FindShell(const ProcessTable& processes) { return processes.FindByName(kShellExe); }

SimProcess* StartShell(const ShellServices& services) {
  if (SimProcess* running = FindShell(services.processes)) return running;
  const ProcessId id = services.processes.Start(std::make_unique<Shell>(services));
  return services.processes.Find(id);
}

ShellPart::ShellPart(const ShellServices& services, EventBus& events) : m_services(services) {
  ProcessTable& processes = services.processes;
  processes.RegisterProgram(kRerunnerExe, [this](const std::string& path) {
    return std::make_unique<Rerunner>(m_services, path);
  });
  processes.RegisterProgram(kShellExe, [this](const std::string& /*path*/) {
    return std::make_unique<Shell>(m_services);
  });
  events.On(kRerunnerStopEvent, [this] {
    ++m_services.seen.rerunnerStopSignals;
    while (SimProcess* rerunner = m_services.processes.FindByName(kRerunnerExe)) {
      m_services.processes.End(rerunner->Id());
    }
  });
}

void ShellPart::PowerOn() {
  if (m_services.config.running) StartShell(m_services);
}

}  // namespace sim
