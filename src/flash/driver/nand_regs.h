// The register map of the flash disk's controller, as the driver core sees it through the 8 KB
// window at physical address 0. One controller drives one NAND array of erase units, each of
// pages with a data area and spare bytes. All registers are bytes; multi-byte values are
// little-endian across consecutive registers.
//
//   offset  access  register
//   0x000   r       identification 0: 0x56 when a controller answers (an empty bus reads 0xFF)
//   0x001   r       identification 1: 0x4E
//   0x002   r       status: bit 0 ready, bit 1 the last program or erase failed
//   0x004   w       command (below); it acts on the page latched in the address registers
//   0x008   w       address 0..3 (0x008-0x00B): a page number, counted over the whole array
//   0x010   r       data bytes per page (0x010-0x011)
//   0x012   r       spare bytes per page
//   0x014   r       pages per erase unit (0x014-0x015)
//   0x018   r       erase units (0x018-0x01B)
//   0x01C   w       page buffer pointer (0x01C-0x01D): where the data port reads or writes next
//   0x100   r/w     data port: the page buffer (data area, then spare bytes), one byte per
//                   access, the pointer moving on by one
//
// Commands:
//   0x00  read page: loads the addressed page (data and spare) into the page buffer; pointer 0
//   0x80  start a program: fills the page buffer with 0xFF; pointer 0
//   0x10  program page: programs the page buffer into the addressed page; programming only
//         clears bits, so bytes left 0xFF keep what the page holds
//   0x60  erase unit: sets every byte of the unit holding the addressed page to 0xFF
//   0xFF  reset
// A command leaves the controller busy until it is done; the status register tells.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>

namespace flash_driver {

inline constexpr uint32_t kWindowSize = 0x2000;
inline constexpr uint32_t kWindowPhysicalAddress = 0;

inline constexpr uint32_t kRegId0 = 0x000;
inline constexpr uint32_t kRegId1 = 0x001;
inline constexpr uint32_t kRegStatus = 0x002;
inline constexpr uint32_t kRegCommand = 0x004;
inline constexpr uint32_t kRegAddress = 0x008;
inline constexpr uint32_t kRegPageSize = 0x010;
inline constexpr uint32_t kRegSpareSize = 0x012;
inline constexpr uint32_t kRegPagesPerUnit = 0x014;
inline constexpr uint32_t kRegUnits = 0x018;
inline constexpr uint32_t kRegPointer = 0x01C;
inline constexpr uint32_t kRegData = 0x100;

inline constexpr uint8_t kId0 = 0x56;
inline constexpr uint8_t kId1 = 0x4E;

inline constexpr uint8_t kStatusReady = 0x01;
inline constexpr uint8_t kStatusFail = 0x02;

inline constexpr uint8_t kCmdReadPage = 0x00;
inline constexpr uint8_t kCmdProgramStart = 0x80;
inline constexpr uint8_t kCmdProgramPage = 0x10;
inline constexpr uint8_t kCmdEraseUnit = 0x60;
inline constexpr uint8_t kCmdReset = 0xFF;

// The spare bytes of a page: 3 bytes of error correction for every 512 data bytes, from offset
// 0; on the first page of a unit, the unit header follows them.
//
// The unit header (12 bytes), which makes a unit part of a binary partition:
//   0     0x56, the mark
//   1     partition number (0 to 3)
//   2     header check: the XOR of bytes 0, 1 and 4 to 11
//   3     flags, cleared bit by bit after the header was written (programming only clears bits):
//         bit 0 clear: the image is complete, its last block written (on its logical unit 0,
//         programmed after every block of the image); bit 1 clear: the image is retired, about
//         to be overwritten in place
//   4-5   generation: the write init that wrote the unit; a newer image has a larger number
//   6-7   logical unit number within its image; 0xFFFF a free unit, 0xFFFE the partition's anchor
//   8-11  signature, the 4 characters that name the partition
//
// The anchor is the first unit of a partition's run of units; "vostrel sim init" writes it and
// the core never erases it. Its generation field holds the number of units of the run, anchor
// included, so that a unit of the run whose header was lost (erased, and the power cut before
// the new header was written) still belongs to the partition and is taken as free. The
// partition's capacity is its run without the anchor.
//
// A partition holds one or two images, each a generation of units with logical numbers from 0.
// The image in use, the one the terminal starts from, is the newest generation whose logical
// unit 0 says complete and not retired. A write init takes units for the new image from those
// outside the image in use when they are enough, so that the image in use stays whole until the
// new one is complete; otherwise it retires the image in use and writes over it.
inline constexpr uint32_t kUnitHeaderSize = 12;
inline constexpr uint8_t kUnitMark = 0x56;
inline constexpr uint32_t kHeaderPartition = 1;
inline constexpr uint32_t kHeaderCheck = 2;
inline constexpr uint32_t kHeaderFlags = 3;
inline constexpr uint32_t kHeaderGeneration = 4;
inline constexpr uint32_t kHeaderLogical = 6;
inline constexpr uint32_t kHeaderSignature = 8;
inline constexpr uint8_t kFlagIncomplete = 0x01;
inline constexpr uint8_t kFlagLive = 0x02;
inline constexpr uint16_t kLogicalFree = 0xFFFF;
inline constexpr uint16_t kLogicalAnchor = 0xFFFE;

// The XOR of a header's bytes other than its check and its flags.
inline uint8_t UnitHeaderCheck(const uint8_t* header) {
  uint8_t check = 0;
  for (uint32_t i = 0; i < kUnitHeaderSize; ++i) {
    if (i != kHeaderCheck && i != kHeaderFlags) check ^= header[i];
  }
  return check;
}

// A unit header as read.
struct UnitInfo {
  bool valid = false;
  uint8_t partition = 0;
  uint16_t generation = 0;
  uint16_t logical = kLogicalFree;
  bool complete = false;
  bool retired = false;
  char signature[4] = {};

  bool Anchor() const { return valid && logical == kLogicalAnchor; }
  // A unit of an image (not free, not the anchor).
  bool Image() const { return valid && logical < kLogicalAnchor; }
  // The logical unit 0 of an image the terminal can start from.
  bool Whole() const { return Image() && logical == 0 && complete && !retired; }
  bool Signed(const char* sign) const { return valid && std::memcmp(signature, sign, 4) == 0; }
};

inline UnitInfo ParseUnitHeader(const uint8_t* header) {
  UnitInfo info;
  info.valid = header[0] == kUnitMark && header[kHeaderPartition] < 4 &&
               header[kHeaderCheck] == UnitHeaderCheck(header);
  if (!info.valid) return info;
  info.partition = header[kHeaderPartition];
  info.generation =
      static_cast<uint16_t>(header[kHeaderGeneration] | header[kHeaderGeneration + 1] << 8);
  info.logical = static_cast<uint16_t>(header[kHeaderLogical] | header[kHeaderLogical + 1] << 8);
  info.complete = (header[kHeaderFlags] & kFlagIncomplete) == 0;
  info.retired = (header[kHeaderFlags] & kFlagLive) == 0;
  for (int i = 0; i < 4; ++i) info.signature[i] = static_cast<char>(header[kHeaderSignature + i]);
  return info;
}

// Writes a header: flags all set (incomplete, in use).
inline void MakeUnitHeader(uint8_t* header, uint8_t partition, uint16_t generation,
                           uint16_t logical, const char* signature) {
  for (uint32_t i = 0; i < kUnitHeaderSize; ++i) header[i] = 0xFF;
  header[0] = kUnitMark;
  header[kHeaderPartition] = partition;
  header[kHeaderGeneration] = static_cast<uint8_t>(generation);
  header[kHeaderGeneration + 1] = static_cast<uint8_t>(generation >> 8);
  header[kHeaderLogical] = static_cast<uint8_t>(logical);
  header[kHeaderLogical + 1] = static_cast<uint8_t>(logical >> 8);
  for (int i = 0; i < 4; ++i) header[kHeaderSignature + i] = static_cast<uint8_t>(signature[i]);
  header[kHeaderCheck] = UnitHeaderCheck(header);
}

// The generation of the image in use among a partition's units: the newest whose logical unit
// 0 is whole. None: the partition holds no image the terminal can start from.
template <typename Units>
std::optional<uint16_t> GenerationInUse(const Units& units) {
  std::optional<uint16_t> best;
  for (const UnitInfo& unit : units) {
    if (unit.Whole() && (!best || unit.generation > *best)) best = unit.generation;
  }
  return best;
}

}  // namespace flash_driver
