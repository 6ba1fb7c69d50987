// vostrel sim power-cuts: the demo's full update, cut after each of its write steps in turn, in
// both run modes; what the terminal does when it powers up again and whether a second run of
// the same package completes the update, as a Markdown table and as JSON.
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <system_error>
#include <vector>

#include "sim/power_cut_matrix.h"
#include "tools/commands.h"
#include "tools/demo_package.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// A stretch of more write steps of one kind than this is sampled.
constexpr std::size_t kSampleAbove = 300;

struct PowerCutArgs {
  std::string mode = "both";
  bool quick = false;
  std::string out;
  std::string json;
  std::size_t sampleAbove = kSampleAbove;
};

struct ModeResult {
  sim::CutMode mode;
  sim::CutBaseline baseline;
  std::vector<sim::CutRow> rows;
};

int PowerCutsError(const std::string& message, int code = kExitUsage) {
  std::fprintf(stderr, "vostrel sim power-cuts: %s\n", message.c_str());
  return code;
}

std::string Shown(const std::string& version) {
  const std::size_t first = version.find_first_not_of(' ');
  return first == std::string::npos ? "-" : version.substr(first);
}

std::string VersionsText(const sim::InstalledVersions& versions) {
  return Shown(versions.boot) + " / " + Shown(versions.kernel) + " / " +
         Shown(versions.application) + " / " + Shown(versions.gps);
}

// Table cells hold script lines, whose "|" would end the cell.
std::string Cell(std::string text) {
  for (std::size_t at = text.find('|'); at != std::string::npos; at = text.find('|', at + 2)) {
    text.replace(at, 1, "\\|");
  }
  return text;
}

std::string SecondRunText(const sim::CutRow& row) {
  if (!row.secondRan) return "cannot run";
  std::string text = "screen " + std::to_string(row.secondScreen);
  if (!row.secondError.empty()) text += " (" + row.secondError + ")";
  return text;
}

std::string Completes(const sim::CutRow& row) {
  if (row.recovered) return "yes";
  return row.secondRan ? "**no**" : "**no: the terminal does not run the updater**";
}

nlohmann::json RowJson(const sim::CutRow& row) {
  const auto versions = [](const sim::InstalledVersions& v) {
    return nlohmann::json{
        {"boot", v.boot}, {"kernel", v.kernel}, {"application", v.application}, {"gps", v.gps}};
  };
  return {{"step", row.step.step.number},
          {"phase", row.step.phase},
          {"part", sim::StepPartName(row.step.step.part)},
          {"what", row.step.label},
          {"first_run_end", sim::RunEndName(row.firstEnd)},
          {"start_up", sim::BootStateName(row.boot)},
          {"reported", versions(row.reported)},
          {"second_run", row.secondRan},
          {"second_final_screen", row.secondScreen},
          {"second_error", row.secondError},
          {"after_second", versions(row.afterSecond)},
          {"completes", row.recovered}};
}

// Phases in the order the update runs them.
std::vector<std::string> PhasesOf(const ModeResult& result) {
  std::vector<std::string> phases;
  for (const sim::LabelledStep& step : result.baseline.steps) {
    if (phases.empty() || phases.back() != step.phase) phases.push_back(step.phase);
  }
  return phases;
}

std::string Markdown(const std::vector<ModeResult>& results, const std::string& command,
                     bool sampled) {
  std::string md = "# Power cuts during a full update\n\n";
  md += "Made with `" + command +
        "`. The demo's package (`tools/demo_package`) updates a fresh demo terminal; the update "
        "is run once to count its write steps, then once per cut point on a fresh terminal, "
        "with the power cut once that step is done. After the cut the terminal powers up: it "
        "starts, starts only in its boot loader (its kernel image is torn), or does not start "
        "(its boot loader image is torn); a partition is torn when its writing began and never "
        "reached the end (the flash driver marks an image whole only after its last block). "
        "A terminal that starts runs the same package once more (PLAY, then PLAY to leave); "
        "\"completes\" means that second run ends on screen 8 (or 5, nothing left) with every "
        "part the package updates at its new version.\n\n";
  md +=
      "Write steps: each 64 KiB block written to a binary partition, each write (1 KiB) and "
      "each sector erase of the GPS chip's flash, and each file-system change of the "
      "application's script (a folder created or removed, a file deleted or renamed, a "
      "chunk of 262,144 bytes of a copy).";
  if (sampled) {
    md +=
        " Long stretches of one kind of step are sampled: the first and last eight and an even "
        "spread between; the summary gives both counts.";
  }
  md += "\n\n## Summary\n\n";
  md +=
      "| mode | phase | write steps | cut points | starts | boot loader only | does not start | "
      "completed by a second run | not completed |\n";
  md += "|---|---|---|---|---|---|---|---|---|\n";
  std::vector<std::string> unstartable;
  std::vector<std::string> unrecovered;
  for (const ModeResult& result : results) {
    const std::string mode = sim::CutModeName(result.mode);
    for (const std::string& phase : PhasesOf(result)) {
      std::size_t steps = 0;
      std::size_t cut = 0;
      std::map<sim::BootState, std::size_t> boots;
      std::size_t recovered = 0;
      for (const sim::LabelledStep& step : result.baseline.steps) steps += step.phase == phase;
      for (const sim::CutRow& row : result.rows) {
        if (row.step.phase != phase) continue;
        ++cut;
        ++boots[row.boot];
        recovered += row.recovered;
        const std::string where = mode + " mode, step " + std::to_string(row.step.step.number) +
                                  " (" + row.step.label + ")";
        if (row.boot != sim::BootState::kStarts) {
          unstartable.push_back(where + ": " + sim::BootStateName(row.boot));
        } else if (!row.recovered) {
          unrecovered.push_back(where + ": second run " + SecondRunText(row));
        }
      }
      md += "| " + mode + " | " + phase + " | " + std::to_string(steps) + " | " +
            std::to_string(cut) + " | " + std::to_string(boots[sim::BootState::kStarts]) + " | " +
            std::to_string(boots[sim::BootState::kBootLoaderOnly]) + " | " +
            std::to_string(boots[sim::BootState::kDoesNotStart]) + " | " +
            std::to_string(recovered) + " | " + std::to_string(cut - recovered) + " |\n";
    }
  }
  bool images = false;
  for (const ModeResult& result : results) {
    for (const std::string& phase : PhasesOf(result))
      images = images || phase == "operating system";
  }
  if (!images) {
    md +=
        "\nThe package writes no boot loader or kernel image, so no cut here can tear one; the "
        "closing note says what a cut in that phase does.\n";
  }
  md += "\nCut points that leave the terminal unable to start the updater: ";
  if (unstartable.empty()) {
    md += "none.\n";
  } else {
    md += std::to_string(unstartable.size()) + ".\n\n";
    for (const std::string& line : unstartable) md += "- " + Cell(line) + "\n";
  }
  md +=
      "\nCut points after which the terminal starts but a second run does not complete the "
      "update: ";
  if (unrecovered.empty()) {
    md += "none.\n";
  } else {
    md += std::to_string(unrecovered.size()) + ".\n\n";
    for (const std::string& line : unrecovered) md += "- " + Cell(line) + "\n";
  }
  for (const ModeResult& result : results) {
    md += std::string("\n## ") + sim::CutModeName(result.mode) + " mode\n\n";
    md += "Before the update: " + VersionsText(result.baseline.before) +
          " (boot loader / kernel / application / GPS firmware); after it, uncut: " +
          VersionsText(result.baseline.after) + ".\n\n";
    md += "| step | phase | cut after | start-up | versions reported | second run | completes |\n";
    md += "|---|---|---|---|---|---|---|\n";
    for (const sim::CutRow& row : result.rows) {
      md += "| " + std::to_string(row.step.step.number) + " | " + row.step.phase + " | " +
            Cell(row.step.label) + " | " + sim::BootStateName(row.boot) + " | " +
            VersionsText(row.reported) + " | " + Cell(SecondRunText(row)) + " | " + Completes(row) +
            " |\n";
    }
  }
  md += R"(
## Closing note

The risk lies in the terminal's design: the boot loader and the kernel each live in one binary
partition, which a write erases whole before it programs the new image, so from the write's start
to its last block the partition holds no image the terminal can start. A cut in that window
leaves a terminal that does not start (boot loader) or starts only in its boot loader (kernel);
no second run of the updater can mend it, since the updater runs only on a started terminal.
Cuts in the GPS and application phases leave a terminal that starts, and the same package run
once more completes the update: the GPS chip's boot ROM takes new firmware whatever its flash
holds (and a torn firmware reports the old version or none, so the update is offered again),
and the script writes every file again.

Where the updater could lower that risk without changing what it is fixed to do (none of this is
built):

- The flash driver core, whose inner workings are this project's own, could write a new image
  into free units and take them over for the partition only once the image is whole: the units'
  headers carry the partition and the logical unit number, so the take-over is a rewrite of
  headers, and a cut before it leaves the old image whole. It needs as many free units as the
  image has.
- The partition writer could check, before it begins, that the terminal is on the charger (the
  update checks it once, on PLAY), so that the window is not opened on a failing battery.
- The order of the phases already puts the images last, after the GPS firmware and the
  application, so that a cut in the window finds the other parts complete.
)";
  return md;
}

int RunPowerCuts(const PowerCutArgs& args, const std::string& command) {
  std::vector<sim::CutMode> modes;
  if (args.mode == "terminal" || args.mode == "both") modes.push_back(sim::CutMode::kTerminal);
  if (args.mode == "desktop" || args.mode == "both") modes.push_back(sim::CutMode::kDesktop);
  const auto started = std::chrono::steady_clock::now();
  std::string pattern = (fs::temp_directory_path() / "vostrel-power-cuts-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) return PowerCutsError("cannot make a temporary folder");
  const fs::path work = pattern;
  struct Cleanup {
    fs::path dir;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } cleanup{work};
  auto built = BuildDemoPackage(work);
  if (!built) return PowerCutsError(built.error());
  sim::CutSetup setup;
  setup.package = built->package;
  setup.settings = ReadHostFile(built->staging / "Vostrel.ini");
  setup.initTerminal = [](const fs::path& dir) { return InitDemoTerminal(dir); };
  setup.work = work;

  std::vector<ModeResult> results;
  bool sampled = false;
  bool applicationRecovered = true;
  for (const sim::CutMode mode : modes) {
    setup.mode = mode;
    auto baseline = sim::RunBaseline(setup);
    if (!baseline)
      return PowerCutsError(std::string(sim::CutModeName(mode)) + " mode: " + baseline.error(), 1);
    ModeResult result{mode, std::move(*baseline), {}};
    const std::vector<std::size_t> chosen =
        sim::ChooseSteps(result.baseline, args.quick, args.sampleAbove);
    sampled = sampled || (!args.quick && chosen.size() < result.baseline.steps.size());
    std::fprintf(stderr, "%s mode: %zu write steps, cutting after %zu of them\n",
                 sim::CutModeName(mode), result.baseline.steps.size(), chosen.size());
    for (const std::size_t index : chosen) {
      auto row = sim::CutAt(setup, result.baseline, index);
      if (!row) return PowerCutsError(row.error(), 1);
      if (row->step.phase == "application" && !row->recovered) applicationRecovered = false;
      result.rows.push_back(std::move(*row));
    }
    results.push_back(std::move(result));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::fprintf(stderr, "done in %.1f seconds of wall time\n", seconds);

  const std::string md = Markdown(results, command, sampled);
  if (args.out.empty()) {
    std::fputs(md.c_str(), stdout);
  } else if (!WriteHostFile(args.out, md)) {
    return PowerCutsError(args.out + ": cannot be written");
  }
  if (!args.json.empty()) {
    nlohmann::json json = nlohmann::json::array();
    for (const ModeResult& result : results) {
      nlohmann::json rows = nlohmann::json::array();
      for (const sim::CutRow& row : result.rows) rows.push_back(RowJson(row));
      json.push_back({{"mode", sim::CutModeName(result.mode)},
                      {"write_steps", result.baseline.steps.size()},
                      {"rows", rows}});
    }
    if (!WriteHostFile(args.json, json.dump(2) + "\n"))
      return PowerCutsError(args.json + ": cannot be written");
  }
  // Every cut in the application phase must leave a terminal that a second run brings up to date.
  return applicationRecovered ? 0 : 1;
}

}  // namespace

void AddPowerCutsCommand(CLI::App& sim, int* exitCode) {
  auto* command = sim.add_subcommand(
      "power-cuts",
      "Cut the power of the demo's full update after each of its write steps in turn (each "
      "flash block, each GPS flash write and erase, each change of the application's script), "
      "on a fresh demo terminal each time; record whether the terminal starts again, the "
      "versions it reports, and whether a second run of the same package completes the "
      "update. Exit code 0 when every cut in the application phase is recovered by a second "
      "run, 1 otherwise.");
  auto args = std::make_shared<PowerCutArgs>();
  command->add_option("--mode", args->mode, "terminal, desktop or both (the default)")
      ->check(CLI::IsMember({"terminal", "desktop", "both"}));
  command->add_flag("--quick", args->quick,
                    "Only the first, a middle and the last write step of each phase");
  command->add_option("--out", args->out, "Write the Markdown table here (default: stdout)");
  command->add_option("--json", args->json, "Write the rows as JSON here");
  command
      ->add_option("--sample-above", args->sampleAbove,
                   "Sample a stretch of more steps of one kind than this (default 300)")
      ->check(CLI::PositiveNumber);
  command->callback([exitCode, args] {
    std::string line = "vostrel sim power-cuts --mode " + args->mode;
    if (args->quick) line += " --quick";
    if (args->sampleAbove != kSampleAbove)
      line += " --sample-above " + std::to_string(args->sampleAbove);
    if (!args->out.empty()) line += " --out " + args->out;
    *exitCode = RunPowerCuts(*args, line);
  });
}

}  // namespace tools
