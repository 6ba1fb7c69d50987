// vostrel sim power-cuts: the demo's full update, cut after each of its write steps in turn, in
// both run modes; what the terminal does when it powers up again and whether a second run of
// the same package completes the update, as a Markdown table and as JSON.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/commands.h"
#include "tools/demo_package.h"
#include "tools/host_files.h"
#include "tools/matrix_harness.h"
#include "tools/package_file.h"
#include "tools/power_cut_matrix.h"

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
  // A package of one's own instead of the demo's, on fresh default terminals changed by the
  // terminal.json settings given.
  std::string package;
  std::vector<std::string> settings;
};

// The package given, its settings file, and fresh terminals with the settings given.
sim::Status OwnPackage(const PowerCutArgs& args, power_cuts::CutSetup& setup) {
  auto file = PackageFile::Open(args.package);
  if (!file) return sim::Status::Failure(file.error());
  const container::Entry* ini = file->Find("Vostrel.ini");
  if (ini == nullptr) return sim::Status::Failure(args.package + ": no member Vostrel.ini");
  if (sim::Status read = file->ReadMember(*ini, &setup.settings); !read) return read;
  sim::TerminalConfig config;
  if (sim::Status applied = matrix::ApplySettings(args.settings, config); !applied) return applied;
  setup.package = fs::absolute(args.package);
  setup.initTerminal = [config](const fs::path& dir) { return sim::Terminal::Init(dir, config); };
  return {};
}

int PowerCutsError(const std::string& message, int code = kExitUsage) {
  std::fprintf(stderr, "vostrel sim power-cuts: %s\n", message.c_str());
  return code;
}

int RunPowerCuts(const PowerCutArgs& args, const std::string& command) {
  const auto started = std::chrono::steady_clock::now();
  auto work = matrix::WorkFolder::Make("", false, "vostrel-power-cuts");
  if (!work) return PowerCutsError(work.error());
  power_cuts::CutSetup setup;
  if (!args.package.empty()) {
    if (sim::Status own = OwnPackage(args, setup); !own) return PowerCutsError(own.error());
  } else {
    // The package builder prints what it stored; the table is the output here.
    auto built = [&work] {
      const host::SilencedStdout silenced;
      return BuildDemoPackage(work->Path());
    }();
    if (!built) return PowerCutsError(built.error());
    setup.package = built->package;
    auto settings = host::ReadFile(built->staging / "Vostrel.ini");
    if (!settings) return PowerCutsError(settings.error());
    setup.settings = *settings;
    setup.initTerminal = [](const fs::path& dir) { return InitDemoTerminal(dir); };
  }
  setup.work = work->Path();

  std::vector<power_cuts::ModeResult> results;
  bool sampled = false;
  bool allRecovered = true;
  for (const matrix::Mode mode : matrix::ModesOf(args.mode)) {
    setup.mode = mode;
    auto baseline = power_cuts::RunBaseline(setup);
    if (!baseline) {
      return PowerCutsError(std::string(matrix::ModeName(mode)) + " mode: " + baseline.error(), 1);
    }
    power_cuts::ModeResult result{mode, std::move(*baseline), {}};
    const std::vector<std::size_t> chosen =
        power_cuts::ChooseSteps(result.baseline, args.quick, args.sampleAbove);
    sampled = sampled || (!args.quick && chosen.size() < result.baseline.steps.size());
    std::fprintf(stderr, "%s mode: %zu write steps, cutting after %zu of them\n",
                 matrix::ModeName(mode), result.baseline.steps.size(), chosen.size());
    for (const std::size_t index : chosen) {
      auto row = power_cuts::CutAt(setup, result.baseline, index);
      if (!row) return PowerCutsError(row.error(), 1);
      if (!row->recovered) allRecovered = false;
      result.rows.push_back(std::move(*row));
    }
    results.push_back(std::move(result));
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::fprintf(stderr, "done in %.1f seconds of wall time\n", seconds);

  const std::string md = power_cuts::MarkdownTable(results, command, sampled);
  if (args.out.empty()) {
    std::fputs(md.c_str(), stdout);
  } else if (sim::Status written = host::WriteFile(args.out, md); !written) {
    return PowerCutsError(written.error());
  }
  if (!args.json.empty()) {
    if (sim::Status written =
            host::WriteFile(args.json, power_cuts::JsonTable(results).dump(2) + "\n");
        !written) {
      return PowerCutsError(written.error());
    }
  }
  // Every cut must leave a terminal that a second run brings up to date.
  return allRecovered ? 0 : 1;
}

}  // namespace

void AddPowerCutsCommand(CLI::App& sim, int* exitCode) {
  auto* command = sim.add_subcommand(
      "power-cuts",
      "Cut the power of the demo's full update after each of its write steps in turn (each "
      "flash block, each GPS flash write and erase, each change of the application's script), "
      "on a fresh demo terminal each time; record whether the terminal starts again, the "
      "versions it reports, and whether a second run of the same package completes the "
      "update. Exit code 0 when every cut is recovered by a second run, 1 otherwise.");
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
  command->add_option("--package", args->package,
                      "Cut this package's update instead of the demo's, on fresh default "
                      "terminals");
  command->add_option("--set", args->settings,
                      "With --package: a terminal.json setting of the fresh terminals, "
                      "\"section.key: value\" (repeatable)");
  command->callback([exitCode, args] {
    if (!args->settings.empty() && args->package.empty()) {
      *exitCode = PowerCutsError("--set needs --package");
      return;
    }
    std::string line = "vostrel sim power-cuts --mode " + args->mode;
    if (args->quick) line += " --quick";
    if (args->sampleAbove != kSampleAbove)
      line += " --sample-above " + std::to_string(args->sampleAbove);
    if (!args->package.empty()) line += " --package " + args->package;
    for (const std::string& setting : args->settings) line += " --set '" + setting + "'";
    if (!args->out.empty()) line += " --out " + args->out;
    *exitCode = RunPowerCuts(*args, line);
  });
}

}  // namespace tools
