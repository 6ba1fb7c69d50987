// terminal.json: the simulated terminal's hardware and behaviour. Every key has a default; a
// file that cannot be parsed, a key of the wrong type and an unknown key are refused with a
// message that names the key.
#pragma once

#include <cstdint>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "sim/flash_config.h"
#include "sim/memory.h"
#include "sim/result.h"

namespace sim {

enum class AcLine { kConnected, kDisconnected, kUnknown, kUnreadable };

// What the resident shell does with the window-destroy message.
enum class ShellDestroy { kEnd, kIgnore };

// The hardware layer's own answers.
struct HalConfig {
  // The reboot control fails instead of restarting the terminal.
  bool rebootFails = false;
  // The installed images' versions that the version query reports; none: the query fails.
  std::optional<std::string> bootVersion = "1.0.2";
  std::optional<std::string> kernelVersion = "1.0.5";
  // The key material that control 0x01012008 answers, as hexadecimal text (up to 100 bytes);
  // none: the control fails and the updater takes its pass phrase.
  std::optional<std::string> keyMaterial;

  bool operator==(const HalConfig&) const = default;
};

// The GPS driver "GPS1:".
struct GpsDriverConfig {
  bool present = true;
  std::string version = "2.10";
  // The driver's whole version answer instead of "<driver>/VGPS <firmware>".
  std::optional<std::string> answer;
  // The byte count the driver returns instead of the answer's length plus its terminator.
  std::optional<uint32_t> returnedCount;
  // A fault: the driver refuses to hand the receiver over for programming (mode 2).
  bool refusesMode2 = false;

  bool operator==(const GpsDriverConfig&) const = default;
};

// What the GPS chip does wrong, when told to: nothing, never answer, refuse frames with 0x15,
// answer with a wrong checksum, answer with one byte too many, or answer a flash command with
// an engine status.
enum class GpsFault { kNone, kSilent, kNak, kBadChecksum, kLongReply, kStatus };

// The GPS receiver chip behind "COM6:" and the driver.
struct GpsConfig {
  // The version of the factory firmware in a chip whose flash was never programmed.
  std::string firmwareVersion = "3.2.4";
  // What the chip answers when the flash engine's first stage identifies it.
  uint32_t chipClass = 0x31;
  uint32_t rfType = 0;
  uint32_t clockWord1 = 0x3000;
  uint32_t clockWord2 = 0x000A;
  // Its NOR flash: a part of the flash engine's own table.
  std::string flashPart = "AM29LV800BB";
  uint32_t sectorEraseMs = 700;
  uint32_t chipEraseMs = 14000;
  uint32_t wordProgramUs = 11;
  // The boot loader's answer to the header record.
  std::string bootAck = "SA\r\n";
  GpsFault fault = GpsFault::kNone;
  // The command (first payload byte) that the fault hits; none: every frame.
  std::optional<uint32_t> faultCommand;
  // The engine status of the kStatus fault.
  uint32_t faultStatus = 0;
  // The power goes once the chip has programmed this many bytes since it was last powered on.
  std::optional<uint32_t> powerCutAfterBytes;

  bool operator==(const GpsConfig&) const = default;
};

// The resident shell "tavimon.exe".
struct ShellConfig {
  // The application version that a fresh terminal's shell reports in the registry.
  std::string applicationVersion = "1.0.0";
  // The shell starts at power on and after a reboot.
  bool running = true;
  // kEnd: it ends endAfterSeconds virtual seconds after the message (0: before the sending
  // call returns).
  ShellDestroy onDestroy = ShellDestroy::kEnd;
  uint32_t endAfterSeconds = 0;
  bool canBeTerminated = true;
  // A further file that the shell holds open without sharing while it runs.
  std::optional<std::string> lockedFile;
  // A file that the shell holds while it runs and that stays locked after it is terminated.
  std::optional<std::string> orphanedLock;

  bool operator==(const ShellConfig&) const = default;
};

// The desktop computer on the other side of the file-semaphore channel: how much of the
// container it copies into the cache file per request, and the faults it can be told to show.
// Exchanges are counted from 1, every request the desktop sees included.
struct DesktopConfig {
  // The bytes of one cache fill (less at the container's end).
  uint32_t cacheSize = 1U << 20;
  // Answers this many exchanges, then no more.
  std::optional<uint32_t> stopAfter = {};
  // Once it stopped answering, it leaves "\abort.me" this many milliseconds later (0: never).
  uint32_t abortAfterMs = 60000;
  // Every cache fill holds this many bytes fewer than it would.
  uint32_t fillShortBy = 0;
  // Every cache fill holds at most this many bytes, whatever the cache size.
  std::optional<uint32_t> fillSize = {};
  // This exchange is answered with a response file of 0 bytes.
  std::optional<uint32_t> emptyResponseAt = {};
  // Every response flag file is held open, so that it cannot be deleted, this long.
  uint32_t holdFlagMs = 0;
  // This exchange is not answered: the desktop consumes the request and leaves "\looking.no".
  std::optional<uint32_t> lookingNoAt = {};

  bool operator==(const DesktopConfig&) const = default;
};

struct TerminalConfig {
  // The program's own path on the terminal; the package lies beside it.
  std::string programPath = "\\Storage Card\\VostrelHHT.exe";
  // Folders that exist on a fresh terminal.
  std::vector<std::string> folders = {"\\Flash Disk", "\\Flash Disk2", "\\Storage Card"};
  // Local time when the terminal starts (virtual time counts from here).
  platform::LocalTime clockStart = {2005, 8, 22, 17, 1, 11, 0};
  // The tick count when the terminal starts.
  uint32_t tickStart = 0;

  AcLine acLine = AcLine::kConnected;
  HalConfig hal;
  GpsDriverConfig gpsDriver;
  GpsConfig gps;
  ShellConfig shell;

  // The desktop that a desktop-mode run with a package is served by.
  DesktopConfig desktop;

  // The flash disk, its partitions and its disk driver; the RAM and its division.
  FlashConfig flash;
  MemoryConfig memory;
  bool operator==(const TerminalConfig&) const = default;
};

// The bytes of hexadecimal key material ("0a1B..."), or none when the text is not an even
// number of hexadecimal digits standing for 1 to 100 bytes.
std::optional<std::string> KeyMaterialBytes(const std::string& hex);

// Reads terminal.json; missing keys keep their defaults.
Result<TerminalConfig> LoadConfig(const std::filesystem::path& file);
Result<TerminalConfig> ParseConfig(const nlohmann::json& json);
nlohmann::json ConfigToJson(const TerminalConfig& config);
Status SaveConfig(const std::filesystem::path& file, const TerminalConfig& config);

// "2005-08-22 17:01:11".
std::string FormatLocalTime(const platform::LocalTime& time);
std::optional<platform::LocalTime> ParseLocalTime(const std::string& text);
// Local time `milliseconds` after `start`, by the calendar.
platform::LocalTime AddMilliseconds(const platform::LocalTime& start, uint64_t milliseconds);

const char* AcLineName(AcLine line);
const char* ShellDestroyName(ShellDestroy action);
const char* GpsFaultName(GpsFault fault);

// The text the GPS driver answers to the version query, with the receiver's firmware version.
std::string GpsVersionAnswer(const GpsDriverConfig& driver, const std::string& firmwareVersion);

}  // namespace sim
