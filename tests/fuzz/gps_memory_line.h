// A serial line to the GPS chip made of memory, for the fuzz targets and unit tests of the chip
// protocols' readers: reads deliver the chip's bytes in the chunks given (a read never crosses
// into the next chunk, as bytes that arrive after a time-out do not), writes are recorded.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "gps/gps_line.h"

class MemoryLine final : public gps::Line {
 public:
  MemoryLine(const uint8_t* bytes, std::size_t size) : m_bytes(bytes, bytes + size) {}
  // Splits what the chip sends into chunks of these sizes (the rest is one more chunk).
  void SetChunks(std::vector<std::size_t> sizes) { m_chunks = std::move(sizes); }

  bool Write(const uint8_t* bytes, uint32_t count) override {
    m_written.insert(m_written.end(), bytes, bytes + count);
    return true;
  }
  uint32_t Read(uint8_t* buffer, uint32_t count) override {
    std::size_t available = m_bytes.size() - m_at;
    if (m_chunk < m_chunks.size()) available = std::min(available, m_chunks[m_chunk] - m_inChunk);
    const std::size_t n = std::min<std::size_t>(count, available);
    if (n > 0) std::memcpy(buffer, m_bytes.data() + m_at, n);
    m_at += n;
    m_inChunk += n;
    if (m_chunk < m_chunks.size() && m_inChunk == m_chunks[m_chunk]) {
      ++m_chunk;
      m_inChunk = 0;
    }
    return static_cast<uint32_t>(n);
  }
  void Pause(uint32_t /*milliseconds*/) override {}

  const std::vector<uint8_t>& Written() const { return m_written; }
  std::size_t Consumed() const { return m_at; }

 private:
  std::vector<uint8_t> m_bytes;
  std::size_t m_at = 0;
  std::vector<std::size_t> m_chunks;
  std::size_t m_chunk = 0;
  std::size_t m_inChunk = 0;
  std::vector<uint8_t> m_written;
};
