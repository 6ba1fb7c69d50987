#include "sim/gps_config.h"

#include <string>

#include "sim/config_section.h"
#include "tools/gps_images/gps_images.h"

namespace sim {

namespace {

constexpr NamedValue<GpsFault> kFaults[] = {{GpsFault::kNone, "none"},
                                            {GpsFault::kSilent, "silent"},
                                            {GpsFault::kNak, "nak"},
                                            {GpsFault::kBadChecksum, "bad_checksum"},
                                            {GpsFault::kLongReply, "long_reply"},
                                            {GpsFault::kStatus, "status"}};

// A number of at most `limit`; `expected` says so.
void ReadAtMost(ConfigReader& reader, const char* key, uint32_t& out, uint32_t limit,
                const char* expected) {
  reader.Read(key, out, expected);
  if (out > limit) reader.Fail(key, std::string("expected ") + expected);
}

}  // namespace

const char* GpsFaultName(GpsFault fault) { return NameIn(kFaults, fault); }

void ReadSection(ConfigReader& reader, GpsConfig& config) {
  reader.Read("firmware_version", config.firmwareVersion, "a version text");
  ReadAtMost(reader, "chip_class", config.chipClass, 0xFF, "a byte (0 to 255)");
  ReadAtMost(reader, "rf_type", config.rfType, 0xFF, "a byte (0 to 255)");
  ReadAtMost(reader, "clock_word1", config.clockWord1, 0xFFFF, "a 16-bit number (0 to 65535)");
  ReadAtMost(reader, "clock_word2", config.clockWord2, 0xFFFF, "a 16-bit number (0 to 65535)");
  reader.Read("flash_part", config.flashPart, "a part name of the flash engine's table");
  if (!gps_images::FindPart(gps_images::ReadPartTable(gps_images::MakeFlashEngine()),
                            config.flashPart)) {
    reader.Fail("flash_part",
                "expected a part name of the flash engine's table, such as \"AM29LV800BB\", "
                "\"MX29LV400B\" or \"SST39VF1601\"");
  }
  reader.Read("sector_erase_ms", config.sectorEraseMs, "a number of milliseconds");
  reader.Read("chip_erase_ms", config.chipEraseMs, "a number of milliseconds");
  reader.Read("word_program_us", config.wordProgramUs, "a number of microseconds");
  reader.Read("boot_ack", config.bootAck, "a text");
  reader.ReadName("fault", config.fault, kFaults);
  reader.ReadOptional("fault_command", config.faultCommand,
                      "a command code (0 to 255), or null for every frame");
  if (config.faultCommand && *config.faultCommand > 0xFF) {
    reader.Fail("fault_command", "expected a command code (0 to 255), or null for every frame");
  }
  reader.Read("fault_status", config.faultStatus, "an engine status number");
  reader.ReadOptional("power_cut_after_bytes", config.powerCutAfterBytes,
                      "a number of bytes, or null for no power cut");
}

nlohmann::json SectionJson(const GpsConfig& config) {
  return {{"firmware_version", config.firmwareVersion},
          {"chip_class", config.chipClass},
          {"rf_type", config.rfType},
          {"clock_word1", config.clockWord1},
          {"clock_word2", config.clockWord2},
          {"flash_part", config.flashPart},
          {"sector_erase_ms", config.sectorEraseMs},
          {"chip_erase_ms", config.chipEraseMs},
          {"word_program_us", config.wordProgramUs},
          {"boot_ack", config.bootAck},
          {"fault", GpsFaultName(config.fault)},
          {"fault_command", OptionalJson(config.faultCommand)},
          {"fault_status", config.faultStatus},
          {"power_cut_after_bytes", OptionalJson(config.powerCutAfterBytes)}};
}

}  // namespace sim
