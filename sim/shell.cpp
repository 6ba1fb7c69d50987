#include "sim/shell.h"

#include <array>
#include <memory>
#include <string_view>
#include <vector>

#include "log/text.h"
#include "sim/gui.h"
#include "sim/terminal.h"

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

void Shell::OnStart(Terminal& terminal) {
  const KeepLastError keep;
  m_terminal = &terminal;
  const ShellConfig& config = terminal.Config().shell;
  ++terminal.Seen().shellStarts;
  terminal.Processes().CreateWindow(Id(), kShellWindowClass);
  HoldFiles(terminal, kShellFolder);
  if (config.lockedFile) Hold(terminal, *config.lockedFile);
  if (config.orphanedLock) Hold(terminal, *config.orphanedLock);
  ReportVersion(terminal);
}

bool Shell::CanBeTerminated() const {
  return m_terminal == nullptr || m_terminal->Config().shell.canBeTerminated;
}

void Shell::HoldFiles(Terminal& terminal, const std::string& folder) {
  std::vector<platform::FindEntry> entries;
  if (!terminal.Files().FindAll(folder + "\\*.*", &entries)) return;
  for (const platform::FindEntry& entry : entries) {
    const std::string path = folder + "\\" + entry.name;
    if ((entry.attributes & platform::kAttributeDirectory) != 0) {
      HoldFiles(terminal, path);
    } else if (EndsWithAny(entry.name, kProgramExtensions) ||
               EndsWithAny(entry.name, kFontExtensions)) {
      Hold(terminal, path);
    }
  }
}

void Shell::Hold(Terminal& terminal, const std::string& path) {
  // A file that someone else holds already stays theirs.
  const platform::Handle handle =
      terminal.Files().OpenFor(Id(), path, platform::kGenericRead, platform::kShareNone,
                               platform::Disposition::kOpenExisting, platform::kAttributeNormal);
  if (handle == platform::kInvalidHandle) return;
  const std::size_t slash = path.find_last_of('\\');
  if (EndsWithAny(std::string_view(path).substr(slash + 1), kFontExtensions)) {
    terminal.Gui().LoadFont(Id(), path, handle);
  }
}

void Shell::ReportVersion(Terminal& terminal) {
  SimFileSystem& files = terminal.Files();
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
  terminal.Registry().SetString(kVersionKey, kVersionValue, version);
  terminal.Registry().Flush();
}

intptr_t Shell::OnWindowMessage(Terminal& terminal, uint32_t message) {
  const ShellConfig& config = terminal.Config().shell;
  if (message != kWmDestroy || config.onDestroy == ShellDestroy::kIgnore || m_endScheduled) {
    return 0;
  }
  m_endScheduled = true;
  const ProcessId id = Id();
  if (config.endAfterSeconds == 0) {
    // The shell is gone once this returns; nothing of it is touched after.
    EndOnItsOwn(terminal, id);
    return 0;
  }
  terminal.Clock().At(terminal.Now() + uint64_t{config.endAfterSeconds} * 1000,
                      [&terminal, id] { EndOnItsOwn(terminal, id); });
  return 0;
}

void Shell::EndOnItsOwn(Terminal& terminal, ProcessId id) {
  auto* shell = dynamic_cast<Shell*>(terminal.Processes().Find(id));
  if (shell == nullptr) return;
  shell->m_endingOnItsOwn = true;
  terminal.Processes().End(id);
}

void Shell::OnEnd(Terminal& terminal) {
  const KeepLastError keep;
  // Its files closed with it; the fonts it loaded go too.
  terminal.Gui().ForgetFontsOf(Id());
  if (terminal.PoweringOff()) return;
  const ShellConfig& config = terminal.Config().shell;
  if (!m_endingOnItsOwn && config.orphanedLock) {
    // Terminated: a handle it passed on stays open in a process that never ends.
    terminal.Files().OpenFor(kOrphanHolder, *config.orphanedLock, platform::kGenericRead,
                             platform::kShareNone, platform::Disposition::kOpenExisting,
                             platform::kAttributeNormal);
  }
  if (auto* rerunner = dynamic_cast<Rerunner*>(terminal.Processes().FindByName(kRerunnerExe))) {
    rerunner->OnShellEnded(terminal);
  }
}

void Rerunner::OnStart(Terminal& terminal) {
  ++terminal.Seen().rerunnerStarts;
  StartShell(terminal);
}

void Rerunner::OnShellEnded(Terminal& terminal) { StartShell(terminal); }

SimProcess* FindShell(Terminal& terminal) { return terminal.Processes().FindByName(kShellExe); }

SimProcess* StartShell(Terminal& terminal) {
  if (SimProcess* running = FindShell(terminal)) return running;
  const ProcessId id = terminal.Processes().Start(std::make_unique<Shell>());
  return terminal.Processes().Find(id);
}

void RegisterShellPrograms(Terminal& terminal) {
  terminal.RegisterProgram(kRerunnerExe, [](const std::string& path) {
    return std::make_unique<Rerunner>(path.substr(path.find_last_of('\\') + 1), path);
  });
  terminal.RegisterProgram(kShellExe,
                           [](const std::string& /*path*/) { return std::make_unique<Shell>(); });
  terminal.OnEvent(kRerunnerStopEvent, [&terminal] {
    ++terminal.Seen().rerunnerStopSignals;
    while (SimProcess* rerunner = terminal.Processes().FindByName(kRerunnerExe)) {
      terminal.Processes().End(rerunner->Id());
    }
  });
}

}  // namespace sim
