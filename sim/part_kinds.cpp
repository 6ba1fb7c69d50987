#include "sim/part_kinds.h"

#include <system_error>

#include "sim/disk_driver.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "sim/gps_driver.h"
#include "sim/shell.h"

namespace sim {

namespace fs = std::filesystem;

namespace {

const PartKind kKinds[] = {
    // The operating system's driver of the flash disk, configured with the chip. It mounts its
    // volumes before the shell starts, so that the shell finds its files (and the application's
    // version) after a restart that follows an image update.
    {"disk driver", nullptr,
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       SimFileSystem& files = s.files;
       return std::make_unique<DiskDriver>(
           s.config.Get<FlashConfig>(), s.registry,
           [&files](const std::vector<std::string>& unmounted) { files.SetUnmounted(unmounted); },
           s.hal);
     }},
    // The shell reports the installed application's version in the registry.
    {"resident shell",
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
    // The GPS chip keeps its flash in DIR/gps once it was programmed.
    {"GPS chip",
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
    // The driver's key, where the updater asks the driver to load always while it programs.
    {"GPS driver",
     [](const fs::path&, const ConfigSections&, SimRegistry& registry) {
       registry.SetString("Drivers\\Builtin\\GPSDev", "Dll", "GPSDev.dll");
       registry.SetString("Drivers\\Builtin\\GPSDev", "Prefix", "GPS");
       registry.SetDword("Drivers\\Builtin\\GPSDev", "Index", 1);
       return Status();
     },
     // The receiver behind it is the terminal's GPS chip, made before it.
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       GpsChip& chip = *s.made.Find<GpsChip>();
       SimFileSystem& files = s.files;
       return std::make_unique<GpsDriver>(
           s.config.Get<GpsDriverConfig>(),
           [&files](std::string_view name, Device* device) { files.RegisterDevice(name, device); },
           GpsReceiverLink{[&chip] { return chip.FirmwareVersion(); }, [&chip] { chip.HandOver(); },
                           [&chip] { chip.TakeBack(); }});
     }},
    // The flash disk's chip, its partitions laid out with their factory images.
    {"flash disk",
     [](const fs::path& dir, const ConfigSections& config, SimRegistry&) {
       return FlashMedia::Layout(dir / "flash", config.Get<FlashConfig>());
     },
     [](const PartServices& s) -> std::unique_ptr<TerminalPart> {
       return std::make_unique<FlashMedia>(
           FlashMedia::Services{s.config.Get<FlashConfig>(), s.config.Get<HalConfig>(),
                                s.dir / "flash", s.hal, s.cutPower, &s.steps});
     }},
};

}  // namespace

std::span<const PartKind> PartKinds() { return kKinds; }

}  // namespace sim
