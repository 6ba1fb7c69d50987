#include "sim/runner.h"

#include "app/vostrel_app.h"
#include "sim/desktop_peer.h"
#include "sim/gps_chip.h"
#include "sim/gui.h"
#include "sim/part_versions.h"
#include "update/run_context.h"

namespace sim {

namespace {

constexpr const char* kMarkers[] = {"\\Flash disk2\\error.dbg", "\\Flash disk2\\progress.dbg",
                                    "\\Flash disk2\\detailed.dbg"};

}  // namespace

const char* RunEndName(RunEnd end) {
  switch (end) {
    case RunEnd::kLeft:
      return "left";
    case RunEnd::kRebooted:
      return "rebooted";
    case RunEnd::kPowerCut:
      return "power cut";
    case RunEnd::kKeysRanOut:
      return "keys ran out";
    case RunEnd::kNotStarted:
      return "terminal does not start";
  }
  return "left";
}

Status PlaceDebugMarker(Terminal& terminal, int level) {
  if (level < 1 || level > 3) {
    return Status::Failure("debug level " + std::to_string(level) + ": expected 1, 2 or 3");
  }
  SimFileSystem& files = terminal.Files();
  for (const char* marker : kMarkers) {
    if (files.GetAttributes(marker) != platform::kInvalidValue) {
      files.SetAttributes(marker, platform::kAttributeNormal);
      if (!files.Delete(marker)) {
        return Status::Failure(std::string(marker) + ": cannot be removed (error " +
                               std::to_string(platform::GetLastError()) + ")");
      }
    }
  }
  const char* marker = kMarkers[level - 1];
  const platform::Handle file =
      files.Open(marker, platform::kGenericWrite, platform::kShareNone,
                 platform::Disposition::kCreateAlways, platform::kAttributeNormal);
  if (file == platform::kInvalidHandle) {
    return Status::Failure(std::string(marker) + ": cannot be created (error " +
                           std::to_string(platform::GetLastError()) + ")");
  }
  files.Close(file);
  files.SetAttributes(marker, platform::kAttributeReadOnly);
  return {};
}

Status PlacePackage(Terminal& terminal, const std::filesystem::path& package) {
  std::string folder = terminal.Config().programPath;
  folder.resize(folder.rfind('\\') + 1);
  // The terminal's own walk refuses a folder reached through a symbolic link, which would place
  // the package outside the terminal.
  const uint32_t attributes = terminal.Files().GetAttributes(folder);
  if (attributes == platform::kInvalidValue || (attributes & platform::kAttributeDirectory) == 0) {
    return Status::Failure(folder +
                           ": the program's folder is not a folder of the terminal (error " +
                           std::to_string(platform::GetLastError()) + ")");
  }
  const std::filesystem::path target = terminal.Files().HostPath(folder + "install.bin");
  std::error_code error;
  if (std::filesystem::equivalent(package, target, error)) return {};  // placed already
  // A hard link places a package of any size at once; the terminal's file system gives the file
  // data of its own before anything on the terminal changes it. Across file systems, a copy. It
  // is made beside the target under a name no terminal file has, and renamed over it.
  const std::filesystem::path placed = target.string() + ":new";
  std::error_code ignored;
  std::filesystem::remove(placed, ignored);
  error.clear();
  // The link goes to the file itself, never to a symbolic link that leads out of the terminal.
  std::filesystem::create_hard_link(std::filesystem::canonical(package, error), placed, error);
  if (error) {
    error.clear();
    std::filesystem::copy_file(package, placed, error);
  }
  if (!error) std::filesystem::rename(placed, target, error);
  if (error) {
    std::filesystem::remove(placed, ignored);
    return Status::Failure(package.string() + ": cannot be copied to " + folder + "install.bin (" +
                           error.message() + ")");
  }
  return {};
}

namespace {

// A terminal without a running kernel runs no program: the run ends before it began.
RunOutcome NotStarted(Terminal& terminal) {
  RunOutcome outcome;
  outcome.end = RunEnd::kNotStarted;
  outcome.exitCode = kExitNotStarted;
  outcome.bootAfter = terminal.Boot();
  const InstalledVersions versions = terminal.Versions();
  for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
    outcome.parts[i].installedBefore = VersionOf(versions, kUpdateParts[i].part);
    outcome.parts[i].installedAfter = VersionOf(versions, kUpdateParts[i].part);
  }
  return outcome;
}

}  // namespace

RunOutcome RunUpdater(Terminal& terminal, const RunOptions& options) {
  if (terminal.Boot() != BootState::kStarts) return NotStarted(terminal);
  RunOutcome outcome;
  SimGui& gui = terminal.Gui();
  gui.SetKeys(options.keys);
  const std::size_t traceStart = gui.Trace().size();
  const int activityBefore = terminal.Seen().userActivitySignals;
  const int rerunnerBefore = terminal.Seen().rerunnerStarts;
  const uint64_t startTime = terminal.Now();

  const InstalledVersions before = terminal.Versions();
  terminal.Seen().rebooted = false;
  terminal.Seen().powerCut = false;
  // The run reports what it decided and met just before its context goes, however it ends.
  const auto record = [&outcome](const CRunContext& run) {
    for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
      const UpdatePartRow& row = kUpdateParts[i];
      PartOutcome& part = outcome.parts[i];
      part.offered = run.m_state.*row.offered != 0;
      part.marked = run.m_state.*row.marked != 0;
      const SoftwareDefinition* definition = OfferedDefinition(run.m_settings, row.part);
      if (part.offered && definition != nullptr) part.offeredVersion = definition->version;
    }
    const AppError& error = run.m_utils.LastError();
    outcome.lastError = error.m_nLastError;
    outcome.lastErrorText = error.m_strLastError;
    outcome.lastErrorFunction = error.m_strLastErrorFunction;
  };

  terminal.Install();
  Scheduler& clock = terminal.Clock();
  clock.AttachMainThread(kUpdaterProcess);
  if (options.desktop != nullptr) options.desktop->Begin();
  terminal.Steps().Begin(options.powerCutAfterStep);
  try {
    RunVostrelHHT(options.commandLine, record);
  } catch (const ProcessEnded&) {
    // A reboot, or the keys ran out: the updater's process stops where it was.
  }
  terminal.Steps().End();
  outcome.writeSteps = terminal.Steps().Steps();
  clock.EndProcess(kUpdaterProcess);
  terminal.Files().CloseAllOf(kUpdaterProcess);
  if (options.desktop != nullptr) {
    options.desktop->Stop();
    outcome.desktopServed = true;
    outcome.desktopLog = options.desktop->Log();
  }
  terminal.Uninstall();
  if (terminal.Seen().rebooted || terminal.Seen().powerCut) terminal.Restart();
  outcome.bootAfter = terminal.Boot();

  const InstalledVersions after = terminal.Versions();
  for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
    outcome.parts[i].installedBefore = VersionOf(before, kUpdateParts[i].part);
    outcome.parts[i].installedAfter = VersionOf(after, kUpdateParts[i].part);
  }

  if (terminal.Seen().powerCut) {
    outcome.end = RunEnd::kPowerCut;
  } else if (terminal.Seen().rebooted) {
    outcome.end = RunEnd::kRebooted;
  } else if (gui.KeysExhausted()) {
    outcome.end = RunEnd::kKeysRanOut;
  }
  outcome.trace.assign(gui.Trace().begin() + static_cast<std::ptrdiff_t>(traceStart),
                       gui.Trace().end());
  for (const TraceEntry& entry : outcome.trace) {
    if (outcome.screens.empty() || outcome.screens.back() != entry.screen) {
      outcome.screens.push_back(entry.screen);
    }
  }
  outcome.finalScreen = outcome.screens.empty() ? 0 : outcome.screens.back();
  outcome.rebooted = terminal.Seen().rebooted;
  outcome.rerunnerStarted = terminal.Seen().rerunnerStarts > rerunnerBefore;
  outcome.userActivitySignals = terminal.Seen().userActivitySignals - activityBefore;
  outcome.exitCode = ExitCodeForScreen(outcome.finalScreen);
  for (const std::string* error :
       {&terminal.Registry().SaveError(), &terminal.Find<GpsChip>()->SaveError()}) {
    if (!error->empty()) outcome.fileErrors.push_back(*error);
  }
  if (!outcome.fileErrors.empty()) outcome.exitCode = kExitFileLost;
  outcome.virtualMilliseconds = terminal.Now() - startTime;
  const auto& gps = terminal.Find<GpsChip>()->LastSession();
  if (gps && gps->handedOverMs >= startTime) {
    const auto byRate = [](const std::map<uint32_t, uint64_t>& bytes) {
      nlohmann::json rates = nlohmann::json::object();
      for (const auto& [baud, count] : bytes) rates[std::to_string(baud)] = count;
      return rates;
    };
    outcome.gpsProgramming = {
        {"handed_over_ms", gps->handedOverMs - startTime},
        {"taken_back_ms", gps->takenBackMs ? nlohmann::json(*gps->takenBackMs - startTime)
                                           : nlohmann::json(nullptr)},
        {"terminal_bytes", byRate(gps->terminalBytes)},
        {"chip_bytes", byRate(gps->chipBytes)},
        {"erase_ms", static_cast<double>(gps->erasing) / kNanosPerMs},
        {"program_ms", static_cast<double>(gps->programming) / kNanosPerMs}};
  }
  return outcome;
}

nlohmann::json ReportJson(Terminal& /*terminal*/, const RunOutcome& outcome) {
  nlohmann::json report;
  report["screens"] = outcome.screens;
  report["final_screen"] = outcome.finalScreen;
  report["end"] = RunEndName(outcome.end);
  report["rebooted"] = outcome.rebooted;
  report["rerunner_started"] = outcome.rerunnerStarted;
  report["user_activity_signals"] = outcome.userActivitySignals;
  report["virtual_milliseconds"] = outcome.virtualMilliseconds;
  report["exit_code"] = outcome.exitCode;
  report["start_up_after"] = BootStateName(outcome.bootAfter);
  nlohmann::json steps = nlohmann::json::array();
  for (const WriteStep& step : outcome.writeSteps) {
    steps.push_back({{"step", step.number},
                     {"part", StepPartName(step.part)},
                     {"what", step.what},
                     {"time_ms", step.timeMs}});
  }
  report["write_steps"] = steps;
  nlohmann::json parts = nlohmann::json::object();
  for (std::size_t i = 0; i < kUpdatePartCount; ++i) {
    const PartOutcome& part = outcome.parts[i];
    parts[kUpdateParts[i].name] = {
        {"installed_before", part.installedBefore},
        {"installed_after", part.installedAfter},
        {"offered_version",
         part.offeredVersion ? nlohmann::json(*part.offeredVersion) : nlohmann::json(nullptr)},
        {"offered", part.offered},
        {"marked", part.marked},
    };
  }
  report["parts"] = parts;
  report["last_error"] = {{"number", outcome.lastError},
                          {"text", outcome.lastErrorText},
                          {"function", outcome.lastErrorFunction}};
  if (!outcome.fileErrors.empty()) report["file_errors"] = outcome.fileErrors;
  if (outcome.desktopServed) report["desktop"] = {{"log", outcome.desktopLog}};
  if (!outcome.gpsProgramming.is_null()) report["gps_programming"] = outcome.gpsProgramming;
  return report;
}

}  // namespace sim
