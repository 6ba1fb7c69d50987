// vostrel demo: builds the example package, updates the GPS firmware and the application of a
// fresh simulated terminal with it, runs the same package once more, and prints what happened.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "app/screens.h"
#include "log/text.h"
#include "script/script.h"
#include "settings/settings.h"
#include "sim/display.h"
#include "sim/gps_chip.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "tools/commands.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDemoMarker = ".vostrel-demo";
constexpr std::size_t kMapSize = 600 * 1024;

// The folder beside the vostrel program, so that "make demo" leaves everything in build/.
fs::path DefaultDemoDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return fs::current_path() / "demo";
  return self.parent_path() / "demo";
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vostrel demo: %s\n", message.c_str());
  return kExitUsage;
}

std::string ReadFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteFile(const fs::path& file, const std::string& contents) {
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << contents;
  return static_cast<bool>(out);
}

// A map file of made-up data, the same every time.
std::string MakeMap() {
  std::string map = "NAVMAP 2.1.0 Region\n";
  std::mt19937 random(20050822);
  while (map.size() < kMapSize) map.push_back(static_cast<char>(random() & 0xFF));
  return map;
}

// The folder a demo uses: created, or an earlier demo's replaced; anything else is the user's.
sim::Status PrepareFolder(const fs::path& dir) {
  std::error_code error;
  if (fs::exists(dir, error) && !fs::is_empty(dir, error)) {
    if (!fs::exists(dir / kDemoMarker, error)) {
      return sim::Status::Failure(dir.string() +
                                  " exists and does not hold an earlier demo; choose another "
                                  "folder");
    }
    fs::remove_all(dir, error);
    if (error) return sim::Status::Failure(dir.string() + ": " + error.message());
  }
  fs::create_directories(dir, error);
  if (error) return sim::Status::Failure(dir.string() + ": " + error.message());
  if (!WriteFile(dir / kDemoMarker, "made by vostrel demo\n")) {
    return sim::Status::Failure((dir / kDemoMarker).string() + ": cannot be written");
  }
  return {};
}

// Navigator 1.0.0 as the terminal has it before the update, with the shell's rerunner and a
// user's documents.
void InstallOldNavigator(sim::Terminal& terminal) {
  const auto put = [&](const std::string& path, const std::string& contents) {
    WriteFile(terminal.Files().HostPath(path), contents);
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

std::string ScreenName(int screen) {
  const ScreenInfo* info = FindScreen(screen);
  return info == nullptr ? "?" : info->name;
}

void PrintScreens(const sim::RunOutcome& outcome) {
  std::printf("  screens:");
  for (std::size_t i = 0; i < outcome.screens.size(); ++i) {
    std::printf("%s %d %s", i == 0 ? "" : " ->", outcome.screens[i],
                ScreenName(outcome.screens[i]).c_str());
  }
  std::printf("\n");
}

struct RunFiles {
  fs::path screens;
  fs::path report;
};

sim::Result<sim::RunOutcome> RunOnce(sim::Terminal& terminal, const std::string& keys,
                                     const RunFiles& files) {
  using R = sim::Result<sim::RunOutcome>;
  auto recorder = sim::ScreenRecorder::Start(terminal.Gui(), files.screens);
  if (!recorder) return R::Failure(recorder.error());
  sim::RunOptions options;
  options.keys = *sim::ParseKeys(keys);
  sim::RunOutcome outcome = sim::RunUpdater(terminal, options);
  if (!(*recorder)->Written()) return R::Failure((*recorder)->Written().error());
  std::ofstream(files.report, std::ios::binary | std::ios::trunc)
      << sim::ReportJson(terminal, outcome).dump(2) << "\n";
  return outcome;
}

// What the script installs: every COPY line's destination, with the member it comes from. The
// destinations' date tokens are read from the terminal's clock, as the script did.
void PrintInstalled(sim::Terminal& terminal, const fs::path& payload) {
  terminal.Install();
  struct Uninstall {
    sim::Terminal& terminal;
    ~Uninstall() { terminal.Uninstall(); }
  } uninstall{terminal};
  CUpdateSettings settings;
  settings.LoadFromBytes(ReadFile(payload.parent_path() / "Vostrel.ini"));
  // Destination and member of every copy, followed through the script's renames.
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
  for (const auto& [destination, member] : copies) {
    std::string relative = member;
    for (char& c : relative) c = c == '\\' ? '/' : c;
    const std::string source = ReadFile(payload / relative);
    const std::string installed = ReadFile(terminal.Files().HostPath(destination));
    std::printf("    %-52s %7zu bytes  %s\n", destination.c_str(), installed.size(),
                installed == source ? "identical to the package's member" : "DIFFERS");
  }
}

int RunDemo(const std::string& dirArgument) {
  const fs::path dir = dirArgument.empty() ? DefaultDemoDir() : fs::path(dirArgument);
  if (sim::Status prepared = PrepareFolder(dir); !prepared) return Fail(prepared.error());
  const fs::path examples = VOSTREL_EXAMPLES_DIR;
  std::error_code error;
  if (!fs::exists(examples / "Vostrel.ini", error)) {
    return Fail((examples / "Vostrel.ini").string() +
                " is missing: the demo needs the "
                "repository's examples folder");
  }

  std::printf("VostrelHHT demo in %s\n\n", dir.string().c_str());
  std::printf("1. The update package, built from %s:\n  ", examples.string().c_str());
  std::fflush(stdout);
  const fs::path staging = dir / "package";
  fs::copy(examples, staging, fs::copy_options::recursive, error);
  if (error) return Fail(staging.string() + ": " + error.message());
  if (!WriteFile(staging / "payload" / "Navigator" / "Maps" / "Region.map", MakeMap())) {
    return Fail("the demo map cannot be written");
  }
  const fs::path firmware = fs::path(VOSTREL_GPS_EXAMPLES_DIR) / "GSW3_330.BIN";
  fs::create_directories(staging / "payload" / "GPS", error);
  fs::copy_file(firmware, staging / "payload" / "GPS" / "GSW3_330.BIN", error);
  if (error) return Fail(firmware.string() + ": " + error.message() + " (made by the build)");
  const fs::path package = dir / "install.bin";
  if (PackBuild(package.string(), (staging / "Vostrel.ini").string(),
                (staging / "payload").string()) != 0) {
    return Fail("the package could not be built");
  }

  const fs::path terminalDir = dir / "terminal";
  if (sim::Status created = sim::Terminal::Init(terminalDir); !created) {
    return Fail(created.error());
  }
  {
    auto first = sim::Terminal::Open(terminalDir);
    if (!first) return Fail(first.error());
    InstallOldNavigator(**first);
  }
  // Opened again, the terminal starts its shell, which holds the files just put there.
  auto terminal = sim::Terminal::Open(terminalDir);
  if (!terminal) return Fail(terminal.error());
  if (sim::Status placed = sim::PlacePackage(**terminal, package); !placed) {
    return Fail(placed.error());
  }
  if (sim::Status marker = sim::PlaceDebugMarker(**terminal, 2); !marker) {
    return Fail(marker.error());
  }
  std::printf(
      "\n2. A fresh terminal in %s with Navigator 1.0.0 installed; its resident shell "
      "runs and holds the application's files. The package lies beside the program "
      "(\\Storage Card\\install.bin).\n",
      terminalDir.string().c_str());

  std::printf("\n3. The update: PLAY on the welcome screen, then PLAY to leave.\n");
  auto update = RunOnce(**terminal, "PLAY PLAY", {dir / "screens" / "run1", dir / "run1.json"});
  if (!update) return Fail(update.error());
  PrintScreens(*update);
  std::printf("  the update took %.1f seconds of the terminal's time\n",
              static_cast<double>(update->virtualMilliseconds) / 1000.0);
  std::printf("  installed by the script:\n");
  PrintInstalled(**terminal, staging / "payload");
  const bool cleaned =
      !fs::exists((*terminal)->Files().HostPath("\\Flash Disk2\\Documents and Settings"), error) &&
      fs::exists((*terminal)->Files().HostPath("\\Flash Disk2\\clean.me"), error);
  if (cleaned) {
    std::printf("  the user's documents were set aside as \\Flash Disk2\\clean.me\n");
  }
  std::printf("  leaving: %s\n", update->rebooted          ? "the terminal restarted (rebooted)"
                                 : update->rerunnerStarted ? "the rerunner was started"
                                                           : sim::RunEndName(update->end));
  const sim::PartOutcome& application = update->parts[2];
  std::printf("  application version: %s before, %s offered, %s after\n",
              application.installedBefore.c_str(), application.offeredVersion.value_or("-").c_str(),
              application.installedAfter.c_str());

  const sim::PartOutcome& gps = update->parts[3];
  const std::string image = ReadFile(firmware);
  const std::vector<uint8_t> flash = (*terminal)->Gps().FlashContents();
  const bool flashHolds =
      flash.size() >= image.size() &&
      std::equal(image.begin(), image.end(), flash.begin(),
                 [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; });
  std::printf("  GPS firmware: %s before, %s offered, %s after; the chip's flash %s\n",
              gps.installedBefore.c_str(), gps.offeredVersion.value_or("-").c_str(),
              gps.installedAfter.c_str(),
              flashHolds ? "holds the image (programmed through the flash engine)"
                         : "does NOT hold the image");

  std::printf("\n4. The same package once more: nothing is left to update.\n");
  // The successful update deleted the debug markers with its log; a service engineer leaves
  // one again to see the run.
  if (sim::Status marker = sim::PlaceDebugMarker(**terminal, 2); !marker) {
    return Fail(marker.error());
  }
  auto again = RunOnce(**terminal, "PLAY PLAY", {dir / "screens" / "run2", dir / "run2.json"});
  if (!again) return Fail(again.error());
  PrintScreens(*again);

  std::printf("\nWhere to look:\n");
  std::printf("  the log:          %s\n",
              (*terminal)->Files().HostPath("\\Flash disk2\\Vostrel.log").string().c_str());
  std::printf(
      "                    (a successful update deletes its log; this one is the "
      "second run's)\n");
  std::printf("  every log entry:  %s (the kernel debug output, \"LOG:\" lines)\n",
              (terminalDir / "debug.log").string().c_str());
  std::printf("  screen pictures:  %s and %s\n", (dir / "screens" / "run1").string().c_str(),
              (dir / "screens" / "run2").string().c_str());
  std::printf("  run reports:      %s and %s\n", (dir / "run1.json").string().c_str(),
              (dir / "run2.json").string().c_str());

  const bool succeeded = update->finalScreen == 8 && again->finalScreen == 5 &&
                         application.installedAfter == "2.1.0" && gps.installedAfter == "3.3.0" &&
                         flashHolds;
  std::printf("\n%s\n",
              succeeded ? "The demo update succeeded." : "The demo update did NOT go as expected.");
  return succeeded ? 0 : 1;
}

}  // namespace

void AddDemoCommand(CLI::App& app, int* exitCode) {
  auto* demo = app.add_subcommand(
      "demo",
      "Build the example package, update the GPS firmware and the application of a fresh "
      "simulated terminal with "
      "it, run it once more, and print what happened: screens, installed files, versions, and "
      "where the log, the screen pictures and the reports are");
  auto dir = std::make_shared<std::string>();
  demo->add_option("DIR", *dir,
                   "Folder for everything the demo makes (default: demo beside the vostrel "
                   "program); an earlier demo there is replaced");
  demo->callback([exitCode, dir] { *exitCode = RunDemo(*dir); });
}

}  // namespace tools
