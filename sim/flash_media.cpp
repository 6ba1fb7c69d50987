#include "sim/flash_media.h"

#include <algorithm>
#include <cstring>
#include <system_error>

#include "flash/driver/ecc.h"
#include "flash/driver/nand_regs.h"
#include "platform/hal.h"
#include "text/text.h"

namespace sim {

namespace fs = std::filesystem;
namespace nand = flash_driver;

namespace {

constexpr uint32_t kQueryKernel = 1;
constexpr uint32_t kQueryBoot = 2;
constexpr uint32_t kBlockSize = 65536;
// An image carries its version within its first 64 KiB.
constexpr uint32_t kVersionArea = 65536;
constexpr std::size_t kMaxVersion = 63;

uint32_t Sectors(const FlashConfig& config) { return config.pageSize / 512; }
uint32_t HeaderOffset(const FlashConfig& config) { return Sectors(config) * 3; }

// Chip bytes are stored complemented, so that an erased byte (0xFF) is a 0 of a sparse file.
void Complement(uint8_t* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(~bytes[i]);
}

std::vector<uint8_t> UnitHeader(int partition, uint16_t generation, uint16_t logical,
                                const std::string& signature) {
  std::vector<uint8_t> header(nand::kUnitHeaderSize);
  nand::MakeUnitHeader(header.data(), static_cast<uint8_t>(partition), generation, logical,
                       signature.data());
  return header;
}

}  // namespace

Status FlashMedia::Layout(const fs::path& folder, const FlashConfig& config) {
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return Status::Failure(folder.string() + ": " + error.message());
  const fs::path file = folder / "chip.bin";
  const uint64_t rawPage = config.pageSize + config.spareSize;
  const uint64_t unitBytes = rawPage * config.pagesPerUnit;
  const std::unique_ptr<ChipFile> chip = CreateChipFile(file, unitBytes * config.Units());
  if (chip == nullptr) return Status::Failure(file.string() + ": cannot be created");
  bool ok = true;
  uint32_t unit = 0;
  // Each partition: its anchor, a factory image in its first unit (generation 1, complete) and
  // free units after it, so that the first update has room beside the factory image.
  for (std::size_t p = 0; ok && p < config.partitions.size(); ++p) {
    const FlashPartitionConfig& partition = config.partitions[p];
    for (uint32_t member = 0; ok && member <= partition.units; ++member, ++unit) {
      std::vector<uint8_t> page(rawPage, 0xFF);
      std::vector<uint8_t> header;
      if (member == 0) {
        header = UnitHeader(static_cast<int>(p), static_cast<uint16_t>(partition.units + 1),
                            nand::kLogicalAnchor, partition.signature);
      } else if (member == 1) {
        std::memcpy(page.data(), kFactoryMark, sizeof kFactoryMark);
        for (uint32_t s = 0; s < Sectors(config); ++s) {
          nand::EccCompute(page.data() + s * 512, page.data() + config.pageSize + s * 3);
        }
        header = UnitHeader(static_cast<int>(p), 1, 0, partition.signature);
        header[nand::kHeaderFlags] = static_cast<uint8_t>(~nand::kFlagIncomplete);
      } else {
        header = UnitHeader(static_cast<int>(p), 0, nand::kLogicalFree, partition.signature);
      }
      std::memcpy(page.data() + config.pageSize + HeaderOffset(config), header.data(),
                  header.size());
      Complement(page.data(), page.size());
      ok = chip->Write(unit * unitBytes, page.data(), page.size());
    }
  }
  if (!ok) return Status::Failure(file.string() + ": cannot be written");
  return {};
}

FlashMedia::FlashMedia(Services services) : m_services(std::move(services)) {
  const fs::path file = m_services.folder / "chip.bin";
  m_chip = OpenChipFile(file);
  m_buffer.assign(RawPage(), 0xFF);
  m_erased.assign(
      static_cast<std::size_t>(m_services.config.Units()) * m_services.config.pagesPerUnit, false);
  m_units.assign(m_services.config.Units(), std::nullopt);
  m_services.bus.OnIoControl(
      platform::kIoctlHalGetVersion,
      [this](const void* in, uint32_t inSize, void* out, uint32_t outSize, uint32_t* returned) {
        return AnswerVersion(in, inSize, out, outSize, returned);
      });
}

FlashMedia::~FlashMedia() {
  m_services.bus.AttachPhysical(nand::kWindowPhysicalAddress, 0, nullptr);
}

void FlashMedia::PowerOn() {
  m_status = nand::kStatusReady;
  m_pagesProgrammed = 0;
  m_flipped = false;
  // A terminal without the chip, or one whose chip file is missing, has nothing on the bus.
  if (m_services.config.present && m_chip != nullptr) {
    m_services.bus.AttachPhysical(nand::kWindowPhysicalAddress, nand::kWindowSize, this);
  }
}

void FlashMedia::PowerOff() {
  m_services.bus.AttachPhysical(nand::kWindowPhysicalAddress, 0, nullptr);
}

uint64_t FlashMedia::RawPage() const {
  return m_services.config.pageSize + m_services.config.spareSize;
}

uint64_t FlashMedia::PageOffset(uint32_t page) const { return page * RawPage(); }

void FlashMedia::ReadRaw(uint64_t offset, uint8_t* out, std::size_t count) const {
  m_chip->Read(offset, out, count);
  Complement(out, count);
}

void FlashMedia::WriteRaw(uint64_t offset, const uint8_t* in, std::size_t count) {
  std::vector<uint8_t> stored(in, in + count);
  Complement(stored.data(), stored.size());
  m_chip->Write(offset, stored.data(), stored.size());
}

nand::UnitInfo FlashMedia::UnitAt(uint32_t unit) const {
  const FlashConfig& config = m_services.config;
  if (unit < m_units.size() && m_units[unit]) return *m_units[unit];
  uint8_t header[nand::kUnitHeaderSize];
  ReadRaw(PageOffset(unit * config.pagesPerUnit) + config.pageSize + HeaderOffset(config), header,
          sizeof header);
  const nand::UnitInfo info = nand::ParseUnitHeader(header);
  if (unit < m_units.size()) m_units[unit] = info;
  return info;
}

FlashMedia::Image FlashMedia::ImageOf(const std::string& signature) const {
  const FlashConfig& config = m_services.config;
  Image image;
  for (uint32_t unit = 0; unit < config.Units(); ++unit) {
    const nand::UnitInfo anchor = UnitAt(unit);
    if (!anchor.Anchor() || !anchor.Signed(signature.c_str())) continue;
    image.found = true;
    image.partition = anchor.partition;
    std::vector<nand::UnitInfo> headers;
    std::vector<uint32_t> run;
    const uint32_t end = std::min<uint32_t>(config.Units(), unit + anchor.generation);
    for (uint32_t member = unit + 1; member < end; ++member) {
      const nand::UnitInfo header = UnitAt(member);
      if (header.valid && (header.partition != anchor.partition || header.Anchor())) continue;
      run.push_back(member);
      headers.push_back(header);
    }
    image.runUnits = static_cast<uint32_t>(run.size());
    // The image in use; without one, the newest that was begun, to show how far it got.
    std::optional<uint16_t> generation = nand::GenerationInUse(headers);
    image.whole = generation.has_value();
    for (const nand::UnitInfo& header : headers) {
      if (!generation && header.Image() &&
          (!image.generation || header.generation > *image.generation)) {
        image.generation = header.generation;
      }
    }
    if (generation) image.generation = generation;
    if (!image.generation) return image;
    std::vector<std::pair<uint16_t, uint32_t>> mine;
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (headers[i].Image() && headers[i].generation == *image.generation) {
        mine.emplace_back(headers[i].logical, run[i]);
      }
    }
    std::sort(mine.begin(), mine.end());
    for (const auto& [logical, physical] : mine) image.units.push_back(physical);
    return image;
  }
  return image;
}

uint8_t FlashMedia::ReadRegister(uint32_t offset) {
  const FlashConfig& config = m_services.config;
  const uint32_t units = config.Units();
  switch (offset) {
    case nand::kRegId0:
      return nand::kId0;
    case nand::kRegId1:
      return nand::kId1;
    case nand::kRegStatus:
      return m_status;
    case nand::kRegPageSize:
      return static_cast<uint8_t>(config.pageSize);
    case nand::kRegPageSize + 1:
      return static_cast<uint8_t>(config.pageSize >> 8);
    case nand::kRegSpareSize:
      return static_cast<uint8_t>(config.spareSize);
    case nand::kRegPagesPerUnit:
      return static_cast<uint8_t>(config.pagesPerUnit);
    case nand::kRegPagesPerUnit + 1:
      return static_cast<uint8_t>(config.pagesPerUnit >> 8);
    case nand::kRegUnits:
    case nand::kRegUnits + 1:
    case nand::kRegUnits + 2:
    case nand::kRegUnits + 3:
      return static_cast<uint8_t>(units >> (8 * (offset - nand::kRegUnits)));
    case nand::kRegData:
      return m_pointer < m_buffer.size() ? m_buffer[m_pointer++] : 0xFF;
    default:
      return 0;
  }
}

void FlashMedia::WriteRegister(uint32_t offset, uint8_t value) {
  if (offset == nand::kRegCommand) {
    Execute(value);
  } else if (offset >= nand::kRegAddress && offset < nand::kRegAddress + 4) {
    m_address[offset - nand::kRegAddress] = value;
  } else if (offset == nand::kRegPointer) {
    m_pointer = (m_pointer & 0xFF00) | value;
  } else if (offset == nand::kRegPointer + 1) {
    m_pointer = (m_pointer & 0x00FF) | static_cast<uint32_t>(value) << 8;
  } else if (offset == nand::kRegData && m_pointer < m_buffer.size()) {
    m_buffer[m_pointer++] = value;
  }
}

void FlashMedia::ReadRegisters(uint32_t offset, uint8_t* buffer, uint32_t count) {
  if (offset != nand::kRegData) {
    PhysicalDevice::ReadRegisters(offset, buffer, count);
    return;
  }
  const uint32_t available =
      m_pointer < m_buffer.size() ? static_cast<uint32_t>(m_buffer.size()) - m_pointer : 0;
  const uint32_t take = std::min(count, available);
  std::memcpy(buffer, m_buffer.data() + m_pointer, take);
  std::memset(buffer + take, 0xFF, count - take);
  m_pointer += take;
}

void FlashMedia::WriteRegisters(uint32_t offset, const uint8_t* buffer, uint32_t count) {
  if (offset != nand::kRegData) {
    PhysicalDevice::WriteRegisters(offset, buffer, count);
    return;
  }
  const uint32_t available =
      m_pointer < m_buffer.size() ? static_cast<uint32_t>(m_buffer.size()) - m_pointer : 0;
  const uint32_t take = std::min(count, available);
  std::memcpy(m_buffer.data() + m_pointer, buffer, take);
  if (take > 0) m_lowestWritten = std::min(m_lowestWritten, m_pointer);
  m_pointer += take;
}

void FlashMedia::Execute(uint8_t command) {
  const FlashConfig& config = m_services.config;
  const uint32_t page = m_address[0] | m_address[1] << 8 | m_address[2] << 16 |
                        static_cast<uint32_t>(m_address[3]) << 24;
  const uint32_t pages = config.Units() * config.pagesPerUnit;
  m_status = nand::kStatusReady;
  switch (command) {
    case nand::kCmdReadPage:
      m_pointer = 0;
      if (page >= pages) {
        std::fill(m_buffer.begin(), m_buffer.end(), 0xFF);
        m_status |= nand::kStatusFail;
      } else {
        ReadRaw(PageOffset(page), m_buffer.data(), m_buffer.size());
      }
      break;
    case nand::kCmdProgramStart:
      std::fill(m_buffer.begin(), m_buffer.end(), 0xFF);
      m_pointer = 0;
      m_lowestWritten = static_cast<uint32_t>(m_buffer.size());
      break;
    case nand::kCmdProgramPage:
      if (page >= pages) {
        m_status |= nand::kStatusFail;
      } else {
        ProgramPage();
      }
      break;
    case nand::kCmdEraseUnit: {
      const uint32_t unit = page / config.pagesPerUnit;
      if (page >= pages || config.failErase) {
        m_status |= nand::kStatusFail;
        break;
      }
      const uint64_t bytes = RawPage() * config.pagesPerUnit;
      const uint64_t at = PageOffset(unit * config.pagesPerUnit);
      m_units[unit].reset();
      std::fill_n(m_erased.begin() + static_cast<std::ptrdiff_t>(unit) * config.pagesPerUnit,
                  config.pagesPerUnit, true);
      m_chip->Clear(at, bytes);
      CountStep(unit, "erase of unit " + std::to_string(unit));
      break;
    }
    case nand::kCmdReset:
      m_pointer = 0;
      break;
    default:
      m_status |= nand::kStatusFail;
      break;
  }
}

void FlashMedia::ProgramPage() {
  const FlashConfig& config = m_services.config;
  const uint32_t page = m_address[0] | m_address[1] << 8 | m_address[2] << 16 |
                        static_cast<uint32_t>(m_address[3]) << 24;
  // A program that filled the data area carries image data; one that set only spare bytes is
  // the driver's bookkeeping (unit headers).
  const bool data = m_lowestWritten < config.pageSize;
  uint32_t block = 0;
  bool lastOfBlock = false;
  bool firstOfBlock = false;
  if (data) {
    const nand::UnitInfo unit = UnitAt(page / config.pagesPerUnit);
    if (unit.Image()) {
      const uint64_t offset = static_cast<uint64_t>(unit.logical) * config.UnitSize() +
                              static_cast<uint64_t>(page % config.pagesPerUnit) * config.pageSize;
      block = static_cast<uint32_t>(offset / kBlockSize) + 1;
      firstOfBlock = offset % kBlockSize == 0;
      lastOfBlock = (offset + config.pageSize) % kBlockSize == 0;
    }
  }
  if (block != 0 && config.failWriteAtBlock == block) {
    m_status |= nand::kStatusFail;
    return;
  }
  std::vector<uint8_t> stored(m_buffer);
  if (!m_erased[page]) {
    std::vector<uint8_t> held(RawPage());
    ReadRaw(PageOffset(page), held.data(), held.size());
    for (std::size_t i = 0; i < stored.size(); ++i) stored[i] &= held[i];
  }
  m_erased[page] = false;
  if (page % config.pagesPerUnit == 0) m_units[page / config.pagesPerUnit].reset();
  if (block != 0 && firstOfBlock && config.flipBitsAtBlock == block && !m_flipped) {
    // The cells lose charge after programming: the data read back differs from what was meant.
    for (uint32_t bit = 0; bit < config.flippedBits; ++bit) stored[bit] ^= 0x01;
    m_flipped = true;
  }
  WriteRaw(PageOffset(page), stored.data(), stored.size());
  if (data) ++m_pagesProgrammed;
  if (block != 0 && lastOfBlock && config.powerCutAfterBlock == block && m_services.cutPower) {
    m_services.cutPower();
  }
  const uint32_t unit = page / config.pagesPerUnit;
  if (data && block != 0) {
    // Every page of an image is a step: a cut may come after any of them. The last page of a
    // block completes the block.
    const uint32_t inBlock =
        (page % config.pagesPerUnit * config.pageSize) % kBlockSize / config.pageSize;
    CountStep(unit, lastOfBlock ? "flash block " + std::to_string(block)
                                : "flash page " + std::to_string(inBlock + 1) + " of block " +
                                      std::to_string(block));
  } else if (!data && m_lowestWritten == config.pageSize + HeaderOffset(config)) {
    CountStep(unit, "header of unit " + std::to_string(unit));
  } else if (!data &&
             m_lowestWritten == config.pageSize + HeaderOffset(config) + nand::kHeaderFlags) {
    const uint8_t flags = m_buffer[m_lowestWritten];
    CountStep(unit, (flags & nand::kFlagIncomplete) == 0 ? "complete mark" : "retire mark");
  }
}

std::string FlashMedia::SignatureOfUnit(uint32_t unit) const {
  uint32_t first = 0;
  for (const FlashPartitionConfig& partition : m_services.config.partitions) {
    if (unit > first && unit <= first + partition.units) return partition.signature;
    first += partition.units + 1;
  }
  return {};
}

void FlashMedia::CountStep(uint32_t unit, const std::string& what) {
  if (m_services.steps == nullptr) return;
  const std::string signature = SignatureOfUnit(unit);
  if (signature.empty()) return;
  WriteStep step;
  step.part = signature == "BOOT" ? StepPart::kBoot : StepPart::kKernel;
  step.what = what + " of " + signature;
  if (m_services.steps->Done(std::move(step))) m_services.steps->CutPower();
}

std::optional<bool> FlashMedia::ImageComplete(const std::string& signature) const {
  const FlashConfig& config = m_services.config;
  if (!config.present || m_chip == nullptr) return std::nullopt;
  const Image image = ImageOf(signature);
  if (!image.found) return std::nullopt;
  return image.whole;
}

uint64_t FlashMedia::BytesWritten(const std::vector<uint32_t>& units) const {
  const FlashConfig& config = m_services.config;
  uint64_t written = 0;
  std::vector<uint8_t> raw(RawPage());
  for (std::size_t logical = 0; logical < units.size(); ++logical) {
    for (uint32_t page = 0; page < config.pagesPerUnit; ++page) {
      // Data or check bytes that are not erased: an all-zero sector has erased check bytes.
      ReadRaw(PageOffset(units[logical] * config.pagesPerUnit + page), raw.data(),
              config.pageSize + HeaderOffset(config));
      if (std::any_of(raw.begin(), raw.begin() + config.pageSize + HeaderOffset(config),
                      [](uint8_t b) { return b != 0xFF; })) {
        written = logical * uint64_t{config.UnitSize()} + (page + 1) * uint64_t{config.pageSize};
      }
    }
  }
  return written;
}

std::vector<PartitionState> FlashMedia::Partitions() {
  std::vector<PartitionState> states;
  for (std::size_t p = 0; p < m_services.config.partitions.size(); ++p) {
    PartitionState state;
    state.number = static_cast<int>(p);
    const std::string& signature = m_services.config.partitions[p].signature;
    const Image image = ImageOf(signature);
    if (image.found) {
      state.signature = signature;
      state.units = image.runUnits;
      state.complete = image.whole;
      state.generation = image.generation.value_or(0);
      state.imageUnits = static_cast<uint32_t>(image.units.size());
      state.bytesWritten = BytesWritten(image.units);
      state.version = VersionOf(signature);
    }
    states.push_back(state);
  }
  return states;
}

Result<std::string> FlashMedia::ReadPartition(const std::string& signature, bool whole) {
  using R = Result<std::string>;
  const FlashConfig& config = m_services.config;
  const Image image = ImageOf(signature);
  if (!image.found) return R::Failure("no partition with the signature \"" + signature + "\"");
  const uint64_t limit =
      whole ? image.units.size() * uint64_t{config.UnitSize()} : BytesWritten(image.units);
  std::string data;
  data.reserve(limit);
  std::vector<uint8_t> raw(RawPage());
  for (const uint32_t unit : image.units) {
    for (uint32_t page = 0; page < config.pagesPerUnit && data.size() < limit; ++page) {
      ReadRaw(PageOffset(unit * config.pagesPerUnit + page), raw.data(), raw.size());
      for (uint32_t s = 0; s < Sectors(config); ++s) {
        if (nand::EccCorrect(raw.data() + s * 512, raw.data() + config.pageSize + s * 3) ==
            nand::EccResult::kUncorrectable) {
          return R::Failure("page " + std::to_string(unit * config.pagesPerUnit + page) +
                            " of partition \"" + signature + "\" cannot be corrected");
        }
      }
      data.append(reinterpret_cast<const char*>(raw.data()),
                  std::min<uint64_t>(config.pageSize, limit - data.size()));
    }
  }
  return data;
}

std::string FlashMedia::ReadDiskArea() {
  const FlashConfig& config = m_services.config;
  uint32_t first = 0;
  for (const FlashPartitionConfig& partition : config.partitions) first += partition.units + 1;
  const uint64_t bytes = RawPage() * config.pagesPerUnit * config.diskUnits;
  std::string area(bytes, '\0');
  ReadRaw(PageOffset(first * config.pagesPerUnit), reinterpret_cast<uint8_t*>(area.data()),
          area.size());
  return area;
}

std::optional<std::string> FlashMedia::VersionOf(const std::string& signature) {
  const FlashConfig& config = m_services.config;
  const bool kernel = signature == "KRNL";
  const std::optional<std::string>& configured =
      kernel ? m_services.hal.kernelVersion : m_services.hal.bootVersion;
  if (!config.present || m_chip == nullptr) return configured;
  const Image image = ImageOf(signature);
  if (!image.whole) return std::nullopt;
  std::string head;
  std::vector<uint8_t> raw(RawPage());
  for (uint32_t page = 0; page < config.pagesPerUnit && head.size() < kVersionArea; ++page) {
    ReadRaw(PageOffset(image.units.front() * config.pagesPerUnit + page), raw.data(), raw.size());
    for (uint32_t s = 0; s < Sectors(config); ++s) {
      nand::EccCorrect(raw.data() + s * 512, raw.data() + config.pageSize + s * 3);
    }
    head.append(reinterpret_cast<const char*>(raw.data()), config.pageSize);
  }
  if (head.find(kFactoryMark) != std::string::npos) return configured;
  const std::size_t mark = head.find(kVersionMark);
  if (mark == std::string::npos) return std::nullopt;
  const std::size_t start = mark + sizeof kVersionMark - 1;
  const std::size_t end = head.find('\0', start);
  if (end == std::string::npos || end - start > kMaxVersion) return std::nullopt;
  return head.substr(start, end - start);
}

bool FlashMedia::AnswerVersion(const void* in, uint32_t inSize, void* out, uint32_t outSize,
                               uint32_t* returned) {
  uint32_t which = 0;
  if (in == nullptr || inSize < sizeof which) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  std::memcpy(&which, in, sizeof which);
  if (which != kQueryKernel && which != kQueryBoot) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  const std::optional<std::string> version = VersionOf(which == kQueryKernel ? "KRNL" : "BOOT");
  if (!version) {
    platform::SetLastError(platform::kErrorGenFailure);
    return false;
  }
  return AnswerUtf16Text(*version, out, outSize, returned);
}

void FlashMedia::Describe(std::ostream& out) {
  const FlashConfig& config = m_services.config;
  if (!config.present) {
    out << "flash: no chip\n";
    return;
  }
  out << "flash: " << config.Units() << " units of " << config.UnitSize() / 1024
      << " KiB (pages of " << config.pageSize << "+" << config.spareSize << " bytes)\n";
  for (const PartitionState& state : Partitions()) {
    out << "  partition " << state.number << " \"" << state.signature << "\": " << state.units
        << " units (" << static_cast<uint64_t>(state.units) * config.UnitSize() << " bytes), "
        << state.bytesWritten << " bytes written, "
        << (state.complete ? "image complete" : "image incomplete") << " (generation "
        << state.generation << ", " << state.imageUnits << " units), version "
        << (state.version ? *state.version : std::string("(none)")) << "\n";
  }
}

}  // namespace sim
