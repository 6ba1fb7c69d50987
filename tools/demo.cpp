// vostrel demo: a fresh simulated terminal, one run of the updater, and a summary.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>

#include "sim/runner.h"
#include "sim/terminal.h"
#include "tools/commands.h"

namespace tools {

namespace fs = std::filesystem;

namespace {

// The folder beside the vostrel program, so that "make demo" leaves its terminal in build/.
fs::path DefaultDemoDir() {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) return fs::current_path() / "demo-terminal";
  return self.parent_path() / "demo-terminal";
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "vostrel demo: %s\n", message.c_str());
  return kExitUsage;
}

void PrintFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::printf("    %s\n", line.c_str());
  }
}

int RunDemo(const std::string& dirArgument) {
  const fs::path dir = dirArgument.empty() ? DefaultDemoDir() : fs::path(dirArgument);
  std::error_code error;
  if (fs::exists(dir, error)) {
    // Only a folder that holds a terminal is replaced; anything else is the user's.
    if (!fs::exists(dir / "terminal.json", error)) {
      return Fail(dir.string() + " exists and is not a simulated terminal; choose another folder");
    }
    fs::remove_all(dir, error);
    if (error) return Fail(dir.string() + ": " + error.message());
  }
  if (sim::Status created = sim::Terminal::Init(dir); !created) return Fail(created.error());
  auto terminal = sim::Terminal::Open(dir);
  if (!terminal) return Fail(terminal.error());

  std::printf("VostrelHHT demo\n");
  std::printf("  terminal: %s\n", dir.string().c_str());
  std::printf("  No update package is placed on it yet, so the updater finds the package "
              "invalid; STOP leaves.\n\n");

  sim::RunOptions options;
  if (sim::Status placed = sim::PlaceDebugMarker(**terminal, 3); !placed) {
    return Fail(placed.error());
  }
  auto keys = sim::ParseKeys("STOP");
  options.keys = *keys;
  const sim::RunOutcome outcome = sim::RunUpdater(**terminal, options);

  std::printf("Screen trace:\n");
  for (const sim::TraceEntry& entry : outcome.trace) {
    std::printf("  %6llu ms  screen %2d", static_cast<unsigned long long>(entry.time),
                entry.screen);
    if (entry.progressVisible) std::printf("  progress %d%%", entry.progress);
    if (entry.errorVisible) std::printf("  error line \"%s\"", entry.errorText.c_str());
    if (entry.versionDialog) std::printf("  (version dialog open)");
    std::printf("\n");
  }
  std::printf("\nLog \\Flash disk2\\Vostrel.log:\n");
  PrintFile((*terminal)->Files().HostPath("\\Flash disk2\\Vostrel.log"));
  std::printf("\nOutcome: final screen %d, %s, exit code %d\n", outcome.finalScreen,
              sim::RunEndName(outcome.end), outcome.exitCode);
  return 0;
}

}  // namespace

void AddDemoCommand(CLI::App& app, int* exitCode) {
  auto* demo = app.add_subcommand(
      "demo", "Create a fresh simulated terminal, run the updater on it and print a summary");
  auto dir = std::make_shared<std::string>();
  demo->add_option("DIR", *dir,
                   "Folder for the demo terminal (default: demo-terminal beside the vostrel "
                   "program); an earlier demo terminal there is replaced");
  demo->callback([exitCode, dir] { *exitCode = RunDemo(*dir); });
}

}  // namespace tools
