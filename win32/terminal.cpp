#include "win32/terminal.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "sim/clock_config.h"
#include "sim/gps_config.h"
#include "sim/security_config.h"
#include "sim/shell_config.h"
#include "tools/gps_images/gps_images.h"
#include "win32/shell_messages.h"
#include "win32/win_api.h"

namespace win32 {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* kTerminalPrograms[] = {L"tavimon.exe", L"rerunner.exe"};
// How long the shell may take to show its window once started.
constexpr DWORD kShellStartMs = 10000;
// How long the GPS chip may take to follow its driver.
constexpr DWORD kChipModeWaitMs = 3000;

// Ends the terminal's own programs (their stand-ins) that run.
void EndTerminalPrograms() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    for (const wchar_t* program : kTerminalPrograms) {
      if (_wcsicmp(entry.szExeFile, program) != 0) continue;
      HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, entry.th32ProcessID);
      if (process == nullptr) continue;
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
  }
  CloseHandle(snapshot);
}

}  // namespace

Win32Terminal::Win32Terminal(fs::path dir, sim::TerminalConfig config, std::wstring standIns,
                             Win32Gui::Options gui)
    : m_dir(std::move(dir)),
      m_config(std::move(config)),
      m_standIns{std::move(standIns), fs::absolute(m_dir).wstring()},
      m_debug(m_dir / "debug.log"),
      m_memory(m_config.Get<sim::MemoryConfig>(), LocalHeap()),
      m_files((m_dir / "fs").wstring()),
      m_registry(m_dir),
      m_kernel(m_files, m_memory, m_debug, m_config.programPath, m_standIns,
               m_config.Get<sim::ClockConfig>().start, m_config.Get<sim::ClockConfig>().tickStart),
      m_hal(m_files, m_config.Get<sim::PowerConfig>().acLine, m_memory),
      m_gui([&] {
        gui.hostPath = [this](std::string_view path, std::wstring* host) {
          return m_files.HostPath(path, host);
        };
        return std::move(gui);
      }()),
      m_crypto(m_config.Get<sim::SecurityConfig>().trustedKeys),
      m_disk(
          m_config.Get<sim::FlashConfig>(), m_registry,
          [this](const std::vector<std::string>& unmounted) { m_files.SetUnmounted(unmounted); },
          m_hal),
      m_gpsDriver(
          m_config.Get<sim::GpsDriverConfig>(),
          [this](std::string_view name, sim::Device* device) {
            m_files.RegisterDevice(name, device);
          },
          // The chip runs on the far end of COM6 (vostrel sim gps serve) and follows the
          // driver's line there; its flash is the terminal folder's.
          sim::GpsReceiverLink{[this] { return GpsFirmwareVersion(); },
                               [this] { SetChipMode(sim::kChipModeHandedOver); },
                               [this] { SetChipMode(sim::kChipModeRunning); }}) {
  m_flash = std::make_unique<sim::FlashMedia>(sim::FlashMedia::Services{
      m_config.Get<sim::FlashConfig>(), m_config.Get<sim::HalConfig>(), m_dir / "flash", m_hal,
      // A power cut that the chip's fault asks for ends the updater where it is.
      [] { TerminateProcess(GetCurrentProcess(), 5); }, nullptr});
  m_hal.OnIoControl(platform::kIoctlHalReboot,
                    [this](const void*, uint32_t, void*, uint32_t, uint32_t*) -> bool {
                      if (m_config.Get<sim::HalConfig>().rebootFails) {
                        platform::SetLastError(platform::kErrorGenFailure);
                        return false;
                      }
                      throw Rebooted{};
                    });
  m_hal.OnIoControl(platform::kIoctlHalGetKeyMaterial,
                    [this](const void*, uint32_t, void* out, uint32_t outSize, uint32_t* returned) {
                      const std::optional<std::string> material =
                          m_config.Get<sim::HalConfig>().keyMaterial
                              ? sim::KeyMaterialBytes(*m_config.Get<sim::HalConfig>().keyMaterial)
                              : std::nullopt;
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
}

Win32Terminal::~Win32Terminal() {
  if (platform::IsInstalled() && &platform::Fs() == &m_files) platform::Install({});
  m_flash->PowerOff();
}

sim::Result<std::unique_ptr<Win32Terminal>> Win32Terminal::Open(const fs::path& dir,
                                                                const std::wstring& standIns,
                                                                Win32Gui::Options gui) {
  using R = sim::Result<std::unique_ptr<Win32Terminal>>;
  std::error_code error;
  if (!fs::is_directory(dir / "fs", error)) {
    return R::Failure(dir.string() + ": not a terminal folder (no fs\\ in it)");
  }
  auto config = sim::LoadConfig(dir / "terminal.json");
  if (!config) return R::Failure(config.error());
  std::unique_ptr<Win32Terminal> terminal(
      new Win32Terminal(dir, std::move(*config), standIns, std::move(gui)));
  if (sim::Status started = terminal->Start(); !started) return R::Failure(started.error());
  return terminal;
}

sim::Status Win32Terminal::Start() {
  std::string why;
  if (!m_registry.Open(&why)) return sim::Status::Failure(why);
  if (sim::Status opened = m_debug.Open(); !opened) return opened;
  PowerOn();
  return {};
}

sim::Status Win32Terminal::OpenScreen() {
  std::string why;
  if (!m_gui.Open(&why)) return sim::Status::Failure(why);
  return {};
}

platform::Backend Win32Terminal::Backend() {
  return {&m_files, &m_registry, &m_kernel, &m_hal, &m_gui, &m_serial, &m_crypto};
}

void Win32Terminal::PowerOn() {
  m_memory.PowerOn();
  m_disk.PowerOn();
  m_flash->PowerOn();
  m_gpsDriver.PowerOn();
  m_registry.Flush();
  if (!m_config.Get<sim::ShellConfig>().running ||
      FindWindowW(kShellWindowClass, nullptr) != nullptr)
    return;
  if (!StartStandIn(m_standIns, L"tavimon.exe")) return;
  // The terminal's shell is up before any program of the user's runs.
  for (DWORD waited = 0; waited < kShellStartMs; waited += 50) {
    if (FindWindowW(kShellWindowClass, nullptr) != nullptr) return;
    Sleep(50);
  }
}

void Win32Terminal::PowerOff() {
  EndTerminalPrograms();
  m_flash->PowerOff();
  m_memory.PowerOff();
}

void Win32Terminal::Restart() {
  PowerOff();
  PowerOn();
}

void Win32Terminal::SetChipMode(const char* mode) {
  // The driver's line to the chip reaches it on the far side of COM6 (vostrel sim gps serve),
  // which answers when the chip is there: in its boot ROM, or running its firmware with what it
  // programmed kept. Without anyone serving the chip, the driver goes on after a while.
  sim::WriteChipMode(m_dir / "gps", sim::kDriverModeFile, mode);
  for (DWORD waited = 0; waited < kChipModeWaitMs; waited += 20) {
    if (sim::ReadChipMode(m_dir / "gps", sim::kChipModeFile) == mode) return;
    Sleep(20);
  }
}

std::string Win32Terminal::GpsFirmwareVersion() {
  std::ifstream in(m_dir / "gps" / "flash.bin", std::ios::binary);
  // A flash that was never programmed holds the factory firmware.
  if (!in) return m_config.Get<sim::GpsConfig>().firmwareVersion;
  const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in),
                                   std::istreambuf_iterator<char>()};
  return gps_images::FirmwareVersionIn(bytes).value_or("");
}

}  // namespace win32
