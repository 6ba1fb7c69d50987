// The flash disk's part of terminal.json ("flash"): the chip behind the physical window, its
// binary partitions and the disk area after them, the operating system's disk driver "DSK1:",
// and the faults they can be told to show.
#pragma once

#include <cstdint>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class ConfigReader;

struct FlashPartitionConfig {
  std::string signature;  // 4 characters
  uint32_t units = 0;

  bool operator==(const FlashPartitionConfig&) const = default;
};

struct FlashConfig {
  // false: no controller answers behind the window ("DoC not detected").
  bool present = true;
  uint32_t pageSize = 2048;
  uint32_t spareSize = 64;
  uint32_t pagesPerUnit = 64;
  // Binary partitions 0, 1, ... in this order from the chip's first unit, each with an anchor
  // unit before the units it can fill: with the default geometry, room for two boot loaders of
  // 512 KiB and for two kernels of 33 MiB, so that an update is written beside the image in use.
  std::vector<FlashPartitionConfig> partitions = {{"BOOT", 8}, {"KRNL", 528}};
  // Units of the disk area after the partitions (the operating system's FAT volumes).
  uint32_t diskUnits = 64;
  // The folders that the disk driver's volumes hold: gone once it is unloaded.
  std::vector<std::string> diskFolders = {"\\Flash Disk", "\\Flash Disk2"};

  // "\Drivers\Active" lists "DSK1:"; its "Hnd" value.
  bool diskDriverListed = true;
  uint32_t diskDriverHandle = 0x000C2F40;
  bool deactivateFails = false;

  // Faults, by 64 KiB block of the partition being written, counted from 1.
  std::optional<uint32_t> failWriteAtBlock;
  std::optional<uint32_t> flipBitsAtBlock;
  uint32_t flippedBits = 1;  // in the first page of that block, once it was written
  std::optional<uint32_t> powerCutAfterBlock;
  // Every unit erase fails, the unit left as it was: a write init that cannot start.
  bool failErase = false;

  uint32_t UnitSize() const { return pageSize * pagesPerUnit; }
  uint32_t Units() const;

  bool operator==(const FlashConfig&) const = default;
};

void ReadSection(ConfigReader& reader, FlashConfig& config);
nlohmann::json SectionJson(const FlashConfig& config);

}  // namespace sim
