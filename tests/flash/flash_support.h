// Images, packages and a small flash chip for the tests of the image writers.
#pragma once

#include <cstdint>
#include <string>

#include "sim/config.h"
#include "sim/flash_config.h"

namespace flash_testing {

// A chip of 8 KiB units (pages of 512 + 16 bytes): "BOOT" 256 KiB, "KRNL" 512 KiB, then 64 KiB
// of disk area. Fast to lay out and to write.
sim::FlashConfig SmallChip();
sim::TerminalConfig SmallTerminal();

// Bytes that differ from position to position and between seeds.
std::string Pattern(std::size_t size, uint32_t seed);
// A raw image that carries its version where the simulator looks for it.
std::string VersionedImage(const std::string& version, std::size_t size, uint32_t seed);

// Settings that update the boot loader (a raw image) and the kernel (a .BIN image), in the
// order given by their OSSoftware numbers.
std::string OsSettings(const std::string& bootVersion, const std::string& bootFile,
                       const std::string& kernelVersion, const std::string& kernelFile);

// The plain .BIN stream, little-endian helpers.
std::string Le32(uint32_t value);
std::string BinHeader(uint32_t start, uint32_t length);
std::string Record(uint32_t address, const std::string& data, uint32_t checksum = 0);
std::string EndRecord(uint32_t length = 0);

// The partition as the simulator reads it back, rounded up to whole 64 KiB blocks.
std::string Rounded(const std::string& image, char fill);

}  // namespace flash_testing
