#include "tools/demo_check.h"

#include <algorithm>
#include <optional>

#include "flash/image_format.h"
#include "script/script.h"
#include "settings/settings.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "text/text.h"
#include "tools/host_files.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kBlockSize = 64 * 1024;

// The first offset at which `actual` does not hold `expected`; past its end the partition is
// erased, so what was never written must be 0xFF there.
std::optional<std::size_t> FirstDifference(const std::string& expected, const std::string& actual) {
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const char held = i < actual.size() ? actual[i] : '\xFF';
    if (held != expected[i]) return i;
  }
  return std::nullopt;
}

DemoCheck ComparePartition(sim::Terminal& terminal, const std::string& signature,
                           const std::string& expected, const std::string& what) {
  DemoCheck check{"partition " + signature, false, ""};
  auto held = terminal.Find<sim::FlashMedia>()->ReadPartition(signature, false);
  if (!held) {
    check.detail = held.error();
    return check;
  }
  if (const std::optional<std::size_t> at = FirstDifference(expected, *held)) {
    check.detail = text::Sprintf("differs from %s at byte %u", what, static_cast<uint32_t>(*at));
    return check;
  }
  check.holds = true;
  check.detail =
      text::Sprintf("%u bytes equal to %s", static_cast<uint32_t>(expected.size()), what);
  return check;
}

DemoCheck CheckBoot(sim::Terminal& terminal, const DemoPackage& package) {
  // A raw image is copied as the package holds it; its size is whole blocks, so nothing of the
  // last block comes from the one before.
  auto image = host::ReadFile(package.bootImage);
  if (!image) return {"partition BOOT", false, image.error()};
  const std::string name = package.bootImage.filename().string();
  if (image->empty() || image->size() % kBlockSize != 0) {
    return {"partition BOOT", false, name + " is not a whole number of 64 KiB blocks"};
  }
  return ComparePartition(terminal, "BOOT", *image, name);
}

DemoCheck CheckKernel(sim::Terminal& terminal, const DemoPackage& package) {
  auto plain = host::ReadFile(package.kernelImage);
  if (!plain) return {"partition KRNL", false, plain.error()};
  const std::string name = package.kernelImage.filename().string();
  image_format::BinLayout layout;
  std::string why;
  if (!image_format::ReadBinLayout(*plain, &layout, &why)) {
    return {"partition KRNL", false, name + ": " + why};
  }
  std::string image = image_format::AssembleBinImage(*plain, layout);
  image.resize((layout.length + kBlockSize - 1) / kBlockSize * kBlockSize);
  DemoCheck check =
      ComparePartition(terminal, "KRNL", image,
                       text::Sprintf("%s's %u records placed from 0x%08X", name,
                                     static_cast<uint32_t>(layout.records.size()), layout.start));
  uint64_t covered = 0;
  for (const image_format::BinRecord& record : layout.records) covered += record.length;
  if (check.holds && covered < layout.length) {
    check.detail += text::Sprintf(", the %u bytes between them erased",
                                  static_cast<uint32_t>(layout.length - covered));
  }
  return check;
}

DemoCheck CheckGps(sim::Terminal& terminal, const DemoPackage& package) {
  auto read = host::ReadFile(package.gpsFirmware);
  if (!read) return {"GPS flash", false, read.error()};
  const std::string& image = *read;
  const std::vector<uint8_t> flash = terminal.Find<sim::GpsChip>()->FlashContents();
  const std::string name = package.gpsFirmware.filename().string();
  DemoCheck check{"GPS flash", false, ""};
  const std::string held(flash.begin(), flash.begin() + std::min(flash.size(), image.size()));
  if (image.empty() || held != image) {
    const auto at = std::mismatch(image.begin(), image.end(), held.begin(), held.end()).first;
    check.detail = text::Sprintf("differs from %s at byte %u", name,
                                 static_cast<uint32_t>(at - image.begin()));
    return check;
  }
  check.holds = true;
  check.detail = text::Sprintf("%u bytes equal to %s", static_cast<uint32_t>(image.size()), name);
  return check;
}

// Every COPY line's destination with the member it comes from, followed through the script's
// renames.
std::vector<DemoCheck> CheckInstalled(sim::Terminal& terminal, const DemoPackage& package) {
  terminal.Install();
  struct Uninstall {
    sim::Terminal& terminal;
    ~Uninstall() { terminal.Uninstall(); }
  } uninstall{terminal};
  auto settingsBytes = host::ReadFile(package.staging / "Vostrel.ini");
  if (!settingsBytes) return {{"the script's copies", false, settingsBytes.error()}};
  CUpdateSettings settings;
  settings.LoadFromBytes(*settingsBytes);
  std::vector<std::pair<std::string, std::string>> copies;
  for (const std::string& line : settings.m_commandScript) {
    int command = kScriptUnknown;
    std::string first;
    std::string second;
    if (!CScript::ExtractParams(line, &command, &first, &second)) continue;
    if (command == kScriptCopy) copies.emplace_back(second, first);
    if (command != kScriptRen) continue;
    for (auto& copy : copies) {
      if (text::EqualsNoCase(copy.first, first)) copy.first = second;
    }
  }
  std::vector<DemoCheck> checks;
  for (const auto& [destination, member] : copies) {
    std::string relative = member;
    std::replace(relative.begin(), relative.end(), '\\', '/');
    auto source = host::ReadFile(package.staging / "payload" / relative);
    const fs::path installedFile = terminal.Files().HostPath(destination);
    std::error_code error;
    DemoCheck check{destination, false, ""};
    if (!source) {
      check.detail = source.error();
    } else if (!fs::exists(installedFile, error)) {
      check.detail = "missing";
    } else if (auto installed = host::ReadFile(installedFile); !installed) {
      check.detail = installed.error();
    } else {
      check.holds = *installed == *source;
      check.detail = text::Sprintf("%u bytes %s %s", static_cast<uint32_t>(installed->size()),
                                   check.holds ? "equal to" : "differ from", member);
    }
    checks.push_back(check);
  }
  return checks;
}

}  // namespace

std::vector<DemoCheck> CheckDemoUpdate(sim::Terminal& terminal, const DemoPackage& package) {
  std::vector<DemoCheck> checks = {CheckGps(terminal, package), CheckBoot(terminal, package),
                                   CheckKernel(terminal, package)};
  for (DemoCheck& installed : CheckInstalled(terminal, package)) checks.push_back(installed);
  return checks;
}

}  // namespace tools
