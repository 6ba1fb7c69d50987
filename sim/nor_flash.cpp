#include "sim/nor_flash.h"

#include <algorithm>

namespace sim {

NorFlash::NorFlash(gps_images::NorPart part)
    : m_part(std::move(part)), m_bytes(m_part.capacity, 0xFF) {
  uint32_t address = 0;
  for (const auto& [blocks, size] : m_part.regions) {
    for (uint32_t i = 0; i < blocks; ++i) {
      m_sectors.push_back({address, size});
      address += size;
    }
  }
}

bool NorFlash::Sector(std::size_t index, uint32_t* address, uint32_t* size) const {
  if (index >= m_sectors.size()) return false;
  *address = m_sectors[index].first;
  *size = m_sectors[index].second;
  return true;
}

int64_t NorFlash::SectorStartingAt(uint32_t address) const {
  const auto it = std::lower_bound(m_sectors.begin(), m_sectors.end(), address,
                                   [](const std::pair<uint32_t, uint32_t>& sector, uint32_t value) {
                                     return sector.first < value;
                                   });
  if (it == m_sectors.end() || it->first != address) return -1;
  return it - m_sectors.begin();
}

bool NorFlash::Holds(uint32_t offset, uint32_t length) const {
  return offset <= m_bytes.size() && length <= m_bytes.size() - offset;
}

void NorFlash::Erase(uint32_t address, uint32_t size) {
  if (!Holds(address, size)) return;
  std::fill_n(m_bytes.begin() + address, size, 0xFF);
}

void NorFlash::EraseAll() { std::fill(m_bytes.begin(), m_bytes.end(), 0xFF); }

bool NorFlash::Program(uint32_t address, std::span<const uint8_t> data) {
  if (!Holds(address, static_cast<uint32_t>(data.size()))) return false;
  bool held = true;
  for (std::size_t i = 0; i < data.size(); ++i) {
    uint8_t& cell = m_bytes[address + i];
    cell &= data[i];
    held = held && cell == data[i];
  }
  return held;
}

bool NorFlash::IsBlank(uint32_t offset, uint32_t length) const {
  if (!Holds(offset, length)) return false;
  return std::all_of(m_bytes.begin() + offset, m_bytes.begin() + offset + length,
                     [](uint8_t byte) { return byte == 0xFF; });
}

uint16_t NorFlash::Crc(uint32_t offset, uint32_t length, uint16_t seed) const {
  uint16_t crc = seed;
  if (!Holds(offset, length)) return crc;
  for (uint32_t i = 0; i < length; ++i) {
    crc ^= m_bytes[offset + i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

void NorFlash::Load(std::vector<uint8_t> bytes) {
  bytes.resize(m_part.capacity, 0xFF);
  m_bytes = std::move(bytes);
}

}  // namespace sim
