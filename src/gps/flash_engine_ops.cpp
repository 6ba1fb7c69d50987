#include "gps/flash_engine_ops.h"

#include <algorithm>
#include <cstring>

#include "gps/flash_engine.h"
#include "gps/gps_prog.h"
#include "text/text.h"

FlashProgramState g_FlashProgram;

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
uint32_t StatusReply() {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  if (!FlashEngineExchange()) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  if (!frame.Complete()) return kFlashEngineCommunication;
  g_FlashEngine.engineStatus = status;
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

uint32_t FlashEngineOpenFlash(uint32_t* valueA, gps::FlashDescriptor* descriptor) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  frame.Begin(kCmdOpenFlash);
  for (int i = 0; i < 4; ++i) frame.PutU32(0);
  if (!FlashEngineExchange()) return kFlashEngineCommunication;
  gps::OpenReply reply;
  if (!gps::ParseOpenReply(frame, &reply)) return kFlashEngineCommunication;
  g_FlashEngine.engineStatus = reply.status;
  if (reply.status != kFlashEngineOk) return reply.status;
  *valueA = reply.valueA;
  *descriptor = reply.descriptor;
  frame.Begin(kCmdSetValueA);
  frame.PutU32(reply.valueA * 32);
  return StatusReply();
}

uint32_t FlashEngineCloseFlash() {
  g_FlashEngine.frame.Begin(kCmdCloseFlash);
  return StatusReply();
}

uint32_t FlashEngineGetSectorInfo(uint32_t index, uint32_t* address, uint32_t* size) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  frame.Begin(kCmdSectorInfo);
  frame.PutU32(index);
  if (!FlashEngineExchange()) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  const uint32_t sectorAddress = frame.GetU32();
  const uint32_t sectorSize = frame.GetU32();
  if (!frame.Complete()) return kFlashEngineCommunication;
  g_FlashEngine.engineStatus = status;
  *address = sectorAddress;
  *size = sectorSize;
  return status;
}

uint32_t FlashEngineEraseSector(uint32_t address, uint32_t size) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  frame.Begin(kCmdEraseSector);
  frame.PutU32(address);
  frame.PutU32(size);
  return StatusReply();
}

uint32_t FlashEngineWrite(uint32_t address, const uint8_t* data, uint32_t length) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  uint32_t status = kFlashEngineOk;
  for (uint32_t done = 0; done < length; done += kWritePiece) {
    const uint32_t piece = std::min(kWritePiece, length - done);
    frame.Begin(kCmdWrite);
    frame.PutU32(address + done);
    frame.PutU32(piece);
    frame.PutBytes(data + done, piece);
    status = StatusReply();
    if (status != kFlashEngineOk) return status;
  }
  return status;
}

uint32_t FlashEngineBlankCheck(uint32_t offset, uint32_t length) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  frame.Begin(kCmdBlankCheck);
  frame.PutU32(offset);
  frame.PutU32(length);
  return StatusReply();
}

uint32_t FlashEngineGetCrc(uint32_t offset, uint32_t length, uint16_t seed, uint16_t* crc) {
  gps::FrameBuffer& frame = g_FlashEngine.frame;
  frame.Begin(kCmdGetCrc);
  frame.PutU32(offset);
  frame.PutU32(length);
  frame.PutU16(seed);
  if (!FlashEngineExchange()) return kFlashEngineCommunication;
  const uint32_t status = frame.GetU32();
  const uint16_t value = frame.GetU16();
  if (!frame.Complete()) return kFlashEngineCommunication;
  g_FlashEngine.engineStatus = status;
  *crc = value;
  return status;
}

int FlashEngineEraseImageArea() {
  FlashProgramState& p = g_FlashProgram;
  uint32_t status = FlashEngineGetSectorInfo(0, &p.sectorAddress, &p.sectorSize);
  if (status != kFlashEngineOk) {
    GPSProgStatus(FlashEngineErrorText(status));
    return 1;
  }
  for (uint32_t next = 1; p.sectorAddress < p.imageSize; ++next) {
    status = FlashEngineEraseSector(p.sectorAddress, p.sectorSize);
    if (status != kFlashEngineOk) {
      GPSProgStatus(FlashEngineErrorText(status));
      return 1;
    }
    if (static_cast<uint64_t>(p.sectorAddress) + p.sectorSize >= p.descriptor.capacity) return 0;
    status = FlashEngineGetSectorInfo(next, &p.sectorAddress, &p.sectorSize);
    if (status != kFlashEngineOk) {
      GPSProgStatus(FlashEngineErrorText(status));
      return 1;
    }
    const uint32_t percent = ProgressPercent(p.sectorAddress, p.imageSize);
    GPSProgProgress(static_cast<int>(percent));
    GPSProgStatus(text::Sprintf("Erasing device... (%d%%)", percent));
  }
  return 0;
}

int FlashEngineProgramImage() {
  FlashProgramState& p = g_FlashProgram;
  p.remaining = p.imageSize;
  p.address = 0;
  p.hostCrc = kCrcSeed;
  if (p.imageSize == 0) return 0;
  while (p.remaining > 0) {
    const uint32_t chunk = std::min(p.remaining, kChunk);
    std::memcpy(p.chunk, p.image + p.address, chunk);
    p.hostCrc = Crc16(p.hostCrc, p.chunk, chunk);
    const uint32_t status = FlashEngineWrite(p.address, p.chunk, chunk);
    if (status != kFlashEngineOk) {
      GPSProgStatus(FlashEngineErrorText(status));
      return 1;
    }
    const uint32_t percent = ProgressPercent(p.address, p.imageSize);
    GPSProgProgress(static_cast<int>(percent));
    GPSProgStatus(text::Sprintf("Programming device... (%d%%)", percent));
    p.remaining -= chunk;
    p.address += chunk;
  }
  return 0;
}

bool FlashEngineProgramSequence(std::string_view port, const uint8_t* image, uint32_t size) {
  FlashProgramState& p = g_FlashProgram;
  p.image = image;
  p.imageSize = size;
  p.hostCrc = 0;
  p.targetCrc = 0;
  if (FlashEngineStartSession(port, kFlashEngineSessionBaud) != kFlashEngineOk) {
    GPSProgStatus("GPSProgramGpsFast: Failed to start flash engine session");
    return false;
  }
  char version[64];
  FlashEngineGetVersion(version);
  if (FlashEngineOpenFlash(&p.valueA, &p.descriptor) != kFlashEngineOk) {
    GPSProgStatus("GPSProgramGpsFast: Failed to open access to flash engine");
    FlashEngineEndSession();
    return false;
  }
  const uint32_t blank = FlashEngineBlankCheck(0, size);
  if (blank == kFlashEngineOk) {
    FlashEngineProgramImage();
  } else if (blank == kFlashEngineNotBlank) {
    if (FlashEngineEraseImageArea() == 0) FlashEngineProgramImage();
  } else {
    GPSProgStatus("GPSProgramGpsFast: Failed GPS blank check");
    FlashEngineCloseFlash();
    FlashEngineEndSession();
    return false;
  }
  bool programmed = false;
  if (FlashEngineGetCrc(0, size, kCrcSeed, &p.targetCrc) != kFlashEngineOk) {
    GPSProgStatus("GPSProgramGpsFast: Failed to get target CRC");
  } else if (p.targetCrc != p.hostCrc) {
    GPSProgStatus("GPSProgramGpsFast: CRC check failed");
  } else {
    GPSProgStatus("GPSProgramGpsFast: Programming successful");
    programmed = true;
  }
  FlashEngineCloseFlash();
  FlashEngineEndSession();
  return programmed;
}

void ResetFlashProgramState() { g_FlashProgram = FlashProgramState(); }
