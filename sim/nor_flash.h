// The NOR flash of the simulated GPS chip: a part of the flash engine's table, its sectors laid
// out as the part's erase-block regions. Erasing sets a sector's bytes to 0xFF; programming
// only clears bits, so a byte that would need a bit set fails to program.
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "tools/gps_images/gps_images.h"

namespace sim {

class NorFlash {
 public:
  // An erased flash of the part.
  explicit NorFlash(gps_images::NorPart part);

  const gps_images::NorPart& Part() const { return m_part; }
  uint32_t Capacity() const { return m_part.capacity; }
  std::size_t SectorCount() const { return m_sectors.size(); }
  // The index-th sector's address and size; false past the last.
  bool Sector(std::size_t index, uint32_t* address, uint32_t* size) const;
  // The index of the sector that starts at the address, or -1.
  int64_t SectorStartingAt(uint32_t address) const;
  // True when the range lies inside the flash.
  bool Holds(uint32_t offset, uint32_t length) const;

  void Erase(uint32_t address, uint32_t size);
  void EraseAll();
  // ANDs the data into the flash; false when the flash does not hold the data afterwards.
  bool Program(uint32_t address, std::span<const uint8_t> data);
  bool IsBlank(uint32_t offset, uint32_t length) const;
  // CRC-16 with the reflected polynomial 0xA001 over the range, from the seed.
  uint16_t Crc(uint32_t offset, uint32_t length, uint16_t seed) const;

  std::span<const uint8_t> Bytes() const { return m_bytes; }
  // Takes stored contents, cut or filled with erased bytes to the capacity.
  void Load(std::vector<uint8_t> bytes);

 private:
  gps_images::NorPart m_part;
  std::vector<std::pair<uint32_t, uint32_t>> m_sectors;
  std::vector<uint8_t> m_bytes;
};

}  // namespace sim
