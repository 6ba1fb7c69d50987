// The flash job: the state of one partition write, shared by the partition writer, the BIN
// loader and the image reader.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "flash/image_reader.h"
#include "log/log.h"
#include "text/text.h"

struct FlashJob {
  std::string fileName;  // the package member to write
  uint8_t partition = 0;
  char signature[4] = {};
  bool raw = false;  // the member's name ends in "0": copied as it is
  uint32_t imageStart = 0;
  uint32_t imageLength = 0;
  // The assembled image (LoadBIN) or the 64 KB block buffer (CopyBIN), from the program's heap.
  uint8_t* imageBuffer = nullptr;
  uint64_t imageBufferSize = 0;
  uint32_t bytesRead = 0;
  ChunkReader reader;
  bool driverFound = false;
  uint32_t diskDriverHandle = 0;
  bool driverInitialised = false;
  bool success = false;
};

extern FlashJob g_FlashJob;

// Sends a formatted trace to the kernel debug output at the level, cut to the 512 characters of
// the job's trace buffer.
void FlashTrace(int level, const std::string& text);
// Formats and sends a trace when the run's debug level shows its level.
template <typename... Args>
void FlashTracef(int level, std::string_view format, const Args&... args) {
  if (GetDebugLevel() >= level) FlashTrace(level, text::Sprintf(format, args...));
}
