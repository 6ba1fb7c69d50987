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
//   0  0x56, 1 0x55   mark
//   2  partition number (0 to 3)
//   3  header check: the XOR of bytes 0, 1, 2 and 4 to 11
//   4  state: 0xFF while the partition's image is incomplete, 0x00 once its last block was
//      written (only the first unit of a partition carries it; programmed after the rest)
//   5  0xFF
//   6  logical unit number within the partition (6-7)
//   8  signature (8-11), the 4 characters that name the partition
inline constexpr uint32_t kUnitHeaderSize = 12;
inline constexpr uint8_t kUnitMark0 = 0x56;
inline constexpr uint8_t kUnitMark1 = 0x55;
inline constexpr uint32_t kHeaderPartition = 2;
inline constexpr uint32_t kHeaderCheck = 3;
inline constexpr uint32_t kHeaderState = 4;
inline constexpr uint32_t kHeaderLogical = 6;
inline constexpr uint32_t kHeaderSignature = 8;
inline constexpr uint8_t kStateComplete = 0x00;

// The XOR of a header's bytes other than its check and its state.
inline uint8_t UnitHeaderCheck(const uint8_t* header) {
  uint8_t check = 0;
  for (uint32_t i = 0; i < kUnitHeaderSize; ++i) {
    if (i != kHeaderCheck && i != kHeaderState) check ^= header[i];
  }
  return check;
}

}  // namespace flash_driver
