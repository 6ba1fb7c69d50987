// Runs in one process leave nothing behind for the next: a failed update, a desktop-mode update
// and a successful update, one after the other in this test's process, write the same log and
// debug output as the same runs in fresh processes of the vostrel command. What a run changes
// lives in its run context and goes with it; state that escaped the context would show here as
// a difference in the second or third run.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "sim/desktop_peer.h"
#include "sim/runner.h"
#include "sim/terminal.h"
#include "support/command_test.h"
#include "support/package_builder.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ApplicationSettings;
using testing_support::BuildPackage;
using testing_support::CommandResult;
using testing_support::CommandTest;
using testing_support::ReadHostFile;
using testing_support::WriteHostFile;

struct Scenario {
  const char* name;
  bool desktop;
  bool failing;
};

constexpr Scenario kScenarios[] = {
    {"failed", false, true},
    {"desktop", true, false},
    {"completed", false, false},
};

constexpr const char* kKeys = "PLAY PLAY";
constexpr int kDebugLevel = 3;

std::string Package(bool failing) {
  const std::string script =
      "MKDIR|\\Flash Disk2\\Apps\r\nMKDIR|\\Flash Disk2\\Tavimon\r\n"
      "COPY|App.exe|\\Flash Disk2\\Apps\\App.exe\r\n" +
      std::string(failing ? "COPY|Gone.dll|\\Flash Disk2\\Gone.dll\r\n" : "") +
      "COPY|Tavimon\\version.txt|\\Flash Disk2\\Tavimon\\version.txt\r\n";
  return BuildPackage({{"Vostrel.ini", ApplicationSettings("1.1.0", script)},
                       {"App.exe", std::string(70000, 'a')},
                       {"Tavimon\\version.txt", "1.1.0\r\n"}});
}

// What a run leaves to compare: the log (gone after a successful update) and the debug output.
std::string Traces(const fs::path& dir) {
  const fs::path log = dir / "fs" / "Flash disk2" / "Vostrel.log";
  return "== log\n" + (fs::exists(log) ? ReadHostFile(log) : std::string("(none)\n")) +
         "== debug output\n" + ReadHostFile(dir / "debug.log");
}

class RunsInOneProcessTest : public CommandTest {
 protected:
  fs::path Prepare(const Scenario& scenario, const std::string& where) {
    const fs::path dir = Path(std::string(scenario.name) + "-" + where);
    EXPECT_TRUE(sim::Terminal::Init(dir).ok());
    WriteHostFile(PackagePath(scenario), Package(scenario.failing));
    return dir;
  }
  fs::path PackagePath(const Scenario& scenario) const {
    return Path(std::string(scenario.name) + ".bin");
  }

  // The run as "vostrel sim run" makes it, in this process.
  void RunHere(const Scenario& scenario, const fs::path& dir) {
    auto opened = sim::Terminal::Open(dir);
    ASSERT_TRUE(opened) << opened.error();
    sim::Terminal& terminal = **opened;
    if (!scenario.desktop) {
      ASSERT_TRUE(sim::PlacePackage(terminal, PackagePath(scenario)).ok());
    }
    ASSERT_TRUE(sim::PlaceDebugMarker(terminal, kDebugLevel).ok());
    std::unique_ptr<sim::SimDesktop> desktop;
    if (scenario.desktop) {
      auto started =
          sim::SimDesktop::Open(terminal.Files(), terminal.Clock(), PackagePath(scenario),
                                terminal.Config().Get<sim::DesktopConfig>());
      ASSERT_TRUE(started) << started.error();
      desktop = std::move(*started);
    }
    sim::RunOptions options;
    options.commandLine = scenario.desktop ? "ACTIVESYNC" : "";
    options.keys = *sim::ParseKeys(kKeys);
    options.desktop = desktop.get();
    const sim::RunOutcome outcome = sim::RunUpdater(terminal, options);
    EXPECT_EQ(outcome.finalScreen, scenario.failing ? 9 : 8);
  }
};

TEST_F(RunsInOneProcessTest, EachRunWritesWhatItWritesInAFreshProcess) {
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    RunHere(scenario, Prepare(scenario, "here"));
  }
  for (const Scenario& scenario : kScenarios) {
    SCOPED_TRACE(scenario.name);
    const fs::path dir = Prepare(scenario, "fresh");
    const CommandResult ran =
        Vostrel("sim run '" + dir.string() + "' --package '" + PackagePath(scenario).string() +
                "'" + (scenario.desktop ? " --activesync" : "") + " --keys '" + kKeys +
                "' --debug-level " + std::to_string(kDebugLevel));
    EXPECT_EQ(ran.exitCode, scenario.failing ? 1 : 0) << ran.err;
    EXPECT_EQ(Traces(Path(std::string(scenario.name) + "-here")), Traces(dir));
  }
}

}  // namespace
