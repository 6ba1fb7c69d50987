// vostrel demo: builds the example package, updates all four parts (GPS firmware, application,
// boot loader, kernel) of a fresh simulated terminal in terminal mode and of another in desktop
// mode, checks what the updates left, runs the same package once more on each, and prints what
// happened.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "app/screens.h"
#include "script/script.h"
#include "settings/settings.h"
#include "sim/desktop_peer.h"
#include "sim/display.h"
#include "sim/gps_chip.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "sim/window_run.h"
#include "text/text.h"
#include "tools/commands.h"
#include "tools/demo_check.h"
#include "tools/demo_package.h"
#include "tools/host_files.h"
#include "tools/window_option.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

constexpr const char* kDemoMarker = ".vostrel-demo";

// The folder beside the vostrel program, so that "make demo" leaves everything in build/.
fs::path DefaultDemoDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return fs::current_path() / "demo";
  return self.parent_path() / "demo";
}

int DemoError(const std::string& message) {
  std::fprintf(stderr, "vostrel demo: %s\n", message.c_str());
  return kExitUsage;
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
  return host::WriteFile(dir / kDemoMarker, "made by vostrel demo\n");
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

// The four parts as the package offers them, one line each.
sim::Status PrintOffered(const DemoPackage& package) {
  auto bytes = host::ReadFile(package.staging / "Vostrel.ini");
  if (!bytes) return sim::Status::Failure(bytes.error());
  CUpdateSettings settings;
  settings.LoadFromBytes(*bytes);
  for (int i = 0; i < settings.m_nDefinitions; ++i) {
    const SoftwareDefinition& definition = settings.m_definitions[i];
    std::printf("    %-12s %-8s %s\n", CUpdateSettings::SoftwareTypeName(definition.type),
                definition.version.c_str(), definition.command.c_str());
  }
  std::printf("    (%zu script lines; the kernel's .BIN records leave gaps and travel encrypted)\n",
              settings.m_commandScript.size());
  return {};
}

struct Mode {
  const char* name;
  const char* folder;
  bool desktop;
};
constexpr Mode kModes[] = {{"terminal mode", "terminal", false},
                           {"desktop mode", "desktop-terminal", true}};

// One run in the mode: in terminal mode the package lies beside the program, in desktop mode a
// simulated desktop serves it. In a window the user presses the keys; without one the demo
// presses PLAY PLAY.
sim::Result<sim::RunOutcome> RunOnce(sim::Terminal& terminal, const Mode& mode,
                                     const fs::path& package, const RunFiles& files,
                                     sim::TerminalWindow* window, double* wallSeconds) {
  using R = sim::Result<sim::RunOutcome>;
  const auto started = std::chrono::steady_clock::now();
  // The successful update deletes the debug markers with its log; a service engineer leaves
  // one again to see the run.
  if (sim::Status marker = sim::PlaceDebugMarker(terminal, 2); !marker) {
    return R::Failure(marker.error());
  }
  auto recorder = sim::ScreenRecorder::Start(terminal.Gui(), files.screens);
  if (!recorder) return R::Failure(recorder.error());
  std::unique_ptr<sim::SimDesktop> desktop;
  sim::RunOptions options;
  if (mode.desktop) {
    auto opened = sim::SimDesktop::Open(terminal.Files(), terminal.Clock(), package,
                                        terminal.Config().Get<sim::DesktopConfig>());
    if (!opened) return R::Failure(opened.error());
    desktop = std::move(*opened);
    options.commandLine = "ACTIVESYNC";
    options.desktop = desktop.get();
  } else if (sim::Status placed = sim::PlacePackage(terminal, package); !placed) {
    return R::Failure(placed.error());
  }
  sim::RunOutcome outcome;
  if (window != nullptr) {
    auto ran = sim::RunInWindow(terminal, options, *window);
    if (!ran) return R::Failure(ran.error());
    outcome = ran->outcome;
  } else {
    options.keys = *sim::ParseKeys("PLAY PLAY");
    outcome = sim::RunUpdater(terminal, options);
  }
  if (!(*recorder)->Written()) return R::Failure((*recorder)->Written().error());
  if (sim::Status written =
          host::WriteFile(files.report, sim::ReportJson(terminal, outcome).dump(2) + "\n");
      !written) {
    return R::Failure(written.error());
  }
  *wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return outcome;
}

void PrintVersions(const sim::RunOutcome& outcome) {
  constexpr const char* kNames[4] = {"boot loader", "kernel", "application", "GPS firmware"};
  std::printf("  %-14s %-10s %-10s %s\n", "part", "before", "offered", "after");
  for (int i = 0; i < 4; ++i) {
    const sim::PartOutcome& part = outcome.parts[i];
    std::printf("  %-14s %-10s %-10s %s\n", kNames[i], part.installedBefore.c_str(),
                part.offeredVersion.value_or("-").c_str(), part.installedAfter.c_str());
  }
}

bool AllPartsAtOfferedVersions(const sim::RunOutcome& outcome) {
  return std::all_of(std::begin(outcome.parts), std::end(outcome.parts),
                     [](const sim::PartOutcome& part) {
                       return part.offeredVersion && part.installedAfter == *part.offeredVersion;
                     });
}

struct ModeResult {
  bool succeeded = false;
  double wallSeconds = 0;
};

// A fresh terminal in the mode: the update, what it left, and the same package once more.
sim::Result<ModeResult> DemoMode(const fs::path& dir, const Mode& mode, const DemoPackage& package,
                                 const WindowArgs& windowArgs, int step) {
  using R = sim::Result<ModeResult>;
  const fs::path terminalDir = dir / mode.folder;
  if (sim::Status created = InitDemoTerminal(terminalDir); !created) {
    return R::Failure(created.error());
  }
  // Opened again, the terminal starts its shell, which holds the files just put there.
  auto terminal = sim::Terminal::Open(
      terminalDir, windowArgs.window ? sim::ClockMode::kRealtime : sim::ClockMode::kVirtual);
  if (!terminal) return R::Failure(terminal.error());
  if (windowArgs.speed != 0) (*terminal)->Clock().SetSpeed(windowArgs.speed);
  std::unique_ptr<sim::TerminalWindow> window;
  if (windowArgs.window) {
    auto opened = OpenTerminalWindow(windowArgs, terminalDir.string());
    if (!opened) return R::Failure("--window: " + opened.error());
    window = std::move(*opened);
  }
  std::printf(
      "\n%d. %c%s: a fresh terminal in %s with Navigator 1.0.0 and the factory boot "
      "loader, kernel and GPS firmware; %s.\n",
      step, mode.name[0] - 'a' + 'A', mode.name + 1, terminalDir.string().c_str(),
      mode.desktop ? "the desktop keeps the package and serves it over the link "
                     "(command line ACTIVESYNC)"
                   : "the package lies beside the program (\\Storage Card\\install.bin)");
  if (window) {
    std::printf(
        "  In the window: press PLAY (Enter) on the welcome screen, then PLAY again to "
        "leave.\n");
  }
  std::fflush(stdout);
  const std::string prefix = mode.folder;
  ModeResult result;
  double wall = 0;
  auto update = RunOnce(**terminal, mode, package.package,
                        {dir / "screens" / (prefix + "-run1"), dir / (prefix + "-run1.json")},
                        window.get(), &wall);
  if (!update) return R::Failure(update.error());
  result.wallSeconds += wall;
  PrintScreens(*update);
  std::printf("  leaving: %s\n", update->rebooted          ? "the terminal restarted (rebooted)"
                                 : update->rerunnerStarted ? "the rerunner was started"
                                                           : sim::RunEndName(update->end));
  PrintVersions(*update);
  if (window && update->end == sim::RunEnd::kPowerCut) {
    std::printf("  The window was closed, which cut the terminal's power; the demo ends here.\n");
    return result;
  }
  std::printf("  checked:\n");
  bool checksHold = true;
  for (const DemoCheck& check : CheckDemoUpdate(**terminal, package)) {
    checksHold = checksHold && check.holds;
    std::printf("    %-4s %s: %s\n", check.holds ? "ok" : "FAIL", check.what.c_str(),
                check.detail.c_str());
  }
  std::error_code error;
  const bool cleaned =
      !fs::exists((*terminal)->Files().HostPath("\\Flash Disk2\\Documents and Settings"), error) &&
      fs::exists((*terminal)->Files().HostPath("\\Flash Disk2\\clean.me"), error);
  if (cleaned) std::printf("  the user's documents were set aside as \\Flash Disk2\\clean.me\n");
  std::printf("  time: %.1f s of the terminal's time, %.2f s of wall time\n",
              static_cast<double>(update->virtualMilliseconds) / 1000.0, wall);

  if (window) {
    std::printf("  The same package once more, in the window: press PLAY to leave.\n");
    std::fflush(stdout);
  }
  auto again = RunOnce(**terminal, mode, package.package,
                       {dir / "screens" / (prefix + "-run2"), dir / (prefix + "-run2.json")},
                       window.get(), &wall);
  window.reset();
  if (!again) return R::Failure(again.error());
  result.wallSeconds += wall;
  std::printf("  the same package once more:\n  ");
  PrintScreens(*again);
  result.succeeded = update->finalScreen == 8 && AllPartsAtOfferedVersions(*update) && checksHold &&
                     again->finalScreen == 5;
  return result;
}

int RunDemo(const std::string& dirArgument, const WindowArgs& windowArgs) {
  if (std::string wrong = CheckWindowArgs(windowArgs, std::nullopt); !wrong.empty()) {
    return DemoError(wrong);
  }
  const auto started = std::chrono::steady_clock::now();
  const fs::path dir = dirArgument.empty() ? DefaultDemoDir() : fs::path(dirArgument);
  if (sim::Status prepared = PrepareFolder(dir); !prepared) return DemoError(prepared.error());
  std::printf("VostrelHHT demo in %s\n\n", dir.string().c_str());
  std::printf("1. The update package, built from %s:\n  ", VOSTREL_EXAMPLES_DIR);
  std::fflush(stdout);
  auto built = BuildDemoPackage(dir);
  if (!built) return DemoError(built.error());
  std::printf("  It offers:\n");
  if (sim::Status printed = PrintOffered(*built); !printed) return DemoError(printed.error());

  bool succeeded = true;
  int step = 2;
  for (const Mode& mode : kModes) {
    auto ran = DemoMode(dir, mode, *built, windowArgs, step++);
    if (!ran) return DemoError(ran.error());
    succeeded = succeeded && ran->succeeded;
    if (windowArgs.window && !ran->succeeded) break;
  }

  std::printf("\nWhere to look (for each terminal folder above):\n");
  std::printf(
      "  the log:          fs/Flash Disk2/Vostrel.log (a successful update deletes its "
      "log; this one is the second run's)\n");
  std::printf("  every log entry:  debug.log (the kernel debug output, \"LOG:\" lines)\n");
  std::printf("  screen pictures:  %s\n", (dir / "screens").string().c_str());
  std::printf("  run reports:      %s\n", (dir / "*-run?.json").string().c_str());
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("\n%s (%.1f s of wall time in all)\n",
              succeeded ? "The demo update succeeded: in both modes all four parts reached the "
                          "package's versions, everything checked holds, and a second run "
                          "found nothing to update."
                        : "The demo update did NOT go as expected.",
              wall);
  return succeeded ? 0 : 1;
}

}  // namespace

void AddDemoCommand(CLI::App& app, int* exitCode) {
  auto* demo = app.add_subcommand(
      "demo",
      "Build the example package, update all four parts (GPS firmware, application, boot "
      "loader, kernel) of a fresh simulated terminal in terminal mode and of another in desktop "
      "mode, check the partitions, the GPS flash and the installed files against the package, "
      "run it once more on each, and print what happened: screens, versions before and after, "
      "the checks, virtual and wall time");
  auto dir = std::make_shared<std::string>();
  demo->add_option("DIR", *dir,
                   "Folder for everything the demo makes (default: demo beside the vostrel "
                   "program); an earlier demo there is replaced");
  auto windowArgs = std::make_shared<WindowArgs>();
  AddWindowOptions(demo, windowArgs.get(), "--window");
  demo->callback([exitCode, dir, windowArgs] { *exitCode = RunDemo(*dir, *windowArgs); });
}

}  // namespace tools
