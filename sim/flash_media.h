// The flash disk's chip: a NAND array behind the physical window at address 0, driven through
// the controller registers of flash/driver/nand_regs.h, kept in DIR/flash/chip.bin (every byte
// stored complemented, so that erased areas are holes of a sparse file). Its binary partitions
// are laid out by "vostrel sim init" as the driver core's header describes: for each, its
// anchor unit, a factory image in the unit after it, and free units.
//
// Installed versions: the hardware layer's version query (control 0x01011F44) is answered from
// the image in use (the newest whole one) in the partition "KRNL" (kernel) or "BOOT" (boot
// loader). An image carries its
// version as the text "VOSTREL-VERSION:" followed by the version and a zero byte within its
// first 64 KiB. The factory image carries "VOSTREL-FACTORY-IMAGE" instead and reports
// hal.kernel_version or hal.boot_version (null: the query fails), so that tests and runs can
// set the installed version without writing the chip. A partition without a whole image (one
// written over in place and cut) reports nothing: the query fails.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "flash/driver/nand_regs.h"
#include "sim/chip_file.h"
#include "sim/flash_config.h"
#include "sim/hal_config.h"
#include "sim/hardware_bus.h"
#include "sim/part.h"
#include "sim/result.h"
#include "sim/write_steps.h"

namespace sim {

inline constexpr char kVersionMark[] = "VOSTREL-VERSION:";
inline constexpr char kFactoryMark[] = "VOSTREL-FACTORY-IMAGE";

// What one binary partition holds now.
struct PartitionState {
  int number = 0;
  std::string signature;
  uint32_t units = 0;  // the units of its run, its anchor not counted: what it can hold
  // The image the terminal starts from, the newest whole one; without one, the newest begun.
  uint16_t generation = 0;
  uint32_t imageUnits = 0;
  uint64_t bytesWritten = 0;  // of that image, up to the end of its last page that holds data
  bool complete = false;      // the partition holds a whole image
  std::optional<std::string> version;
};

class FlashMedia final : public PhysicalDevice, public TerminalPart {
 public:
  // What the chip uses: its configuration, the hardware layer it sits on, and the power switch
  // that a power-cut fault turns off.
  struct Services {
    const FlashConfig& config;
    const HalConfig& hal;
    std::filesystem::path folder;  // DIR/flash
    HardwareBus& bus;
    std::function<void()> cutPower;
    // Where each block written to a binary partition is counted as a write step; none: not
    // counted.
    WriteSteps* steps = nullptr;
  };

  // Creates DIR/flash/chip.bin with the partitions and their factory images.
  static Status Layout(const std::filesystem::path& folder, const FlashConfig& config);

  explicit FlashMedia(Services services);
  ~FlashMedia() override;
  FlashMedia(const FlashMedia&) = delete;
  FlashMedia& operator=(const FlashMedia&) = delete;

  void PowerOn() override;
  void PowerOff() override;
  void Describe(std::ostream& out) override;

  uint8_t ReadRegister(uint32_t offset) override;
  void WriteRegister(uint32_t offset, uint8_t value) override;
  void ReadRegisters(uint32_t offset, uint8_t* buffer, uint32_t count) override;
  void WriteRegisters(uint32_t offset, const uint8_t* buffer, uint32_t count) override;

  std::vector<PartitionState> Partitions();
  // The partition's data through the error correction: up to the bytes written, or its whole
  // capacity.
  Result<std::string> ReadPartition(const std::string& signature, bool whole);
  // The disk area after the partitions as it is stored, for checks that nothing wrote there.
  std::string ReadDiskArea();
  // True when the partition with the signature holds a whole image: its writing, once begun,
  // reached the end. Nothing when the chip has no such partition (or no chip is fitted).
  std::optional<bool> ImageComplete(const std::string& signature) const;
  // True when the chip is fitted and its file is there (a terminal folder made before the chip
  // was simulated has none).
  bool Fitted() const { return m_services.config.present && m_chip != nullptr; }
  // Data pages programmed since power on.
  uint64_t PagesProgrammed() const { return m_pagesProgrammed; }

 private:
  // A partition's image: the newest whole one, else the newest begun.
  struct Image {
    bool found = false;  // an anchor carries the signature
    uint8_t partition = 0;
    uint32_t runUnits = 0;
    bool whole = false;
    std::optional<uint16_t> generation;
    std::vector<uint32_t> units;  // physical, in logical order
  };

  uint64_t RawPage() const;
  uint64_t PageOffset(uint32_t page) const;
  void ReadRaw(uint64_t offset, uint8_t* out, std::size_t count) const;
  void WriteRaw(uint64_t offset, const uint8_t* in, std::size_t count);
  flash_driver::UnitInfo UnitAt(uint32_t unit) const;
  Image ImageOf(const std::string& signature) const;
  // The signature of the partition whose run holds the unit, as laid out; empty for an anchor
  // or the disk area.
  std::string SignatureOfUnit(uint32_t unit) const;
  // Counts a write step of the partition that holds the unit.
  void CountStep(uint32_t unit, const std::string& what);
  uint64_t BytesWritten(const std::vector<uint32_t>& units) const;
  void Execute(uint8_t command);
  void ProgramPage();
  std::optional<std::string> VersionOf(const std::string& signature);
  bool AnswerVersion(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* returned);

  Services m_services;
  std::unique_ptr<ChipFile> m_chip;
  // Pages known to be erased since an erase of their unit, so that programming them needs no
  // read of what they held; and the unit headers read so far.
  std::vector<bool> m_erased;
  mutable std::vector<std::optional<flash_driver::UnitInfo>> m_units;
  std::vector<uint8_t> m_buffer;
  uint32_t m_pointer = 0;
  uint32_t m_lowestWritten = 0;  // the lowest buffer byte written since the program started
  uint8_t m_address[4] = {};
  uint8_t m_status = 0x01;
  uint64_t m_pagesProgrammed = 0;
  bool m_flipped = false;
};

}  // namespace sim
