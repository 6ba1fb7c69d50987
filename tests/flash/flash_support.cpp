#include "flash/flash_support.h"

#include "sim/flash_config.h"

namespace flash_testing {

sim::FlashConfig SmallChip() {
  sim::FlashConfig chip;
  chip.pageSize = 512;
  chip.spareSize = 16;
  chip.pagesPerUnit = 16;
  chip.partitions = {{"BOOT", 32}, {"KRNL", 64}};
  chip.diskUnits = 8;
  return chip;
}

sim::TerminalConfig SmallTerminal() {
  sim::TerminalConfig config;
  config.Get<sim::FlashConfig>() = SmallChip();
  return config;
}

std::string Pattern(std::size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761U + 1;
  for (char& byte : bytes) {
    state = state * 1103515245U + 12345U;
    byte = static_cast<char>(state >> 16);
  }
  return bytes;
}

std::string VersionedImage(const std::string& version, std::size_t size, uint32_t seed) {
  std::string image = Pattern(size, seed);
  const std::string mark = "VOSTREL-VERSION:" + version + std::string(1, '\0');
  image.replace(16, mark.size(), mark);
  return image;
}

std::string OsSettings(const std::string& bootVersion, const std::string& bootFile,
                       const std::string& kernelVersion, const std::string& kernelFile) {
  return "[SoftwareToUpdate]\r\nUpdate1=OS\r\n[OS]\r\n"
         "OSSoftware1=OS|" +
         bootVersion + "|" + bootFile + "^0^BOOT\r\nOSSoftware2=OS|" + kernelVersion + "|" +
         kernelFile + "^1^KRNL\r\n";
}

std::string Le32(uint32_t value) {
  std::string out;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
  return out;
}

std::string BinHeader(uint32_t start, uint32_t length) {
  return std::string("B000FF\n") + Le32(start) + Le32(length);
}

std::string Record(uint32_t address, const std::string& data, uint32_t checksum) {
  if (checksum == 0) {
    for (const char c : data) checksum += static_cast<uint8_t>(c);
  }
  return Le32(address) + Le32(static_cast<uint32_t>(data.size())) + Le32(checksum) + data;
}

std::string EndRecord(uint32_t length) { return Le32(0) + Le32(length) + Le32(0); }

std::string Rounded(const std::string& image, char fill) {
  std::string out = image;
  out.resize((image.size() + 65535) / 65536 * 65536, fill);
  return out;
}

}  // namespace flash_testing
