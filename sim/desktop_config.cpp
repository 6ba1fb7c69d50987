#include "sim/desktop_config.h"

#include "sim/config_section.h"

namespace sim {

void ReadSection(ConfigReader& reader, DesktopConfig& config) {
  reader.Read("cache_size", config.cacheSize, "a number of bytes");
  if (config.cacheSize == 0) reader.Fail("cache_size", "expected a number of bytes above 0");
  reader.ReadOptional("stop_after", config.stopAfter,
                      "a number of exchanges, or null to answer every one");
  reader.Read("abort_after_ms", config.abortAfterMs, "a number of milliseconds (0: never)");
  reader.Read("fill_short_by", config.fillShortBy, "a number of bytes");
  reader.ReadOptional("fill_size", config.fillSize, "a number of bytes, or null");
  reader.ReadOptional("empty_response_at", config.emptyResponseAt,
                      "the number of an exchange, or null");
  reader.Read("hold_flag_ms", config.holdFlagMs, "a number of milliseconds");
  reader.ReadOptional("looking_no_at", config.lookingNoAt, "the number of an exchange, or null");
  reader.Read("allow_bad_checksum", config.allowBadChecksum, "true or false");
  reader.Read("change_served_again", config.changeServedAgain, "a member's name, or \"\" for none");
}

nlohmann::json SectionJson(const DesktopConfig& config) {
  return {{"cache_size", config.cacheSize},
          {"stop_after", OptionalJson(config.stopAfter)},
          {"abort_after_ms", config.abortAfterMs},
          {"fill_short_by", config.fillShortBy},
          {"fill_size", OptionalJson(config.fillSize)},
          {"empty_response_at", OptionalJson(config.emptyResponseAt)},
          {"hold_flag_ms", config.holdFlagMs},
          {"looking_no_at", OptionalJson(config.lookingNoAt)},
          {"allow_bad_checksum", config.allowBadChecksum},
          {"change_served_again", config.changeServedAgain}};
}

}  // namespace sim
