// The desktop's section of terminal.json ("desktop").
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>

namespace sim {

class ConfigReader;

// The desktop computer on the other side of the file-semaphore channel: how much of the
// container it copies into the cache file per request, and the faults it can be told to show.
// Exchanges are counted from 1, every request the desktop sees included.
// terminal.json "desktop".
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
  // Serves a package whose checksum fails, which the desktop otherwise refuses: the terminal
  // does not check it in desktop mode, so only a test of that should ask for this.
  bool allowBadChecksum = false;
  // A member's name (empty: none): its bytes are served as they are the first time a fill holds
  // them, and with one byte changed every later time, as by a desktop that changes the member
  // between the terminal's check of it and its use.
  std::string changeServedAgain = {};

  bool operator==(const DesktopConfig&) const = default;
};

void ReadSection(ConfigReader& reader, DesktopConfig& config);
nlohmann::json SectionJson(const DesktopConfig& config);

}  // namespace sim
