// Whole runs compared with reviewed transcripts: the screen trace, the log and the kernel debug
// output of an update that ends on each end screen, in each run mode.
#include <gtest/gtest.h>

#include <string>

#include "sim/shell.h"
#include "support/golden.h"
#include "support/package_builder.h"
#include "support/terminal_fixture.h"

namespace {

using testing_support::ApplicationSettings;
using testing_support::BuildPackage;
using testing_support::TerminalTest;

struct GoldenCase {
  const char* name;
  bool desktop;
  int endScreen;
};

class GoldenRunTest : public TerminalTest, public ::testing::WithParamInterface<GoldenCase> {
 protected:
  sim::TerminalConfig Config() const override {
    sim::TerminalConfig config;
    if (GetParam().endScreen == 11) {
      config.Get<sim::ShellConfig>().onDestroy = sim::ShellDestroy::kIgnore;
      config.Get<sim::ShellConfig>().canBeTerminated = false;
    }
    return config;
  }

  std::string Package() const {
    const std::string script =
        "MKDIR|\\Flash Disk2\\Apps\r\n"
        "COPY|App.exe|\\Flash Disk2\\Apps\\App.exe\r\n" +
        std::string(GetParam().endScreen == 9 ? "COPY|Gone.dll|\\Flash Disk2\\Apps\\Gone.dll\r\n"
                                              : "") +
        "COPY|Help.txt|\\Flash Disk2\\Apps\\Help-<yymmdd>.txt\r\n";
    return BuildPackage({{"Vostrel.ini", ApplicationSettings("1.1.0", script)},
                         {"App.exe", std::string(300000, 'a')},
                         {"Help.txt", "Press PLAY to start.\r\n"}});
  }

  static std::string Transcript(const sim::RunOutcome& outcome, const std::string& log,
                                const std::string& debug) {
    return testing_support::ScreenTrace(outcome) +
           testing_support::LogAndDebugOutput("\\Flash disk2\\Vostrel.log", log, debug);
  }
};

TEST_P(GoldenRunTest, MatchesTheReviewedTranscript) {
  const GoldenCase& c = GetParam();
  if (c.endScreen == 11) {
    // The shell holds its library and will not go.
    WriteFile("\\Flash Disk2\\Shell.dll", "the shell's library");
    Reopen();
  }
  WriteFile("\\Flash Disk2\\rerunner.exe", "");
  const sim::RunOutcome outcome =
      c.desktop ? RunDesktop("PLAY PLAY", Package(), {}, 2)
                : (WriteFile("\\Storage Card\\install.bin", Package()), Run("PLAY PLAY", "", 2));
  ASSERT_EQ(outcome.screens.back(), c.endScreen);

  const std::string actual =
      Transcript(outcome, ReadFile("\\Flash disk2\\Vostrel.log"), DebugText());
  testing_support::ExpectGolden(c.name, actual);
}

INSTANTIATE_TEST_SUITE_P(EndScreens, GoldenRunTest,
                         ::testing::Values(GoldenCase{"terminal-completed", false, 8},
                                           GoldenCase{"terminal-failed", false, 9},
                                           GoldenCase{"terminal-restart-required", false, 11},
                                           GoldenCase{"desktop-completed", true, 8},
                                           GoldenCase{"desktop-failed", true, 9},
                                           GoldenCase{"desktop-restart-required", true, 11}),
                         [](const ::testing::TestParamInfo<GoldenCase>& param) {
                           std::string name = param.param.name;
                           for (char& ch : name) ch = ch == '-' ? '_' : ch;
                           return name;
                         });

}  // namespace
