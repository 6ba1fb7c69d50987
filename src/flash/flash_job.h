// The flash job: the state of the partition writes of a run, shared by the partition writer,
// the BIN loader and the image reader, with the services it writes through: the run's virtual
// files, its image key and the flash driver core.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "flash/driver/flash_core.h"
#include "flash/image_reader.h"
#include "log/log.h"
#include "text/text.h"

class CVirtualFiles;
struct ImageKey;

struct FlashJob {
  FlashJob(CVirtualFiles& files, const ImageKey& key);
  // Frees the buffers the last job left.
  ~FlashJob();
  FlashJob(const FlashJob&) = delete;
  FlashJob& operator=(const FlashJob&) = delete;

  // Frees the image or block buffer.
  void FreeImageBuffer();

  CVirtualFiles& files;  // the member is read through the run's virtual-file interface
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
  // The driver core, started by the first job of the run that takes the flash over.
  flash_driver::FlashCore core;
  bool driverInitialised = false;
  bool success = false;
};

// Sends a formatted trace to the kernel debug output at the level, cut to the 512 characters of
// the job's trace buffer.
void FlashTrace(int level, const std::string& text);
// Formats and sends a trace when the run's debug level shows its level.
template <typename... Args>
void FlashTracef(int level, std::string_view format, const Args&... args) {
  if (GetDebugLevel() >= level) FlashTrace(level, text::Sprintf(format, args...));
}

// Shows progress on the debug output: 0 to 100, 200 at the end of a job, 201 when the driver
// core starts.
void OEMShowProgress(int percent);
