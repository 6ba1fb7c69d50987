#include "tools/demo_package.h"

#include <fstream>
#include <iterator>
#include <random>
#include <string_view>
#include <system_error>

#include "flash/image_format.h"
#include "text/text.h"
#include "tools/commands.h"

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
void InstallOldNavigator(sim::Terminal& terminal) {
  const auto put = [&](const std::string& path, const std::string& contents) {
    WriteHostFile(terminal.Files().HostPath(path), contents);
  };
  put("\\Flash Disk2\\Navigator\\Navigator.exe", "Navigator 1.0.0 program image\n");
  put("\\Flash Disk2\\Navigator\\Routing.dll", "Navigator 1.0.0 routing library\n");
  put("\\Flash Disk2\\Navigator\\route1.tmp", "half a route\n");
  put("\\Flash Disk2\\Navigator\\route2.tmp", "another half\n");
  put("\\Flash Disk2\\Navigator\\Cache\\tiles.bin", "cached tiles\n");
  put("\\Flash Disk2\\Tavimon\\version.txt", "1.0.0\n");
  put("\\Flash Disk2\\rerunner.exe", "rerunner (demo stand-in)\n");
  put("\\Flash Disk2\\Documents and Settings\\trip-log.txt", "Monday: depot to harbour\n");
}

}  // namespace

std::string DemoKeyMaterialHex() {
  std::string hex;
  for (const char c : std::string_view(image_format::kPassPhrase)) {
    hex += text::Sprintf("%02x", static_cast<unsigned>(static_cast<uint8_t>(c)));
  }
  return hex;
}

std::string ReadHostFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteHostFile(const fs::path& file, const std::string& contents) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
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
  fs::copy(examples, built.staging, fs::copy_options::recursive, error);
  if (error) return R::Failure(built.staging.string() + ": " + error.message());
  if (!WriteHostFile(built.staging / "payload" / "Navigator" / "Maps" / "Region.map", MakeMap())) {
    return R::Failure("the demo map cannot be written");
  }
  const fs::path firmware = fs::path(VOSTREL_GPS_EXAMPLES_DIR) / "GSW3_330.BIN";
  built.gpsFirmware = built.staging / "payload" / "GPS" / "GSW3_330.BIN";
  fs::create_directories(built.gpsFirmware.parent_path(), error);
  fs::copy_file(firmware, built.gpsFirmware, error);
  if (error) return R::Failure(firmware.string() + ": " + error.message() + " (made by the build)");
  const fs::path osImages = VOSTREL_OS_EXAMPLES_DIR;
  built.bootImage = built.staging / "payload" / "EBOOT2.NB0";
  built.kernelImage = built.staging / "payload" / "NK.BIN";
  for (const fs::path& image : {built.bootImage, built.kernelImage}) {
    fs::copy_file(osImages / image.filename(), image, error);
    if (error) {
      return R::Failure((osImages / image.filename()).string() + ": " + error.message() +
                        " (made by the build)");
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
  InstallOldNavigator(**terminal);
  return {};
}

}  // namespace tools
