#include "gps/gps_support.h"

#include <filesystem>

#include "settings/settings.h"
#include "sim/gps_chip.h"
#include "tools/gps_images/gps_images.h"

namespace gps_testing {

std::string GpsSettings(const std::vector<GpsItem>& items) {
  std::string ini = "[SoftwareToUpdate]\r\nUpdate1=GPS\r\n[GPS]\r\n";
  for (std::size_t i = 0; i < items.size(); ++i) {
    ini += "GpsSoftware" + std::to_string(i + 1) + "=GPS|" + items[i].version + "|" +
           items[i].command + "\r\n";
  }
  return ini;
}

std::string AsString(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string Firmware(std::string_view version, std::size_t size) {
  return AsString(gps_images::MakeFirmwareImage(version, size));
}

std::string FirmwareSRecords(std::string_view version, std::size_t size) {
  return gps_images::ToSRecords(gps_images::MakeFirmwareImage(version, size), "VGPS");
}

std::string BootLoader() { return AsString(gps_images::MakeBootLoader()); }

std::vector<std::vector<uint8_t>> Writes(const std::vector<sim::WireChunk>& tap,
                                         sim::WireChunk::From from) {
  std::vector<std::vector<uint8_t>> writes;
  for (const sim::WireChunk& chunk : tap) {
    if (chunk.from == from) writes.push_back(chunk.bytes);
  }
  return writes;
}

std::vector<std::vector<uint8_t>> Frames(const std::vector<sim::WireChunk>& tap,
                                         sim::WireChunk::From from) {
  std::vector<std::vector<uint8_t>> frames;
  for (const std::vector<uint8_t>& bytes : Writes(tap, from)) {
    if (bytes.size() < 3 ||
        (static_cast<std::size_t>(bytes[0]) << 8 | bytes[1]) + 3 != bytes.size()) {
      continue;
    }
    frames.emplace_back(bytes.begin() + 2, bytes.end() - 1);
  }
  return frames;
}

std::vector<std::vector<uint8_t>> FramesWithCode(const std::vector<sim::WireChunk>& tap,
                                                 sim::WireChunk::From from, uint8_t code) {
  std::vector<std::vector<uint8_t>> frames;
  for (auto& frame : Frames(tap, from)) {
    if (!frame.empty() && frame[0] == code) frames.push_back(std::move(frame));
  }
  return frames;
}

uint32_t BigEndian32(const std::vector<uint8_t>& bytes, std::size_t at) {
  return static_cast<uint32_t>(bytes.at(at)) << 24 | static_cast<uint32_t>(bytes.at(at + 1)) << 16 |
         static_cast<uint32_t>(bytes.at(at + 2)) << 8 | bytes.at(at + 3);
}

std::size_t Count(std::string_view text, std::string_view needle) {
  std::size_t count = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size())) {
    ++count;
  }
  return count;
}

bool InOrder(std::string_view text, std::initializer_list<std::string_view> parts) {
  std::size_t at = 0;
  for (const std::string_view part : parts) {
    at = text.find(part, at);
    if (at == std::string_view::npos) return false;
    at += part.size();
  }
  return true;
}

void GpsTest::SetUp() {
  TerminalTest::SetUp();
  StartUpdaterObjects(3);
  Term().Find<sim::GpsChip>()->Line().StartTap();
}

void GpsTest::UsePackage(const std::vector<testing_support::PackageMember>& members) {
  WriteFile("\\Storage Card\\install.bin", testing_support::BuildPackage(members));
  State().m_strPackagePath = "\\Storage Card\\install.bin";
}

void GpsTest::Fresh(const std::function<void(sim::TerminalConfig&)>& change) {
  Reopen();  // the chip keeps what its flash holds
  std::filesystem::remove(Term().Dir() / "gps" / "flash.bin");
  Term().Registry().DeleteValue("Drivers\\Builtin\\GPSDev", "LoadAlways");
  ASSERT_TRUE(Term().Registry().Save().ok());
  Term().MutableConfig() = sim::TerminalConfig();
  if (change) change(Term().MutableConfig());
  Reopen();
  StartUpdaterObjects(3);
  Term().Find<sim::GpsChip>()->Line().StartTap();
}

void GpsTest::HandOverChip() { Term().Find<sim::GpsChip>()->HandOver(); }

const std::vector<sim::WireChunk>& GpsTest::Tap() {
  return Term().Find<sim::GpsChip>()->Line().Tap();
}

bool GpsTest::LoadAlwaysSet() {
  sim::SimRegistry& registry = Term().Registry();
  platform::Handle key = platform::kNullHandle;
  if (registry.OpenKey("Drivers\\Builtin\\GPSDev", &key) != 0) return false;
  uint32_t type = 0;
  uint32_t value = 0;
  uint32_t size = sizeof value;
  const bool found = registry.QueryValue(key, "LoadAlways", &type, &value, &size) == 0;
  registry.CloseKey(key);
  return found && type == platform::kRegDword && value == 1;
}

}  // namespace gps_testing
