#include "gps/serial_boot.h"

#include <cstring>

#include "platform/platform.h"
#include "text/text.h"

namespace {

constexpr uint32_t kQueueBytes = 16;
constexpr uint32_t kBlock = 16;
constexpr uint32_t kReadTimeoutMs = 10;
constexpr uint32_t kAttemptsPerUnit = 100;
constexpr uint32_t kReplyCapacity = 200;
constexpr uint32_t kAckWaitUnits = 20;
constexpr uint32_t kLinesPerReport = 20;
constexpr uint8_t kHeaderRecord[] = "S00600004844521B\r\n";
constexpr uint8_t kAck[] = {'S', 'A', '\r', '\n'};

platform::SerialConfig BootLoaderConfig(const platform::SerialConfig& inForce, uint32_t baud) {
  platform::SerialConfig config = inForce;
  platform::SerialSettings& s = config.settings;
  s.baudRate = baud;
  // Bits 0 to 14 are the port's behaviour: binary mode alone, lines inactive, no flow control.
  s.flags = (s.flags & ~0x7FFFU) | platform::kDcbBinary;
  s.byteSize = 8;
  s.parity = platform::kNoParity;
  s.stopBits = platform::kOneStopBit;
  config.timeouts = {0, 0, kReadTimeoutMs, 0, 0};
  return config;
}

}  // namespace

platform::Handle SerialOpenPort(std::string_view port, uint32_t baud) {
  platform::SerialOpenRequest request;
  request.inQueue = kQueueBytes;
  request.outQueue = kQueueBytes;
  request.derive = [baud](const platform::SerialConfig& inForce) {
    return BootLoaderConfig(inForce, baud);
  };
  platform::SerialConfig inForce;
  return platform::Serial().OpenSerial(port, request, &inForce);
}

bool SerialWrite(gps::Line& line, const uint8_t* bytes, uint32_t count) {
  return line.Write(bytes, count);
}

uint32_t SerialReadWait(gps::Line& line, uint8_t* buffer, uint32_t capacity, uint32_t waitUnits) {
  const uint64_t attempts = static_cast<uint64_t>(waitUnits) * kAttemptsPerUnit;
  for (uint64_t attempt = 0; attempt < attempts; ++attempt) {
    const uint32_t got = line.Read(buffer, capacity);
    if (got > 0) return got;
    line.Pause(1);
  }
  return 0;
}

void SerialDrainInput(gps::Line& line) {
  uint8_t discard[kReplyCapacity];
  line.Read(discard, sizeof discard);
}

bool SendBootLoader(GpsProgState& g, gps::Line& line) {
  const uint32_t size = g.binarySize;
  const uint8_t header[6] = {'S',
                             0x00,
                             static_cast<uint8_t>(size >> 24),
                             static_cast<uint8_t>(size >> 16),
                             static_cast<uint8_t>(size >> 8),
                             static_cast<uint8_t>(size)};
  if (!SerialWrite(line, header, sizeof header)) return false;
  uint32_t sent = 0;
  while (size - sent >= kBlock) {
    const uint32_t percent = ProgressPercent(sent, size);
    GPSProgProgress(g, static_cast<int>(percent));
    GPSProgStatus(g, text::Sprintf("Sending boot loader... (%d%%)", percent));
    if (!SerialWrite(line, g.binaryBuffer.get() + sent, kBlock)) return false;
    sent += kBlock;
  }
  if (sent < size && !SerialWrite(line, g.binaryBuffer.get() + sent, size - sent)) return false;
  const uint8_t trailer[4] = {};
  const bool written = SerialWrite(line, trailer, sizeof trailer);
  GPSProgProgress(g, 100);
  return written;
}

bool WaitBootAck(GpsProgState& g, gps::Line& line, uint32_t waitUnits) {
  uint8_t reply[kReplyCapacity] = {};
  uint32_t got = SerialReadWait(line, reply, sizeof reply, waitUnits);
  if (got == 0) {
    GPSProgStatus(g, "Device is not responding");
    return false;
  }
  // A reply that straddles two reads is still one reply: read on for the rest of its first
  // four bytes, which follow within a millisecond.
  while (got < sizeof kAck) {
    const uint32_t more = SerialReadWait(line, reply + got, sizeof reply - got, 1);
    if (more == 0) break;
    got += more;
  }
  if (std::memcmp(reply, kAck, sizeof kAck) == 0) return true;
  GPSProgStatus(g, "Bad reply from device");
  return false;
}

bool SRecordLines::Next(const uint8_t** line, uint32_t* length) {
  if (m_position >= m_size) return false;
  const uint8_t* start = m_text + m_position;
  const auto* feed = static_cast<const uint8_t*>(std::memchr(start, '\n', m_size - m_position));
  *line = start;
  *length = feed == nullptr ? m_size - m_position : static_cast<uint32_t>(feed - start) + 1;
  m_position += *length;
  return true;
}

bool SendSRecordFile(GpsProgState& g, gps::Line& line) {
  GPSProgProgress(g, 0);
  GPSProgStatus(g, "Erasing Flash memory...");
  SerialDrainInput(line);
  if (!SerialWrite(line, kHeaderRecord, sizeof kHeaderRecord - 1)) return false;
  if (!WaitBootAck(g, line, kAckWaitUnits)) return false;
  SRecordLines lines(g.srecBuffer.get(), g.srecSize);
  uint32_t counter = 0;
  uint32_t sent = 0;
  const uint8_t* text = nullptr;
  uint32_t length = 0;
  bool written = true;
  while (lines.Next(&text, &length)) {
    if (counter % kLinesPerReport == 0) {
      const uint32_t percent = ProgressPercent(sent, g.srecSize);
      GPSProgProgress(g, static_cast<int>(percent));
      GPSProgStatus(g, text::Sprintf("Programming device... (%d%%)", percent));
    }
    written = SerialWrite(line, text, length);
    if (!written) return false;
    sent += length;
    ++counter;
  }
  return written;
}
