#include "sim/terminal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <system_error>

#include "sim/clock_config.h"
#include "sim/flash_media.h"
#include "sim/gps_driver.h"
#include "sim/part_kinds.h"
#include "sim/shell.h"
#include "text/text.h"
#include "update/update_dialog.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

constexpr const char* kLaunchEvent = "SD_LAUNCH_EVENT";
constexpr const char* kUserActivityEvent = "PowerManager/ActivityTimer/UserActivity";
constexpr uint32_t kQueryKernel = 1;
constexpr uint32_t kQueryBoot = 2;

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

// The version query of the hardware layer: the kernel's (input 1) or the boot loader's (input
// 2) version as a zero-terminated UTF-16 text.
bool AnswerVersionQuery(const HalConfig& config, const void* in, uint32_t inSize, void* out,
                        uint32_t outSize, uint32_t* returned) {
  uint32_t which = 0;
  if (in == nullptr || inSize < sizeof which) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  std::memcpy(&which, in, sizeof which);
  const std::optional<std::string>& version =
      which == kQueryKernel ? config.kernelVersion
                            : (which == kQueryBoot ? config.bootVersion : std::nullopt);
  if (!version) {
    platform::SetLastError(which == kQueryKernel || which == kQueryBoot
                               ? platform::kErrorGenFailure
                               : platform::kErrorInvalidParameter);
    return false;
  }
  return AnswerUtf16Text(*version, out, outSize, returned);
}

// The version text that the hardware layer answers for the kernel or the boot loader, or empty.
std::string QueryImageVersion(SimHal& hal, uint32_t which) {
  uint8_t out[128] = {};
  uint32_t returned = 0;
  const uint32_t saved = platform::GetLastError();
  const bool ok = hal.KernelIoControl(platform::kIoctlHalGetVersion, &which, sizeof which, out,
                                      sizeof out, &returned);
  platform::SetLastError(saved);
  if (!ok) return {};
  std::u16string units;
  for (std::size_t i = 0; i + 1 < sizeof out; i += 2) {
    const char16_t unit = static_cast<char16_t>(out[i] | (out[i + 1] << 8));
    if (unit == u'\0') break;
    units.push_back(unit);
  }
  return text::FromUtf16(units);
}

// The GPS firmware version as the updater reads it from the driver: the last 5 characters of
// its answer, when the byte count is right.
std::string QueryGpsVersion(GpsDriver& driver, bool present) {
  if (!present) return {};
  char out[80] = {};
  uint32_t returned = 0;
  const uint32_t saved = platform::GetLastError();
  const bool ok =
      driver.IoControl(GpsDriver::kIoctlGetVersion, nullptr, 0, out, sizeof out - 1, &returned);
  platform::SetLastError(saved);
  const std::size_t length = std::strlen(out);
  if (!ok || returned != length + 1) return {};
  return std::string(out + (length > 5 ? length - 5 : 0), out + length);
}

}  // namespace

const char* BootStateName(BootState state) {
  switch (state) {
    case BootState::kStarts:
      return "starts";
    case BootState::kBootLoaderOnly:
      return "boot loader only";
    case BootState::kDoesNotStart:
      return "does not start";
  }
  return "?";
}

Result<TerminalLock> TerminalLock::Take(const fs::path& dir) {
  const fs::path file = dir / "terminal.lock";
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    return Result<TerminalLock>::Failure(file.string() + ": cannot be opened (" +
                                         std::strerror(errno) + ")");
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) {
      return Result<TerminalLock>::Failure(
          dir.string() + ": the terminal is in use by another vostrel command; wait until it ends");
    }
    return Result<TerminalLock>::Failure(file.string() + ": cannot be locked (" +
                                         std::strerror(error) + ")");
  }
  return TerminalLock(fd);
}

TerminalLock::~TerminalLock() {
  if (m_fd >= 0) ::close(m_fd);
}

Terminal::Terminal(fs::path dir, TerminalConfig config, ClockMode mode)
    : m_dir(std::move(dir)),
      m_config(std::move(config)),
      m_debugLog(m_dir / "debug.log"),
      m_steps([this] { CutPower(); }, [this] { return Now(); }) {
  m_scheduler = std::make_unique<Scheduler>(mode);
  m_memory = std::make_unique<SimMemory>(m_config.Get<MemoryConfig>());
  m_files = std::make_unique<SimFileSystem>(m_dir / "fs");
  m_registry = std::make_unique<SimRegistry>(m_dir / "registry.json");
  m_processes = std::make_unique<ProcessTable>(*m_files);
  m_kernel = std::make_unique<SimKernel>(
      KernelServices{*m_scheduler, *m_files, *m_processes, m_events, m_seen, m_debugLog,
                     m_config.Get<ClockConfig>(), m_config.programPath, *m_memory});
  m_hal = std::make_unique<SimHal>(*m_files, m_config.Get<PowerConfig>().acLine);
  m_hal->SetMemory(m_memory.get());
  m_gui = std::make_unique<SimGui>(*m_scheduler, *m_processes, *m_files);
  m_serial = std::make_unique<SimSerialPorts>();
  m_files->SetChangeObserver([this](const SimFileSystem::ChangeNote& note) { OnFileChange(note); });

  m_events.On(kLaunchEvent, [this] { ++m_seen.launchSignals; });
  m_events.On(kUserActivityEvent, [this] {
    ++m_seen.userActivitySignals;
    m_seen.userActivityTimes.push_back(Now());
  });
  m_hal->OnIoControl(
      platform::kIoctlHalGetVersion,
      [this](const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
        return AnswerVersionQuery(m_config.Get<HalConfig>(), in, inSize, out, outSize, returned);
      });
  m_hal->OnIoControl(platform::kIoctlHalReboot,
                     [this](const void*, uint32_t, void*, uint32_t, uint32_t*) {
                       if (m_config.Get<HalConfig>().rebootFails) {
                         platform::SetLastError(platform::kErrorGenFailure);
                         return false;
                       }
                       // The terminal restarts: the updater's process ends here and nothing after
                       // the call runs.
                       m_seen.rebooted = true;
                       m_scheduler->MarkEnded(kUpdaterProcess);
                       throw ProcessEnded{};
                     });
  // The hardware's key material, or none so that the updater takes its pass phrase.
  m_hal->OnIoControl(
      platform::kIoctlHalGetKeyMaterial,
      [this](const void*, uint32_t, void* out, uint32_t outSize, uint32_t* returned) {
        const std::optional<std::string>& hex = m_config.Get<HalConfig>().keyMaterial;
        const std::optional<std::string> material = hex ? KeyMaterialBytes(*hex) : std::nullopt;
        if (!material) {
          platform::SetLastError(platform::kErrorNotSupported);
          return false;
        }
        if (out == nullptr || outSize < material->size()) {
          platform::SetLastError(platform::kErrorInsufficientBuffer);
          return false;
        }
        std::memcpy(out, material->data(), material->size());
        if (returned != nullptr) *returned = static_cast<uint32_t>(material->size());
        return true;
      });

  // A part answers after the terminal's own answers: the flash chip's version query replaces the
  // configured one.
  const PartServices services{m_dir,
                              m_config.sections,
                              *m_scheduler,
                              *m_files,
                              *m_registry,
                              *m_processes,
                              *m_gui,
                              *m_hal,
                              *m_serial,
                              m_events,
                              m_seen,
                              m_steps,
                              [this] { CutPower(); },
                              m_parts};
  for (const PartKind& kind : PartKinds()) {
    if (kind.make != nullptr) m_parts.Add(kind.make(services));
  }
}

Terminal::~Terminal() {
  m_files->SetChangeObserver({});
  Uninstall();
  // Programs still running end with the terminal; their threads with the scheduler.
  PowerOff();
  m_parts.Clear();
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
  SimRegistry registry(dir / "registry.json");
  for (const PartKind& kind : PartKinds()) {
    if (kind.prepare == nullptr) continue;
    if (Status prepared = kind.prepare(dir, config.sections, registry); !prepared) return prepared;
  }
  if (Status saved = registry.Save(); !saved) return saved;
  std::ofstream(dir / "debug.log", std::ios::binary | std::ios::trunc);
  return {};
}

Result<std::unique_ptr<Terminal>> Terminal::Open(const fs::path& dir, ClockMode mode) {
  using R = Result<std::unique_ptr<Terminal>>;
  std::error_code error;
  if (!fs::is_directory(dir / "fs", error)) {
    return R::Failure(dir.string() +
                      ": not a terminal folder (no fs/ in it; create one with "
                      "\"vostrel sim init\")");
  }
  auto config = LoadConfig(dir / "terminal.json");
  if (!config) return R::Failure(config.error());
  std::unique_ptr<Terminal> terminal(new Terminal(dir, std::move(*config), mode));
  if (Status started = terminal->Start(); !started) return R::Failure(started.error());
  return terminal;
}

Status Terminal::Start() {
  for (const auto& part : m_parts) {
    if (Status usable = part->CheckFiles(); !usable) return usable;
  }
  if (Status loaded = m_registry->Load(); !loaded) return loaded;
  if (Status opened = m_debugLog.Open(); !opened) return opened;
  PowerOn();
  return {};
}

void Terminal::PowerOn() {
  DecideBoot();
  m_memory->PowerOn();
  // The devices first, the disk driver's volumes among them, so that the programs find their
  // files; without a kernel no program of the terminal runs.
  for (const auto& part : m_parts) {
    if (!part->NeedsOperatingSystem()) part->PowerOn();
  }
  if (m_boot != BootState::kStarts) return;
  for (const auto& part : m_parts) {
    if (part->NeedsOperatingSystem()) part->PowerOn();
  }
}

void Terminal::DecideBoot() {
  m_boot = BootState::kStarts;
  m_bootReason.clear();
  const struct {
    const char* signature;
    BootState torn;
    const char* reason;
  } images[] = {
      {"BOOT", BootState::kDoesNotStart,
       "the boot loader image in \"BOOT\" is torn: its writing began and never reached its end"},
      {"KRNL", BootState::kBootLoaderOnly,
       "the kernel image in \"KRNL\" is torn: its writing began and never reached its end; the "
       "boot loader runs, the kernel does not"},
  };
  for (const auto& image : images) {
    bool configured = false;
    for (const FlashPartitionConfig& partition : m_config.Get<FlashConfig>().partitions) {
      configured = configured || partition.signature == image.signature;
    }
    const FlashMedia* flash = Find<FlashMedia>();
    if (flash == nullptr || !flash->Fitted() || !configured) continue;
    // A partition with no whole image: one written over the image in use, and cut.
    if (flash->ImageComplete(image.signature).value_or(false)) continue;
    m_boot = image.torn;
    m_bootReason = image.reason;
    // A chip file cut short reads as erased units: that is damage to the host file, not a
    // partition torn by the updater, and the reason says so.
    const FlashConfig& geometry = m_config.Get<FlashConfig>();
    const uint64_t expected = static_cast<uint64_t>(geometry.pageSize + geometry.spareSize) *
                              geometry.pagesPerUnit * geometry.Units();
    const fs::path chip = m_dir / "flash" / "chip.bin";
    std::error_code error;
    const uint64_t size = fs::file_size(chip, error);
    if (error || size < expected) {
      m_bootReason = chip.string() + " cannot be read as the flash chip (" +
                     (error ? error.message()
                            : std::to_string(size) + " bytes where the chip holds " +
                                  std::to_string(expected)) +
                     "): the file is damaged; nothing was torn by a run";
    }
    return;
  }
}

void Terminal::OnFileChange(const SimFileSystem::ChangeNote& note) {
  // The application phase's steps: what the updater's own process changes while it shows the
  // application screen.
  if (!m_steps.Counting() || m_scheduler->CurrentProcess() != kUpdaterProcess ||
      note.owner != kUpdaterProcess || m_gui->Trace().empty() ||
      m_gui->Trace().back().screen != kScreenUpdatingApplication) {
    return;
  }
  std::optional<WriteStep> step = FileStepOf(note);
  if (step && m_steps.Done(std::move(*step))) m_steps.CutPower();
}

void Terminal::PowerOff() {
  m_processes->EndAll();
  m_files->CloseAllOf(kOrphanHolder);
  m_serial->CloseAll();
  for (auto it = m_parts.rbegin(); it != m_parts.rend(); ++it) (*it)->PowerOff();
  m_memory->PowerOff();
}

void Terminal::Restart() {
  PowerOff();
  ++m_seen.restarts;
  PowerOn();
}

void Terminal::CutPower() {
  m_seen.powerCut = true;
  m_scheduler->MarkEnded(kUpdaterProcess);
  if (m_scheduler->CurrentProcess() == kUpdaterProcess && !Scheduler::InAction()) {
    throw ProcessEnded{};
  }
}

void Terminal::Install() { platform::Install(Backend()); }

void Terminal::Uninstall() {
  if (platform::IsInstalled() && &platform::Fs() == m_files.get()) platform::Install({});
}

platform::Backend Terminal::Backend() {
  return {m_files.get(), m_registry.get(), m_kernel.get(), m_hal.get(),
          m_gui.get(),   m_serial.get(),   &m_crypto};
}

uint64_t Terminal::Now() const { return m_scheduler->Now(); }

InstalledVersions Terminal::Versions() {
  InstalledVersions versions;
  if (m_boot == BootState::kDoesNotStart) return versions;
  if (m_boot == BootState::kBootLoaderOnly) {
    versions.boot = QueryImageVersion(*m_hal, kQueryBoot);
    return versions;
  }
  versions.boot = QueryImageVersion(*m_hal, kQueryBoot);
  versions.kernel = QueryImageVersion(*m_hal, kQueryKernel);
  versions.application = m_registry->GetString("Tavimon\\VersionInfo", "Version").value_or("");
  if (GpsDriver* driver = Find<GpsDriver>()) {
    versions.gps = QueryGpsVersion(*driver, m_config.Get<GpsDriverConfig>().present);
  }
  return versions;
}

std::string Terminal::DescribeParts() {
  std::ostringstream out;
  out << "  start-up: " << BootStateName(m_boot)
      << (m_bootReason.empty() ? std::string() : " (" + m_bootReason + ")") << "\n";
  for (const auto& part : m_parts) part->Describe(out);
  return out.str();
}

}  // namespace sim
