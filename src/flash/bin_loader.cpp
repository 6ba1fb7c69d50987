#include "flash/bin_loader.h"

#include <cstring>

#include "flash/flash_job.h"
#include "flash/image_format.h"
#include "flash/image_reader.h"
#include "log/log.h"
#include "package/file_virtual.h"
#include "platform/platform.h"

namespace {

uint32_t Le32(const uint8_t* bytes) {
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

bool Fetch32(const ImageIo& io, uint32_t* value) {
  uint8_t bytes[4];
  if (!io.fetch(sizeof bytes, bytes)) return false;
  *value = Le32(bytes);
  return true;
}

bool SetMemoryDivision() {
  platform::HardwareLayer& hal = platform::Hal();
  uint32_t store = 0;
  uint32_t ram = 0;
  uint32_t pageSize = 0;
  // A page size of 0 could not divide anything: it counts as a division that cannot be read.
  if (!hal.GetSystemMemoryDivision(&store, &ram, &pageSize) || pageSize == 0) {
    FlashTracef(1, "LoadBIN: Unable to get system RAM division\r\n");
    return false;
  }
  FlashTracef(2, "LoadBIN: OLD store=%ld ram=%ld pagesize=%ld\r\n", text::AsLong(store),
              text::AsLong(ram), text::AsLong(pageSize));
  switch (hal.SetSystemMemoryDivision(image_format::kLoaderStoreBytes / pageSize)) {
    case platform::kDivisionChanged:
      FlashTracef(2, "LoadBIN: Set memory division sucessfully\r\n");
      break;
    case platform::kDivisionMustReboot:
      FlashTracef(1, "LoadBIN: Memory division requires a reboot- FAILED\r\n");
      return false;
    case platform::kDivisionFailed:
      FlashTracef(1, "LoadBIN: Memory division change failed (%d)\r\n",
                  static_cast<int32_t>(platform::GetLastError()));
      return false;
    default:
      break;
  }
  if (!hal.GetSystemMemoryDivision(&store, &ram, &pageSize)) {
    FlashTracef(1, "LoadBIN: 2 Unable to get system RAM division 2\r\n");
    return false;
  }
  FlashTracef(2, "LoadBIN: NEW store=%ld ram=%ld pagesize=%ld\r\n", text::AsLong(store),
              text::AsLong(ram), text::AsLong(pageSize));
  return true;
}

// The records, up to the terminating one; counts the data records in `loaded`. False after
// reporting a failure.
bool LoadRecords(FlashJob& job, const ImageIo& io, bool flashImage, uint32_t* loaded) {
  uint64_t total = 0;
  int32_t lastPercent = 0;
  uint32_t address = 0;
  const auto failed = [&io] {
    io.close();
    FlashTracef(1, "LoadBIN: FAILED TO WRITE TO FLASH\r\n");
    return false;
  };
  if (!Fetch32(io, &address)) return failed();
  for (;;) {
    uint32_t length = 0;
    uint32_t checksum = 0;
    if (!Fetch32(io, &length) || !Fetch32(io, &checksum)) return failed();
    FlashTracef(3, "LoadBIN: %u bytes to 0x%X, checksum 0x%X\r\n", length, address, checksum);
    if (address == 0 && checksum == 0) return true;
    uint8_t* destination = nullptr;
    if (flashImage) {
      // Nothing lands outside the buffer: a record that would is a corrupted record.
      if (const std::optional<uint64_t> offset =
              image_format::RecordOffset(job.imageStart, job.imageBufferSize, address, length)) {
        destination = job.imageBuffer + *offset;
      }
    } else {
      FlashTracef(1, "LoadBIN: Download of RAM .BIN files not supported\r\n");
    }
    // With no destination the fetch itself fails, after its trace, as for any failed fetch.
    if (!io.fetch(length, destination)) {
      FlashTracef(1, "LoadBIN: Data record corrupted\r\n");
      return false;
    }
    total += length;
    ++*loaded;
    // In 64 bits: a 32 MB image times 100 does not fit the terminal's 32-bit product.
    const int32_t percent =
        job.imageLength == 0 ? 100 : static_cast<int32_t>(total * 100 / job.imageLength);
    if (percent > lastPercent) {
      OEMShowProgress(percent);
      lastPercent = percent;
    }
    if (!Fetch32(io, &address)) return failed();
  }
}

}  // namespace

bool LoadBINStream(FlashJob& job, const ImageIo& io) {
  uint8_t signature[image_format::kBinSignatureSize] = {};
  if (!io.fetch(sizeof signature, signature) ||
      std::memcmp(signature, image_format::kBinSignature, sizeof signature) != 0) {
    FlashTracef(1, "LoadBIN: ERROR: This is not a .BIN file %x %x %x %x %x %x %x\r\n", signature[0],
                signature[1], signature[2], signature[3], signature[4], signature[5], signature[6]);
    return false;
  }
  if (!Fetch32(io, &job.imageStart) || !Fetch32(io, &job.imageLength)) {
    FlashTracef(1, "LoadBIN: Unable to read image start/length\r\n");
    return false;
  }
  FlashTracef(2, "LoadBIN: Image start addr  :0x%X\r\n", job.imageStart);
  FlashTracef(2, "LoadBIN: Image start length:0x%X\r\n", job.imageLength);
  const bool flashImage = image_format::IsFlashImage(job.imageStart);
  // An empty image would have its partition erased and nothing written in its place, and the
  // terminal would no longer start: refused before the flash is touched.
  if (flashImage && job.imageLength == 0) {
    FlashTracef(1, "LoadBIN: ERROR: '%s' is an empty image (length 0), nothing written\r\n",
                job.fileName);
    return false;
  }
  if (!SetMemoryDivision()) return false;

  const uint64_t size = image_format::ImageBufferSize(job.imageLength);
  FlashTracef(2, "LoadBIN: Going to allocate '%ld' bytes\r\n", static_cast<int64_t>(size));
  job.FreeImageBuffer();
  if (size <= SIZE_MAX) {
    job.imageBuffer = static_cast<uint8_t*>(
        platform::Kern().LocalAlloc(platform::kLptr, static_cast<std::size_t>(size)));
  }
  if (job.imageBuffer == nullptr) {
    FlashTracef(1, "LoadBIN: Unable to allocate buffer for file\r\n");
    return false;
  }
  job.imageBufferSize = size;
  FlashTracef(2, "LoadBIN: Allocated successful\r\n");

  if (flashImage) std::memset(job.imageBuffer, 0xFF, job.imageLength);
  OEMShowProgress(0);
  uint32_t records = 0;
  if (!LoadRecords(job, io, flashImage, &records)) {
    job.FreeImageBuffer();
    return false;
  }
  OEMShowProgress(100);
  if (!flashImage) {
    FlashTracef(1, "LoadBIN: ERROR NOT FLASH IMAGE\r\n");
    job.FreeImageBuffer();
    return false;
  }
  if (records == 0) {
    io.close();
    FlashTracef(1, "LoadBIN: ERROR: '%s' holds no data record, nothing written\r\n", job.fileName);
    job.FreeImageBuffer();
    return false;
  }
  io.close();
  FlashTracef(2, "LoadBIN: Have got flash image to write\r\n");
  if (!io.write(0, job.imageLength)) {
    FlashTracef(1, "LoadBIN: ERROR OEMWriteFlash FAILED\r\n");
    job.FreeImageBuffer();
    return false;
  }
  return true;
}

void LoadBIN(FlashJob& job, std::string_view file, const ImageWrite& write) {
  FlashTracef(3, "LoadBIN: Started\r\n");
  if (InterfaceOpenFile(job.files, file) == 0) {
    FlashTracef(1, "LoadBIN: CANNOT OPEN '%s'\r\n", file);
    return;
  }
  FlashTracef(2, "LoadBIN: Opened '%s', size '%d' bytes\r\n", file,
              static_cast<int32_t>(InterfaceFileSize(job.files, file)));
  const ImageIo io{[&job](uint32_t count, uint8_t* destination) {
                     return FetchImageBytes(job.reader, job.files, count, destination);
                   },
                   write, [&job] { InterfaceFileClose(job.files); }};
  if (LoadBINStream(job, io)) {
    job.success = true;
    FlashTracef(2, "LoadBIN: Update to flash completed successfully - need reboot\r\n");
  }
}
