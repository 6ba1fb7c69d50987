// The flash partition writer: programs a boot loader or kernel image from the package into a
// binary partition of the flash disk.
#pragma once

#include <string_view>

// Records the job (member, partition number, signature "BOOT" or "KRNL"); true when the
// operating system's disk driver was found. Nothing is written yet.
bool PrepareFlashPart(std::string_view file, int partition, std::string_view signature);
// Writes the prepared image; true when it is in flash.
bool RunFlashPart();

// Forgets the flash job and releases the image key, as at program start.
void ResetFlashState();
