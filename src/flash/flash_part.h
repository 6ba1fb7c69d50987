// The flash partition writer: programs a boot loader or kernel image from the package into a
// binary partition of the flash disk, through the flash driver core that it starts once the
// operating system's own disk driver is unloaded.
#pragma once

#include <cstdint>
#include <string_view>

struct FlashJob;

// Records the job (member, partition number, signature "BOOT" or "KRNL"); true when the
// operating system's disk driver instance was found. Nothing is written yet.
bool PrepareFlashPart(FlashJob& job, std::string_view file, int partition,
                      std::string_view signature);
// Writes the prepared image: a member whose name ends in "0" is copied block by block, any
// other is a .BIN image assembled in RAM first. True when it is in flash.
bool RunFlashPart(FlashJob& job);

// Finds "DSK1:" under "\Drivers\Active" and keeps its device handle; true when one is kept.
bool GetDiskDriverHandle(FlashJob& job);
// Copies a raw image into the partition, 64 KB at a time; true when all of it is written.
bool CopyBIN(FlashJob& job, std::string_view file);
// Writes the first `length` bytes of the job's image buffer into the partition; start is only
// shown. True when every block is in flash.
bool OEMWriteFlash(FlashJob& job, uint32_t start, uint32_t length);
