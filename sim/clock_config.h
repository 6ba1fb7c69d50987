// The terminal's clock in terminal.json ("clock"): the local time and the tick count at which it
// starts, from where virtual time counts; and the calendar its local time follows.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

#include "platform/kernel.h"

namespace sim {

class ConfigReader;

struct ClockConfig {
  // Local time when the terminal starts.
  platform::LocalTime start = {2005, 8, 22, 17, 1, 11, 0};
  // The tick count when the terminal starts.
  uint32_t tickStart = 0;

  bool operator==(const ClockConfig&) const = default;
};

void ReadSection(ConfigReader& reader, ClockConfig& config);
nlohmann::json SectionJson(const ClockConfig& config);

// "2005-08-22 17:01:11".
std::string FormatLocalTime(const platform::LocalTime& time);
std::optional<platform::LocalTime> ParseLocalTime(const std::string& text);
// Local time `milliseconds` after `start`, by the calendar.
platform::LocalTime AddMilliseconds(const platform::LocalTime& start, uint64_t milliseconds);

}  // namespace sim
