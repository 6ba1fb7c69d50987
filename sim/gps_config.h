// The GPS receiver chip's section of terminal.json ("gps"): what the chip answers and how fast it
// works, and the faults it can be told to show.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace sim {

class ConfigReader;

// What the GPS chip does wrong, when told to: nothing, never answer, refuse frames with 0x15,
// answer with a wrong checksum, answer with one byte too many, or answer a flash command with
// an engine status.
enum class GpsFault { kNone, kSilent, kNak, kBadChecksum, kLongReply, kStatus };
const char* GpsFaultName(GpsFault fault);

// The GPS receiver chip (terminal.json "gps").
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

void ReadSection(ConfigReader& reader, GpsConfig& config);
nlohmann::json SectionJson(const GpsConfig& config);

}  // namespace sim
