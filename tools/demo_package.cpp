#include "tools/demo_package.h"

#include <random>
#include <string_view>
#include <system_error>

#include "flash/image_format.h"
#include "text/text.h"
#include "tools/commands.h"
#include "tools/host_files.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kMapSize = 600 * 1024;

// A map file of made-up data, the same every time.
std::string MakeMap() {
  std::string map = "NAVMAP 2.1.0 Region\n";
  std::mt19937 random(20050822);
  while (map.size() < kMapSize) map.push_back(static_cast<char>(random() & 0xFF));
  return map;
}

// Navigator 1.0.0 as the terminal has it before the update, with the shell's rerunner and a
// user's documents.
sim::Status InstallOldNavigator(sim::Terminal& terminal) {
  const struct {
    const char* path;
    const char* contents;
  } files[] = {
      {"\\Flash Disk2\\Navigator\\Navigator.exe", "Navigator 1.0.0 program image\n"},
      {"\\Flash Disk2\\Navigator\\Routing.dll", "Navigator 1.0.0 routing library\n"},
      {"\\Flash Disk2\\Navigator\\route1.tmp", "half a route\n"},
      {"\\Flash Disk2\\Navigator\\route2.tmp", "another half\n"},
      {"\\Flash Disk2\\Navigator\\Cache\\tiles.bin", "cached tiles\n"},
      {"\\Flash Disk2\\Tavimon\\version.txt", "1.0.0\n"},
      {"\\Flash Disk2\\rerunner.exe", "rerunner (demo stand-in)\n"},
      {"\\Flash Disk2\\Documents and Settings\\trip-log.txt", "Monday: depot to harbour\n"},
  };
  for (const auto& file : files) {
    if (sim::Status written = host::WriteFile(terminal.Files().HostPath(file.path), file.contents);
        !written) {
      return written;
    }
  }
  return {};
}

}  // namespace

std::string DemoKeyMaterialHex() {
  std::string hex;
  for (const char c : std::string_view(image_format::kPassPhrase)) {
    hex += text::Sprintf("%02x", static_cast<unsigned>(static_cast<uint8_t>(c)));
  }
  return hex;
}

sim::Result<DemoPackage> BuildDemoPackage(const fs::path& dir) {
  using R = sim::Result<DemoPackage>;
  const fs::path examples = VOSTREL_EXAMPLES_DIR;
  std::error_code error;
  if (!fs::exists(examples / "Vostrel.ini", error)) {
    return R::Failure((examples / "Vostrel.ini").string() +
                      " is missing: the demo needs the repository's examples folder");
  }
  DemoPackage built{dir / "install.bin", dir / "package", {}, {}, {}};
  if (sim::Status copied = host::CopyTree(examples, built.staging); !copied) {
    return R::Failure(copied.error());
  }
  const fs::path map = built.staging / "payload" / "Navigator" / "Maps" / "Region.map";
  if (sim::Status written = host::WriteFile(map, MakeMap()); !written) {
    return R::Failure(written.error());
  }
  const fs::path firmware = fs::path(VOSTREL_GPS_EXAMPLES_DIR) / "VGPS_330.BIN";
  built.gpsFirmware = built.staging / "payload" / "GPS" / "VGPS_330.BIN";
  if (sim::Status copied = host::CopyFile(firmware, built.gpsFirmware); !copied) {
    return R::Failure(copied.error() + " (made by the build)");
  }
  const fs::path osImages = VOSTREL_OS_EXAMPLES_DIR;
  built.bootImage = built.staging / "payload" / "EBOOT2.NB0";
  built.kernelImage = built.staging / "payload" / "NK.BIN";
  for (const fs::path& image : {built.bootImage, built.kernelImage}) {
    if (sim::Status copied = host::CopyFile(osImages / image.filename(), image); !copied) {
      return R::Failure(copied.error() + " (made by the build)");
    }
  }
  if (PackBuild(built.package.string(), (built.staging / "Vostrel.ini").string(),
                (built.staging / "payload").string(), DemoKeyMaterialHex()) != 0) {
    return R::Failure("the package could not be built");
  }
  return built;
}

sim::Status InitDemoTerminal(const fs::path& dir) {
  if (sim::Status created = sim::Terminal::Init(dir); !created) return created;
  auto terminal = sim::Terminal::Open(dir);
  if (!terminal) return sim::Status::Failure(terminal.error());
  return InstallOldNavigator(**terminal);
}

}  // namespace tools
