// Frames of the flash-engine link: a 16-bit big-endian payload length, the payload, and a
// checksum byte that makes all bytes add up to 0 modulo 256. Every exchange in both directions
// is a frame answered by one byte, 0x06 (accepted) or 0x15 (refused). Command payloads start
// with their code, numbers big-endian, texts zero-terminated; a reply's code is the command's
// plus one.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/gps_line.h"

namespace gps {

inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
// The largest frame, an upload block of 1280 bytes with its code, offset, length and checksum.
inline constexpr uint32_t kFrameBufferSize = 1288;
inline constexpr uint32_t kFrameOverhead = 3;
// Texts of a reply, terminator included.
inline constexpr uint32_t kReplyTextSize = 64;

// The two's complement of the 8-bit sum of the bytes.
uint8_t Checksum8(const uint8_t* bytes, uint32_t count);

// One frame at a time: packed for sending, or received and then parsed from its start.
class FrameBuffer {
 public:
  // Starts a payload with its command code.
  void Begin(uint8_t code);
  // Packing past the buffer marks the frame bad, so that it is never sent.
  void PutU8(uint8_t value);
  void PutU16(uint16_t value);
  void PutU32(uint32_t value);
  void PutBytes(const uint8_t* bytes, uint32_t count);

  // Sends the packed payload in one write and reads one byte; true only when exactly 0x06
  // arrived.
  bool Send(Line& line);
  // Reads a frame (the 2 length bytes, then the rest), answers 0x06 when its checksum holds and
  // 0x15 otherwise, and leaves the payload at the buffer's start for parsing. True only when the
  // frame was whole, its sum right and the 0x06 was written. A frame longer than the buffer is
  // refused with 0x15 and not read.
  bool Receive(Line& line);

  // Parsing a received payload: reads past its end mark the reply bad.
  uint8_t GetU8();
  uint16_t GetU16();
  uint32_t GetU32();
  // A zero-terminated text of at most kReplyTextSize bytes with its terminator.
  void GetText(char (&text)[kReplyTextSize]);
  // True when every field was there and nothing is left over.
  bool Complete() const { return m_good && m_cursor == m_length; }
  bool Good() const { return m_good; }

  uint32_t PayloadLength() const { return m_length; }
  const uint8_t* Bytes() const { return m_bytes; }

  // Parses a payload held elsewhere (tests and fuzzers).
  void Load(const uint8_t* payload, uint32_t length);

 private:
  uint8_t m_bytes[kFrameBufferSize] = {};
  uint32_t m_cursor = 0;
  uint32_t m_length = 0;
  bool m_good = true;
};

// What command 0x06 answers about the flash found.
struct FlashDescriptor {
  static constexpr uint32_t kMaxRegions = 6;
  char partName[kReplyTextSize] = {};
  char manufacturerName[kReplyTextSize] = {};
  uint16_t deviceId = 0;
  uint16_t manufacturerId = 0;
  uint32_t capacity = 0;
  uint8_t regionCount = 0;
  struct Region {
    uint32_t blocks = 0;
    uint32_t blockSize = 0;
  } regions[kMaxRegions] = {};
  uint8_t attributeByte = 0;
  uint16_t attributeWord = 0;
};

struct OpenReply {
  uint32_t status = 0;
  uint32_t valueA = 0;
  uint32_t valueB = 0;
  FlashDescriptor descriptor;
};

// Parses the fields of the reply to command 0x06 that follow its code. False when a field is
// missing, a text has no terminator within its 64 bytes, more than 6 regions are announced, or
// bytes are left over.
bool ParseOpenReply(FrameBuffer& frame, OpenReply* reply);

}  // namespace gps
