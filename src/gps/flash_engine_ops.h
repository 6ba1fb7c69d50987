// The flash commands that the flash engine executes on the GPS chip once a session is started,
// and the programming sequence that writes a binary firmware image into the chip's NOR flash
// from address 0: blank check, erase when needed, write in 4096-byte chunks, CRC check. The
// client operations return 104 when the exchange fails, otherwise the engine's status.
#pragma once

#include <cstdint>
#include <string_view>

#include "gps/flash_engine.h"
#include "gps/frame.h"
#include "gps/gps_state.h"

// The programming sequence's state: the image, where the writing stands, and the two CRCs.
struct FlashProgramState {
  const uint8_t* image = nullptr;
  uint32_t imageSize = 0;
  uint32_t remaining = 0;
  uint32_t address = 0;
  uint16_t hostCrc = 0;
  uint16_t targetCrc = 0;
  uint8_t chunk[4096] = {};
  uint32_t sectorAddress = 0;
  uint32_t sectorSize = 0;
  uint32_t valueA = 0;
  gps::FlashDescriptor descriptor;
};

uint32_t FlashEngineOpenFlash(FlashEngineSession& session, uint32_t* valueA,
                              gps::FlashDescriptor* descriptor);
uint32_t FlashEngineCloseFlash(FlashEngineSession& session);
uint32_t FlashEngineGetSectorInfo(FlashEngineSession& session, uint32_t index, uint32_t* address,
                                  uint32_t* size);
uint32_t FlashEngineEraseSector(FlashEngineSession& session, uint32_t address, uint32_t size);
// Writes in commands of at most 1024 bytes; stops at the first that fails. A length of 0 sends
// nothing and gives 0.
uint32_t FlashEngineWrite(FlashEngineSession& session, uint32_t address, const uint8_t* data,
                          uint32_t length);
// 0 blank, 12 not blank.
uint32_t FlashEngineBlankCheck(FlashEngineSession& session, uint32_t offset, uint32_t length);
uint32_t FlashEngineGetCrc(FlashEngineSession& session, uint32_t offset, uint32_t length,
                           uint16_t seed, uint16_t* crc);

// Erases from sector 0 until the image (or the flash) is covered; 0, or 1 after a failure whose
// text went to the GPS driver's status.
int FlashEngineEraseImageArea(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p);
// Writes the image from address 0, computing the host CRC; 0, or 1 after a failure.
int FlashEngineProgramImage(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p);

// The whole sequence on the port: true when the chip's CRC over the image equals the host's.
bool FlashEngineProgramSequence(GpsProgState& g, FlashEngineSession& session, FlashProgramState& p,
                                std::string_view port, const uint8_t* image, uint32_t size);

// CRC-16 with the reflected polynomial 0xA001, carried on from `crc`, without final inversion.
uint16_t Crc16(uint16_t crc, const uint8_t* bytes, uint32_t count);
