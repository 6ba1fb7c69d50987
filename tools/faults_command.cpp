// vostrel sim faults: runs the fault matrix and writes its table.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "tools/commands.h"
#include "tools/demo_package.h"
#include "tools/fault_matrix.h"
#include "tools/host_files.h"
#include "tools/matrix_harness.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

struct FaultsArgs {
  bool quick = false;
  std::string mode = "both";
  std::string out;
  std::string json;
  std::string work;
  std::vector<std::string> only;
  bool keep = false;
};

int FaultsError(const std::string& message) {
  std::fprintf(stderr, "vostrel sim faults: %s\n", message.c_str());
  return kExitUsage;
}

// The command line as the table says how to reproduce it.
std::string CommandText(const FaultsArgs& args) {
  std::string command = "build/vostrel sim faults";
  if (args.quick) command += " --quick";
  if (args.mode != "both") command += " --mode " + args.mode;
  for (const std::string& id : args.only) command += " --only " + id;
  command += " --out " + (args.out.empty() ? std::string("docs/faults.md") : args.out);
  if (!args.json.empty()) command += " --json " + args.json;
  return command;
}

int RunFaults(const FaultsArgs& args) {
  const std::vector<matrix::Mode> modes = matrix::ModesOf(args.mode);

  const std::vector<faults::FaultRow>& rows = faults::FaultRows();
  for (const std::string& id : args.only) {
    bool known = false;
    for (const faults::FaultRow& row : rows) known = known || row.id == id;
    if (!known) return FaultsError("--only: no row " + id);
  }

  // Each use takes a folder of its own inside --work: what an earlier use left there (terminals,
  // packages) stays as it was and is never in the way.
  std::string chosen = args.work;
  if (!chosen.empty()) {
    std::error_code ignored;
    for (int use = 1;; ++use) {
      const fs::path candidate = fs::path(args.work) / ("faults-" + std::to_string(use));
      if (!fs::exists(candidate, ignored)) {
        chosen = candidate.string();
        break;
      }
    }
  }
  auto folder = matrix::WorkFolder::Make(chosen, args.keep, "vostrel-faults");
  if (!folder) return FaultsError(folder.error());
  const fs::path& work = folder->Path();

  const auto wallStart = std::chrono::steady_clock::now();
  faults::MatrixInputs inputs;
  inputs.initTerminal = [](const fs::path& dir) { return InitDemoTerminal(dir); };
  inputs.keepTerminals = folder->Kept();
  std::error_code error;
  fs::create_directories(work / "packages", error);
  // The package builder prints what it stored; the rows are the output here.
  auto demo = [&work] {
    const host::SilencedStdout silenced;
    return BuildDemoPackage(work / "packages");
  }();
  if (!demo) return FaultsError(demo.error());
  inputs.packages[faults::PackageKind::kDemo] = demo->package;
  if (sim::Status built = faults::BuildOwnPackages(work / "packages", inputs.packages); !built) {
    return FaultsError(built.error());
  }

  std::vector<faults::RowResult> results;
  int index = 0;
  for (const faults::FaultRow& row : rows) {
    if (args.quick && !row.quick) continue;
    if (!args.only.empty() &&
        std::find(args.only.begin(), args.only.end(), row.id) == args.only.end()) {
      continue;
    }
    for (const matrix::Mode mode : row.modes) {
      if (std::find(modes.begin(), modes.end(), mode) == modes.end()) continue;
      const fs::path runDir = work / "runs" / (std::to_string(++index) + "-" + row.id);
      auto result = faults::RunRow(row, mode, inputs, runDir);
      if (!result)
        return FaultsError(row.id + " (" + matrix::ModeName(mode) + "): " + result.error());
      std::printf("%-28s %-8s screen %2d  %s\n", row.id.c_str(), matrix::ModeName(mode),
                  result->finalScreen, result->Matches() ? "as expected" : "NOT as expected");
      for (const std::string& mismatch : result->mismatches) {
        std::printf("    %s\n", mismatch.c_str());
      }
      for (const std::string& change : result->changes) {
        std::printf("    outside: %s\n", change.c_str());
      }
      std::fflush(stdout);
      results.push_back(std::move(*result));
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

  if (!args.out.empty()) {
    if (sim::Status written =
            host::WriteFile(args.out, faults::MarkdownTable(results, CommandText(args)));
        !written) {
      return FaultsError(written.error());
    }
  }
  if (!args.json.empty()) {
    if (sim::Status written = host::WriteFile(args.json, faults::JsonTable(results).dump(2) + "\n");
        !written) {
      return FaultsError(written.error());
    }
  }
  std::vector<std::string> unexpected;
  for (const faults::RowResult& result : results) {
    if (!result.Matches()) {
      unexpected.push_back(result.row->id + " (" + matrix::ModeName(result.mode) + ")");
    }
  }
  std::printf("\n%zu runs in %.1f s of wall time; %zu not as expected", results.size(), wall,
              unexpected.size());
  for (std::size_t i = 0; i < unexpected.size(); ++i) {
    std::printf("%s%s", i == 0 ? ": " : ", ", unexpected[i].c_str());
  }
  std::printf("\n");
  return unexpected.empty() ? 0 : 1;
}

}  // namespace

void AddSimFaultsCommand(CLI::App& sim, int* exitCode) {
  auto args = std::make_shared<FaultsArgs>();
  auto* command = sim.add_subcommand(
      "faults",
      "Run every fault the simulated terminal can inject, for each part and run mode, on fresh "
      "terminals, and write the table. Exit 0 when every row ends as expected, 1 otherwise");
  command->add_flag("--quick", args->quick,
                    "Only a representative subset: one fault per part and mode");
  command->add_option("--mode", args->mode, "terminal, desktop or both (default)")
      ->check(CLI::IsMember({"terminal", "desktop", "both"}));
  command->add_option("--out", args->out, "Write the table as Markdown to this file");
  command->add_option("--json", args->json, "Write the rows as JSON to this file");
  command->add_option("--only", args->only, "Run only the rows with these ids");
  command->add_option("--work", args->work,
                      "Folder for the packages and terminals (kept), each use in a new "
                      "subfolder faults-N; default: a temporary folder, removed at the end");
  command->add_flag("--keep", args->keep, "Keep the temporary folder");
  command->callback([exitCode, args] { *exitCode = RunFaults(*args); });
}

}  // namespace tools
