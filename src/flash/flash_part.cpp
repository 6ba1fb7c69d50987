#include "flash/flash_part.h"

#include <cstring>
#include <string>

#include "flash/bin_loader.h"
#include "flash/driver/flash_core.h"
#include "flash/flash_job.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "platform/platform.h"

namespace {

using flash_driver::BinaryPartitionRequest;
using flash_driver::IoRequest;

constexpr uint32_t kBlockSize = 65536;
constexpr std::size_t kNameUnits = 256;
constexpr uint8_t kSignOffset = 8;
constexpr uint8_t kFlagsWriteInit = 0x12;
constexpr uint8_t kFlagsWriteBlock = 8;
// Raw reads of a block are tried this many times before the copy fails like a failed write.
constexpr int kRawReadAttempts = 4;
// The code a copy fails with when a block could not be read: above every status of the driver
// core (all below 64), so that the trace never passes it off as a write fault of the flash.
constexpr int kRawReadFailed = 256;

constexpr const char* kActiveDrivers = "\\Drivers\\Active";
constexpr const char* kDiskDriverName = "DSK1:";
constexpr uint32_t kNameValueBytes = 128;

void Wait(uint32_t milliseconds) { platform::Kern().Sleep(milliseconds); }

uint64_t RoundToBlocks(uint64_t length) {
  return (length + kBlockSize - 1) / kBlockSize * kBlockSize;
}

// What the driver take-over says, per writer.
struct TakeOverTexts {
  const char* bypass;
  int bypassLevel;
  const char* unloadFailed;
  const char* notDetected;
  bool traced;  // the writer traces each step and shows progress 201
};

constexpr TakeOverTexts kCopyTakeOver = {"CopyBIN: Bypassing flInit()\r\n", 1,
                                         "CopyBIN: UnloadDiskDriver failed (%d)\r\n",
                                         "CopyBIN: Error! DoC not detected.\r\n", false};
constexpr TakeOverTexts kWriteTakeOver = {
    "OEMWriteFlash: Bypassing flinit()\r\n", 3, "OEMWriteFlash: UnloadDiskDriver failed (%d)\r\n",
    "OEMWriteFlash: OEMWriteFlash: ERROR DoC not detected.\r\n", true};

bool UnloadDiskDriver(const FlashJob& job) {
  return job.driverFound && platform::Hal().DeactivateDevice(job.diskDriverHandle);
}

// Unloads the operating system's disk driver and starts the driver core, once per run.
bool TakeOver(FlashJob& job, const TakeOverTexts& texts) {
  if (job.driverInitialised) {
    FlashTracef(texts.bypassLevel, texts.bypass);
    return true;
  }
  if (!UnloadDiskDriver(job)) {
    FlashTracef(1, texts.unloadFailed, static_cast<int32_t>(platform::GetLastError()));
    Wait(2000);
    return false;
  }
  if (texts.traced) {
    OEMShowProgress(201);
    FlashTracef(3, "OEMWriteFlash: Before flInit()\r\n");
  }
  flash_driver::flInit(job.core);
  if (texts.traced) FlashTracef(3, "OEMWriteFlash: Before flRegisterComponents()\r\n");
  if (flash_driver::flRegisterComponents(job.core) == flash_driver::kFlAdapterNotFound) {
    FlashTracef(1, texts.notDetected);
    return false;
  }
  if (texts.traced) FlashTracef(3, "OEMWriteFlash: Inits OK\r\n");
  job.driverInitialised = true;
  return true;
}

// A string value's text, up to its terminator.
std::string NameOf(const uint8_t* value, uint32_t size) {
  std::string name = text::FromUtf16Bytes(value, size);
  const std::size_t nul = name.find('\0');
  if (nul != std::string::npos) name.resize(nul);
  return name;
}

uint32_t Handle(const FlashJob& job) { return static_cast<uint32_t>(job.partition) << 4; }

BinaryPartitionRequest Request(const FlashJob& job, uint32_t startingBlock, uint32_t length,
                               uint8_t flags, uint8_t* buffer) {
  BinaryPartitionRequest bp;
  std::memcpy(bp.oldSign, job.signature, 4);
  std::memcpy(bp.newSign, job.signature, 4);
  bp.signOffset = kSignOffset;
  bp.startingBlock = startingBlock;
  bp.length = length;
  bp.flags = flags;
  bp.buffer = buffer;
  return bp;
}

int Call(FlashJob& job, int function, BinaryPartitionRequest& bp) {
  IoRequest request{Handle(job), &bp};
  return flash_driver::flCall(job.core, function, &request);
}

// The partition's capacity in bytes, 0 when it cannot be asked.
uint32_t PartitionCapacity(FlashJob& job) {
  BinaryPartitionRequest bp = Request(job, 0, 0, 0, nullptr);
  return Call(job, flash_driver::kFlBinaryPartitionInfo, bp) == flash_driver::kFlOk
             ? bp.startingBlock
             : 0;
}

// Reads the next raw block, trying a failing read again a few times.
bool ReadRawBlock(FlashJob& job, uint8_t* block) {
  for (int attempt = 0; attempt < kRawReadAttempts; ++attempt) {
    if (InterfaceFileRead(job.files, block, kBlockSize, &job.bytesRead) != 0) return true;
    FlashTracef(1, "CopyBIN: Read failed. Last Error=%d\r\n",
                static_cast<int32_t>(platform::GetLastError()));
  }
  return false;
}

bool CopyBlocks(FlashJob& job, std::string_view file, uint32_t size) {
  const uint32_t capacity = PartitionCapacity(job);
  // The copy writes whole blocks, so the rounded size must fit: a partition that holds the
  // member but not its last whole block would be left with a torn image.
  if (capacity < RoundToBlocks(size)) {
    FlashTracef(1, "CopyBIN: File [%s] size [%d] too big for Flash block [%d] size [%d]\r\n", file,
                static_cast<int32_t>(size), job.partition, static_cast<int32_t>(capacity));
    return false;
  }
  // The capacity is below 4 GB, so the rounded size fits 32 bits.
  uint32_t remaining = static_cast<uint32_t>(RoundToBlocks(size));
  FlashTracef(2, "CopyBIN: FileSize=%ld, Remaining=%ld\r\n", text::AsLong(size),
              text::AsLong(remaining));
  BinaryPartitionRequest init = Request(job, 0, remaining, kFlagsWriteInit, job.imageBuffer);
  FlashTracef(2, "CopyBIN: WriteInit Status=%d\r\n",
              Call(job, flash_driver::kFlBinaryWriteInit, init));
  const uint32_t blocks = remaining / kBlockSize;
  FlashTracef(3, "CopyBIN: About to Read/Update\r\n");
  uint32_t count = 0;
  uint32_t written = 0;
  while (remaining > 0) {
    int status = flash_driver::kFlOk;
    // A failed read fails the block: the buffer holds the previous block, which must never be
    // written in this one's place.
    if (!ReadRawBlock(job, job.imageBuffer)) status = kRawReadFailed;
    remaining -= kBlockSize;
    ++count;
    const uint32_t percent = count * 100U / blocks;
    if (status == flash_driver::kFlOk) {
      BinaryPartitionRequest block =
          Request(job, count, kBlockSize, kFlagsWriteBlock, job.imageBuffer);
      status = Call(job, flash_driver::kFlBinaryWriteBlock, block);
      written += kBlockSize;
      FlashTracef(3, "CopyBIN: %d written, %d remain\r", static_cast<int32_t>(written),
                  static_cast<int32_t>(remaining));
      OEMShowProgress(static_cast<int>(percent));
    }
    if (status != flash_driver::kFlOk) {
      FlashTracef(1, "\nCopyBIN: WriteBlock failed, code %d\r\n", status);
      FlashTracef(1, "CopyBIN: (%d bytes remained)\r\n", static_cast<int32_t>(remaining));
      Wait(10000);
      return false;
    }
  }
  return true;
}

}  // namespace

bool PrepareFlashPart(FlashJob& job, std::string_view file, int partition,
                      std::string_view signature) {
  job.fileName = text::TruncateToUnits(std::string(file), kNameUnits);
  job.partition = static_cast<uint8_t>(partition);
  std::memset(job.signature, 0, sizeof job.signature);
  // Only the first 4 characters are taken, each to one byte.
  for (std::size_t i = 0; i < signature.size() && i < sizeof job.signature; ++i) {
    job.signature[i] = signature[i];
  }
  job.raw = !job.fileName.empty() && job.fileName.back() == '0';
  const std::string narrowSignature(job.signature, strnlen(job.signature, sizeof job.signature));
  FlashTracef(2, "Programming [%s] into [%d:%s] Raw[%d]\r\n", job.fileName, partition, signature,
              job.raw ? 1 : 0);
  FlashTracef(2, "Programming [%s] into [%d:%s]\r\n", job.fileName, partition, narrowSignature);
  return GetDiskDriverHandle(job);
}

bool GetDiskDriverHandle(FlashJob& job) {
  platform::Registry& registry = platform::Reg();
  platform::Handle active = platform::kNullHandle;
  if (registry.OpenKey(kActiveDrivers, &active) != platform::kErrorSuccess) return false;
  for (uint32_t index = 0;; ++index) {
    std::string name;
    if (registry.EnumKey(active, index, &name) != platform::kErrorSuccess) break;
    platform::Handle entry = platform::kNullHandle;
    if (registry.OpenKey(std::string(kActiveDrivers) + "\\" + name, &entry) !=
        platform::kErrorSuccess) {
      break;
    }
    uint8_t value[kNameValueBytes + 2] = {};
    uint32_t size = kNameValueBytes;
    uint32_t type = 0;
    bool stop = false;
    if (registry.QueryValue(entry, "Name", &type, value, &size) == platform::kErrorSuccess &&
        type == platform::kRegSz && NameOf(value, size) == kDiskDriverName) {
      FlashTracef(2, "GetDiskDriverHandle: Found Key\r\n");
      uint32_t handle = 0;
      uint32_t handleSize = sizeof handle;
      if (registry.QueryValue(entry, "Hnd", &type, &handle, &handleSize) !=
          platform::kErrorSuccess) {
        stop = true;
      } else {
        FlashTracef(2, "GetDiskDriverHandle: dwDiskDriverID = %d\r\n",
                    static_cast<int32_t>(handle));
        // A stale entry of no handle must not undo the handle an earlier job of the run found:
        // the driver it names is gone, and the later job would fail to write.
        if (handle != 0) job.diskDriverHandle = handle;
        Wait(1000);
      }
    }
    registry.CloseKey(entry);
    if (stop || job.diskDriverHandle != 0) break;
  }
  registry.CloseKey(active);
  if (job.diskDriverHandle == 0) return false;
  job.driverFound = true;
  return true;
}

bool CopyBIN(FlashJob& job, std::string_view file) {
  FlashTracef(3, "CopyBIN: Started\r\n");
  if (InterfaceOpenFile(job.files, file) == 0) {
    FlashTracef(1, "CopyBIN: CANNOT OPEN '%s'\r\n", file);
    return false;
  }
  const uint32_t size = InterfaceFileSize(job.files, file);
  FlashTracef(2, "CopyBIN: Opened '%s', size '%d' bytes\r\n", file, static_cast<int32_t>(size));
  // A write init of no length erases the partition and writes nothing: an empty member would
  // leave a terminal that does not start. Refused before the disk driver is even unloaded.
  if (size == 0) {
    FlashTracef(1, "CopyBIN: ERROR: '%s' is empty, nothing written\r\n", file);
    return false;
  }
  job.FreeImageBuffer();
  job.imageBuffer = static_cast<uint8_t*>(platform::Kern().LocalAlloc(platform::kLptr, kBlockSize));
  if (job.imageBuffer == nullptr) {
    FlashTracef(1, "Unable to allocate buffer for file\r\n");
    return false;
  }
  job.imageBufferSize = kBlockSize;
  FlashTracef(2, "CopyBIN: Allocated blocksize of %d bytes\r\n", static_cast<int32_t>(kBlockSize));
  FlashTracef(3, "CopyBIN: Before initialise\r\n");
  if (!TakeOver(job, kCopyTakeOver)) return false;
  FlashTracef(3, "CopyBIN: Initialised ok\r\n");
  const bool copied = CopyBlocks(job, file, size);
  job.FreeImageBuffer();
  if (!copied) return false;
  InterfaceFileClose(job.files);
  FlashTracef(2, "CopyBIN: Finished Successfully - NEED REBOOT NOW\r\n");
  job.success = true;
  Wait(3000);
  return true;
}

bool OEMWriteFlash(FlashJob& job, uint32_t start, uint32_t length) {
  FlashTracef(2, "OEMWriteFlash: Start\r\n");
  FlashTracef(2, "OEMWriteFlash: Image start addr  :0x%X\r\n", start);
  FlashTracef(2, "OEMWriteFlash: Image start length:0x%X\r\n", length);
  if (!TakeOver(job, kWriteTakeOver)) return false;
  const uint32_t capacity = PartitionCapacity(job);
  FlashTracef(2, "OEMWriteFlash: %d bytes in flash\r\n", static_cast<int32_t>(capacity));
  const uint64_t rounded = RoundToBlocks(length);
  FlashTracef(2, "OEMWriteFlash: bpStruct.length is '%ld'\r\n", static_cast<int64_t>(rounded));
  if (capacity < rounded || job.imageBuffer == nullptr || rounded > job.imageBufferSize) {
    FlashTracef(1, "OEMWriteFlash: File length [%d] is larger than Flash partition size [%d]\r\n",
                static_cast<int32_t>(rounded), static_cast<int32_t>(capacity));
    return false;
  }
  BinaryPartitionRequest init =
      Request(job, 0, static_cast<uint32_t>(rounded), kFlagsWriteInit, job.imageBuffer);
  FlashTracef(2, "OEMWriteFlash: WriteInit Status=%d\r\n",
              Call(job, flash_driver::kFlBinaryWriteInit, init));
  const uint32_t blocks = static_cast<uint32_t>(rounded / kBlockSize);
  for (uint32_t i = 0; i < blocks; ++i) {
    const int percent = static_cast<int>(static_cast<uint64_t>(i) * 100 / blocks);
    FlashTracef(2, "OEMWriteFlash: Programming: %d%%\r", percent);
    InterfaceSetProgress(percent);
    OEMShowProgress(percent);
    BinaryPartitionRequest block = Request(job, i + 1, kBlockSize, kFlagsWriteBlock,
                                           job.imageBuffer + uint64_t{i} * kBlockSize);
    if (const int status = Call(job, flash_driver::kFlBinaryWriteBlock, block);
        status != flash_driver::kFlOk) {
      FlashTracef(1, "OEMWriteFlash: Unable to do a WriteBlock %X\r\n", status);
      Wait(5000);
      return false;
    }
  }
  InterfaceFileClose(job.files);
  Wait(3000);
  FlashTracef(2, "OEMWriteFlash: Finished Successfully - need reboot");
  return true;
}

bool RunFlashPart(FlashJob& job) {
  FlashTracef(3, "RunFlashPart: Started\r\n");
  job.success = false;
  InterfaceStart(job.files);
  if (job.raw) {
    CopyBIN(job, job.fileName);
  } else {
    LoadBIN(job, job.fileName,
            [&job](uint32_t start, uint32_t length) { return OEMWriteFlash(job, start, length); });
  }
  OEMShowProgress(200);
  InterfaceStop(job.files);
  ResetChunkReader(job.reader);
  FlashTracef(2, job.success ? "RunFlashPart: Completed Successfully!!\r\n"
                             : "RunFlashPart: UPDATE FAILED\r\n");
  return job.success;
}
