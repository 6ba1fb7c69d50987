// The keys that a simulated run presses: "PLAY STOP BACK TAB F1..F4", a virtual key number,
// "TAB+F3" (TAB held while F3 is pressed and released), and "KEY@MS" to press a key at a
// virtual time whatever the updater is doing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/result.h"

namespace sim {

struct KeyPress {
  std::vector<uint32_t> held;  // keys held down around the pressed one
  uint32_t key = 0;
  std::optional<uint64_t> at;  // milliseconds since the start
  std::string text;            // as written
};

Result<std::vector<KeyPress>> ParseKeys(std::string_view line);
// The virtual key of a key name or number, if it is one.
std::optional<uint32_t> KeyCode(std::string_view name);

}  // namespace sim
