#include "tools/pack_check/gps_firmware_check.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/desktop_config.h"
#include "sim/gps_chip.h"
#include "text/text.h"
#include "tools/gps_images/gps_images.h"

namespace tools::pack_check {

namespace {

// The capacity of the GPS chip's flash: the part that the engine's own table names.
std::optional<uint32_t> GpsFlashCapacity(const sim::GpsConfig& gps) {
  const std::vector<uint8_t> engine = gps_images::MakeFlashEngine();
  const std::optional<gps_images::NorPart> part =
      gps_images::FindPart(gps_images::ReadPartTable(engine), gps.flashPart);
  if (!part) return std::nullopt;
  return part->capacity;
}

// An S-record firmware file, line by line as the boot loader on the chip takes it.
void CheckSRecords(Findings& findings, const std::string& where, const std::string& contents,
                   uint32_t capacity) {
  int number = 0;
  int bad = 0;
  int past = 0;
  bool terminated = false;
  uint64_t data = 0;
  std::size_t at = 0;
  while (at < contents.size()) {
    std::size_t end = contents.find('\n', at);
    if (end == std::string::npos) end = contents.size();
    std::string_view line(contents.data() + at, end - at);
    at = end + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    const std::optional<gps_images::SRecord> record = gps_images::ParseSRecord(line);
    if (!record) {
      if (bad++ == 0) {
        findings.Error(where, text::Sprintf("line %d is not an S-record with a right checksum; the "
                                            "chip's boot loader cannot program it",
                                            number));
      }
      continue;
    }
    if (record->type >= '1' && record->type <= '3') {
      data += record->data.size();
      if (static_cast<uint64_t>(record->address) + record->data.size() > capacity && past++ == 0) {
        findings.Error(where,
                       text::Sprintf("line %d writes %u bytes to 0x%X, past the chip's flash "
                                     "of %u bytes",
                                     number, static_cast<uint32_t>(record->data.size()),
                                     record->address, capacity));
      }
    }
    terminated = terminated || (record->type >= '7' && record->type <= '9');
  }
  if (bad > 1) findings.Error(where, text::Sprintf("%d lines in all are not S-records", bad));
  if (past > 1) findings.Error(where, text::Sprintf("%d lines in all write past the flash", past));
  if (data == 0) findings.Error(where, "holds no data records; the chip would be left erased");
  if (!terminated && number > 0) {
    findings.Warn(where, "no termination record (S7, S8 or S9) ends the file");
  }
}

}  // namespace

bool IsBinaryFirmwareName(std::string_view file) {
  return file.find(".bin") != std::string_view::npos || file.find(".BIN") != std::string_view::npos;
}

void CheckGpsFile(const CheckedPackage& package, const std::string& file, const std::string& kind,
                  Findings& findings) {
  const container::Entry* entry = package.FindMember(file);
  if (entry == nullptr) return;  // reported with the members the definitions name
  const std::string where = MemberWhere(entry->name);
  std::string bytes;
  if (!package.ReadMember(*entry, &bytes)) {
    findings.Error(where, "cannot be read");
    return;
  }
  if (bytes.empty()) {
    findings.Error(where, "a GPS " + text::ToUpper(kind) + " file of 0 bytes");
    return;
  }
  // The programmer takes each file in one read, which in desktop mode one cache fill answers.
  const uint32_t cache = package.Terminal().Get<sim::DesktopConfig>().cacheSize;
  if (bytes.size() > cache) {
    findings.Warn(where,
                  text::Sprintf("its %u bytes exceed the desktop's cache fill of %u bytes "
                                "(desktop.cache_size of %s): in desktop mode the file is "
                                "read short and the GPS update fails; in terminal mode "
                                "it works",
                                static_cast<uint32_t>(bytes.size()), cache,
                                package.HasTerminal() ? "the terminal" : "a default terminal"));
  }
  if (!text::EqualsNoCase(kind, "FIRMWARE")) return;
  const std::string geometry = package.HasTerminal() ? "the terminal's" : "a default terminal's";
  const std::optional<uint32_t> capacity =
      GpsFlashCapacity(package.Terminal().Get<sim::GpsConfig>());
  if (!capacity) {
    findings.Error(where, "the GPS flash part \"" +
                              package.Terminal().Get<sim::GpsConfig>().flashPart + "\" of " +
                              geometry + " chip is not one the flash engine knows");
    return;
  }
  if (IsBinaryFirmwareName(file)) {
    if (bytes.size() > *capacity) {
      findings.Error(where,
                     text::Sprintf("the binary firmware of %u bytes does not fit %s GPS "
                                   "flash of %u bytes",
                                   static_cast<uint32_t>(bytes.size()), geometry, *capacity));
    }
  } else {
    CheckSRecords(findings, where, bytes, *capacity);
  }
}

}  // namespace tools::pack_check
