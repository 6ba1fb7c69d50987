#include "gps/frame.h"

#include <cstring>

namespace gps {

uint8_t Checksum8(const uint8_t* bytes, uint32_t count) {
  uint8_t sum = 0;
  for (uint32_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
  return static_cast<uint8_t>(-sum);
}

void FrameBuffer::Begin(uint8_t code) {
  m_cursor = 2;
  m_length = 0;
  m_good = true;
  PutU8(code);
}

void FrameBuffer::PutU8(uint8_t value) { PutBytes(&value, 1); }

void FrameBuffer::PutU16(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  PutBytes(bytes, 2);
}

void FrameBuffer::PutU32(uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                            static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  PutBytes(bytes, 4);
}

void FrameBuffer::PutBytes(const uint8_t* bytes, uint32_t count) {
  // The checksum needs the last byte of the buffer.
  if (!m_good || count > kFrameBufferSize - 1 - m_cursor) {
    m_good = false;
    return;
  }
  if (count > 0) std::memcpy(m_bytes + m_cursor, bytes, count);
  m_cursor += count;
}

bool FrameBuffer::Send(Line& line) {
  if (!m_good || m_cursor < 2) return false;
  const uint32_t payload = m_cursor - 2;
  m_bytes[0] = static_cast<uint8_t>(payload >> 8);
  m_bytes[1] = static_cast<uint8_t>(payload);
  m_bytes[m_cursor] = Checksum8(m_bytes, m_cursor);
  if (!line.Write(m_bytes, m_cursor + 1)) return false;
  uint8_t answer = 0;
  return line.Read(&answer, 1) == 1 && answer == kAck;
}

bool FrameBuffer::Receive(Line& line) {
  m_cursor = 0;
  m_length = 0;
  m_good = false;
  if (line.Read(m_bytes, 2) != 2) return false;
  const uint32_t payload = static_cast<uint32_t>(m_bytes[0]) << 8 | m_bytes[1];
  if (payload + kFrameOverhead > kFrameBufferSize) {
    const uint8_t refuse = kNak;
    line.Write(&refuse, 1);
    return false;
  }
  if (line.Read(m_bytes + 2, payload + 1) != payload + 1) return false;
  uint8_t sum = 0;
  for (uint32_t i = 0; i < payload + kFrameOverhead; ++i)
    sum = static_cast<uint8_t>(sum + m_bytes[i]);
  const uint8_t answer = sum == 0 ? kAck : kNak;
  if (!line.Write(&answer, 1) || answer != kAck) return false;
  std::memmove(m_bytes, m_bytes + 2, payload);
  m_length = payload;
  m_good = true;
  return true;
}

void FrameBuffer::Load(const uint8_t* payload, uint32_t length) {
  m_cursor = 0;
  m_good = length <= kFrameBufferSize;
  m_length = m_good ? length : 0;
  if (m_good && length > 0) std::memcpy(m_bytes, payload, length);
}

uint8_t FrameBuffer::GetU8() {
  if (!m_good || m_cursor >= m_length) {
    m_good = false;
    return 0;
  }
  return m_bytes[m_cursor++];
}

uint16_t FrameBuffer::GetU16() {
  const uint16_t high = GetU8();
  return static_cast<uint16_t>(high << 8 | GetU8());
}

uint32_t FrameBuffer::GetU32() {
  const uint32_t high = GetU16();
  return high << 16 | GetU16();
}

void FrameBuffer::GetText(char (&text)[kReplyTextSize]) {
  std::memset(text, 0, sizeof text);
  for (uint32_t i = 0; i < kReplyTextSize; ++i) {
    const uint8_t c = GetU8();
    if (!m_good) return;
    if (c == 0) return;
    // The last byte is the terminator's: a longer text does not fit and is refused.
    if (i + 1 == kReplyTextSize) {
      m_good = false;
      text[0] = 0;
      return;
    }
    text[i] = static_cast<char>(c);
  }
}

bool ParseOpenReply(FrameBuffer& frame, OpenReply* reply) {
  *reply = OpenReply();
  reply->status = frame.GetU32();
  reply->valueA = frame.GetU32();
  reply->valueB = frame.GetU32();
  FlashDescriptor& d = reply->descriptor;
  frame.GetText(d.partName);
  frame.GetText(d.manufacturerName);
  d.deviceId = frame.GetU16();
  d.manufacturerId = frame.GetU16();
  d.capacity = frame.GetU32();
  d.regionCount = frame.GetU8();
  if (!frame.Good() || d.regionCount > FlashDescriptor::kMaxRegions) return false;
  for (uint32_t i = 0; i < d.regionCount; ++i) {
    d.regions[i].blocks = frame.GetU32();
    d.regions[i].blockSize = frame.GetU32();
  }
  d.attributeByte = frame.GetU8();
  d.attributeWord = frame.GetU16();
  return frame.Complete();
}

}  // namespace gps
