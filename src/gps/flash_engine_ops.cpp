#include "gps/flash_engine_ops.h"

#include <algorithm>
#include <cstring>

#include "gps/flash_engine.h"
#include "text/text.h"

namespace {

constexpr uint8_t kCmdOpenFlash = 0x06;
constexpr uint8_t kCmdWrite = 0x08;
constexpr uint8_t kCmdEraseSector = 0x0C;
constexpr uint8_t kCmdCloseFlash = 0x0E;
constexpr uint8_t kCmdSectorInfo = 0x14;
constexpr uint8_t kCmdBlankCheck = 0x18;
constexpr uint8_t kCmdSetValueA = 0x1A;
constexpr uint8_t kCmdGetCrc = 0x1E;

constexpr uint32_t kWritePiece = 1024;
constexpr uint32_t kChunk = sizeof(FlashProgramState::chunk);
constexpr uint16_t kCrcSeed = 0xFFFF;

// Sends what is packed and reads a reply that holds one status.
uint32_t StatusReply(FlashEngineSession& session) {
  gps::FrameBuffer& frame = session.frame;
  if (!FlashEngineExchange(session)) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  if (!frame.Complete()) return kFlashEngineCommunication;
  session.engineStatus = status;
  return status;
}

}  // namespace

uint16_t Crc16(uint16_t crc, const uint8_t* bytes, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    crc ^= bytes[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) != 0 ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                           : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}

uint32_t FlashEngineOpenFlash(FlashEngineSession& session, uint32_t* valueA,
                              gps::FlashDescriptor* descriptor) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdOpenFlash);
  for (int i = 0; i < 4; ++i) frame.PutU32(0);
  if (!FlashEngineExchange(session)) return kFlashEngineCommunication;
  gps::OpenReply reply;
  if (!gps::ParseOpenReply(frame, &reply)) return kFlashEngineCommunication;
  session.engineStatus = reply.status;
  if (reply.status != kFlashEngineOk) return reply.status;
  *valueA = reply.valueA;
  *descriptor = reply.descriptor;
  frame.Begin(kCmdSetValueA);
  frame.PutU32(reply.valueA * 32);
  return StatusReply(session);
}

uint32_t FlashEngineCloseFlash(FlashEngineSession& session) {
  session.frame.Begin(kCmdCloseFlash);
  return StatusReply(session);
}

uint32_t FlashEngineGetSectorInfo(FlashEngineSession& session, uint32_t index, uint32_t* address,
                                  uint32_t* size) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdSectorInfo);
  frame.PutU32(index);
  if (!FlashEngineExchange(session)) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  const uint32_t sectorAddress = frame.GetU32();
  const uint32_t sectorSize = frame.GetU32();
  if (!frame.Complete()) return kFlashEngineCommunication;
  session.engineStatus = status;
  *address = sectorAddress;
  *size = sectorSize;
  return status;
}

uint32_t FlashEngineEraseSector(FlashEngineSession& session, uint32_t address, uint32_t size) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdEraseSector);
  frame.PutU32(address);
  frame.PutU32(size);
  return StatusReply(session);
}

uint32_t FlashEngineWrite(FlashEngineSession& session, uint32_t address, const uint8_t* data,
                          uint32_t length) {
  gps::FrameBuffer& frame = session.frame;
  uint32_t status = kFlashEngineOk;
  for (uint32_t done = 0; done < length; done += kWritePiece) {
    const uint32_t piece = std::min(kWritePiece, length - done);
    frame.Begin(kCmdWrite);
    frame.PutU32(address + done);
    frame.PutU32(piece);
    frame.PutBytes(data + done, piece);
    status = StatusReply(session);
    if (status != kFlashEngineOk) return status;
  }
  return status;
}

uint32_t FlashEngineBlankCheck(FlashEngineSession& session, uint32_t offset, uint32_t length) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdBlankCheck);
  frame.PutU32(offset);
  frame.PutU32(length);
  return StatusReply(session);
}

uint32_t FlashEngineGetCrc(FlashEngineSession& session, uint32_t offset, uint32_t length,
                           uint16_t seed, uint16_t* crc) {
  gps::FrameBuffer& frame = session.frame;
  frame.Begin(kCmdGetCrc);
  frame.PutU32(offset);
  frame.PutU32(length);
  frame.PutU16(seed);
  if (!FlashEngineExchange(session)) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  const uint16_t value = frame.GetU16();
  if (!frame.Complete()) return kFlashEngineCommunication;
  session.engineStatus = status;
  *crc = value;
  return status;
}

int FlashEngineEraseImageArea(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p) {
  uint32_t status = FlashEngineGetSectorInfo(session, 0, &p.sectorAddress, &p.sectorSize);
  if (status != kFlashEngineOk) {
    GPSProgStatus(g, FlashEngineErrorText(status));
    return 1;
  }
  for (uint32_t next = 1; p.sectorAddress < p.imageSize; ++next) {
    status = FlashEngineEraseSector(session, p.sectorAddress, p.sectorSize);
    if (status != kFlashEngineOk) {
      GPSProgStatus(g, FlashEngineErrorText(status));
      return 1;
    }
    if (static_cast<uint64_t>(p.sectorAddress) + p.sectorSize >= p.descriptor.capacity) return 0;
    status = FlashEngineGetSectorInfo(session, next, &p.sectorAddress, &p.sectorSize);
    if (status != kFlashEngineOk) {
      GPSProgStatus(g, FlashEngineErrorText(status));
      return 1;
    }
    const uint32_t percent = ProgressPercent(p.sectorAddress, p.imageSize);
    GPSProgProgress(g, static_cast<int>(percent));
    GPSProgStatus(g, text::Sprintf("Erasing device... (%d%%)", percent));
  }
  return 0;
}

int FlashEngineProgramImage(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p) {
  p.remaining = p.imageSize;
  p.address = 0;
  p.hostCrc = kCrcSeed;
  if (p.imageSize == 0) return 0;
  while (p.remaining > 0) {
    const uint32_t chunk = std::min(p.remaining, kChunk);
    std::memcpy(p.chunk, p.image + p.address, chunk);
    p.hostCrc = Crc16(p.hostCrc, p.chunk, chunk);
    const uint32_t status = FlashEngineWrite(session, p.address, p.chunk, chunk);
    if (status != kFlashEngineOk) {
      GPSProgStatus(g, FlashEngineErrorText(status));
      return 1;
    }
    const uint32_t percent = ProgressPercent(p.address, p.imageSize);
    GPSProgProgress(g, static_cast<int>(percent));
    GPSProgStatus(g, text::Sprintf("Programming device... (%d%%)", percent));
    p.remaining -= chunk;
    p.address += chunk;
  }
  return 0;
}

bool FlashEngineProgramSequence(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p,
                                std::string_view port, const uint8_t* image, uint32_t size) {
  p.image = image;
  p.imageSize = size;
  p.hostCrc = 0;
  p.targetCrc = 0;
  if (FlashEngineStartSession(session, port, kFlashEngineSessionBaud) != kFlashEngineOk) {
    GPSProgStatus(g, "GPSProgramGpsFast: Failed to start flash engine session");
    return false;
  }
  char version[64];
  FlashEngineGetVersion(version);
  if (FlashEngineOpenFlash(session, &p.valueA, &p.descriptor) != kFlashEngineOk) {
    GPSProgStatus(g, "GPSProgramGpsFast: Failed to open access to flash engine");
    FlashEngineEndSession(session);
    return false;
  }
  const uint32_t blank = FlashEngineBlankCheck(session, 0, size);
  if (blank == kFlashEngineOk) {
    FlashEngineProgramImage(g, session, p);
  } else if (blank == kFlashEngineNotBlank) {
    if (FlashEngineEraseImageArea(g, session, p) == 0) FlashEngineProgramImage(g, session, p);
  } else {
    GPSProgStatus(g, "GPSProgramGpsFast: Failed GPS blank check");
    FlashEngineCloseFlash(session);
    FlashEngineEndSession(session);
    return false;
  }
  bool programmed = false;
  if (FlashEngineGetCrc(session, 0, size, kCrcSeed, &p.targetCrc) != kFlashEngineOk) {
    GPSProgStatus(g, "GPSProgramGpsFast: Failed to get target CRC");
  } else if (p.targetCrc != p.hostCrc) {
    GPSProgStatus(g, "GPSProgramGpsFast: CRC check failed");
  } else {
    GPSProgStatus(g, "GPSProgramGpsFast: Programming successful");
    programmed = true;
  }
  FlashEngineCloseFlash(session);
  FlashEngineEndSession(session);
  return programmed;
}
