// This project's own stand-ins for the programs that run on the GPS chip, and the simulator's
// firmware convention. The images are made from code (a banner, the engine's table of NOR flash
// parts, deterministic filler), never taken from a real chip: the build writes the first-stage
// loader and the flash engine into the updater as constant data, and the emulated chip runs an
// uploaded program only when it is byte for byte the stand-in.
//
// The library of the build's image generator (make_gps_images, beside it), which the updater's
// build runs; the simulator uses it too. It depends on the standard library only, so that
// building the updater needs nothing of the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gps_images {

inline constexpr std::size_t kFirstStageLoaderSize = 1184;
inline constexpr std::size_t kFlashEngineSize = 14748;
inline constexpr std::size_t kBootLoaderSize = 1024;

// The engine's table of NOR flash parts: kPartRows rows of kPartRowSize bytes at
// kPartTableOffset, followed by the part and maker names and "VERSION = 2.0". A row holds,
// little-endian: offset of the part name, offset of the maker name, device ID (16 bits), JEDEC
// maker ID (16 bits), capacity in bytes, offset of the erase-block layout (pairs of 32-bit
// numbers: blocks, block size) and an attribute word whose low byte is the number of pairs.
inline constexpr std::size_t kPartTableOffset = 0x2C00;
inline constexpr std::size_t kPartRows = 67;
inline constexpr std::size_t kPartRowSize = 24;
// Attribute word, bits 8 to 15: the command set; bits 16 to 23: where the boot blocks lie.
enum class CommandSet : uint8_t { kAmd = 1, kIntel = 2, kSst = 3 };
enum class BootBlocks : uint8_t { kUniform = 0, kBottom = 1, kTop = 2 };

struct NorPart {
  std::string name;
  std::string maker;
  uint16_t deviceId = 0;
  uint16_t makerId = 0;
  uint32_t capacity = 0;
  std::vector<std::pair<uint32_t, uint32_t>> regions;  // blocks, block size
  uint32_t attributes = 0;
  CommandSet CommandSetOf() const { return static_cast<CommandSet>((attributes >> 8) & 0xFF); }
  BootBlocks BootBlocksOf() const { return static_cast<BootBlocks>((attributes >> 16) & 0xFF); }
};

std::vector<uint8_t> MakeFirstStageLoader();
std::vector<uint8_t> MakeFlashEngine();
// The stand-in GPS boot loader that the serial path uploads (it comes with the package).
std::vector<uint8_t> MakeBootLoader();

// The parts table of an engine image. Rows whose offsets or layouts do not lie inside the image
// are left out.
std::vector<NorPart> ReadPartTable(std::span<const uint8_t> engine);
// A part by name (without regard to case), or none.
std::optional<NorPart> FindPart(const std::vector<NorPart>& table, std::string_view name);

// The simulator's firmware convention: an image carries, in its last bytes, the record
// "VOSTREL-GPS-FIRMWARE-VERSION=<version>" followed by a zero byte; the GPS driver reports the
// version of the first such record in the chip's flash.
inline constexpr std::string_view kVersionRecord = "VOSTREL-GPS-FIRMWARE-VERSION=";
inline constexpr std::size_t kLongestVersion = 32;
// A firmware image of `size` bytes for a version: banner, deterministic filler, the record last.
std::vector<uint8_t> MakeFirmwareImage(std::string_view version, std::size_t size);
std::optional<std::string> FirmwareVersionIn(std::span<const uint8_t> flash);

// The image as Motorola S-records: a header record with the name, data records of 32 bytes
// (S1, S2 or S3 by the highest address), a count record and the matching termination record,
// each line ending in CR LF.
std::string ToSRecords(std::span<const uint8_t> image, std::string_view name);

// One S-record line (without its line end).
struct SRecord {
  char type = 0;  // '0' to '9'
  uint32_t address = 0;
  std::vector<uint8_t> data;
};
// Reads a line; none when it is not a well-formed record with a right checksum.
std::optional<SRecord> ParseSRecord(std::string_view line);

}  // namespace gps_images
