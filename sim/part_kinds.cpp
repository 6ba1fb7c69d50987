#include "sim/part_kinds.h"

#include <system_error>

#include "sim/clock_config.h"
#include "sim/desktop_peer.h"
#include "sim/disk_driver.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/memory.h"
#include "sim/shell.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

template <typename Config>
std::unique_ptr<ConfigSection> Defaults(const char* key) {
  return std::make_unique<SectionOf<Config>>(key);
}

const PartKind kKinds[] = {
    {"clock", &Defaults<ClockConfig>},
    {"power", &Defaults<PowerConfig>},
    {"hal", &Defaults<HalConfig>},
    // The driver's key, where the updater asks the driver to load always while it programs.
    {"gps_driver", &Defaults<GpsDriverConfig>,
     [](const fs::path&, const ConfigSections&, SimRegistry& registry) {
       registry.SetString("Drivers\\Builtin\\GPSDev", "Dll", "GPSDev.dll");
       registry.SetString("Drivers\\Builtin\\GPSDev", "Prefix", "GPS");
       registry.SetDword("Drivers\\Builtin\\GPSDev", "Index", 1);
       return Status();
     },
     // The receiver is the terminal's GPS chip, made after the driver, whose section follows.
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       const PartList& parts = s.made;
       return std::make_unique<GpsDriver>(
           s.config.Get<GpsDriverConfig>(), s.files,
           GpsReceiverLink{[&parts] { return parts.Find<GpsChip>()->FirmwareVersion(); },
                           [&parts] { parts.Find<GpsChip>()->HandOver(); },
                           [&parts] { parts.Find<GpsChip>()->TakeBack(); }});
     }},
    // The GPS chip keeps its flash in DIR/gps once it was programmed.
    {"gps", &Defaults<GpsConfig>,
     [](const fs::path& dir, const ConfigSections&, SimRegistry&) {
       std::error_code error;
       fs::create_directories(dir / "gps", error);
       if (error) return Status::Failure((dir / "gps").string() + ": " + error.message());
       return Status();
     },
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       return std::make_unique<GpsChip>(GpsChipServices{
           s.config.Get<GpsConfig>(), s.clock, s.serial, s.dir / "gps", s.cutPower, &s.steps});
     }},
    {"desktop", &Defaults<DesktopConfig>},
    // The shell reports the installed application's version in the registry.
    {"shell", &Defaults<ShellConfig>,
     [](const fs::path&, const ConfigSections& config, SimRegistry& registry) {
       registry.SetString(kVersionKey, kVersionValue, config.Get<ShellConfig>().applicationVersion);
       return Status();
     },
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       return std::make_unique<ShellPart>(
           ShellServices{s.config.Get<ShellConfig>(), s.files, s.processes, s.registry, s.gui,
                         s.clock, s.seen},
           s.events);
     }},
    // The flash disk's chip, its partitions laid out with their factory images.
    {"flash", &Defaults<FlashConfig>,
     [](const fs::path& dir, const ConfigSections& config, SimRegistry&) {
       return FlashMedia::Layout(dir / "flash", config.Get<FlashConfig>());
     },
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       return std::make_unique<FlashMedia>(
           FlashMedia::Services{s.config.Get<FlashConfig>(), s.config.Get<HalConfig>(),
                                s.dir / "flash", s.hal, s.cutPower, &s.steps});
     }},
    // The operating system's driver of the flash disk, configured with the chip.
    {nullptr, nullptr, nullptr,
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       return std::make_unique<DiskDriver>(s.config.Get<FlashConfig>(), s.registry, s.files, s.hal);
     }},
    {"memory", &Defaults<MemoryConfig>},
};

}  // namespace

std::span<const PartKind> PartKinds() { return kKinds; }

}  // namespace sim
