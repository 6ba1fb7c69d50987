// vostrel sim: create, run and inspect simulated terminals.
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "app/main_dialog.h"
#include "app/screens.h"
#include "app/vostrel_app.h"
#include "settings/settings.h"
#include "sim/config.h"
#include "sim/desktop_peer.h"
#include "sim/display.h"
#include "sim/flash_media.h"
#include "sim/gps_chip.h"
#include "sim/gui.h"
#include "sim/runner.h"
#include "sim/shell.h"
#include "sim/terminal.h"
#include "sim/window_run.h"
#include "text/text.h"
#include "tools/commands.h"
#include "tools/host_files.h"
#include "tools/window_option.h"
#include "update/run_context.h"
#include "update/version_dlg.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

struct RunArgs {
  std::string dir;
  std::string cmdline;
  bool activesync = false;
  std::string keys;
  int debugLevel = 0;
  std::string report;
  std::string screens;
  bool realtime = false;
  std::string package;
  WindowArgs window;
  uint64_t powerCutAfterStep = 0;
};

int SimError(const std::string& message, int code = kExitUsage) {
  std::fprintf(stderr, "vostrel: %s\n", message.c_str());
  return code;
}

std::string ReadTail(const fs::path& file, std::size_t lines) {
  auto bytes = host::ReadFile(file);
  if (!bytes) return {};
  std::istringstream in(*bytes);
  std::vector<std::string> all;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    all.push_back(line);
  }
  std::string out;
  const std::size_t from = all.size() > lines ? all.size() - lines : 0;
  for (std::size_t i = from; i < all.size(); ++i) out += "  " + all[i] + "\n";
  return out;
}

int RunInit(const std::string& dir) {
  if (sim::Status status = sim::Terminal::Init(dir); !status) return SimError(status.error());
  std::printf("Created a simulated terminal in %s\n", dir.c_str());
  std::printf("  %s/terminal.json  hardware and behaviour (edit to change them)\n", dir.c_str());
  std::printf("  %s/fs/            its file system, \"\\\"\n", dir.c_str());
  return 0;
}

// Ctrl-C during a run is what pulling the terminal's battery is: the power goes at once, on the
// terminal's clock, and the run then says so like any other power cut instead of ending without a
// word. The handler only writes a byte into a pipe; a watcher thread posts the cut to the clock.
class PowerCutOnInterrupt {
 public:
  explicit PowerCutOnInterrupt(sim::Terminal& terminal) {
    if (::pipe2(s_pipe, O_CLOEXEC) != 0) return;
    struct sigaction action {};
    action.sa_handler = [](int) {
      const char byte = 'c';
      [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    };
    sigemptyset(&action.sa_mask);
    // A second Ctrl-C ends the process at once, should the cut itself not end the run.
    action.sa_flags = SA_RESETHAND;
    ::sigaction(SIGINT, &action, &m_previous);
    m_watcher = std::thread([this, &terminal] {
      char byte = 0;
      while (::read(s_pipe[0], &byte, 1) < 0 && errno == EINTR) {
      }
      if (byte != 'c') return;  // the run ended first
      m_cut = true;
      terminal.Clock().Post([&terminal] {
        terminal.CutPower();
        terminal.Clock().WakeThreadsOf(sim::kUpdaterProcess);
      });
    });
  }
  ~PowerCutOnInterrupt() {
    if (!m_watcher.joinable()) return;
    ::sigaction(SIGINT, &m_previous, nullptr);
    const char byte = 'e';
    [[maybe_unused]] const ssize_t written = ::write(s_pipe[1], &byte, 1);
    m_watcher.join();
    ::close(s_pipe[0]);
    ::close(s_pipe[1]);
  }
  PowerCutOnInterrupt(const PowerCutOnInterrupt&) = delete;
  PowerCutOnInterrupt& operator=(const PowerCutOnInterrupt&) = delete;
  bool Cut() const { return m_cut; }

 private:
  static inline int s_pipe[2] = {-1, -1};
  struct sigaction m_previous {};
  std::thread m_watcher;
  std::atomic<bool> m_cut{false};
};

int RunRun(const RunArgs& args) {
  if (std::string wrong = CheckWindowArgs(args.window, args.realtime); !wrong.empty()) {
    return SimError(wrong);
  }
  if (args.activesync && !args.cmdline.empty()) {
    return SimError("--activesync and --cmdline cannot be given together");
  }
  auto keys = sim::ParseKeys(args.keys);
  if (!keys) return SimError("--keys: " + keys.error());
  // Found now, not after the update has changed the terminal.
  if (!args.report.empty()) {
    if (sim::Status writable = host::CheckWritable(args.report); !writable) {
      return SimError("--report: " + writable.error());
    }
  }
  const bool realtime = args.realtime || args.window.window;
  // Taken before the terminal opens, so that a second run changes nothing.
  std::optional<sim::TerminalLock> lock;
  if (std::error_code ignored; fs::is_directory(fs::path(args.dir) / "fs", ignored)) {
    auto taken = sim::TerminalLock::Take(args.dir);
    if (!taken) return SimError(taken.error());
    lock.emplace(std::move(*taken));
  }
  auto terminal = sim::Terminal::Open(
      args.dir, realtime ? sim::ClockMode::kRealtime : sim::ClockMode::kVirtual);
  if (!terminal) return SimError(terminal.error());
  if ((*terminal)->Boot() != sim::BootState::kStarts) {
    std::fprintf(stderr, "vostrel: the terminal in %s does not start: %s; the updater cannot run\n",
                 args.dir.c_str(), (*terminal)->BootReason().c_str());
    return sim::kExitNotStarted;
  }
  if (args.window.speed != 0) (*terminal)->Clock().SetSpeed(args.window.speed);
  const bool desktopMode = args.activesync || text::EqualsNoCase(args.cmdline, "ACTIVESYNC");
  const sim::DesktopConfig& desktopConfig = (*terminal)->Config().Get<sim::DesktopConfig>();
  if (desktopMode && args.package.empty() && !realtime) {
    const std::string fs = args.dir + "/fs";
    return SimError(text::Sprintf(
        "a desktop-mode run in virtual time needs --package, which a simulated desktop serves; "
        "without one nothing would ever answer the terminal (with --realtime, vostrel desktop "
        "serve --root %s can answer from outside)",
        fs));
  }
  if (!args.package.empty() && desktopMode) {
    if (desktopConfig.stopAfter && desktopConfig.abortAfterMs == 0) {
      return SimError(text::Sprintf(
          "%s/terminal.json: key \"desktop.abort_after_ms\": 0 (never) with "
          "\"desktop.stop_after\" would leave the terminal waiting for an answer forever",
          args.dir));
    }
  } else if (!args.package.empty()) {
    if (sim::Status placed = sim::PlacePackage(**terminal, args.package); !placed) {
      return SimError("--package: " + placed.error());
    }
  }
  if (args.debugLevel != 0) {
    if (sim::Status placed = sim::PlaceDebugMarker(**terminal, args.debugLevel); !placed) {
      return SimError("--debug-level: " + placed.error());
    }
  }
  std::unique_ptr<sim::ScreenRecorder> recorder;
  if (!args.screens.empty()) {
    auto started = sim::ScreenRecorder::Start((*terminal)->Gui(), args.screens);
    if (!started) return SimError("--screens: " + started.error());
    recorder = std::move(*started);
  }
  std::unique_ptr<sim::TerminalWindow> window;
  if (args.window.window) {
    auto opened = OpenTerminalWindow(args.window, args.dir);
    if (!opened) return SimError("--window: " + opened.error());
    window = std::move(*opened);
  }
  // Prepared last, so that nothing above can fail after the root folder changed.
  std::unique_ptr<sim::SimDesktop> desktop;
  if (!args.package.empty() && desktopMode) {
    auto started = sim::SimDesktop::Open((*terminal)->Files(), (*terminal)->Clock(), args.package,
                                         desktopConfig);
    if (!started) return SimError("--package: " + started.error());
    desktop = std::move(*started);
  }
  // Taken before the run says anything, so that a Ctrl-C it prompts is always a power cut.
  std::unique_ptr<PowerCutOnInterrupt> interrupt;
  if (!window) interrupt = std::make_unique<PowerCutOnInterrupt>(**terminal);
  if (desktopMode && args.package.empty()) {
    // Nothing in this process answers: say what the terminal waits for and how to end it.
    std::fprintf(stderr,
                 "vostrel: the terminal waits for a desktop in %s/fs; serve one from another "
                 "shell with \"vostrel desktop serve --package PKG --root %s/fs\", or end the "
                 "run with Ctrl-C\n",
                 args.dir.c_str(), args.dir.c_str());
  }
  sim::RunOptions options;
  options.commandLine = args.activesync ? "ACTIVESYNC" : args.cmdline;
  options.keys = *keys;
  options.desktop = desktop.get();
  if (args.powerCutAfterStep != 0) options.powerCutAfterStep = args.powerCutAfterStep;
  sim::RunOutcome outcome;
  if (window) {
    auto ran = sim::RunInWindow(**terminal, options, *window);
    if (!ran) return SimError("--window: " + ran.error());
    outcome = ran->outcome;
    window.reset();
  } else {
    outcome = sim::RunUpdater(**terminal, options);
  }

  std::printf("Screens:");
  for (const int screen : outcome.screens) std::printf(" %d", screen);
  std::printf("\nFinal screen: %d (%s)\n", outcome.finalScreen, sim::RunEndName(outcome.end));
  if (interrupt != nullptr && interrupt->Cut() && outcome.end == sim::RunEnd::kPowerCut) {
    if (outcome.writeSteps.empty()) {
      std::printf("Ctrl-C cut the power before the run's first write step.\n");
    } else {
      std::printf("Ctrl-C cut the power after write step %llu (%s).\n",
                  static_cast<unsigned long long>(outcome.writeSteps.back().number),
                  outcome.writeSteps.back().what.c_str());
    }
  }
  if (outcome.rebooted) std::printf("The terminal rebooted.\n");
  if (outcome.end == sim::RunEnd::kPowerCut && outcome.bootAfter == sim::BootState::kStarts) {
    std::printf("After the power cut the terminal starts again.\n");
  } else if (outcome.end == sim::RunEnd::kPowerCut) {
    std::printf("After the power cut the terminal %s: %s.\n", sim::BootStateName(outcome.bootAfter),
                (*terminal)->BootReason().c_str());
  } else if (outcome.bootAfter != sim::BootState::kStarts) {
    // It started before the run (a run needs that), so this run changed it.
    std::printf("After this run the terminal %s: %s.\n", sim::BootStateName(outcome.bootAfter),
                (*terminal)->BootReason().c_str());
  }
  if (outcome.rerunnerStarted) std::printf("The rerunner was started.\n");
  for (const std::string& error : outcome.fileErrors) {
    std::fprintf(stderr, "vostrel: the terminal's state was not kept: %s\n", error.c_str());
  }
  if (outcome.desktopServed) {
    std::printf("Desktop (%zu lines):\n", outcome.desktopLog.size());
    for (const std::string& line : outcome.desktopLog) std::printf("  %s\n", line.c_str());
  }
  if (!args.report.empty()) {
    const std::string report = sim::ReportJson(**terminal, outcome).dump(2) + "\n";
    if (sim::Status written = host::WriteFile(args.report, report); !written) {
      return SimError(written.error());
    }
  }
  if (recorder) {
    if (!recorder->Written()) return SimError("--screens: " + recorder->Written().error());
    std::printf("Saved %zu screen pictures in %s\n", recorder->Files().size(),
                args.screens.c_str());
  }
  return outcome.exitCode;
}

// The main dialog on a screen as the terminal shows it: the bar half way on the screens that
// show it during an update, and an example error on the failed screen.
platform::DialogState ExampleMainDialog(const ScreenInfo& screen) {
  CRunContext run;
  CVostrelHHTDlg dialog(run);
  delete dialog.m_picture.SetBitmap(new ui::Bitmap(screen.bitmap));
  const bool updating = screen.screen == kScreenUpdatingOS ||
                        screen.screen == kScreenUpdatingApplication ||
                        screen.screen == kScreenUpdatingGPS;
  dialog.m_progress.SetRange(0, 100);
  dialog.m_progress.SetPos(50);
  dialog.m_progress.ShowWindow(updating);
  dialog.m_errorLine.SetWindowText("(1019)CHECKSUM FAILED (CFileAccess::IsCheckSumValid:)");
  dialog.m_errorLine.ShowWindow(screen.screen == kScreenFailed);
  return dialog.Describe();
}

// The real version dialog on a throwaway terminal: the boot loader, kernel and application
// offered and newer than what is installed, no GPS firmware in the package.
sim::Result<platform::DialogState> ExampleVersionDialog() {
  using R = sim::Result<platform::DialogState>;
  auto scratch = host::ScratchFolder::Make("vostrel-screens");
  if (!scratch) return R::Failure(scratch.error());
  const fs::path dir = scratch->Path();

  sim::TerminalConfig config;
  config.Get<sim::HalConfig>().bootVersion = "1.0.5";
  config.Get<sim::HalConfig>().kernelVersion = "4.2.118";
  config.Get<sim::ShellConfig>().applicationVersion = "3.10";
  config.Get<sim::GpsConfig>().firmwareVersion = "2.3.2";
  if (sim::Status created = sim::Terminal::Init(dir / "t", config); !created) {
    return R::Failure(created.error());
  }
  auto terminal = sim::Terminal::Open(dir / "t");
  if (!terminal) return R::Failure(terminal.error());
  (*terminal)->Install();
  (*terminal)->Clock().AttachMainThread(sim::kUpdaterProcess);
  platform::DialogState state;
  {
    CRunContext run;
    run.m_settings.LoadFromBytes(
        "[SoftwareToUpdate]\nUpdate1=OS\nUpdate2=Application\n"
        "[OS]\nOSSoftware1=OS|1.0.6|EBOOT2.NB0^0^BOOT\nOSSoftware2=OS|4.2.121|NK.BIN^1^KRNL\n"
        "[Application]\nAppSoftware1=Application|3.12|AppScript\n");
    CVostrelHHTDlg main(run);
    main.DecideUpdates();
    struct ShownVersionDlg : CVersionDlg {
      using CVersionDlg::CVersionDlg;
      using CVersionDlg::OnInitDialog;
    } version(run);
    version.OnInitDialog();
    state = version.Describe();
  }
  (*terminal)->Clock().EndProcess(sim::kUpdaterProcess);
  (*terminal)->Uninstall();
  return state;
}

int RunScreens(const std::string& dir) {
  auto display = sim::Display::Open();
  if (!display) return SimError(display.error());
  std::error_code error;
  fs::create_directories(dir, error);
  if (error) return SimError(dir + ": " + error.message());
  std::vector<std::pair<std::string, platform::ScreenFrame>> pictures;
  for (const ScreenInfo* screen = ScreensBegin(); screen != ScreensEnd(); ++screen) {
    pictures.push_back({text::Sprintf("screen%02d.png", screen->screen),
                        platform::ScreenFrame{{ExampleMainDialog(*screen)}}});
  }
  auto version = ExampleVersionDialog();
  if (!version) return SimError("version dialog: " + version.error());
  pictures.push_back(
      {"version-dialog.png",
       platform::ScreenFrame{{ExampleMainDialog(*FindScreen(kScreenWelcome)), *version}}});
  for (const auto& [name, frame] : pictures) {
    const fs::path file = fs::path(dir) / name;
    if (sim::Status saved = (*display)->SavePng(frame, file); !saved)
      return SimError(saved.error());
    std::printf("%s\n", file.string().c_str());
  }
  return 0;
}

int RunShow(const std::string& dir) {
  auto opened = sim::Terminal::Open(dir);
  if (!opened) return SimError(opened.error());
  sim::Terminal& terminal = **opened;
  const sim::TerminalConfig& config = terminal.Config();
  std::printf("Terminal %s\n", dir.c_str());
  std::printf("  program:      %s\n", config.programPath.c_str());
  std::printf("  clock starts: %s\n",
              sim::FormatLocalTime(config.Get<sim::ClockConfig>().start).c_str());
  std::printf("  charger:      %s\n", sim::AcLineName(config.Get<sim::PowerConfig>().acLine));
  const sim::InstalledVersions versions = terminal.Versions();
  const auto shown = [](const std::string& version) {
    return version.empty() ? std::string("(none reported)") : version;
  };
  std::printf("  boot loader:  %s\n", shown(versions.boot).c_str());
  std::printf("  kernel:       %s\n", shown(versions.kernel).c_str());
  std::printf("  application:  %s\n", shown(versions.application).c_str());
  std::printf("  GPS firmware: %s\n", shown(versions.gps).c_str());
  std::printf("  shell:        %s\n",
              sim::FindShell(terminal.Processes()) != nullptr ? "running" : "not running");
  std::printf("%s", terminal.DescribeParts().c_str());
  if (terminal.Registry().KeyExists("Update\\Start")) {
    std::printf("  registry:     Update\\Start present (an update was started)\n");
  }
  const fs::path log = terminal.Files().HostPath("\\Flash disk2\\Vostrel.log");
  const std::string tail = ReadTail(log, 15);
  if (tail.empty()) {
    std::printf("  log:          none yet\n");
  } else {
    std::printf("  log (last lines of %s):\n%s", log.string().c_str(), tail.c_str());
  }
  return 0;
}

// Writes the GPS chip's flash, as it holds it now, to a host file.
int RunGpsRead(const std::string& dir, const std::string& output) {
  auto opened = sim::Terminal::Open(dir);
  if (!opened) return SimError(opened.error());
  const std::vector<uint8_t> flash = (*opened)->Find<sim::GpsChip>()->FlashContents();
  const std::string_view bytes(reinterpret_cast<const char*>(flash.data()), flash.size());
  if (sim::Status written = host::WriteFile(output, bytes); !written) {
    return SimError(written.error(), 1);
  }
  const gps_images::NorPart part = (*opened)->Find<sim::GpsChip>()->FlashPart();
  std::printf("Wrote the GPS chip's flash (%s, %zu bytes) to %s\n", part.name.c_str(), flash.size(),
              output.c_str());
  return 0;
}

struct FlashReadArgs {
  std::string dir;
  std::string signature;
  std::string out;
  bool whole = false;
};

int RunFlashRead(const FlashReadArgs& args) {
  auto opened = sim::Terminal::Open(args.dir);
  if (!opened) return SimError(opened.error());
  auto data = (*opened)->Find<sim::FlashMedia>()->ReadPartition(args.signature, args.whole);
  if (!data) return SimError(args.dir + ": " + data.error(), 1);
  if (sim::Status written = host::WriteFile(args.out, *data); !written) {
    return SimError(written.error(), 1);
  }
  std::printf("Wrote %zu bytes of partition \"%s\" to %s\n", data->size(), args.signature.c_str(),
              args.out.c_str());
  return 0;
}

}  // namespace

void AddSimCommands(CLI::App& app, int* exitCode) {
  CLI::App* sim = app.add_subcommand("sim", "Create, run and inspect simulated terminals");
  sim->require_subcommand(1);
  AddSimFaultsCommand(*sim, exitCode);

  auto* init = sim->add_subcommand("init", "Create a simulated terminal with default hardware");
  auto initDir = std::make_shared<std::string>();
  init->add_option("DIR", *initDir, "Folder of the new terminal")->required();
  auto initKeys = std::make_shared<std::vector<std::string>>();
  AddTrustOption(*init, initKeys.get());
  init->callback([exitCode, initDir, initKeys] {
    auto pems = ReadKeyFiles(*initKeys);
    if (!pems) {
      *exitCode = SimError(pems.error());
      return;
    }
    *exitCode = RunInit(*initDir);
    if (*exitCode != 0) return;
    if (sim::Status trusted = TrustKeys(*initDir, *pems); !trusted) {
      *exitCode = SimError(trusted.error());
    }
  });

  auto* run = sim->add_subcommand(
      "run",
      "Run the updater on a terminal, as if the terminal had started it. The exit code is the "
      "outcome, from the last screen shown: 0 completed or nothing to update, 1 failed, "
      "2 invalid package, 3 restart required, 4 any other screen, 5 the terminal does not "
      "start; 64 a bad command line or terminal folder.");
  auto runArgsPtr = std::make_shared<RunArgs>();
  RunArgs& runArgs = *runArgsPtr;
  run->add_option("DIR", runArgs.dir, "Folder of the terminal")->required();
  run->add_option("--cmdline", runArgs.cmdline,
                  "The updater's command line (\"ACTIVESYNC\" selects desktop mode)");
  run->add_flag("--activesync", runArgs.activesync, "Same as --cmdline ACTIVESYNC");
  run->add_option("--keys", runArgs.keys,
                  "Keys to press when the updater waits for one: PLAY, STOP, BACK (the << key), "
                  "TAB, F1 to F4 or a virtual key number; TAB+F3 holds TAB while F3 is pressed; "
                  "KEY@MS presses KEY at that virtual time, whatever the updater is doing");
  run->add_option("--debug-level", runArgs.debugLevel,
                  "Leave a read-only debug marker for level 1, 2 (progress) or 3 (details) "
                  "before the start, as a service engineer would")
      ->check(CLI::Range(1, 3));
  run->add_option("--package", runArgs.package,
                  "An update package for the run. Terminal mode: put beside the program as "
                  "install.bin. Desktop mode (--activesync): served by a simulated desktop in "
                  "the terminal's time, which places the package's header part as \\install.bin "
                  "and its Vostrel.ini in the root folder and answers the terminal's requests "
                  "(its cache size and faults: the \"desktop\" section of terminal.json)")
      ->check(CLI::ExistingFile);
  run->add_option("--report", runArgs.report, "Write the outcome as JSON to this file");
  run->add_option("--screens", runArgs.screens,
                  "Save a PNG picture of the screen at each change in this folder, in order: "
                  "0001-screen01.png, 0002-screen02.png, ... (the number is the screen's)");
  run->add_flag("--realtime", runArgs.realtime, "Use the host clock instead of virtual time");
  run->add_option("--power-cut-after-step", runArgs.powerCutAfterStep,
                  "Cut the terminal's power once this write step of the run is done (counted "
                  "from 1: each flash block of a binary partition, each GPS flash write and "
                  "erase, each file-system change of the application's script; --report lists "
                  "them)")
      ->check(CLI::Validator(
          [](const std::string& value) {
            return value.find_first_not_of('0') == std::string::npos
                       ? std::string("steps are counted from 1, so 0 names none")
                       : std::string();
          },
          "STEP>=1"));
  AddWindowOptions(run, &runArgs.window, "--window or --realtime");
  run->callback([exitCode, runArgsPtr] { *exitCode = RunRun(*runArgsPtr); });

  auto* show = sim->add_subcommand("show", "Print a terminal's state");
  auto showDir = std::make_shared<std::string>();
  show->add_option("DIR", *showDir, "Folder of the terminal")->required();
  show->callback([exitCode, showDir] { *exitCode = RunShow(*showDir); });

  auto* gps = sim->add_subcommand("gps", "The terminal's GPS chip");
  gps->require_subcommand(1);
  auto* gpsRead = gps->add_subcommand("read", "Write the GPS chip's flash to a file");
  auto gpsDir = std::make_shared<std::string>();
  auto gpsOutput = std::make_shared<std::string>();
  gpsRead->add_option("DIR", *gpsDir, "Folder of the terminal")->required();
  gpsRead->add_option("-o,--output", *gpsOutput, "The file to write")->required();
  gpsRead->callback([exitCode, gpsDir, gpsOutput] { *exitCode = RunGpsRead(*gpsDir, *gpsOutput); });
  AddOutsideRunCommands(*sim, *gps, exitCode);
  auto* flash = sim->add_subcommand("flash", "Read what the terminal's flash disk holds");
  flash->require_subcommand(1);
  auto* flashRead = flash->add_subcommand(
      "read",
      "Write a binary partition's contents, read through the error correction, to a file: up "
      "to the end of the last page written, or the whole partition with --whole");
  auto flashArgs = std::make_shared<FlashReadArgs>();
  flashRead->add_option("DIR", flashArgs->dir, "Folder of the terminal")->required();
  flashRead->add_option("SIGNATURE", flashArgs->signature, "The partition's signature (BOOT, KRNL)")
      ->required();
  flashRead->add_option("-o", flashArgs->out, "The file to write")->required();
  flashRead->add_flag("--whole", flashArgs->whole, "The whole partition, erased bytes included");
  flashRead->callback([exitCode, flashArgs] { *exitCode = RunFlashRead(*flashArgs); });

  auto* screens = sim->add_subcommand(
      "screens",
      "Render every screen of the updater and the version dialog as PNG pictures: "
      "screen01.png to screen11.png and version-dialog.png");
  auto screensDir = std::make_shared<std::string>();
  screens->add_option("OUTDIR", *screensDir, "Folder for the pictures (created)")->required();
  screens->callback([exitCode, screensDir] { *exitCode = RunScreens(*screensDir); });

  AddPowerCutsCommand(*sim, exitCode);
}

}  // namespace tools
