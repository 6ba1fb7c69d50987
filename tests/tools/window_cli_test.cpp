// "vostrel sim run --window" as users run it: refused without a display, and a whole run in a
// window under SDL's offscreen video driver with the keys of --keys.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "support/command_test.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using ::testing::HasSubstr;

using testing_support::CommandResult;
using testing_support::ReadHostFile;

class WindowCliTest : public testing_support::CommandTest {
 protected:
  void SetUp() override {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER"}) {
      if (const char* value = std::getenv(name)) m_saved.emplace_back(name, value);
      unsetenv(name);
    }
    ASSERT_EQ(Vostrel("sim init " + Q("T")).exitCode, 0);
  }
  void TearDown() override {
    unsetenv("SDL_VIDEODRIVER");
    for (const auto& [name, value] : m_saved) setenv(name.c_str(), value.c_str(), 1);
  }

  std::vector<std::pair<std::string, std::string>> m_saved;
};

TEST_F(WindowCliTest, WithoutADisplayWindowSaysSoInOneLineAndExits64) {
  for (const std::string extra : {"", " --scale 3 --speed 20"}) {
    SCOPED_TRACE(extra);
    const CommandResult run = Vostrel("sim run " + Q("T") + " --window" + extra);
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_THAT(run.err, HasSubstr("--window: no display"));
    EXPECT_THAT(run.err, HasSubstr("DISPLAY"));
    EXPECT_EQ(run.out, "");
  }
  // Nothing ran on the terminal.
  EXPECT_FALSE(std::filesystem::exists(Path("T/fs/Flash Disk2/Vostrel.log")));
}

TEST_F(WindowCliTest, TheWindowsOptionsNeedTheWindow) {
  const struct {
    std::string arguments;
    std::string message;
  } cases[] = {
      {"--scale 2", "--scale needs --window"},
      {"--speed 10", "--speed needs --window or --realtime"},
      {"--window --scale 9", "--scale"},
      {"--window --speed 0", "--speed"},
  };
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  for (const auto& wrong : cases) {
    SCOPED_TRACE(wrong.arguments);
    const CommandResult run = Vostrel("sim run " + Q("T") + " " + wrong.arguments);
    EXPECT_EQ(run.exitCode, 64);
    EXPECT_THAT(run.err, HasSubstr(wrong.message));
  }
  // --speed with --realtime alone is a run on the host clock, faster; the keys end it.
  const CommandResult fast = Vostrel("sim run " + Q("T") + " --realtime --speed 1000 --keys STOP");
  EXPECT_EQ(fast.exitCode, 2) << fast.err;
}

TEST_F(WindowCliTest, AWholeUpdateInAWindowReportsAsAnyRun) {
  testing_support::WriteHostFile(
      Path("install.bin"),
      testing_support::BuildPackage(
          {{"Vostrel.ini",
            testing_support::ApplicationSettings(
                "2.0.0",
                "MKDIR|\\Flash Disk2\\Apps\r\nCOPY|App.exe|\\Flash Disk2\\Apps\\App.exe\r\n")},
           {"App.exe", "application 2.0.0"}}));
  setenv("SDL_VIDEODRIVER", "offscreen", 1);
  const CommandResult run = Vostrel(
      "sim run " + Q("T") + " --window --scale 1 --speed 1000 --package " + Q("install.bin") +
      " --keys 'PLAY PLAY' --report " + Q("r.json") + " --screens " + Q("shots"));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  const auto report = nlohmann::json::parse(ReadHostFile(Path("r.json")));
  EXPECT_EQ(report["screens"], nlohmann::json::array({1, 3, 7, 8}));
  EXPECT_EQ(report["end"], "rebooted");
  EXPECT_EQ(report["exit_code"], 0);
  EXPECT_EQ(ReadHostFile(Path("T/fs/Flash Disk2/Apps/App.exe")), "application 2.0.0");
  EXPECT_THAT(run.out, HasSubstr("Saved"));
}

}  // namespace
