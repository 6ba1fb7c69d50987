// The rows of the fault matrix: each fault that the simulated terminal can inject, with the
// screen and error that the updater must end on. The expectations come from what the updater is
// built to do, never from a run: each row says what decides it.
#include <utility>

#include "text/text.h"
#include "tools/fault_matrix.h"

namespace tools::faults {

namespace {

const std::vector<Mode> kBoth = {Mode::kTerminal, Mode::kDesktop};
const std::vector<Mode> kTerminalOnly = {Mode::kTerminal};
const std::vector<Mode> kDesktopOnly = {Mode::kDesktop};

// What a successful run of each package changes. The demo's package may carry the boot loader
// and the kernel as well, which its update then writes.
constexpr uint32_t kDemoUpdate =
    kTouchGps | kTouchApplication | kTouchUserData | kTouchBoot | kTouchKernel;
constexpr uint32_t kOsUpdate = kTouchBoot | kTouchKernel | kTouchUserData;

// Nothing reported through the error reporter: the GPS programmer and the flash writer trace to
// the debug output only, so the failed screen shows "(0) ()".
const ExpectedError kNoError{0, "", ""};

// A member read in desktop mode that the cache cannot serve fails in the virtual-file layer,
// which reports last (after the channel's and the cache's own reports).
const ExpectedError kDesktopReadFailed{1033, "CFileVirtual::HHTFileRead:", std::nullopt};

FaultRow Row(std::string id, std::string setting, std::string part, std::vector<Mode> modes,
             PackageKind package, std::function<void(sim::TerminalConfig&)> apply) {
  FaultRow row;
  row.id = std::move(id);
  row.setting = std::move(setting);
  row.part = std::move(part);
  row.modes = std::move(modes);
  row.package = package;
  row.apply = std::move(apply);
  return row;
}

FaultRow& Expect(FaultRow& row, int screen, std::optional<ExpectedError> error, uint32_t touches,
                 std::string why) {
  row.screen = screen;
  row.error = std::move(error);
  row.touches = touches;
  row.why = std::move(why);
  return row;
}

std::vector<FaultRow> MakeRows() {
  std::vector<FaultRow> rows;
  const auto add = [&rows](FaultRow row) -> FaultRow& {
    rows.push_back(std::move(row));
    return rows.back();
  };
  const auto gpsFault = [](sim::GpsFault fault) {
    return [fault](sim::TerminalConfig& c) { c.gps.fault = fault; };
  };

  // The GPS chip. A failed programming ends the run at once on the failed screen: the
  // application phase never starts, and "LoadAlways" stays set.
  const std::string gpsFailed =
      "a failed GPS programming ends the run on screen 9 before the application phase; the GPS "
      "programmer reports to the debug output only";
  Expect(add(Row("gps-silent", "gps.fault: silent", "gps", kBoth, PackageKind::kDemo,
                 gpsFault(sim::GpsFault::kSilent))),
         9, kNoError, kTouchGps, gpsFailed)
      .quick = true;
  Expect(add(Row("gps-nak", "gps.fault: nak", "gps", kBoth, PackageKind::kDemo,
                 gpsFault(sim::GpsFault::kNak))),
         9, kNoError, kTouchGps, gpsFailed);
  Expect(add(Row("gps-bad-checksum", "gps.fault: bad_checksum", "gps", kBoth, PackageKind::kDemo,
                 gpsFault(sim::GpsFault::kBadChecksum))),
         9, kNoError, kTouchGps, gpsFailed);
  Expect(add(Row("gps-long-reply", "gps.fault: long_reply", "gps", kBoth, PackageKind::kDemo,
                 gpsFault(sim::GpsFault::kLongReply))),
         9, kNoError, kTouchGps, gpsFailed);
  // The engine's status on one command. After a failed erase or write the sequence still asks
  // for the CRC, which then differs from the updater's own.
  const struct {
    const char* id;
    uint32_t command;
    uint32_t status;
    const char* what;
  } statuses[] = {
      {"gps-status-open", 0x06, 16, "open flash: unsupported chip flavour"},
      {"gps-status-blank", 0x18, 3, "blank check: neither blank nor not blank"},
      {"gps-status-erase", 0x0C, 3, "sector erase: erase error"},
      {"gps-status-write", 0x08, 4, "write: write error"},
  };
  for (const auto& status : statuses) {
    Expect(add(Row(status.id,
                   text::Sprintf("gps.fault: status, gps.fault_command: %u, gps.fault_status: "
                                 "%u (%s)",
                                 status.command, status.status, status.what),
                   "gps", kBoth, PackageKind::kDemo,
                   [command = status.command, code = status.status](sim::TerminalConfig& c) {
                     c.gps.fault = sim::GpsFault::kStatus;
                     c.gps.faultCommand = command;
                     c.gps.faultStatus = code;
                   })),
           9, kNoError, kTouchGps, gpsFailed);
  }
  Expect(add(Row("gps-nak-write", "gps.fault: nak, gps.fault_command: 8 (write)", "gps", kBoth,
                 PackageKind::kDemo,
                 [](sim::TerminalConfig& c) {
                   c.gps.fault = sim::GpsFault::kNak;
                   c.gps.faultCommand = 0x08;
                 })),
         9, kNoError, kTouchGps,
         "the first write command is refused: the image is not written and the CRC that "
         "follows differs");
  Expect(add(Row("gps-clock", "gps.clock_word2: 5 (with clock_word1 0x3000)", "gps", kBoth,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.gps.clockWord2 = 5; })),
         9, kNoError, kTouchGps,
         "clock words that the clock table marks as an error end the session before the "
         "engine is loaded");
  Expect(
      add(Row("gps-slow-erase", "gps.chip_erase_ms: 30000", "gps", kBoth, PackageKind::kGpsSrecords,
              [](sim::TerminalConfig& c) { c.gps.chipEraseMs = 30000; })),
      9, kNoError, kTouchGps,
      "the boot loader answers the header record only after its erase, later than the 22 "
      "seconds the updater waits: the data file cannot be sent");
  Expect(
      add(Row("gps-power-cut", "gps.power_cut_after_bytes: 65536", "gps", kBoth, PackageKind::kDemo,
              [](sim::TerminalConfig& c) { c.gps.powerCutAfterBytes = 65536; })),
      10, std::nullopt, kTouchGps,
      "the power goes while the chip is programmed, on the GPS screen; the terminal starts "
      "again")
      .ending = Ending::kPowerCut;
  Expect(add(Row("gps-boot-ack", "gps.boot_ack: \"SA\\n\"", "gps", kBoth, PackageKind::kGpsSrecords,
                 [](sim::TerminalConfig& c) { c.gps.bootAck = "SA\n"; })),
         9, kNoError, kTouchGps,
         "the boot loader's answer to the header record is not the one awaited: the data file "
         "cannot be sent, the programming fails");

  // The GPS driver "GPS1:".
  Expect(
      add(Row("gps-driver-refuses-mode-2", "gps_driver.refuses_mode_2: true", "gps", kBoth,
              PackageKind::kDemo, [](sim::TerminalConfig& c) { c.gpsDriver.refusesMode2 = true; })),
      9, kNoError, kTouchGps,
      "the driver does not hand the receiver over: the flash-engine path returns failure "
      "before the port is opened");
  Expect(add(Row("gps-driver-absent", "gps_driver.present: false", "gps", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.gpsDriver.present = false; })),
         9, kNoError, kTouchGps,
         "the installed GPS version cannot be read, which counts as older than any; "
         "programming fails when \"GPS1:\" cannot be opened");
  Expect(
      add(Row("gps-driver-count", "gps_driver.returned_count: 3", "gps", kBoth, PackageKind::kDemo,
              [](sim::TerminalConfig& c) { c.gpsDriver.returnedCount = 3; })),
      8, std::nullopt, kDemoUpdate,
      "a version answer whose byte count is not its length plus one reads as no version "
      "(so the firmware is offered) and passes the verification after programming");
  Expect(add(Row("gps-driver-old", "gps_driver.version: \"1\" (boot loader needs 2)", "gps", kBoth,
                 PackageKind::kGpsSrecords,
                 [](sim::TerminalConfig& c) { c.gpsDriver.version = "1"; })),
         8, std::nullopt, kTouchGps,
         "a driver older than the boot command's minimum gives \"OS Upgrade required.\" and "
         "counts as done without touching the chip");

  // The resident shell.
  Expect(add(Row("shell-ignores-destroy", "shell.on_destroy: ignore", "application", kBoth,
                 PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.shell.onDestroy = sim::ShellDestroy::kIgnore; })),
         8, std::nullopt, kDemoUpdate,
         "a shell that stays after the destroy message is terminated after ten seconds; the "
         "files are free then");
  Expect(add(Row("shell-slow", "shell.end_after_seconds: 20", "application", kBoth,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.shell.endAfterSeconds = 20; })),
         8, std::nullopt, kDemoUpdate,
         "a shell slower than the ten seconds of waiting is terminated; the files are free then");
  Expect(add(Row("shell-cannot-stop", "shell.on_destroy: ignore, shell.can_be_terminated: false",
                 "application", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) {
                   c.shell.onDestroy = sim::ShellDestroy::kIgnore;
                   c.shell.canBeTerminated = false;
                 })),
         11, kNoError, kTouchNothing,
         "the programs stay locked, so every item is skipped and the run ends on restart "
         "required; nothing is reported through the error reporter")
      .quick = true;
  Expect(add(Row("shell-orphaned-program",
                 "shell.on_destroy: ignore, shell.orphaned_lock: "
                 "\\Flash Disk2\\Navigator\\Routing.dll",
                 "application", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) {
                   c.shell.onDestroy = sim::ShellDestroy::kIgnore;
                   c.shell.orphanedLock = "\\Flash Disk2\\Navigator\\Routing.dll";
                 })),
         11, kNoError, kTouchNothing,
         "a library that stays locked after the shell was terminated fails the shutdown check: "
         "every item is skipped, restart required");
  Expect(
      add(Row("shell-orphaned-data",
              "shell.on_destroy: ignore, shell.orphaned_lock: "
              "\\Flash Disk2\\Navigator\\route1.tmp",
              "application", kBoth, PackageKind::kDemo,
              [](sim::TerminalConfig& c) {
                c.shell.onDestroy = sim::ShellDestroy::kIgnore;
                c.shell.orphanedLock = "\\Flash Disk2\\Navigator\\route1.tmp";
              })),
      8,
      ExpectedError{1024, "CUtils::Deltree:", "RemoveDirectory failed on \\Flash Disk2\\Navigator"},
      kDemoUpdate,
      "a locked data file passes the shutdown check; the script's DEL cannot delete it "
      "(1023) and, as on every DEL with a wildcard, then fails to remove the folder that "
      "still holds other files (1024, the last); the line succeeds all the same");
  Expect(add(Row("shell-locked-file", "shell.locked_file: \\Flash Disk2\\Navigator\\route1.tmp",
                 "application", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) {
                   c.shell.lockedFile = "\\Flash Disk2\\Navigator\\route1.tmp";
                 })),
         8, std::nullopt, kDemoUpdate,
         "a data file that the shell holds is free once the shell has ended, before the "
         "script deletes it");
  Expect(add(Row("shell-not-running", "shell.running: false", "application", kBoth,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.shell.running = false; })),
         8, std::nullopt, kDemoUpdate,
         "no shell to stop: the result depends on the file checks alone, which pass");

  // The desktop link (desktop mode only). Exchanges: 1 SizeGPS, then the firmware's size and
  // its cache fill.
  Expect(add(Row("desktop-stops", "desktop.stop_after: 2 (abort.me 60 s later)", "desktop link",
                 kDesktopOnly, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.desktop.stopAfter = 2; })),
         9, kDesktopReadFailed, kTouchNothing,
         "the terminal waits for the answer until abort.me ends the wait; the firmware cannot "
         "be read, so the GPS item fails before the chip is touched")
      .quick = true;
  Expect(add(Row("desktop-small-cache", "desktop.cache_size: 65536", "desktop link", kDesktopOnly,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.cacheSize = 65536; })),
         9, kDesktopReadFailed, kTouchNothing,
         "the GPS programmer reads the 256 KiB firmware in one read, larger than a fill: "
         "\"Not enough in cache\", the read fails");
  Expect(add(Row("desktop-fill-size", "desktop.fill_size: 131072", "desktop link", kDesktopOnly,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.fillSize = 131072; })),
         9, kDesktopReadFailed, kTouchNothing,
         "a fill of 128 KiB cannot hold the firmware's single read");
  Expect(add(Row("desktop-fill-short", "desktop.fill_short_by: 1", "desktop link", kDesktopOnly,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.fillShortBy = 1; })),
         8, std::nullopt, kDemoUpdate,
         "a fill one byte short loses at most a byte of the checksum behind the last member: "
         "every read still lies inside a fill");
  Expect(
      add(Row("desktop-empty-size", "desktop.empty_response_at: 1", "desktop link", kDesktopOnly,
              PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.emptyResponseAt = 1; })),
      8, std::nullopt, kDemoUpdate,
      "SizeGPS reads nothing from its response, so an empty one changes nothing");
  Expect(
      add(Row("desktop-empty-fill", "desktop.empty_response_at: 3", "desktop link", kDesktopOnly,
              PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.emptyResponseAt = 3; })),
      9, kDesktopReadFailed, kTouchNothing,
      "a fill answered with an empty response counts as 0 bytes in the cache: the firmware "
      "read fails");
  Expect(
      add(Row("desktop-looking-no-size", "desktop.looking_no_at: 1", "desktop link", kDesktopOnly,
              PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.lookingNoAt = 1; })),
      8, std::nullopt, kDemoUpdate,
      "a phase size that cannot be fetched counts as 0: the GPS phase shows no progress and "
      "goes on");
  Expect(
      add(Row("desktop-looking-no-fill", "desktop.looking_no_at: 3", "desktop link", kDesktopOnly,
              PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.lookingNoAt = 3; })),
      9, kDesktopReadFailed, kTouchNothing,
      "the fill for the firmware is not answered: the read fails, so does the GPS item");
  Expect(add(Row("desktop-held-flag", "desktop.hold_flag_ms: 500", "desktop link", kDesktopOnly,
                 PackageKind::kDemo, [](sim::TerminalConfig& c) { c.desktop.holdFlagMs = 500; })),
         8, std::nullopt, kDemoUpdate,
         "a response flag that cannot be deleted at once is tried again; every exchange "
         "completes");

  // The charger.
  Expect(add(Row("no-charger", "power.ac_line: disconnected", "power", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.acLine = sim::AcLine::kDisconnected; })),
         4, kNoError, kTouchNothing,
         "PLAY shows the no-charger screen and nothing runs; STOP leaves")
      .keys = "PLAY STOP";
  rows.back().quick = true;
  Expect(
      add(Row("power-unreadable", "power.ac_line: unreadable", "power", kBoth, PackageKind::kDemo,
              [](sim::TerminalConfig& c) { c.acLine = sim::AcLine::kUnreadable; })),
      4, kNoError, kTouchNothing, "an unreadable power status counts as no charger")
      .keys = "PLAY STOP";
  Expect(add(Row("power-unknown", "power.ac_line: unknown", "power", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.acLine = sim::AcLine::kUnknown; })),
         8, std::nullopt, kDemoUpdate, "an unknown line status counts as a charger");

  // The hardware layer.
  Expect(add(Row("reboot-fails", "hal.reboot_fails: true", "application", kBoth, PackageKind::kDemo,
                 [](sim::TerminalConfig& c) { c.hal.rebootFails = true; })),
         8, std::nullopt, kDemoUpdate,
         "the update completes; leaving, the failed reboot is logged and the rerunner starts");
  Expect(add(Row("key-material",
                 "hal.key_material: \"0a0b0c0d\" (package made with the pass "
                 "phrase)",
                 "kernel", kBoth, PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.hal.keyMaterial = "0a0b0c0d"; })),
         9, kNoError, kTouchBoot | kTouchUserData,
         "the raw boot loader is written; the kernel does not decrypt with the terminal's key, "
         "the loader stops before anything is written to its partition")
      .quick = true;
  Expect(
      add(Row("kernel-version-unreadable", "hal.kernel_version: null", "kernel", kBoth,
              PackageKind::kOsImages, [](sim::TerminalConfig& c) { c.hal.kernelVersion.reset(); })),
      8, std::nullopt, kOsUpdate,
      "a version that cannot be read counts as older than any: both images are written");
  Expect(
      add(Row("boot-version-unreadable", "hal.boot_version: null", "boot", kBoth,
              PackageKind::kOsImages, [](sim::TerminalConfig& c) { c.hal.bootVersion.reset(); })),
      8, std::nullopt, kOsUpdate,
      "a version that cannot be read counts as older than any: both images are written");

  // The flash disk. The boot loader (three blocks and a bit) is written before the kernel;
  // a failed image stops the walk, and an image already written stays written.
  const std::string flashFailed =
      "the first image fails before its partition is written; the walk stops, screen 9; the "
      "flash writer reports to the debug output only";
  Expect(add(Row("flash-absent", "flash.present: false", "boot", kBoth, PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.present = false; })),
         9, kNoError, kTouchUserData, flashFailed);
  Expect(add(Row("disk-driver-unlisted", "flash.disk_driver_listed: false", "boot", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.diskDriverListed = false; })),
         9, kNoError, kTouchNothing,
         "the disk driver is not found: the flash part cannot be set up, so the log and the "
         "user's data are left alone");
  Expect(add(Row("disk-driver-handle-0", "flash.disk_driver_handle: 0", "boot", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.diskDriverHandle = 0; })),
         9, kNoError, kTouchNothing, "a handle of 0 does not count as found: as above");
  Expect(add(Row("deactivate-fails", "flash.deactivate_fails: true", "boot", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.deactivateFails = true; })),
         9, kNoError, kTouchUserData, flashFailed);
  Expect(add(Row("block-write-fails", "flash.fail_write_at_block: 2", "boot", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.failWriteAtBlock = 2; })),
         9, kNoError, kTouchBoot | kTouchUserData,
         "the boot loader's second block fails: its partition holds a torn image, the kernel "
         "is not touched")
      .quick = true;
  Expect(add(Row("one-bit-flips", "flash.flip_bits_at_block: 2, flash.flipped_bits: 1", "boot",
                 kBoth, PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) {
                   c.flash.flipBitsAtBlock = 2;
                   c.flash.flippedBits = 1;
                 })),
         8, std::nullopt, kOsUpdate, "one flipped bit is corrected when the block is read back");
  Expect(add(Row("two-bits-flip", "flash.flip_bits_at_block: 2, flash.flipped_bits: 2", "boot",
                 kBoth, PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) {
                   c.flash.flipBitsAtBlock = 2;
                   c.flash.flippedBits = 2;
                 })),
         9, kNoError, kTouchBoot | kTouchUserData,
         "two flipped bits cannot be corrected: the block reads back wrong and fails");
  Expect(add(Row("flash-power-cut", "flash.power_cut_after_block: 2", "boot", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) { c.flash.powerCutAfterBlock = 2; })),
         6, std::nullopt, kTouchBoot | kTouchUserData,
         "the power goes after the boot loader's second block, on the operating-system screen")
      .ending = Ending::kPowerCut;

  // The memory division, which the .BIN loader changes before it allocates the image.
  Expect(add(Row("division-must-reboot", "memory.set_answer: must_reboot", "kernel", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) {
                   c.memory.setAnswer = sim::DivisionAnswer::kMustReboot;
                 })),
         9, kNoError, kTouchBoot | kTouchUserData,
         "a division change that needs a reboot stops the kernel's load before its partition "
         "is written; the boot loader was written before");
  Expect(
      add(Row("division-failed", "memory.set_answer: failed", "kernel", kBoth,
              PackageKind::kOsImages,
              [](sim::TerminalConfig& c) { c.memory.setAnswer = sim::DivisionAnswer::kFailed; })),
      9, kNoError, kTouchBoot | kTouchUserData, "a failed division change stops the load");
  Expect(add(Row("division-pending", "memory.set_answer: reboot_pending", "kernel", kBoth,
                 PackageKind::kOsImages,
                 [](sim::TerminalConfig& c) {
                   c.memory.setAnswer = sim::DivisionAnswer::kRebootPending;
                 })),
         8, std::nullopt, kOsUpdate,
         "a pending reboot lets the load go on; the small kernel fits the memory there is");
  Expect(
      add(Row("memory-full", "memory.program_used: 67108864", "boot", kBoth, PackageKind::kOsImages,
              [](sim::TerminalConfig& c) { c.memory.programUsed = 64U << 20; })),
      9, kNoError, kTouchBoot | kTouchUserData,
      "no program memory left: the boot loader's block buffer cannot be allocated");

  // The package itself.
  Expect(add(Row("no-package", "no install.bin beside the program", "package", kTerminalOnly,
                 PackageKind::kNone, [](sim::TerminalConfig&) {})),
         2,
         ExpectedError{1001, "CFileAccess::IsCheckSumValid:",
                       "Cannot open for reading [\\Storage Card\\install.bin]"},
         kTouchNothing,
         "the checksum test reports the missing package (1018) and then the open that fails "
         "(1001, the last): invalid package")
      .keys = "PLAY";
  rows.back().quick = true;
  Expect(add(Row("no-package-desktop", "the desktop answers but left no install.bin in the root",
                 "package", kDesktopOnly, PackageKind::kNone, [](sim::TerminalConfig&) {})),
         2,
         ExpectedError{1018, "CValidatePackage::IsValidBinFile", "Cannot find BIN \\install.bin"},
         kTouchNothing,
         "no package header in the root folder: invalid package; leaving sends the end of the "
         "run, which the desktop answers")
      .keys = "PLAY";
  rows.back().quick = true;
  Expect(add(Row("corrupt-package", "one byte of install.bin changed", "package", kTerminalOnly,
                 PackageKind::kDemoCorrupt, [](sim::TerminalConfig&) {})),
         2, ExpectedError{1019, "CFileAccess::IsCheckSumValid:", "CHECKSUM FAILED"}, kTouchNothing,
         "the checksum does not hold: invalid package")
      .keys = "PLAY";

  // Where each fault must show in the debug output (the updater's own trace texts), so that a
  // row cannot pass by failing somewhere else.
  const std::pair<const char*, const char*> traces[] = {
      {"gps-silent", "GPSProgramGpsFast: Failed to start flash engine session"},
      {"gps-nak", "GPSProgramGpsFast: Failed to start flash engine session"},
      {"gps-bad-checksum", "GPSProgramGpsFast: Failed to start flash engine session"},
      {"gps-long-reply", "GPSProgramGpsFast: Failed to start flash engine session"},
      {"gps-status-open", "GPSProgramGpsFast: Failed to open access to flash engine"},
      {"gps-status-blank", "GPSProgramGpsFast: Failed GPS blank check"},
      {"gps-status-erase", "GPSProgramGpsFast: CRC check failed"},
      {"gps-status-write", "GPSProgramGpsFast: CRC check failed"},
      {"gps-nak-write", "GPSProgramGpsFast: CRC check failed"},
      {"gps-boot-ack", "Bad reply from device"},
      {"gps-clock", "GPSProgramGpsFast: Failed to start flash engine session"},
      {"gps-slow-erase", "Device is not responding"},
      {"gps-driver-old", "OS Upgrade required."},
      {"shell-cannot-stop", "Failed to shutdown shell"},
      {"shell-orphaned-program", "Failed to shutdown shell"},
      {"key-material", "LoadBIN: ERROR: This is not a .BIN file"},
      {"flash-absent", "CopyBIN: Error! DoC not detected."},
      {"disk-driver-unlisted", "Failed to setup flash part"},
      {"disk-driver-handle-0", "Failed to setup flash part"},
      {"deactivate-fails", "CopyBIN: UnloadDiskDriver failed ("},
      {"block-write-fails", "CopyBIN: WriteBlock failed, code"},
      {"two-bits-flip", "CopyBIN: WriteBlock failed, code"},
      {"division-must-reboot", "LoadBIN: Memory division requires a reboot- FAILED"},
      {"division-failed", "LoadBIN: Memory division change failed ("},
      {"memory-full", "Unable to allocate buffer for file"},
  };
  for (const auto& [id, trace] : traces) {
    for (FaultRow& row : rows) {
      if (row.id == id) row.trace = trace;
    }
  }
  return rows;
}

}  // namespace

const std::vector<FaultRow>& FaultRows() {
  static const std::vector<FaultRow> rows = MakeRows();
  return rows;
}

}  // namespace tools::faults
